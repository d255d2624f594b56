#include "blas/ComplexMatrix.h"

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

void zeroRun(Complex* dst, int n) {
    std::memset(static_cast<void*>(dst), 0, sizeof(Complex) * n);
}

}  // namespace

ComplexMatrix::ComplexMatrix(int numrows, int numcols) : ComplexMatrix(numrows, numcols, false) {}

ComplexMatrix::ComplexMatrix(int numrows, int numcols, bool noStorage) {
    VM_ASSERT(numrows > 0 && numcols > 0);
    pp = std::make_unique<Impl>();
    pp->numrows = numrows;
    pp->numcols = numcols;
    pp->rowBlocks = (numcols + 3) / 4;
    pp->rows.assign(numrows, nullptr);
    if (!noStorage) {
        const size_t stride = static_cast<size_t>(pp->rowBlocks) * 4;
        pp->storage.assign(static_cast<size_t>(numrows) * stride, Complex(0.0f, 0.0f));
        for (int i = 0; i < numrows; i++) pp->rows[i] = pp->storage.data() + i * stride;
    }
}

ComplexMatrix::~ComplexMatrix() = default;

void ComplexMatrix::fill(float re, float im) {
    const int n = pp->numcols;
    for (int i = 0; i < pp->numrows; i++) {
        float* r = reinterpret_cast<float*>(pp->rows[i]);
        for (int j = 0; j < n; j++) {
            r[2 * j] = re;
            r[2 * j + 1] = im;
        }
    }
}

void ComplexMatrix::fillRandom() {
    for (int i = 0; i < pp->numrows; i++)
        for (int j = 0; j < pp->numcols; j++) {
            const float re = randomUnit();
            const float im = randomUnit();
            pp->rows[i][j] = Complex(re, im);
        }
}

void ComplexMatrix::copy(const ComplexMatrix* another) {
    VM_ASSERT(numRows() == another->numRows() && numColumns() == another->numColumns());
    for (int i = 0; i < pp->numrows; i++) moveRun(pp->rows[i], another->pp->rows[i], pp->numcols);
}

void ComplexMatrix::checkShape(const ComplexMatrix* another) const {
    VM_ASSERT(numRows() == another->numRows() && numColumns() == another->numColumns());
}

void ComplexMatrix::conjugate() {
    // Negation is a pure sign-bit flip: exact for every value, including zeros and NaNs.
    const int n = pp->numcols;
    for (int i = 0; i < pp->numrows; i++) {
        float* r = reinterpret_cast<float*>(pp->rows[i]);
        for (int j = 0; j < n; j++) r[2 * j + 1] = -r[2 * j + 1];
    }
}

void ComplexMatrix::write(std::ostream& os) const {
    for (int i = 0; i < pp->numrows; i++)
        os.write(reinterpret_cast<const char*>(pp->rows[i]),
                 static_cast<std::streamsize>(sizeof(Complex) * pp->numcols));
}

void ComplexMatrix::read(std::istream& is) {
    for (int i = 0; i < pp->numrows; i++)
        is.read(reinterpret_cast<char*>(pp->rows[i]),
                static_cast<std::streamsize>(sizeof(Complex) * pp->numcols));
}

void ComplexMatrix::print() const {
    for (int i = 0; i < pp->numrows; i++) {
        for (int j = 0; j < pp->numcols; j++)
            printf("(%f, %f) ", pp->rows[i][j].real(), pp->rows[i][j].imag());
        printf("\n");
    }
}

void ComplexMatrix::printParts() const {
    printf("Real part:\n");
    for (int i = 0; i < pp->numrows; i++) {
        for (int j = 0; j < pp->numcols; j++) printf("%.16f ", pp->rows[i][j].real());
        printf("\n");
    }
    printf("Imaginary part:\n");
    for (int i = 0; i < pp->numrows; i++) {
        for (int j = 0; j < pp->numcols; j++) printf("%.16f ", pp->rows[i][j].imag());
        printf("\n");
    }
    printf("\n");
}

void ComplexMatrix::rowView(int i, ComplexVector* row) {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(row->size() == pp->numcols);
    row->setView(pp->rows[i]);
}

void ComplexMatrix::rowsView(int i, ComplexMatrix* subm) {
    VM_ASSERT(i >= 0 && i + subm->numRows() <= numRows());
    VM_ASSERT(numColumns() == subm->numColumns());
    for (int r = 0; r < subm->pp->numrows; r++) subm->pp->rows[r] = pp->rows[i + r];
}

void ComplexMatrix::getRow(int i, ComplexVector* v) const {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(v->size() == pp->numcols);
    moveRun(v->data(), pp->rows[i], pp->numcols);
}

void ComplexMatrix::setRow(int i, const ComplexVector* v) {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(v->size() == pp->numcols);
    moveRun(pp->rows[i], v->data(), pp->numcols);
}

void ComplexMatrix::getColumn(int cidx, ComplexVector* c) const {
    VM_ASSERT(cidx >= 0 && cidx < numColumns());
    VM_ASSERT(c->size() == numRows());
    Complex* d = c->data();
    for (int i = 0; i < pp->numrows; i++) d[i] = pp->rows[i][cidx];
}

