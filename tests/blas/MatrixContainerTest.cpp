#include <gtest/gtest.h>

#include "blas/Matrix.h"
#include "blas/Vector.h"

using velmora::blas::Matrix;
using velmora::blas::Vector;

TEST(VectorContainer, PaddedZeroFilledStorage) {
    Vector v(5);
    EXPECT_EQ(v.size(), 5);
    for (int i = 0; i < 5; i++) EXPECT_EQ(v.get(i), 0.0f);
    v.set(4, 2.5f);
    EXPECT_EQ(v.at(4), 2.5f);
}

TEST(MatrixContainer, RotateUpMovesRowPointers) {
    Matrix m(3, 5);
    for (int i = 0; i < 3; i++) m.set(i, 0, float(i));
    float* row0 = m.data()[0];
    m.rotateUp();
    EXPECT_EQ(m.get(0, 0), 1.0f);
    EXPECT_EQ(m.get(1, 0), 2.0f);
    EXPECT_EQ(m.data()[2], row0);
}
