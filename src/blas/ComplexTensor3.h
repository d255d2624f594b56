#pragma once
// ComplexTensor3: numrows x numcols x depth Complex values, typically one small matrix per
// frequency bin (depth = bins). Element (i, j, k) is fiber (i, j) at k: each depth fiber is one
// contiguous run padded to a multiple of 4 elements inside one zero-filled block, reached through
// a table of numrows tables of numcols fiber pointers. Row rotation permutes the row tables only.
// A view (noStorage) owns no data; its fiber pointers are set by rowsView()/columnsView().

#include <cmath>
#include <iosfwd>
#include <memory>
#include <vector>

#include "Error.h"
#include "blas/Complex.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"

namespace velmora::blas {

class ComplexTensor3 {
  public:
    ComplexTensor3(int numrows, int numcols, int depth);
    ComplexTensor3(int numrows, int numcols, int depth, bool noStorage);
    ~ComplexTensor3();
    ComplexTensor3(const ComplexTensor3&) = delete;
    ComplexTensor3& operator=(const ComplexTensor3&) = delete;

    int numRows() const { return pp->numrows; }
    int numColumns() const { return pp->numcols; }
    int depth() const { return pp->depth; }
    // The fiber pointer tables: element (i, j, k) is data()[i][j][k].
    Complex*** data() { return pp->rows.data(); }
    const Complex* const* const* data() const { return pp->rows.data(); }

    Complex& at(int i, int j, int k) {
        VM_ASSERT(i >= 0 && i < pp->numrows);
        VM_ASSERT(j >= 0 && j < pp->numcols);
        VM_ASSERT(k >= 0 && k < pp->depth);
        return pp->rows[i][j][k];
    }
    Complex get(int i, int j, int k) const {
        VM_ASSERT(i >= 0 && i < pp->numrows);
        VM_ASSERT(j >= 0 && j < pp->numcols);
        VM_ASSERT(k >= 0 && k < pp->depth);
        return pp->rows[i][j][k];
    }
    // Either output may be null.
    void get(int i, int j, int k, float* re, float* im) const {
        const Complex x = get(i, j, k);
        if (re) *re = x.real();
        if (im) *im = x.imag();
    }
    void set(int i, int j, int k, Complex x) { at(i, j, k) = x; }
    void set(int i, int j, int k, float re, float im) { at(i, j, k) = Complex(re, im); }
    float real(int i, int j, int k) const { return get(i, j, k).real(); }
    void setReal(int i, int j, int k, float x) { at(i, j, k).real(x); }
    float imag(int i, int j, int k) const { return get(i, j, k).imag(); }
    void setImag(int i, int j, int k, float x) { at(i, j, k).imag(x); }
    // Squared magnitude re^2 + im^2, and magnitude (its square root).
    float norm(int i, int j, int k) const {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols && k >= 0 &&
                  k < pp->depth);
        const float re = pp->rows[i][j][k].real(), im = pp->rows[i][j][k].imag();
        return re * re + im * im;
    }
    float abs(int i, int j, int k) const {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols && k >= 0 &&
                  k < pp->depth);
        const float re = pp->rows[i][j][k].real(), im = pp->rows[i][j][k].imag();
        return std::sqrt(re * re + im * im);
    }

    void fill(float re, float im);
    void fill(Complex x) { fill(x.real(), x.imag()); }
    // Every real and imaginary part rand() / 32767.0, fiber by fiber.
    void fillRandom();
    // For every k a random Hermitian matrix: real diagonal, (j, i) = conj((i, j)). Square only.
    void fillRandomHermitian();
    void copy(const ComplexTensor3* another);
    void checkShape(const ComplexTensor3* another) const;
    // Flips the sign bit of every imaginary part (exactly reversible).
    void conjugate();

    // Raw native (re, im) float pairs fiber by fiber (i outer, j inner), depth per fiber: no
    // header, no padding.
    void write(std::ostream& os) const;
    void read(std::istream& is);
    // For each k: "Slice %d:", the numrows x numcols matrix at k as "(%f, %f) " rows, an empty
    // line.
    void print() const;

    // Row-direction fiber (i, k): numcols elements.
    void getRowFiber(int i, int k, ComplexVector* fiber) const;
    void setRowFiber(int i, int k, const ComplexVector* fiber);
    // Column-direction fiber (j, k): numrows elements.
    void getColumnFiber(int j, int k, ComplexVector* fiber) const;
    void setColumnFiber(int j, int k, const ComplexVector* fiber);
    // Depth fiber (i, j): depth elements (contiguous, so it can also be viewed).
    void depthView(int i, int j, ComplexVector* fiber);
    void getDepthFiber(int i, int j, ComplexVector* fiber) const;
    void setDepthFiber(int i, int j, const ComplexVector* fiber);

    // Frontal slice k: numrows x numcols.
    void getFrontalSlice(int k, ComplexMatrix* slice) const;
    void setFrontalSlice(int k, const ComplexMatrix* slice);
    void copyFrontalSlice(int k, const ComplexTensor3* another);
    // Lateral slice j: numrows x depth (row i is fiber (i, j)).
    void getLateralSlice(int j, ComplexMatrix* slice) const;
    void setLateralSlice(int j, const ComplexMatrix* slice);
    void lateralView(int j, ComplexMatrix* slice);
    // Horizontal slice i: numcols x depth (row j is fiber (i, j)).
    void getHorizontalSlice(int i, ComplexMatrix* slice) const;
    void setHorizontalSlice(int i, const ComplexMatrix* slice);
    void horizontalView(int i, ComplexMatrix* slice);

    // Tensor views on columns j .. j + sub->numColumns() - 1 / rows i .. i + sub->numRows() - 1.
    // They stay valid until this tensor's rows are rotated.
    void columnsView(int j, ComplexTensor3* sub);
    void rowsView(int i, ComplexTensor3* sub);

    // Sum of the real parts of (d, d, k) for d < min(numrows, numcols).
    float trace(int k) const;
    // trace(k) for every k.
    void trace(Vector* trace) const;

    // Sliding histories over rows: row 0 becomes the last row (or the last becomes row 0) by
    // moving row tables, then the freed horizontal slice is set from `slice` (zeros when null).
    void rotateUp();
    void pushBottom(const ComplexMatrix* slice = nullptr);
    void rotateDown();
    void pushTop(const ComplexMatrix* slice = nullptr);

  private:
    struct Impl {
        int numrows;
        int numcols;
        int depth;
        int depthBlocks;
        std::vector<Complex> storage;
        std::vector<Complex**> rows;   // numrows tables of numcols fiber pointers ...
        std::vector<Complex*> fibers;  // ... which live here, numcols per row table
    };
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::blas
