// Matrix and ComplexMatrix: padded rows, row/column/block copies, views, sliding histories by
// row pointer rotation, raw I/O and the print forms.

#include <gtest/gtest.h>

#include "common/TestUtil.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Matrix.h"
#include "blas/Vector.h"

using velmora::blas::Complex;
using velmora::blas::ComplexMatrix;
using velmora::blas::ComplexVector;
using velmora::blas::Matrix;
using velmora::blas::Vector;

using velmora::test::assertText;

namespace {

// Element (i, j) = 10 * i + j, so every row and column is recognisable.
void numberRows(Matrix* m) {
    for (int i = 0; i < m->numRows(); i++)
        for (int j = 0; j < m->numColumns(); j++) m->set(i, j, float(10 * i + j));
}

void numberRows(ComplexMatrix* m) {
    for (int i = 0; i < m->numRows(); i++)
        for (int j = 0; j < m->numColumns(); j++) m->set(i, j, float(10 * i + j), float(-j));
}

}  // namespace

TEST(MatrixContainer, PaddedRowsAndCheckedAccess) {
    Matrix m(3, 5);
    EXPECT_EQ(m.numRows(), 3);
    EXPECT_EQ(m.numColumns(), 5);
    EXPECT_EQ(m.data()[1] - m.data()[0], 8);  // 5 columns padded to 8
    EXPECT_EQ(m.data()[2] - m.data()[1], 8);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 5; j++) EXPECT_EQ(m.get(i, j), 0.0f);
    ComplexMatrix c(2, 4);
    EXPECT_EQ(c.data()[1] - c.data()[0], 4);

    const char* idx = "i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols";
    EXPECT_DEATH(m.set(3, 0, 1.0f), assertText(idx));
    EXPECT_DEATH(m.get(0, 5), assertText(idx));
    EXPECT_DEATH(c.norm(-1, 0), assertText(idx));
    EXPECT_DEATH(c.setImag(0, 4, 1.0f), assertText(idx));
    EXPECT_DEATH(Matrix(0, 3), assertText("numrows > 0 && numcols > 0"));
    EXPECT_DEATH(ComplexMatrix(2, 0, true), assertText("numrows > 0 && numcols > 0"));
}

TEST(MatrixContainer, RotateUpMovesRowPointersOnly) {
    Matrix m(3, 4);
    numberRows(&m);
    float* oldRow0 = m.data()[0];
    float* oldRow1 = m.data()[1];
    m.rotateUp();
    EXPECT_EQ(m.data()[0], oldRow1);
    EXPECT_EQ(m.data()[2], oldRow0);
    EXPECT_EQ(m.get(0, 3), 13.0f);
    EXPECT_EQ(m.get(2, 1), 1.0f);
    m.rotateDown();
    EXPECT_EQ(m.data()[0], oldRow0);
    EXPECT_EQ(m.get(1, 2), 12.0f);
}