void ComplexMatrix::setColumn(int cidx, const ComplexVector* c) {
    VM_ASSERT(cidx >= 0 && cidx < numColumns());
    VM_ASSERT(c->size() == numRows());
    const Complex* d = c->data();
    for (int i = 0; i < pp->numrows; i++) pp->rows[i][cidx] = d[i];
}

void ComplexMatrix::fillColumn(int j, Complex v) {
    VM_ASSERT(j >= 0 && j < pp->numcols);
    for (int i = 0; i < pp->numrows; i++) pp->rows[i][j] = v;
}

void ComplexMatrix::copyColumn(int j, const ComplexMatrix* another) {
    VM_ASSERT(j >= 0 && j < pp->numcols);
    VM_ASSERT(another->numRows() == pp->numrows && another->numColumns() == pp->numcols);
    for (int i = 0; i < pp->numrows; i++) pp->rows[i][j] = another->pp->rows[i][j];
}

void ComplexMatrix::copyRow(int from, int to) {
    VM_ASSERT(from >= 0 && from < pp->numrows && to >= 0 && to < pp->numrows);
    moveRun(pp->rows[to], pp->rows[from], pp->numcols);
}

void ComplexMatrix::swapRows(int i0, int i1) {
    VM_ASSERT(i0 >= 0 && i0 < pp->numrows);
    VM_ASSERT(i1 >= 0 && i1 < pp->numrows);
    std::swap(pp->rows[i0], pp->rows[i1]);
}

void ComplexMatrix::getBlock(int i0, int j0, ComplexMatrix* subm) const {
    VM_ASSERT(i0 >= 0 && i0 < numRows() && j0 >= 0 && j0 < numColumns());
    VM_ASSERT(i0 + subm->numRows() <= numRows());
    VM_ASSERT(j0 + subm->numColumns() <= numColumns());
    for (int r = 0; r < subm->pp->numrows; r++)
        moveRun(subm->pp->rows[r], pp->rows[i0 + r] + j0, subm->pp->numcols);
}

void ComplexMatrix::setBlock(int i0, int j0, const ComplexMatrix* subm) {
    VM_ASSERT(i0 >= 0 && i0 < numRows() && j0 >= 0 && j0 < numColumns());
    VM_ASSERT(i0 + subm->numRows() <= numRows());
    VM_ASSERT(j0 + subm->numColumns() <= numColumns());
    for (int r = 0; r < subm->pp->numrows; r++)
        moveRun(pp->rows[i0 + r] + j0, subm->pp->rows[r], subm->pp->numcols);
}

void ComplexMatrix::rotateUp() {
    std::rotate(pp->rows.begin(), pp->rows.begin() + 1, pp->rows.end());
}

void ComplexMatrix::pushBottom(const ComplexVector* row) {
    if (row) VM_ASSERT(row->size() == pp->numcols);
    rotateUp();
    Complex* last = pp->rows[pp->numrows - 1];
    if (row)
        moveRun(last, row->data(), pp->numcols);
    else
        zeroRun(last, pp->numcols);
}

void ComplexMatrix::pushBottom(const ComplexMatrix* m) {
    VM_ASSERT(m->numColumns() == pp->numcols);
    for (int r = 0; r < m->pp->numrows; r++) {
        rotateUp();
        moveRun(pp->rows[pp->numrows - 1], m->pp->rows[r], pp->numcols);
    }
}

void ComplexMatrix::rotateDown() {
    std::rotate(pp->rows.begin(), pp->rows.end() - 1, pp->rows.end());
}

void ComplexMatrix::pushTop(const ComplexVector* row) {
    if (row) VM_ASSERT(row->size() == pp->numcols);
    rotateDown();
    if (row)
        moveRun(pp->rows[0], row->data(), pp->numcols);
    else
        zeroRun(pp->rows[0], pp->numcols);
}

void ComplexMatrix::pushTop(const ComplexMatrix* m) {
    VM_ASSERT(m->numColumns() == pp->numcols);
    for (int r = m->pp->numrows - 1; r >= 0; r--) {
        rotateDown();
        moveRun(pp->rows[0], m->pp->rows[r], pp->numcols);
    }
}

void ComplexMatrix::pushRight(const ComplexVector* col) {
    if (col) VM_ASSERT(col->size() == pp->numrows);
    const int n = pp->numcols;
    for (int i = 0; i < pp->numrows; i++) {
        Complex* r = pp->rows[i];
        moveRun(r, r + 1, n - 1);
        r[n - 1] = col ? col->data()[i] : Complex(0.0f, 0.0f);
    }
}

void ComplexMatrix::pushLeft(const ComplexVector* col) {
    if (col) VM_ASSERT(col->size() == pp->numrows);
    const int n = pp->numcols;
    for (int i = 0; i < pp->numrows; i++) {
        Complex* r = pp->rows[i];
        moveRun(r + 1, r, n - 1);
        r[0] = col ? col->data()[i] : Complex(0.0f, 0.0f);
    }
}

}  // namespace velmora::blas
