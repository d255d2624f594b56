// ComplexTensor3: padded depth fibers, fibers and slices (copies and views), tensor views,
// traces, row histories, Hermitian fill, raw I/O and the print form.

#include <gtest/gtest.h>

#include "common/TestUtil.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"

using velmora::blas::Complex;
using velmora::blas::ComplexMatrix;
using velmora::blas::ComplexTensor3;
using velmora::blas::ComplexVector;
using velmora::blas::Vector;

using velmora::test::assertText;

namespace {

// Element (i, j, k) = (100 * i + 10 * j + k, -k): every position is recognisable.
Complex tag(int i, int j, int k) {
    return Complex(float(100 * i + 10 * j + k), float(-k));
}

void numberAll(ComplexTensor3* t) {
    for (int i = 0; i < t->numRows(); i++)
        for (int j = 0; j < t->numColumns(); j++)
            for (int k = 0; k < t->depth(); k++) t->set(i, j, k, tag(i, j, k));
}

}  // namespace

TEST(TensorContainer, PaddedFibersAndCheckedAccess) {
    ComplexTensor3 t(2, 3, 5);
    EXPECT_EQ(t.numRows(), 2);
    EXPECT_EQ(t.numColumns(), 3);
    EXPECT_EQ(t.depth(), 5);
    EXPECT_EQ(t.data()[0][1] - t.data()[0][0], 8);  // depth 5 padded to 8
    EXPECT_EQ(t.data()[1][0] - t.data()[0][2], 8);  // fiber (i, j) at (i * numcols + j) * 8
    EXPECT_EQ(t.get(1, 2, 4), Complex(0.0f, 0.0f));
    t.set(1, 2, 4, 3.0f, 4.0f);
    EXPECT_EQ(t.data()[1][2][4], Complex(3.0f, 4.0f));
    EXPECT_EQ(t.norm(1, 2, 4), 25.0f);
    EXPECT_EQ(t.abs(1, 2, 4), 5.0f);
    t.setReal(0, 0, 0, 2.0f);
    t.setImag(0, 0, 0, -1.0f);
    EXPECT_EQ(t.at(0, 0, 0), Complex(2.0f, -1.0f));

    EXPECT_DEATH(t.get(2, 0, 0), assertText("i >= 0 && i < pp->numrows"));
    EXPECT_DEATH(t.set(0, 3, 0, Complex()), assertText("j >= 0 && j < pp->numcols"));
    EXPECT_DEATH(t.real(0, 0, 5), assertText("k >= 0 && k < pp->depth"));
    EXPECT_DEATH(t.norm(0, 0, -1),
                 assertText("i >= 0 && i < pp->numrows && j >= 0 && j < pp->numcols && k >= 0 && "
                            "k < pp->depth"));
    EXPECT_DEATH(ComplexTensor3(0, 1, 1), assertText("numrows > 0"));
    EXPECT_DEATH(ComplexTensor3(1, 0, 1), assertText("numcols > 0"));
    EXPECT_DEATH(ComplexTensor3(1, 1, 0, true), assertText("depth > 0"));
}

TEST(TensorContainer, TraceOfNonSquareSlices) {
    ComplexTensor3 t(2, 3, 4);
    t.fill(1.0f, 1.0f);  // off-diagonal and imaginary parts must not count
    for (int k = 0; k < 4; k++) {
        t.set(0, 0, k, float(k), 5.0f);
        t.set(1, 1, k, 10.0f, -5.0f);
    }
    EXPECT_EQ(t.trace(0), 10.0f);
    EXPECT_EQ(t.trace(3), 13.0f);
    Vector traces(4);
    t.trace(&traces);
    for (int k = 0; k < 4; k++) EXPECT_EQ(traces.get(k), 10.0f + k);

    ComplexTensor3 tall(3, 2, 1);
    tall.fill(2.0f, 0.0f);
    EXPECT_EQ(tall.trace(0), 4.0f);

    Vector wrong(3);
    EXPECT_DEATH(t.trace(&wrong), assertText("trace->size() == pp->depth"));
    EXPECT_DEATH(t.trace(4), assertText("k >= 0 && k < pp->depth"));
}