TEST(MatrixContainer, PushRowsAndMatricesAtBottomAndTop) {
    Matrix m(4, 3);
    numberRows(&m);
    Vector row(3);
    row.fill(7.0f);
    m.pushBottom(&row);
    EXPECT_EQ(m.get(0, 0), 10.0f);
    EXPECT_EQ(m.get(3, 2), 7.0f);
    m.pushBottom();
    EXPECT_EQ(m.get(0, 0), 20.0f);
    EXPECT_EQ(m.get(2, 1), 7.0f);
    EXPECT_EQ(m.get(3, 1), 0.0f);
    m.pushTop(&row);
    EXPECT_EQ(m.get(0, 0), 7.0f);
    EXPECT_EQ(m.get(1, 0), 20.0f);

    // A pushed matrix keeps its row order at either end.
    Matrix two(2, 3);
    numberRows(&two);
    two.set(0, 0, 100.0f);
    two.set(1, 0, 200.0f);
    m.pushTop(&two);
    EXPECT_EQ(m.get(0, 0), 100.0f);
    EXPECT_EQ(m.get(1, 0), 200.0f);
    EXPECT_EQ(m.get(2, 0), 7.0f);
    EXPECT_EQ(m.get(3, 0), 20.0f);
    m.pushBottom(&two);
    EXPECT_EQ(m.get(0, 0), 7.0f);
    EXPECT_EQ(m.get(2, 0), 100.0f);
    EXPECT_EQ(m.get(3, 0), 200.0f);

    Matrix narrow(2, 2);
    EXPECT_DEATH(m.pushBottom(&narrow), assertText("m->pp->numcols == pp->numcols"));

    ComplexMatrix cm(4, 3);
    ComplexMatrix ctwo(2, 3);
    numberRows(&ctwo);
    cm.pushTop(&ctwo);
    EXPECT_EQ(cm.get(0, 1), Complex(1.0f, -1.0f));
    EXPECT_EQ(cm.get(1, 1), Complex(11.0f, -1.0f));
    EXPECT_EQ(cm.get(2, 1), Complex(0.0f, 0.0f));
    cm.pushBottom(&ctwo);
    EXPECT_EQ(cm.get(3, 2), Complex(12.0f, -2.0f));
    ComplexMatrix cnarrow(1, 2);
    EXPECT_DEATH(cm.pushTop(&cnarrow), assertText("m->numColumns() == pp->numcols"));
}

TEST(MatrixContainer, PushColumnsShiftEveryRow) {
    Matrix m(2, 3);
    numberRows(&m);
    Vector col(2);
    col.set(0, -1.0f);
    col.set(1, -2.0f);
    m.pushRight(&col);
    EXPECT_EQ(m.get(0, 0), 1.0f);
    EXPECT_EQ(m.get(1, 1), 12.0f);
    EXPECT_EQ(m.get(1, 2), -2.0f);
    m.pushLeft();
    EXPECT_EQ(m.get(0, 0), 0.0f);
    EXPECT_EQ(m.get(0, 1), 1.0f);
    EXPECT_EQ(m.get(1, 2), 12.0f);

    ComplexMatrix c(2, 3);
    numberRows(&c);
    c.pushRight();
    EXPECT_EQ(c.get(1, 0), Complex(11.0f, -1.0f));
    EXPECT_EQ(c.get(1, 2), Complex(0.0f, 0.0f));
}

TEST(MatrixContainer, RowColumnBlockCopies) {
    Matrix m(3, 4);
    numberRows(&m);
    Vector row(4), col(3);
    m.getRow(2, &row);
    EXPECT_EQ(row.get(3), 23.0f);
    m.getColumn(1, &col);
    EXPECT_EQ(col.get(2), 21.0f);
    col.fill(-5.0f);
    m.setColumn(0, &col);
    EXPECT_EQ(m.get(1, 0), -5.0f);
    m.setRow(0, &row);
    EXPECT_EQ(m.get(0, 2), 22.0f);

    m.copyRow(1, 2);
    EXPECT_EQ(m.get(2, 3), 13.0f);
    EXPECT_NE(m.data()[1], m.data()[2]);
    float* row0 = m.data()[0];
    m.swapRows(0, 2);
    EXPECT_EQ(m.data()[2], row0);

    Matrix block(2, 2);
    numberRows(&m);
    m.getBlock(1, 2, &block);
    EXPECT_EQ(block.get(0, 0), 12.0f);
    EXPECT_EQ(block.get(1, 1), 23.0f);
    block.fill(0.5f);
    m.setBlock(0, 0, &block);
    EXPECT_EQ(m.get(1, 1), 0.5f);
    EXPECT_EQ(m.get(1, 2), 12.0f);

    Vector shortRow(3);
    EXPECT_DEATH(m.getRow(0, &shortRow), assertText("row->size() == pp->numcols"));
    EXPECT_DEATH(m.setRow(3, &row), assertText("i >= 0 && i < pp->numrows"));
    EXPECT_DEATH(m.getColumn(4, &col), assertText("cidx >= 0 && cidx < numColumns()"));
    EXPECT_DEATH(m.setColumn(0, &row), assertText("c->size() == numRows()"));
    EXPECT_DEATH(m.copyRow(0, 3),
                 assertText("from >= 0 && from < pp->numrows && to >= 0 && to < pp->numrows"));
    EXPECT_DEATH(m.swapRows(-1, 0), assertText("i0 >= 0 && i0 < pp->numrows"));
    EXPECT_DEATH(m.swapRows(0, 3), assertText("i1 >= 0 && i1 < pp->numrows"));
    EXPECT_DEATH(m.getBlock(0, 4, &block),
                 assertText("i0 >= 0 && i0 < numRows() && j0 >= 0 && j0 < numColumns()"));
    EXPECT_DEATH(m.setBlock(2, 0, &block), assertText("i0 + subm->numRows() <= numRows()"));
    EXPECT_DEATH(m.getBlock(0, 3, &block), assertText("j0 + subm->numColumns() <= numColumns()"));

    ComplexMatrix c(3, 2);
    ComplexVector v(3), cv(2);
    EXPECT_DEATH(c.getRow(0, &v), assertText("v->size() == pp->numcols"));
    EXPECT_DEATH(c.setColumn(0, &cv), assertText("c->size() == numRows()"));
}

