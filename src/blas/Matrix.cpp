#include "blas/Matrix.h"

#include "blas/Random.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>

namespace velmora::blas {

Matrix::Matrix(int numrows, int numcols) : Matrix(numrows, numcols, false) {}

Matrix::Matrix(int numrows, int numcols, bool noStorage) {
    VM_ASSERT(numrows > 0 && numcols > 0);
    pp = std::make_unique<Impl>();
    pp->numrows = numrows;
    pp->numcols = numcols;
    pp->rowBlocks = (numcols + 3) / 4;
    pp->rows.assign(numrows, nullptr);
    if (!noStorage) {
        const size_t stride = static_cast<size_t>(pp->rowBlocks) * 4;
        pp->storage.assign(static_cast<size_t>(numrows) * stride, 0.0f);
        for (int i = 0; i < numrows; i++) pp->rows[i] = pp->storage.data() + i * stride;
    }
}

Matrix::~Matrix() = default;

void Matrix::fill(float x) {
    const int n = pp->numcols;
    for (int i = 0; i < pp->numrows; i++) {
        float* r = pp->rows[i];
        for (int j = 0; j < n; j++) r[j] = x;
    }
}

void Matrix::fillRandom() {
    for (int i = 0; i < pp->numrows; i++)
        for (int j = 0; j < pp->numcols; j++) pp->rows[i][j] = randomUnit();
}

void Matrix::copy(const Matrix* another) {
    VM_ASSERT(numRows() == another->numRows() && numColumns() == another->numColumns());
    for (int i = 0; i < pp->numrows; i++)
        if (pp->rows[i] != another->pp->rows[i])
            std::memmove(pp->rows[i], another->pp->rows[i], sizeof(float) * pp->numcols);
}

void Matrix::checkShape(const Matrix* another) const {
    VM_ASSERT(numRows() == another->numRows() && numColumns() == another->numColumns());
}

void Matrix::write(std::ostream& os) const {
    for (int i = 0; i < pp->numrows; i++)
        os.write(reinterpret_cast<const char*>(pp->rows[i]),
                 static_cast<std::streamsize>(sizeof(float) * pp->numcols));
}

void Matrix::read(std::istream& is) {
    for (int i = 0; i < pp->numrows; i++)
        is.read(reinterpret_cast<char*>(pp->rows[i]),
                static_cast<std::streamsize>(sizeof(float) * pp->numcols));
}

void Matrix::print() const {
    for (int i = 0; i < pp->numrows; i++) {
        for (int j = 0; j < pp->numcols; j++) printf("%f ", pp->rows[i][j]);
        printf("\n");
    }
}

void Matrix::rowView(int i, Vector* row) {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(row->size() == pp->numcols);
    row->setView(pp->rows[i]);
}

void Matrix::rowsView(int i, Matrix* subm) {
    VM_ASSERT(i >= 0 && i + subm->numRows() <= numRows());
    VM_ASSERT(numColumns() == subm->numColumns());
    for (int r = 0; r < subm->pp->numrows; r++) subm->pp->rows[r] = pp->rows[i + r];
}

void Matrix::getRow(int i, Vector* row) const {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(row->size() == pp->numcols);
    std::memmove(row->data(), pp->rows[i], sizeof(float) * pp->numcols);
}

void Matrix::setRow(int i, const Vector* row) {
    VM_ASSERT(i >= 0 && i < pp->numrows);
    VM_ASSERT(row->size() == pp->numcols);
    std::memmove(pp->rows[i], row->data(), sizeof(float) * pp->numcols);
}

void Matrix::getColumn(int cidx, Vector* c) const {
    VM_ASSERT(cidx >= 0 && cidx < numColumns());
    VM_ASSERT(c->size() == numRows());
    float* d = c->data();
    for (int i = 0; i < pp->numrows; i++) d[i] = pp->rows[i][cidx];
}

void Matrix::setColumn(int cidx, const Vector* c) {
    VM_ASSERT(cidx >= 0 && cidx < numColumns());
    VM_ASSERT(c->size() == numRows());
    const float* d = c->data();
    for (int i = 0; i < pp->numrows; i++) pp->rows[i][cidx] = d[i];
}

void Matrix::copyRow(int from, int to) {
    VM_ASSERT(from >= 0 && from < pp->numrows && to >= 0 && to < pp->numrows);
    if (pp->rows[from] != pp->rows[to])
        std::memmove(pp->rows[to], pp->rows[from], sizeof(float) * pp->numcols);
}

void Matrix::swapRows(int i0, int i1) {
    VM_ASSERT(i0 >= 0 && i0 < pp->numrows);
    VM_ASSERT(i1 >= 0 && i1 < pp->numrows);
    std::swap(pp->rows[i0], pp->rows[i1]);
}

void Matrix::getBlock(int i0, int j0, Matrix* subm) const {
    VM_ASSERT(i0 >= 0 && i0 < numRows() && j0 >= 0 && j0 < numColumns());
    VM_ASSERT(i0 + subm->numRows() <= numRows());
    VM_ASSERT(j0 + subm->numColumns() <= numColumns());
    for (int r = 0; r < subm->pp->numrows; r++)
        std::memmove(subm->pp->rows[r], pp->rows[i0 + r] + j0, sizeof(float) * subm->pp->numcols);
}

void Matrix::setBlock(int i0, int j0, const Matrix* subm) {
    VM_ASSERT(i0 >= 0 && i0 < numRows() && j0 >= 0 && j0 < numColumns());
    VM_ASSERT(i0 + subm->numRows() <= numRows());
    VM_ASSERT(j0 + subm->numColumns() <= numColumns());
    for (int r = 0; r < subm->pp->numrows; r++)
        std::memmove(pp->rows[i0 + r] + j0, subm->pp->rows[r], sizeof(float) * subm->pp->numcols);
}

void Matrix::rotateUp() {
    std::rotate(pp->rows.begin(), pp->rows.begin() + 1, pp->rows.end());
}

void Matrix::pushBottom(const Vector* row) {
    if (row) VM_ASSERT(row->size() == pp->numcols);
    rotateUp();
    float* last = pp->rows[pp->numrows - 1];
    if (row)
        std::memmove(last, row->data(), sizeof(float) * pp->numcols);
    else
        std::memset(last, 0, sizeof(float) * pp->numcols);
}

void Matrix::pushBottom(const Matrix* m) {
    VM_ASSERT(m->pp->numcols == pp->numcols);
    for (int r = 0; r < m->pp->numrows; r++) {
        rotateUp();
        std::memmove(pp->rows[pp->numrows - 1], m->pp->rows[r], sizeof(float) * pp->numcols);
    }
}

void Matrix::rotateDown() {
    std::rotate(pp->rows.begin(), pp->rows.end() - 1, pp->rows.end());
}

void Matrix::pushTop(const Vector* row) {
    if (row) VM_ASSERT(row->size() == pp->numcols);
    rotateDown();
    if (row)
        std::memmove(pp->rows[0], row->data(), sizeof(float) * pp->numcols);
    else
        std::memset(pp->rows[0], 0, sizeof(float) * pp->numcols);
}

void Matrix::pushTop(const Matrix* m) {
    VM_ASSERT(m->pp->numcols == pp->numcols);
    for (int r = m->pp->numrows - 1; r >= 0; r--) {
        rotateDown();
        std::memmove(pp->rows[0], m->pp->rows[r], sizeof(float) * pp->numcols);
    }
}

void Matrix::pushRight(const Vector* col) {
    if (col) VM_ASSERT(col->size() == pp->numrows);
    const int n = pp->numcols;
    for (int i = 0; i < pp->numrows; i++) {
        float* r = pp->rows[i];
        std::memmove(r, r + 1, sizeof(float) * (n - 1));
        r[n - 1] = col ? col->data()[i] : 0.0f;
    }
}

void Matrix::pushLeft(const Vector* col) {
    if (col) VM_ASSERT(col->size() == pp->numrows);
    const int n = pp->numcols;
    for (int i = 0; i < pp->numrows; i++) {
        float* r = pp->rows[i];
        std::memmove(r + 1, r, sizeof(float) * (n - 1));
        r[0] = col ? col->data()[i] : 0.0f;
    }
}

}  // namespace velmora::blas
