#pragma once
// Matrix: numrows x numcols floats with checked access, held as a table of row pointers into one
// zero-filled block; each row is padded to a multiple of 4 floats. Row rotation (sliding
// histories) permutes the row pointers only. A view (noStorage) owns no data: its row pointers
// are set by rowsView() of another matrix (or a tensor slice view) and point into that storage.

#include <iosfwd>
#include <memory>
#include <vector>

#include "Error.h"
#include "blas/Vector.h"

namespace velmora::blas {

class Matrix {
  public:
    Matrix(int numrows, int numcols);
    Matrix(int numrows, int numcols, bool noStorage);
    ~Matrix();
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;

    int numRows() const { return pp->numrows; }
    int numColumns() const { return pp->numcols; }
    // The row pointer table: element (i, j) is data()[i][j].
    float** data() { return pp->rows.data(); }
    const float* const* data() const { return pp->rows.data(); }

    float& at(int i, int j) {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        return pp->rows[i][j];
    }
    float get(int i, int j) const {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        return pp->rows[i][j];
    }
    void set(int i, int j, float x) {
        VM_ASSERT(i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols);
        pp->rows[i][j] = x;
    }

    void fill(float x);
    // Every element rand() / 32767.0, row by row.
    void fillRandom();
    void copy(const Matrix* another);
    void checkShape(const Matrix* another) const;

    // Raw native floats row by row, numcols per row: no header, no padding.
    void write(std::ostream& os) const;
    void read(std::istream& is);
    // "%f " per element, a newline after each row.
    void print() const;

    // Views: `row` (a vector view) sees row i; `subm` (a matrix view) sees rows
    // i .. i + subm->numRows() - 1. Both stay valid until this matrix's rows are rotated.
    void rowView(int i, Vector* row);
    void rowsView(int i, Matrix* subm);

    void getRow(int i, Vector* row) const;
    void setRow(int i, const Vector* row);
    void getColumn(int cidx, Vector* c) const;
    void setColumn(int cidx, const Vector* c);
    void copyRow(int from, int to);
    void swapRows(int i0, int i1);
    // The block of subm's shape whose top-left corner is (i0, j0).
    void getBlock(int i0, int j0, Matrix* subm) const;
    void setBlock(int i0, int j0, const Matrix* subm);

    // Sliding histories. Up: row 0 becomes the last row, then the new last row is set from
    // `row` (zeros when null); a matrix is pushed row by row. Down/top is the mirror image, and
    // a pushed matrix keeps its row order. Right/left move every row by one element and put
    // `col` (zeros when null) into the freed column.
    void rotateUp();
    void pushBottom(const Vector* row = nullptr);
    void pushBottom(const Matrix* m);
    void rotateDown();
    void pushTop(const Vector* row = nullptr);
    void pushTop(const Matrix* m);
    void pushRight(const Vector* col = nullptr);
    void pushLeft(const Vector* col = nullptr);

  private:
    struct Impl {
        int numrows;
        int numcols;
        int rowBlocks;
        std::vector<float> storage;
        std::vector<float*> rows;
    };
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::blas