TEST(MatrixContainer, ComplexColumnFillAndCopy) {
    ComplexMatrix a(3, 4), b(3, 4);
    numberRows(&b);
    a.fillColumn(2, Complex(1.0f, -1.0f));
    EXPECT_EQ(a.get(2, 2), Complex(1.0f, -1.0f));
    EXPECT_EQ(a.get(2, 1), Complex(0.0f, 0.0f));
    a.copyColumn(3, &b);
    EXPECT_EQ(a.get(1, 3), Complex(13.0f, -3.0f));
    EXPECT_EQ(a.get(1, 0), Complex(0.0f, 0.0f));
    ComplexMatrix other(4, 3);
    EXPECT_DEATH(a.fillColumn(4, Complex()), assertText("j >= 0 && j < pp->numcols"));
    EXPECT_DEATH(a.copyColumn(0, &other), assertText("another->numRows() == pp->numrows && "
                                                     "another->numColumns() == pp->numcols"));
}

TEST(MatrixContainer, ViewsShareStorageBothWays) {
    ComplexMatrix m(4, 3);
    {
        ComplexVector row(3, true);
        m.rowView(2, &row);
        m.set(2, 1, 5.0f, 6.0f);
        EXPECT_EQ(row.get(1), Complex(5.0f, 6.0f));
        row.set(0, -1.0f, -2.0f);
        EXPECT_EQ(m.get(2, 0), Complex(-1.0f, -2.0f));
    }
    // The view is gone; the matrix and its data are intact.
    EXPECT_EQ(m.get(2, 0), Complex(-1.0f, -2.0f));
    EXPECT_EQ(m.get(2, 1), Complex(5.0f, 6.0f));
    m.set(3, 2, 1.0f, 1.0f);

    {
        ComplexMatrix sub(2, 3, true);
        m.rowsView(2, &sub);
        EXPECT_EQ(sub.get(0, 1), Complex(5.0f, 6.0f));
        sub.set(1, 0, 9.0f, 0.0f);
        EXPECT_EQ(m.get(3, 0), Complex(9.0f, 0.0f));
        EXPECT_EQ(sub.get(1, 2), Complex(1.0f, 1.0f));
    }
    EXPECT_EQ(m.get(3, 0), Complex(9.0f, 0.0f));

    Matrix r(3, 2);
    Vector rv(2, true);
    r.rowView(1, &rv);
    rv.set(1, 3.0f);
    EXPECT_EQ(r.get(1, 1), 3.0f);
    Matrix rsub(2, 2, true);
    r.rowsView(1, &rsub);
    EXPECT_EQ(rsub.get(0, 1), 3.0f);

    Vector wrong(3, true);
    EXPECT_DEATH(r.rowView(0, &wrong), assertText("row->size() == pp->numcols"));
    EXPECT_DEATH(r.rowView(3, &rv), assertText("i >= 0 && i < pp->numrows"));
    EXPECT_DEATH(r.rowsView(2, &rsub), assertText("i >= 0 && i + subm->numRows() <= numRows()"));
    Matrix wide(1, 3, true);
    EXPECT_DEATH(r.rowsView(0, &wide), assertText("numColumns() == subm->numColumns()"));
}

