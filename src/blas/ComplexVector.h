#pragma once
// ComplexVector: a dense run of `size` Complex values (real part first) with checked access.
// Storage is zero-filled and padded to a multiple of 4 elements (never read as data). A view
// (noStorage) owns no data: its data pointer is set by a view operation of another container
// (a matrix row, a tensor depth fiber) and points into that storage. Non-copyable handle.

#include <cmath>
#include <iosfwd>
#include <memory>
#include <vector>

#include "Error.h"
#include "blas/Complex.h"
#include "blas/Vector.h"

namespace velmora::blas {

class ComplexVector {
  public:
    explicit ComplexVector(int size);
    ComplexVector(int size, bool noStorage);
    ~ComplexVector();
    ComplexVector(const ComplexVector&) = delete;
    ComplexVector& operator=(const ComplexVector&) = delete;

    int size() const { return pp->size; }
    Complex* data() { return pp->data; }
    const Complex* data() const { return pp->data; }

    Complex& at(int idx) {
        VM_ASSERT(idx >= 0 && idx < pp->size);
        return pp->data[idx];
    }
    Complex get(int idx) const {
        VM_ASSERT(idx >= 0 && idx < pp->size);
        return pp->data[idx];
    }
    // Either output may be null.
    void get(int idx, float* re, float* im) const {
        VM_ASSERT(idx >= 0 && idx < pp->size);
        if (re) *re = pp->data[idx].real();
        if (im) *im = pp->data[idx].imag();
    }
    void set(int idx, float re, float im) {
        VM_ASSERT(idx >= 0 && idx < pp->size);
        pp->data[idx] = Complex(re, im);
    }
    void set(int idx, Complex x) {
        VM_ASSERT(idx >= 0 && idx < pp->size);
        pp->data[idx] = x;
    }
    float real(int idx) const {
        VM_ASSERT(idx >= 0 && idx < pp->size);
        return pp->data[idx].real();
    }
    void setReal(int idx, float x) {
        VM_ASSERT(idx >= 0 && idx < pp->size);
        pp->data[idx].real(x);
    }
    float imag(int idx) const {
        VM_ASSERT(idx >= 0 && idx < pp->size);
        return pp->data[idx].imag();
    }
    void setImag(int idx, float x) {
        VM_ASSERT(idx >= 0 && idx < pp->size);
        pp->data[idx].imag(x);
    }
    // Squared magnitude re^2 + im^2, and magnitude (its square root).
    float norm(int i) const {
        VM_ASSERT(i >= 0 && i < pp->size);
        const float re = pp->data[i].real(), im = pp->data[i].imag();
        return re * re + im * im;
    }
    float abs(int i) const {
        VM_ASSERT(i >= 0 && i < pp->size);
        const float re = pp->data[i].real(), im = pp->data[i].imag();
        return std::sqrt(re * re + im * im);
    }
    void swap(int i0, int i1);

    void fill(float re, float im);
    void fill(Complex x) { fill(x.real(), x.imag()); }
    // Every real and imaginary part rand() / 32767.0.
    void fillRandom();
    void copy(const ComplexVector* another);
    // Real parts from `another`, imaginary parts 0.
    void copy(const Vector* another);
    void checkShape(const ComplexVector* another) const;
    // Flips the sign bit of every imaginary part (exactly reversible).
    void conjugate();

    // Raw native (re, im) float pairs, `size` of them: no header, no padding.
    void write(std::ostream& os) const;
    void read(std::istream& is);
    // "(%f, %f) " per element, then a newline.
    void print() const;

    // Sliding history, as for Vector.
    void rotateLeft();
    void shiftLeft(Complex x);
    void rotateRight();
    void shiftRight(Complex x);
    void reverse();

    // Points this vector at foreign storage of at least `size` elements; any own storage is
    // released first. The vector never frees `data`.
    void setView(Complex* data);

  private:
    struct Impl {
        int size;
        int numBlocks;
        std::vector<Complex> storage;
        Complex* data;
    };
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::blas
