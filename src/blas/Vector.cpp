#include "blas/Vector.h"

#include "blas/Random.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>

namespace velmora::blas {

Vector::Vector(int size) : Vector(size, false) {}

Vector::Vector(int size, bool noStorage) {
    VM_ASSERT(size > 0);
    pp = std::make_unique<Impl>();
    pp->size = size;
    pp->numBlocks = (size + 3) / 4;
    pp->data = nullptr;
    if (!noStorage) {
        pp->storage.assign(static_cast<size_t>(pp->numBlocks) * 4, 0.0f);
        pp->data = pp->storage.data();
    }
}

Vector::~Vector() = default;

void Vector::fill(float x) {
    float* d = pp->data;
    const int n = pp->size;
    for (int i = 0; i < n; i++) d[i] = x;
}

void Vector::fillRandom() {
    for (int i = 0; i < pp->size; i++) pp->data[i] = randomUnit();
}

void Vector::copy(const Vector* another) {
    VM_ASSERT(size() == another->size());
    if (another->pp->data != pp->data)
        std::memmove(pp->data, another->pp->data, sizeof(float) * pp->size);
}

void Vector::checkShape(const Vector* another) const {
    VM_ASSERT(size() == another->size());
}

void Vector::write(std::ostream& os) const {
    os.write(reinterpret_cast<const char*>(pp->data),
             static_cast<std::streamsize>(sizeof(float) * pp->size));
}

void Vector::read(std::istream& is) {
    is.read(reinterpret_cast<char*>(pp->data),
            static_cast<std::streamsize>(sizeof(float) * pp->size));
}

void Vector::print() const {
    for (int i = 0; i < pp->size; i++) printf("%f ", pp->data[i]);
    printf("\n");
}

void Vector::rotateLeft() {
    std::rotate(pp->data, pp->data + 1, pp->data + pp->size);
}

void Vector::shiftLeft(float x) {
    std::memmove(pp->data, pp->data + 1, sizeof(float) * (pp->size - 1));
    pp->data[pp->size - 1] = x;
}

void Vector::rotateRight() {
    std::rotate(pp->data, pp->data + pp->size - 1, pp->data + pp->size);
}

void Vector::shiftRight(float x) {
    std::memmove(pp->data + 1, pp->data, sizeof(float) * (pp->size - 1));
    pp->data[0] = x;
}

void Vector::reverse() {
    std::reverse(pp->data, pp->data + pp->size);
}

void Vector::setView(float* data) {
    std::vector<float>().swap(pp->storage);
    pp->data = data;
}

}  // namespace velmora::blas
