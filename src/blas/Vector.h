#pragma once
// Vector: a dense run of `size` floats with checked element access. Storage is zero-filled and
// padded to a multiple of 4 floats (never read as data). A view (noStorage) owns no data: its
// data pointer is set by a view operation of another container and points into that storage.
// Non-copyable handle; the private record is freed with the object.

#include <iosfwd>
#include <memory>
#include <vector>

#include "Error.h"

namespace velmora::blas {

class Vector {
  public:
    explicit Vector(int size);
    Vector(int size, bool noStorage);
    ~Vector();
    Vector(const Vector&) = delete;
    Vector& operator=(const Vector&) = delete;

    int size() const { return pp->size; }
    float* data() { return pp->data; }
    const float* data() const { return pp->data; }

    float& at(int idx) {
        VM_ASSERT(idx >= 0 && idx < pp->size);
        return pp->data[idx];
    }
    float get(int idx) const {
        VM_ASSERT(idx >= 0 && idx < pp->size);
        return pp->data[idx];
    }
    void set(int idx, float x) {
        VM_ASSERT(idx >= 0 && idx < pp->size);
        pp->data[idx] = x;
    }

    void fill(float x);
    // Every element rand() / 32767.0.
    void fillRandom();
    void copy(const Vector* another);
    void checkShape(const Vector* another) const;

    // Raw native floats, `size` of them: no header, no padding.
    void write(std::ostream& os) const;
    void read(std::istream& is);
    // "%f " per element, then a newline.
    void print() const;

    // Sliding history: rotate by one element, or shift by one and insert x at the freed end.
    void rotateLeft();
    void shiftLeft(float x);
    void rotateRight();
    void shiftRight(float x);
    void reverse();

    // Points this vector at foreign storage of at least `size` floats; any own storage is
    // released first. The vector never frees `data`.
    void setView(float* data);

  private:
    struct Impl {
        int size;
        int numBlocks;
        std::vector<float> storage;
        float* data;
    };
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::blas
