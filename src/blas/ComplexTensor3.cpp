#include "blas/ComplexTensor3.h"

#include "blas/Random.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>

namespace velmora::blas {

namespace {

void moveRun(Complex* dst, const Complex* src, int n) {
    if (dst != src) std::memmove(static_cast<void*>(dst), src, sizeof(Complex) * n);
}

float randomPart() {
    return randomUnit();
}

}  // namespace

ComplexTensor3::ComplexTensor3(int numrows, int numcols, int depth)
    : ComplexTensor3(numrows, numcols, depth, false) {}

ComplexTensor3::ComplexTensor3(int numrows, int numcols, int depth, bool noStorage) {
    VM_ASSERT(numrows > 0);
    VM_ASSERT(numcols > 0);
    VM_ASSERT(depth > 0);
    pp = std::make_unique<Impl>();
    pp->numrows = numrows;
    pp->numcols = numcols;
    pp->depth = depth;
    pp->depthBlocks = (depth + 3) / 4;
    const size_t numFibers = static_cast<size_t>(numrows) * numcols;
    pp->fibers.assign(numFibers, nullptr);
    pp->rows.resize(numrows);
    for (int i = 0; i < numrows; i++)
        pp->rows[i] = pp->fibers.data() + static_cast<size_t>(i) * numcols;
    if (!noStorage) {
        const size_t stride = static_cast<size_t>(pp->depthBlocks) * 4;
        pp->storage.assign(numFibers * stride, Complex(0.0f, 0.0f));
        for (size_t f = 0; f < numFibers; f++) pp->fibers[f] = pp->storage.data() + f * stride;
    }
}

ComplexTensor3::~ComplexTensor3() = default;

void ComplexTensor3::fill(float re, float im) {
    const int n = pp->depth;
    for (int i = 0; i < pp->numrows; i++)
        for (int j = 0; j < pp->numcols; j++) {
            float* f = reinterpret_cast<float*>(pp->rows[i][j]);
            for (int k = 0; k < n; k++) {
                f[2 * k] = re;
                f[2 * k + 1] = im;
            }
        }
}

void ComplexTensor3::fillRandom() {
    for (int i = 0; i < pp->numrows; i++)
        for (int j = 0; j < pp->numcols; j++)
            for (int k = 0; k < pp->depth; k++) {
                const float re = randomPart();
                const float im = randomPart();
                pp->rows[i][j][k] = Complex(re, im);
            }
}

void ComplexTensor3::fillRandomHermitian() {
    // The mirror element (j, i) must exist, so the frontal slices must be square.
    VM_ASSERT(pp->numrows == pp->numcols);
    for (int k = 0; k < pp->depth; k++)
        for (int i = 0; i < pp->numrows; i++) {
            pp->rows[i][i][k] = Complex(randomPart(), 0.0f);
            for (int j = i + 1; j < pp->numcols; j++) {
                const float re = randomPart();
                const float im = randomPart();
                pp->rows[i][j][k] = Complex(re, im);
                pp->rows[j][i][k] = Complex(re, -im);
            }
        }
}

void ComplexTensor3::copy(const ComplexTensor3* another) {
    VM_ASSERT(another->numRows() == pp->numrows && another->numColumns() == pp->numcols &&
              another->depth() == pp->depth);
    for (int i = 0; i < pp->numrows; i++)
        for (int j = 0; j < pp->numcols; j++)
            moveRun(pp->rows[i][j], another->pp->rows[i][j], pp->depth);
}

void ComplexTensor3::checkShape(const ComplexTensor3* another) const {
    VM_ASSERT(numRows() == another->numRows() && numColumns() == another->numColumns() &&
              depth() == another->depth());
}

void ComplexTensor3::conjugate() {
    // Negation is a pure sign-bit flip: exact for every value, including zeros and NaNs.
    const int n = pp->depth;
    for (int i = 0; i < pp->numrows; i++)
        for (int j = 0; j < pp->numcols; j++) {
            float* f = reinterpret_cast<float*>(pp->rows[i][j]);
            for (int k = 0; k < n; k++) f[2 * k + 1] = -f[2 * k + 1];
        }
}

void ComplexTensor3::write(std::ostream& os) const {
    for (int i = 0; i < pp->numrows; i++)
        for (int j = 0; j < pp->numcols; j++)
            os.write(reinterpret_cast<const char*>(pp->rows[i][j]),
                     static_cast<std::streamsize>(sizeof(Complex) * pp->depth));
}

void ComplexTensor3::read(std::istream& is) {
    for (int i = 0; i < pp->numrows; i++)
        for (int j = 0; j < pp->numcols; j++)
            is.read(reinterpret_cast<char*>(pp->rows[i][j]),
                    static_cast<std::streamsize>(sizeof(Complex) * pp->depth));
}

void ComplexTensor3::print() const {
    for (int k = 0; k < pp->depth; k++) {
        printf("Slice %d:\n", k);
        for (int i = 0; i < pp->numrows; i++) {
            for (int j = 0; j < pp->numcols; j++)
                printf("(%f, %f) ", pp->rows[i][j][k].real(), pp->rows[i][j][k].imag());
            printf("\n");
        }
        printf("\n");
    }
}

void ComplexTensor3::getRowFiber(int i, int k, ComplexVector* fiber) const {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(k >= 0 && k < pp->depth);
    VM_ASSERT(fiber->size() == pp->numcols);
    Complex* d = fiber->data();
    for (int j = 0; j < pp->numcols; j++) d[j] = pp->rows[i][j][k];
}

void ComplexTensor3::setRowFiber(int i, int k, const ComplexVector* fiber) {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(k >= 0 && k < pp->depth);
    VM_ASSERT(fiber->size() == pp->numcols);
    const Complex* d = fiber->data();
    for (int j = 0; j < pp->numcols; j++) pp->rows[i][j][k] = d[j];
}

void ComplexTensor3::getColumnFiber(int j, int k, ComplexVector* fiber) const {
    VM_ASSERT(j >= 0 && j < pp->numcols);
    VM_ASSERT(k >= 0 && k < pp->depth);
    VM_ASSERT(fiber->size() == pp->numrows);
    Complex* d = fiber->data();
    for (int i = 0; i < pp->numrows; i++) d[i] = pp->rows[i][j][k];
}

void ComplexTensor3::setColumnFiber(int j, int k, const ComplexVector* fiber) {
    VM_ASSERT(j >= 0 && j < pp->numcols);
    VM_ASSERT(k >= 0 && k < pp->depth);
    VM_ASSERT(fiber->size() == pp->numrows);
    const Complex* d = fiber->data();
    for (int i = 0; i < pp->numrows; i++) pp->rows[i][j][k] = d[i];
}

void ComplexTensor3::depthView(int i, int j, ComplexVector* fiber) {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(j >= 0 && j < pp->numcols);
    VM_ASSERT(fiber->size() == pp->depth);
    fiber->setView(pp->rows[i][j]);
}

void ComplexTensor3::getDepthFiber(int i, int j, ComplexVector* fiber) const {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(j >= 0 && j < pp->numcols);
    VM_ASSERT(fiber->size() == pp->depth);
    moveRun(fiber->data(), pp->rows[i][j], pp->depth);
}

void ComplexTensor3::setDepthFiber(int i, int j, const ComplexVector* fiber) {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(j >= 0 && j < pp->numcols);
    VM_ASSERT(fiber->size() == pp->depth);
    moveRun(pp->rows[i][j], fiber->data(), pp->depth);
}

void ComplexTensor3::getFrontalSlice(int k, ComplexMatrix* slice) const {
    VM_ASSERT(k >= 0 && k < pp->depth);
    VM_ASSERT(slice->numRows() == pp->numrows && slice->numColumns() == pp->numcols);
    Complex** s = slice->data();
    for (int i = 0; i < pp->numrows; i++)
        for (int j = 0; j < pp->numcols; j++) s[i][j] = pp->rows[i][j][k];
}

void ComplexTensor3::setFrontalSlice(int k, const ComplexMatrix* slice) {
    VM_ASSERT(k >= 0 && k < pp->depth);
    VM_ASSERT(slice->numRows() == pp->numrows && slice->numColumns() == pp->numcols);
    const Complex* const* s = slice->data();
    for (int i = 0; i < pp->numrows; i++)
        for (int j = 0; j < pp->numcols; j++) pp->rows[i][j][k] = s[i][j];
}

void ComplexTensor3::copyFrontalSlice(int k, const ComplexTensor3* another) {
    VM_ASSERT(another->numRows() == pp->numrows);
    VM_ASSERT(another->numColumns() == pp->numcols);
    VM_ASSERT(another->depth() == pp->depth);
    VM_ASSERT(k >= 0 && k < pp->depth);
    for (int i = 0; i < pp->numrows; i++)
        for (int j = 0; j < pp->numcols; j++) pp->rows[i][j][k] = another->pp->rows[i][j][k];
}

void ComplexTensor3::getLateralSlice(int j, ComplexMatrix* slice) const {
    VM_ASSERT(j >= 0 && j < pp->numcols);
    VM_ASSERT(slice->numRows() == pp->numrows && slice->numColumns() == pp->depth);
    Complex** s = slice->data();
    for (int i = 0; i < pp->numrows; i++) moveRun(s[i], pp->rows[i][j], pp->depth);
}

void ComplexTensor3::setLateralSlice(int j, const ComplexMatrix* slice) {
    VM_ASSERT(j >= 0 && j < pp->numcols);
    VM_ASSERT(slice->numRows() == pp->numrows && slice->numColumns() == pp->depth);
    const Complex* const* s = slice->data();
    for (int i = 0; i < pp->numrows; i++) moveRun(pp->rows[i][j], s[i], pp->depth);
}

void ComplexTensor3::lateralView(int j, ComplexMatrix* slice) {
    VM_ASSERT(j >= 0 && j < pp->numcols);
    VM_ASSERT(slice->numRows() == pp->numrows && slice->numColumns() == pp->depth);
    Complex** s = slice->data();
    for (int i = 0; i < pp->numrows; i++) s[i] = pp->rows[i][j];
}

void ComplexTensor3::getHorizontalSlice(int i, ComplexMatrix* slice) const {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(slice->numRows() == pp->numcols && slice->numColumns() == pp->depth);
    Complex** s = slice->data();
    for (int j = 0; j < pp->numcols; j++) moveRun(s[j], pp->rows[i][j], pp->depth);
}

void ComplexTensor3::setHorizontalSlice(int i, const ComplexMatrix* slice) {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(slice->numRows() == pp->numcols && slice->numColumns() == pp->depth);
    const Complex* const* s = slice->data();
    for (int j = 0; j < pp->numcols; j++) moveRun(pp->rows[i][j], s[j], pp->depth);
}

void ComplexTensor3::horizontalView(int i, ComplexMatrix* slice) {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(slice->numRows() == pp->numcols && slice->numColumns() == pp->depth);
    Complex** s = slice->data();
    for (int j = 0; j < pp->numcols; j++) s[j] = pp->rows[i][j];
}

void ComplexTensor3::columnsView(int j, ComplexTensor3* sub) {
    VM_ASSERT(sub->numRows() == numRows() && sub->depth() == depth());
    VM_ASSERT(j >= 0 && j + sub->numColumns() <= numColumns());
    for (int i = 0; i < sub->pp->numrows; i++)
        for (int c = 0; c < sub->pp->numcols; c++) sub->pp->rows[i][c] = pp->rows[i][j + c];
}

void ComplexTensor3::rowsView(int i, ComplexTensor3* sub) {
    VM_ASSERT(sub->numColumns() == numColumns() && sub->depth() == depth());
    VM_ASSERT(i >= 0 && i + sub->numRows() <= numRows());
    for (int r = 0; r < sub->pp->numrows; r++)
        for (int c = 0; c < sub->pp->numcols; c++) sub->pp->rows[r][c] = pp->rows[i + r][c];
}

float ComplexTensor3::trace(int k) const {
    VM_ASSERT(k >= 0 && k < pp->depth);
    const int n = std::min(pp->numrows, pp->numcols);
    float sum = 0.0f;
    for (int d = 0; d < n; d++) sum += pp->rows[d][d][k].real();
    return sum;
}

void ComplexTensor3::trace(Vector* trace) const {
    VM_ASSERT(trace->size() == pp->depth);
    float* t = trace->data();
    const int n = std::min(pp->numrows, pp->numcols);
    for (int k = 0; k < pp->depth; k++) t[k] = 0.0f;
    for (int d = 0; d < n; d++) {
        const Complex* f = pp->rows[d][d];
        for (int k = 0; k < pp->depth; k++) t[k] += f[k].real();
    }
}

void ComplexTensor3::rotateUp() {
    std::rotate(pp->rows.begin(), pp->rows.begin() + 1, pp->rows.end());
}

void ComplexTensor3::pushBottom(const ComplexMatrix* slice) {
    rotateUp();
    const int last = pp->numrows - 1;
    if (slice) {
        setHorizontalSlice(last, slice);
    } else {
        for (int j = 0; j < pp->numcols; j++)
            std::memset(static_cast<void*>(pp->rows[last][j]), 0, sizeof(Complex) * pp->depth);
    }
}

void ComplexTensor3::rotateDown() {
    std::rotate(pp->rows.begin(), pp->rows.end() - 1, pp->rows.end());
}

void ComplexTensor3::pushTop(const ComplexMatrix* slice) {
    rotateDown();
    if (slice) {
        setHorizontalSlice(0, slice);
    } else {
        for (int j = 0; j < pp->numcols; j++)
            std::memset(static_cast<void*>(pp->rows[0][j]), 0, sizeof(Complex) * pp->depth);
    }
}

}  // namespace velmora::blas
