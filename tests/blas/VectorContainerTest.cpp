// Vector and ComplexVector: checked access, padding, sliding operations, views, raw I/O.

#include <gtest/gtest.h>

#include "common/TestUtil.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"

using velmora::blas::Complex;
using velmora::blas::ComplexVector;
using velmora::blas::Vector;

using velmora::test::assertText;

namespace {

std::string captured(void (*fn)(const void*), const void* obj) {
    testing::internal::CaptureStdout();
    fn(obj);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(VectorContainer, SizePaddingAndCheckedAccess) {
    Vector v(5);
    EXPECT_EQ(v.size(), 5);
    for (int i = 0; i < 5; i++) EXPECT_EQ(v.get(i), 0.0f);
    // Kernels may process the padded run of 8 floats in groups of four.
    for (int i = 0; i < 8; i++) v.data()[i] = float(i);
    EXPECT_EQ(v.get(4), 4.0f);
    v.at(1) = 9.0f;
    EXPECT_EQ(v.get(1), 9.0f);

    EXPECT_DEATH(v.set(5, 1.0f), assertText("idx >= 0 && idx < pp->size"));
    EXPECT_DEATH(v.get(-1), assertText("idx >= 0 && idx < pp->size"));
    EXPECT_DEATH(v.at(5), assertText("idx >= 0 && idx < pp->size"));
    EXPECT_DEATH(Vector(0), assertText("size > 0"));
    EXPECT_DEATH(ComplexVector(-2, true), assertText("size > 0"));
}

TEST(VectorContainer, RotateShiftReverse) {
    Vector v(5);
    for (int i = 0; i < 5; i++) v.set(i, float(i + 1));
    auto contents = [&v] {
        std::string s;
        for (int i = 0; i < v.size(); i++) s += std::to_string(int(v.get(i)));
        return s;
    };
    v.rotateLeft();
    EXPECT_EQ(contents(), "23451");
    v.rotateRight();
    EXPECT_EQ(contents(), "12345");
    v.shiftLeft(7.0f);
    EXPECT_EQ(contents(), "23457");
    v.shiftRight(0.0f);
    EXPECT_EQ(contents(), "02345");
    v.reverse();
    EXPECT_EQ(contents(), "54320");
}

TEST(VectorContainer, CopyAndShapeCheck) {
    Vector a(6), b(6), c(5);
    a.fill(2.5f);
    b.copy(&a);
    for (int i = 0; i < 6; i++) EXPECT_EQ(b.get(i), 2.5f);
    b.checkShape(&a);
    EXPECT_DEATH(c.copy(&a), assertText("size() == another->size()"));
    EXPECT_DEATH(c.checkShape(&a), assertText("size() == another->size()"));
}

TEST(VectorContainer, ViewSharesForeignStorage) {
    Vector owner(6);
    Vector view(3, true);
    view.setView(owner.data() + 2);
    view.set(0, 4.0f);
    EXPECT_EQ(owner.get(2), 4.0f);
    owner.set(4, 8.0f);
    EXPECT_EQ(view.get(2), 8.0f);

    // An owning vector turned into a view releases its storage and follows the new data.
    Vector own(3);
    own.fill(1.0f);
    own.setView(owner.data());
    EXPECT_EQ(own.data(), owner.data());
    EXPECT_EQ(own.get(2), 4.0f);
}

TEST(VectorContainer, WriteReadRawFloatsWithoutPadding) {
    Vector v(5);
    for (int i = 0; i < 5; i++) v.set(i, 0.25f * i - 1.0f);
    std::stringstream ss;
    v.write(ss);
    const std::string bytes = ss.str();
    ASSERT_EQ(bytes.size(), 5 * sizeof(float));
    float raw[5];
    std::memcpy(raw, bytes.data(), sizeof(raw));
    for (int i = 0; i < 5; i++) EXPECT_EQ(raw[i], v.get(i));

    Vector w(5);
    w.read(ss);
    EXPECT_TRUE(ss.good() || ss.eof());
    for (int i = 0; i < 5; i++) EXPECT_EQ(w.get(i), v.get(i));
}

TEST(VectorContainer, PrintForm) {
    Vector v(3);
    v.set(0, 1.5f);
    v.set(2, -2.0f);
    EXPECT_EQ(captured([](const void* p) { static_cast<const Vector*>(p)->print(); }, &v),
              "1.500000 0.000000 -2.000000 \n");
    ComplexVector c(2);
    c.set(1, 0.5f, -1.0f);
    EXPECT_EQ(captured([](const void* p) { static_cast<const ComplexVector*>(p)->print(); }, &c),
              "(0.000000, 0.000000) (0.500000, -1.000000) \n");
}

TEST(ComplexVectorContainer, ElementAccessorsAndMagnitudes) {
    ComplexVector v(5);
    v.set(0, 3.0f, -4.0f);
    v.set(1, Complex(1.0f, 2.0f));
    v.setReal(2, 5.0f);
    v.setImag(2, 6.0f);
    v.at(3) = Complex(-1.0f, 0.0f);
    EXPECT_EQ(v.get(0), Complex(3.0f, -4.0f));
    EXPECT_EQ(v.real(2), 5.0f);
    EXPECT_EQ(v.imag(2), 6.0f);
    EXPECT_EQ(v.norm(0), 25.0f);
    EXPECT_EQ(v.abs(0), 5.0f);
    float re = 0, im = 0;
    v.get(1, &re, &im);
    EXPECT_EQ(re, 1.0f);
    EXPECT_EQ(im, 2.0f);
    v.get(1, nullptr, &im);  // either output may be omitted
    v.get(1, &re, nullptr);

    v.swap(0, 1);
    EXPECT_EQ(v.get(0), Complex(1.0f, 2.0f));
    EXPECT_EQ(v.get(1), Complex(3.0f, -4.0f));

    EXPECT_DEATH(v.set(5, 0.0f, 0.0f), assertText("idx >= 0 && idx < pp->size"));
    EXPECT_DEATH(v.imag(-1), assertText("idx >= 0 && idx < pp->size"));
    EXPECT_DEATH(v.swap(5, 0), assertText("i0 >= 0 && i0 < pp->size"));
    EXPECT_DEATH(v.swap(0, 5), assertText("i1 >= 0 && i1 < pp->size"));
    EXPECT_DEATH(v.norm(5), assertText("i >= 0 && i < pp->size"));
    EXPECT_DEATH(v.abs(-1), assertText("i >= 0 && i < pp->size"));
}

TEST(ComplexVectorContainer, CopyFromRealAndConjugateTwiceIsBitExact) {
    Vector r(3);
    r.set(0, 1.0f);
    r.set(2, -3.0f);
    ComplexVector c(3);
    c.fill(9.0f, 9.0f);
    c.copy(&r);
    EXPECT_EQ(c.get(0), Complex(1.0f, 0.0f));
    EXPECT_EQ(c.get(2), Complex(-3.0f, 0.0f));
    ComplexVector wrong(4);
    EXPECT_DEATH(wrong.copy(&r), assertText("size() == another->size()"));

    ComplexVector v(6);
    v.fillRandom();
    v.setImag(0, 0.0f);
    v.setImag(1, -0.0f);
    v.setImag(2, std::numeric_limits<float>::quiet_NaN());
    v.setImag(3, std::numeric_limits<float>::denorm_min());
    unsigned char before[6 * sizeof(Complex)];
    std::memcpy(before, v.data(), sizeof(before));
    v.conjugate();
    EXPECT_TRUE(std::signbit(v.imag(0)));
    EXPECT_FALSE(std::signbit(v.imag(1)));
    EXPECT_EQ(v.real(4), reinterpret_cast<const Complex*>(before)[4].real());
    EXPECT_EQ(v.imag(4), -reinterpret_cast<const Complex*>(before)[4].imag());
    v.conjugate();
    EXPECT_EQ(std::memcmp(before, v.data(), sizeof(before)), 0);
}

TEST(ComplexVectorContainer, WriteReadRoundTripAndView) {
    ComplexVector v(3);
    v.set(0, 1.0f, 2.0f);
    v.set(2, -3.0f, 4.0f);
    std::stringstream ss;
    v.write(ss);
    ASSERT_EQ(ss.str().size(), 3 * 2 * sizeof(float));
    float raw[6];
    std::memcpy(raw, ss.str().data(), sizeof(raw));
    EXPECT_EQ(raw[4], -3.0f);  // real part first
    EXPECT_EQ(raw[5], 4.0f);
    ComplexVector w(3);
    w.read(ss);
    for (int i = 0; i < 3; i++) EXPECT_EQ(w.get(i), v.get(i));

    ComplexVector view(2, true);
    view.setView(v.data() + 1);
    view.set(1, 7.0f, 8.0f);
    EXPECT_EQ(v.get(2), Complex(7.0f, 8.0f));
}

namespace velmora::blas {
namespace {

// The random fill stays in [0, 1] whatever the platform's RAND_MAX, and is not constant.
TEST(RandomFill, StaysInTheUnitRange) {
    Vector v(1000);
    ComplexMatrix m(3, 50);
    v.fillRandom();
    m.fillRandom();
    float lo = 1, hi = 0;
    for (int i = 0; i < v.size(); ++i) {
        lo = std::min(lo, v.get(i));
        hi = std::max(hi, v.get(i));
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 50; ++j) {
            ASSERT_GE(m.real(i, j), 0.0f);
            ASSERT_LE(m.imag(i, j), 1.0f);
        }
    }
    EXPECT_GE(lo, 0.0f);
    EXPECT_LE(hi, 1.0f);
    EXPECT_GT(hi - lo, 0.5f);
}

}  // namespace
}  // namespace velmora::blas
