#include "blas/ComplexVector.h"

#include "blas/Random.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>

namespace velmora::blas {

ComplexVector::ComplexVector(int size) : ComplexVector(size, false) {}

ComplexVector::ComplexVector(int size, bool noStorage) {
    VM_ASSERT(size > 0);
    pp = std::make_unique<Impl>();
    pp->size = size;
    pp->numBlocks = (size + 3) / 4;
    pp->data = nullptr;
    if (!noStorage) {
        pp->storage.assign(static_cast<size_t>(pp->numBlocks) * 4, Complex(0.0f, 0.0f));
        pp->data = pp->storage.data();
    }
}

ComplexVector::~ComplexVector() = default;

void ComplexVector::swap(int i0, int i1) {
    VM_ASSERT(i0 >= 0 && i0 < pp->size);
    VM_ASSERT(i1 >= 0 && i1 < pp->size);
    std::swap(pp->data[i0], pp->data[i1]);
}

void ComplexVector::fill(float re, float im) {
    float* d = reinterpret_cast<float*>(pp->data);
    const int n = pp->size;
    for (int i = 0; i < n; i++) {
        d[2 * i] = re;
        d[2 * i + 1] = im;
    }
}

void ComplexVector::fillRandom() {
    for (int i = 0; i < pp->size; i++) {
        const float re = randomUnit();
        const float im = randomUnit();
        pp->data[i] = Complex(re, im);
    }
}

void ComplexVector::copy(const ComplexVector* another) {
    VM_ASSERT(size() == another->size());
    if (another->pp->data != pp->data)
        std::memmove(static_cast<void*>(pp->data), another->pp->data, sizeof(Complex) * pp->size);
}

void ComplexVector::copy(const Vector* another) {
    VM_ASSERT(size() == another->size());
    const float* s = another->data();
    for (int i = 0; i < pp->size; i++) pp->data[i] = Complex(s[i], 0.0f);
}

void ComplexVector::checkShape(const ComplexVector* another) const {
    VM_ASSERT(size() == another->size());
}

void ComplexVector::conjugate() {
    // Negation is a pure sign-bit flip: exact for every value, including zeros and NaNs.
    float* d = reinterpret_cast<float*>(pp->data);
    const int n = pp->size;
    for (int i = 0; i < n; i++) d[2 * i + 1] = -d[2 * i + 1];
}

void ComplexVector::write(std::ostream& os) const {
    os.write(reinterpret_cast<const char*>(pp->data),
             static_cast<std::streamsize>(sizeof(Complex) * pp->size));
}

void ComplexVector::read(std::istream& is) {
    is.read(reinterpret_cast<char*>(pp->data),
            static_cast<std::streamsize>(sizeof(Complex) * pp->size));
}

void ComplexVector::print() const {
    for (int i = 0; i < pp->size; i++) printf("(%f, %f) ", pp->data[i].real(), pp->data[i].imag());
    printf("\n");
}

void ComplexVector::rotateLeft() {
    std::rotate(pp->data, pp->data + 1, pp->data + pp->size);
}

void ComplexVector::shiftLeft(Complex x) {
    std::memmove(static_cast<void*>(pp->data), pp->data + 1, sizeof(Complex) * (pp->size - 1));
    pp->data[pp->size - 1] = x;
}

void ComplexVector::rotateRight() {
    std::rotate(pp->data, pp->data + pp->size - 1, pp->data + pp->size);
}

void ComplexVector::shiftRight(Complex x) {
    std::memmove(static_cast<void*>(pp->data + 1), pp->data, sizeof(Complex) * (pp->size - 1));
    pp->data[0] = x;
}

void ComplexVector::reverse() {
    std::reverse(pp->data, pp->data + pp->size);
}

void ComplexVector::setView(Complex* data) {
    std::vector<Complex>().swap(pp->storage);
    pp->data = data;
}

}  // namespace velmora::blas