TEST(TensorContainer, FibersInAllThreeDirections) {
    ComplexTensor3 t(2, 3, 4);
    numberAll(&t);
    ComplexVector rowFiber(3), colFiber(2), depthFiber(4);
    t.getRowFiber(1, 2, &rowFiber);
    for (int j = 0; j < 3; j++) EXPECT_EQ(rowFiber.get(j), tag(1, j, 2));
    t.getColumnFiber(2, 3, &colFiber);
    for (int i = 0; i < 2; i++) EXPECT_EQ(colFiber.get(i), tag(i, 2, 3));
    t.getDepthFiber(0, 1, &depthFiber);
    for (int k = 0; k < 4; k++) EXPECT_EQ(depthFiber.get(k), tag(0, 1, k));

    rowFiber.fill(-1.0f, 0.0f);
    t.setRowFiber(0, 1, &rowFiber);
    EXPECT_EQ(t.get(0, 2, 1), Complex(-1.0f, 0.0f));
    EXPECT_EQ(t.get(0, 2, 0), tag(0, 2, 0));
    colFiber.fill(-2.0f, 0.0f);
    t.setColumnFiber(0, 0, &colFiber);
    EXPECT_EQ(t.get(1, 0, 0), Complex(-2.0f, 0.0f));
    depthFiber.fill(-3.0f, 0.0f);
    t.setDepthFiber(1, 2, &depthFiber);
    EXPECT_EQ(t.get(1, 2, 3), Complex(-3.0f, 0.0f));

    ComplexVector view(4, true);
    t.depthView(1, 1, &view);
    view.set(2, 7.0f, 7.0f);
    EXPECT_EQ(t.get(1, 1, 2), Complex(7.0f, 7.0f));
    t.set(1, 1, 0, 8.0f, 0.0f);
    EXPECT_EQ(view.get(0), Complex(8.0f, 0.0f));

    EXPECT_DEATH(t.getRowFiber(0, 0, &colFiber), assertText("fiber->size() == pp->numcols"));
    EXPECT_DEATH(t.setRowFiber(2, 0, &rowFiber), assertText("i >= 0 && i < pp->numrows"));
    EXPECT_DEATH(t.getColumnFiber(0, 0, &rowFiber), assertText("fiber->size() == pp->numrows"));
    EXPECT_DEATH(t.setColumnFiber(0, 4, &colFiber), assertText("k >= 0 && k < pp->depth"));
    EXPECT_DEATH(t.depthView(0, 0, &rowFiber), assertText("fiber->size() == pp->depth"));
    EXPECT_DEATH(t.getDepthFiber(0, 3, &depthFiber), assertText("j >= 0 && j < pp->numcols"));
}