TEST(MatrixContainer, CopyAndShapeCheck) {
    Matrix a(2, 3), b(2, 3), c(3, 2);
    numberRows(&a);
    b.rotateUp();  // copies follow logical rows, not storage order
    b.copy(&a);
    EXPECT_EQ(b.get(1, 2), 12.0f);
    const char* shape = "numRows() == another->numRows() && numColumns() == another->numColumns()";
    EXPECT_DEATH(c.copy(&a), assertText(shape));
    EXPECT_DEATH(c.checkShape(&a), assertText(shape));
    ComplexMatrix ca(2, 3), cc(2, 2);
    EXPECT_DEATH(cc.checkShape(&ca), assertText(shape));
}

TEST(MatrixContainer, WriteReadRowByRowWithoutPadding) {
    Matrix m(3, 3);
    numberRows(&m);
    m.rotateUp();  // logical row 0 is now the old row 1
    std::stringstream ss;
    m.write(ss);
    ASSERT_EQ(ss.str().size(), 9 * sizeof(float));
    float raw[9];
    std::memcpy(raw, ss.str().data(), sizeof(raw));
    EXPECT_EQ(raw[0], 10.0f);
    EXPECT_EQ(raw[3], 20.0f);
    EXPECT_EQ(raw[8], 2.0f);
    Matrix back(3, 3);
    back.read(ss);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) EXPECT_EQ(back.get(i, j), m.get(i, j));

    ComplexMatrix c(2, 3);
    numberRows(&c);
    std::stringstream cs;
    c.write(cs);
    ASSERT_EQ(cs.str().size(), 6 * sizeof(Complex));
    ComplexMatrix cback(2, 3);
    cback.read(cs);
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 3; j++) EXPECT_EQ(cback.get(i, j), c.get(i, j));
}

TEST(MatrixContainer, ConjugateTwiceIsBitExact) {
    ComplexMatrix m(3, 5);
    m.fillRandom();
    m.set(0, 0, 1.0f, -0.0f);
    ComplexMatrix before(3, 5);
    before.copy(&m);
    m.conjugate();
    EXPECT_EQ(m.imag(1, 3), -before.imag(1, 3));
    EXPECT_EQ(m.real(1, 3), before.real(1, 3));
    m.conjugate();
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(std::memcmp(m.data()[i], before.data()[i], 5 * sizeof(Complex)), 0);
}

TEST(MatrixContainer, PrintForms) {
    Matrix m(2, 2);
    m.set(0, 1, 0.5f);
    m.set(1, 0, -1.0f);
    testing::internal::CaptureStdout();
    m.print();
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0.000000 0.500000 \n-1.000000 0.000000 \n");

    ComplexMatrix c(2, 1);
    c.set(0, 0, 1.0f, -2.0f);
    c.set(1, 0, 0.25f, 3.0f);
    testing::internal::CaptureStdout();
    c.print();
    c.printParts();
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "(1.000000, -2.000000) \n(0.250000, 3.000000) \n"
              "Real part:\n1.0000000000000000 \n0.2500000000000000 \n"
              "Imaginary part:\n-2.0000000000000000 \n3.0000000000000000 \n\n");
}
