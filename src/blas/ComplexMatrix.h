#pragma once
// ComplexMatrix: numrows x numcols Complex values with checked access, held as a table of row
// pointers into one zero-filled block; each row is padded to a multiple of 4 elements. A spectral
// block is one of these (a row per channel, a column per bin). Row rotation permutes pointers
// only. A view (noStorage) owns no data: its row pointers are set by rowsView() of another
// matrix or by a tensor slice view, and point into that storage.

#include <cmath>
#include <iosfwd>
#include <memory>
#include <vector>

#include "Error.h"
#include "blas/Complex.h"
#include "blas/ComplexVector.h"

namespace velmora::blas {

class ComplexMatrix {
  public:
    ComplexMatrix(int numrows, int numcols);
    ComplexMatrix(int numrows, int numcols, bool noStorage);
    ~ComplexMatrix();
    ComplexMatrix(const ComplexMatrix&) = delete;
    ComplexMatrix& operator=(const ComplexMatrix&) = delete;

    int numRows() const { return pp->numrows; }
    int numColumns() const { return pp->numcols; }
    // The row pointer table: element (i, j) is data()[i][j].
    Complex** data() { return pp->rows.data(); }
    const Complex* const* data() const { return pp->rows.data(); }

    Complex& at(int i, int j) {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        return pp->rows[i][j];
    }
    Complex get(int i, int j) const {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        return pp->rows[i][j];
    }
    // Either output may be null.
    void get(int i, int j, float* re, float* im) const {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        if (re) *re = pp->rows[i][j].real();
        if (im) *im = pp->rows[i][j].imag();
    }
    void set(int i, int j, Complex x) {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        pp->rows[i][j] = x;
    }
    void set(int i, int j, float re, float im) {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        pp->rows[i][j] = Complex(re, im);
    }
    float real(int i, int j) const {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        return pp->rows[i][j].real();
    }
    void setReal(int i, int j, float x) {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        pp->rows[i][j].real(x);
    }
    float imag(int i, int j) const {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        return pp->rows[i][j].imag();
    }
    void setImag(int i, int j, float x) {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        pp->rows[i][j].imag(x);
    }
    // Squared magnitude re^2 + im^2, and magnitude (its square root).
    float norm(int i, int j) const {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        const float re = pp->rows[i][j].real(), im = pp->rows[i][j].imag();
        return re * re + im * im;
    }
    float abs(int i, int j) const {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        const float re = pp->rows[i][j].real(), im = pp->rows[i][j].imag();
        return std::sqrt(re * re + im * im);
    }

    void fill(float re, float im);
    void fill(Complex x) { fill(x.real(), x.imag()); }
    // Every real and imaginary part rand() / 32767.0, row by row.
    void fillRandom();
    void copy(const ComplexMatrix* another);
    void checkShape(const ComplexMatrix* another) const;
    // Flips the sign bit of every imaginary part (exactly reversible).
    void conjugate();

    // Raw native (re, im) float pairs row by row, numcols per row: no header, no padding.
    void write(std::ostream& os) const;
    void read(std::istream& is);
    // "(%f, %f) " per element, a newline after each row.
    void print() const;
    // "Real part:", the real parts as "%.16f " rows, "Imaginary part:", the imaginary parts
    // likewise, then an empty line.
    void printParts() const;

    // Views: `row` (a vector view) sees row i; `subm` (a matrix view) sees rows
    // i .. i + subm->numRows() - 1. Both stay valid until this matrix's rows are rotated.
    void rowView(int i, ComplexVector* row);
    void rowsView(int i, ComplexMatrix* subm);

    void getRow(int i, ComplexVector* v) const;
    void setRow(int i, const ComplexVector* v);
    void getColumn(int cidx, ComplexVector* c) const;
    void setColumn(int cidx, const ComplexVector* c);
    void fillColumn(int j, Complex v);
    // Column j of `another` (same shape) into column j of this matrix.
    void copyColumn(int j, const ComplexMatrix* another);
    void copyRow(int from, int to);
    void swapRows(int i0, int i1);
    // The block of subm's shape whose top-left corner is (i0, j0).
    void getBlock(int i0, int j0, ComplexMatrix* subm) const;
    void setBlock(int i0, int j0, const ComplexMatrix* subm);

    // Sliding histories, as for Matrix: rows move by pointer, columns by data within each row.
    void rotateUp();
    void pushBottom(const ComplexVector* row = nullptr);
    void pushBottom(const ComplexMatrix* m);
    void rotateDown();
    void pushTop(const ComplexVector* row = nullptr);
    void pushTop(const ComplexMatrix* m);
    void pushRight(const ComplexVector* col = nullptr);
    void pushLeft(const ComplexVector* col = nullptr);

  private:
    struct Impl {
        int numrows;
        int numcols;
        int rowBlocks;
        std::vector<Complex> storage;
        std::vector<Complex*> rows;
    };
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::blas