TEST(TensorContainer, FrontalLateralHorizontalSlices) {
    ComplexTensor3 t(2, 3, 4);
    numberAll(&t);
    ComplexMatrix frontal(2, 3), lateral(2, 4), horizontal(3, 4);
    t.getFrontalSlice(2, &frontal);
    EXPECT_EQ(frontal.get(1, 2), tag(1, 2, 2));
    t.getLateralSlice(1, &lateral);
    EXPECT_EQ(lateral.get(1, 3), tag(1, 1, 3));
    t.getHorizontalSlice(1, &horizontal);
    EXPECT_EQ(horizontal.get(2, 0), tag(1, 2, 0));

    frontal.fill(-1.0f, 0.0f);
    t.setFrontalSlice(0, &frontal);
    EXPECT_EQ(t.get(1, 1, 0), Complex(-1.0f, 0.0f));
    EXPECT_EQ(t.get(1, 1, 1), tag(1, 1, 1));
    lateral.fill(-2.0f, 0.0f);
    t.setLateralSlice(2, &lateral);
    EXPECT_EQ(t.get(1, 2, 3), Complex(-2.0f, 0.0f));
    EXPECT_EQ(t.get(1, 1, 3), tag(1, 1, 3));
    horizontal.fill(-3.0f, 0.0f);
    t.setHorizontalSlice(0, &horizontal);
    EXPECT_EQ(t.get(0, 2, 1), Complex(-3.0f, 0.0f));
    EXPECT_EQ(t.get(1, 0, 1), tag(1, 0, 1));

    ComplexTensor3 src(2, 3, 4);
    numberAll(&src);
    t.copyFrontalSlice(3, &src);
    EXPECT_EQ(t.get(0, 2, 3), tag(0, 2, 3));
    EXPECT_EQ(t.get(0, 2, 2), Complex(-3.0f, 0.0f));

    EXPECT_DEATH(t.getFrontalSlice(4, &frontal), assertText("k >= 0 && k < pp->depth"));
    EXPECT_DEATH(
        t.setFrontalSlice(0, &lateral),
        assertText("slice->numRows() == pp->numrows && slice->numColumns() == pp->numcols"));
    EXPECT_DEATH(t.getLateralSlice(0, &frontal),
                 assertText("slice->numRows() == pp->numrows && slice->numColumns() == pp->depth"));
    EXPECT_DEATH(t.setHorizontalSlice(0, &lateral),
                 assertText("slice->numRows() == pp->numcols && slice->numColumns() == pp->depth"));
    EXPECT_DEATH(t.horizontalView(2, &horizontal), assertText("i >= 0 && i < pp->numrows"));
    EXPECT_DEATH(t.lateralView(3, &lateral), assertText("j >= 0 && j < pp->numcols"));
    ComplexTensor3 deeper(2, 3, 5);
    EXPECT_DEATH(t.copyFrontalSlice(0, &deeper), assertText("another->depth() == pp->depth"));
    ComplexTensor3 wider(2, 4, 4);
    EXPECT_DEATH(t.copyFrontalSlice(0, &wider), assertText("another->numColumns() == pp->numcols"));
}

TEST(TensorContainer, SliceAndTensorViewsShareStorage) {
    ComplexTensor3 t(3, 4, 5);
    numberAll(&t);
    {
        ComplexMatrix lateral(3, 5, true);
        t.lateralView(2, &lateral);
        EXPECT_EQ(lateral.get(1, 4), tag(1, 2, 4));
        lateral.set(0, 0, 1.0f, 1.0f);
        EXPECT_EQ(t.get(0, 2, 0), Complex(1.0f, 1.0f));

        ComplexMatrix horizontal(4, 5, true);
        t.horizontalView(2, &horizontal);
        t.set(2, 3, 1, -9.0f, 0.0f);
        EXPECT_EQ(horizontal.get(3, 1), Complex(-9.0f, 0.0f));
    }
    EXPECT_EQ(t.get(0, 2, 0), Complex(1.0f, 1.0f));
    EXPECT_EQ(t.get(2, 3, 1), Complex(-9.0f, 0.0f));

    ComplexTensor3 cols(3, 2, 5, true);
    t.columnsView(1, &cols);
    EXPECT_EQ(cols.get(2, 1, 3), tag(2, 2, 3));
    cols.set(0, 0, 0, 5.0f, 5.0f);
    EXPECT_EQ(t.get(0, 1, 0), Complex(5.0f, 5.0f));

    ComplexTensor3 rows(2, 4, 5, true);
    t.rowsView(1, &rows);
    EXPECT_EQ(rows.get(0, 3, 4), tag(1, 3, 4));
    rows.set(1, 0, 2, 6.0f, 6.0f);
    EXPECT_EQ(t.get(2, 0, 2), Complex(6.0f, 6.0f));

    EXPECT_DEATH(t.columnsView(3, &cols),
                 assertText("j >= 0 && j + sub->numColumns() <= numColumns()"));
    EXPECT_DEATH(t.columnsView(0, &rows),
                 assertText("sub->numRows() == numRows() && sub->depth() == depth()"));
    EXPECT_DEATH(t.rowsView(2, &rows), assertText("i >= 0 && i + sub->numRows() <= numRows()"));
    EXPECT_DEATH(t.rowsView(0, &cols),
                 assertText("sub->numColumns() == numColumns() && sub->depth() == depth()"));
}

TEST(TensorContainer, RowHistoriesMoveFiberPointers) {
    ComplexTensor3 t(3, 2, 4);
    numberAll(&t);
    Complex* oldFiber00 = t.data()[0][0];
    Complex* oldFiber10 = t.data()[1][0];
    t.rotateUp();
    EXPECT_EQ(t.data()[0][0], oldFiber10);
    EXPECT_EQ(t.data()[2][0], oldFiber00);
    EXPECT_EQ(t.get(0, 1, 3), tag(1, 1, 3));
    t.rotateDown();
    EXPECT_EQ(t.get(0, 1, 3), tag(0, 1, 3));

    ComplexMatrix slice(2, 4);
    slice.fill(-1.0f, 2.0f);
    t.pushBottom(&slice);
    EXPECT_EQ(t.get(0, 0, 0), tag(1, 0, 0));
    EXPECT_EQ(t.get(2, 1, 3), Complex(-1.0f, 2.0f));
    t.pushTop();
    EXPECT_EQ(t.get(0, 1, 2), Complex(0.0f, 0.0f));
    EXPECT_EQ(t.get(1, 1, 2), tag(1, 1, 2));
    t.pushBottom();
    EXPECT_EQ(t.get(1, 0, 0), tag(2, 0, 0));
    EXPECT_EQ(t.get(2, 0, 0), Complex(0.0f, 0.0f));
    t.pushTop(&slice);
    EXPECT_EQ(t.get(0, 1, 1), Complex(-1.0f, 2.0f));

    ComplexMatrix wrong(3, 4);
    EXPECT_DEATH(t.pushBottom(&wrong),
                 assertText("slice->numRows() == pp->numcols && slice->numColumns() == pp->depth"));
}

TEST(TensorContainer, CopyConjugateAndHermitianFill) {
    ComplexTensor3 t(3, 3, 5);
    t.fillRandomHermitian();
    for (int k = 0; k < 5; k++)
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(t.imag(i, i, k), 0.0f);
            for (int j = 0; j < 3; j++) EXPECT_EQ(t.get(j, i, k), std::conj(t.get(i, j, k)));
        }
    ComplexTensor3 nonSquare(2, 3, 1);
    EXPECT_DEATH(nonSquare.fillRandomHermitian(), assertText("pp->numrows == pp->numcols"));

    ComplexTensor3 before(3, 3, 5);
    before.copy(&t);
    t.conjugate();
    EXPECT_EQ(t.get(0, 2, 4), std::conj(before.get(0, 2, 4)));
    t.conjugate();
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            EXPECT_EQ(std::memcmp(t.data()[i][j], before.data()[i][j], 5 * sizeof(Complex)), 0);

    ComplexTensor3 other(3, 2, 5);
    EXPECT_DEATH(other.copy(&t),
                 assertText("another->numRows() == pp->numrows && another->numColumns() == "
                            "pp->numcols && another->depth() == pp->depth"));
    EXPECT_DEATH(other.checkShape(&t),
                 assertText("numRows() == another->numRows() && numColumns() == "
                            "another->numColumns() && depth() == another->depth()"));
}

TEST(TensorContainer, WriteReadFiberByFiberWithoutPadding) {
    ComplexTensor3 t(2, 2, 3);
    numberAll(&t);
    std::stringstream ss;
    t.write(ss);
    ASSERT_EQ(ss.str().size(), 2 * 2 * 3 * sizeof(Complex));
    Complex raw[12];
    std::memcpy(static_cast<void*>(raw), ss.str().data(), sizeof(raw));
    EXPECT_EQ(raw[0], tag(0, 0, 0));
    EXPECT_EQ(raw[3], tag(0, 1, 0));  // j is the inner loop, depth the contiguous run
    EXPECT_EQ(raw[6], tag(1, 0, 0));
    EXPECT_EQ(raw[11], tag(1, 1, 2));
    ComplexTensor3 back(2, 2, 3);
    back.read(ss);
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 2; j++)
            for (int k = 0; k < 3; k++) EXPECT_EQ(back.get(i, j, k), tag(i, j, k));
}

TEST(TensorContainer, PrintsOneSlicePerDepthIndex) {
    ComplexTensor3 t(2, 1, 2);
    t.set(1, 0, 1, 0.5f, -0.5f);
    testing::internal::CaptureStdout();
    t.print();
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Slice 0:\n(0.000000, 0.000000) \n(0.000000, 0.000000) \n\n"
              "Slice 1:\n(0.000000, 0.000000) \n(0.500000, -0.500000) \n\n");
}
