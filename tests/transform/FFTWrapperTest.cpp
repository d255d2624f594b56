#include "transform/FFTWrapper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Matrix.h"
#include "blas/Vector.h"
#include "common/AllocCounter.h"
#include "transform/FFTReference.h"
#include "transform/FFT_fft4g.h"
#include "transform/FFT_ne10.h"

using velmora::blas::Complex;
using velmora::blas::ComplexMatrix;
using velmora::blas::ComplexVector;
using velmora::blas::Matrix;
using velmora::blas::Vector;

TEST(FFTWrapper, PowersOfTwo) {
    EXPECT_TRUE(FFTWrapper::isPowOf2(1));
    EXPECT_TRUE(FFTWrapper::isPowOf2(512));
    EXPECT_FALSE(FFTWrapper::isPowOf2(0));
    EXPECT_FALSE(FFTWrapper::isPowOf2(-4));
    EXPECT_FALSE(FFTWrapper::isPowOf2(320));
    EXPECT_EQ(FFTWrapper::nextPowOf2(0), 1);
    EXPECT_EQ(FFTWrapper::nextPowOf2(1), 1);
    EXPECT_EQ(FFTWrapper::nextPowOf2(3), 4);
    EXPECT_EQ(FFTWrapper::nextPowOf2(100), 128);
    EXPECT_EQ(FFTWrapper::nextPowOf2(512), 512);
    EXPECT_EQ(FFTWrapper::nextPowOf2(513), 1024);
    EXPECT_EQ(FFTWrapper::nextPowOf2(1 << 30), 1 << 30);
}

TEST(FFTWrapper, HalfSwap) {
    Vector even(4), odd(3);
    for (int i = 0; i < 4; ++i) even.set(i, i + 1.0f);
    for (int i = 0; i < 3; ++i) odd.set(i, i + 1.0f);
    FFTWrapper::halfSwap(&even);
    FFTWrapper::halfSwap(&odd);
    EXPECT_EQ(even.get(0), 3.0f);
    EXPECT_EQ(even.get(1), 4.0f);
    EXPECT_EQ(even.get(2), 1.0f);
    EXPECT_EQ(even.get(3), 2.0f);
    EXPECT_EQ(odd.get(0), 3.0f);
    EXPECT_EQ(odd.get(1), 2.0f);
    EXPECT_EQ(odd.get(2), 1.0f);

    ComplexVector c(5);
    for (int i = 0; i < 5; ++i) c.set(i, i + 1.0f, -(i + 1.0f));
    FFTWrapper::halfSwap(&c);
    const float expected[] = {4, 5, 3, 1, 2};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(c.get(i), Complex(expected[i], -expected[i])) << i;
}

TEST(FFTWrapper, Windows) {
    const int n = 320;
    Vector hann(n), root(n);
    FFTWrapper::hannWindow(&hann);
    FFTWrapper::rootHannWindow(&root);
    EXPECT_EQ(hann.get(0), 0.0f);
    EXPECT_FLOAT_EQ(hann.get(n / 2), 1.0f);
    EXPECT_FLOAT_EQ(hann.get(n / 4), 0.5f);
    for (int i = 1; i < n; ++i) {
        ASSERT_NEAR(hann.get(i), hann.get(n - i), 1e-6) << i;  // periodic: symmetric about n/2
        ASSERT_NEAR(root.get(i) * root.get(i), hann.get(i), 1e-6) << i;
        // Hann windows hopped by n/2 sum to 1.
        if (i < n / 2) {
            ASSERT_NEAR(hann.get(i) + hann.get(i + n / 2), 1.0f, 1e-6) << i;
        }
    }
}

TEST(FFTWrapper, RowWiseTransformsMatchSingleRows) {
    const int n = 256;
    FFTWrapper wrapper(n);
    EXPECT_STREQ(wrapper.name(), "fft4g");
    EXPECT_EQ(wrapper.fftSize(), n);
    Matrix x(3, n), y(3, n);
    const std::vector<float> sig = velmora::test::randomSignal(3 * n, 5);
    for (int r = 0; r < 3; ++r)
        for (int i = 0; i < n; ++i) x.set(r, i, sig[r * n + i]);
    ComplexMatrix fx(3, n / 2 + 1);
    wrapper.fft(&x, &fx);
    FFT_fft4g single(n);
    Vector row(n);
    ComplexVector bins(n / 2 + 1);
    for (int r = 0; r < 3; ++r) {
        x.getRow(r, &row);
        single.fft(&row, &bins);
        for (int k = 0; k <= n / 2; ++k) ASSERT_EQ(fx.get(r, k), bins.get(k)) << r << " " << k;
    }
    velmora::test::AllocCounter count;
    wrapper.ifft(&fx, &y);
    wrapper.fft(&x, &fx);
    EXPECT_EQ(count.allocations(), 0);
    for (int r = 0; r < 3; ++r)
        for (int i = 0; i < n; ++i) ASSERT_NEAR(y.get(r, i), x.get(r, i), 1e-5) << r << " " << i;
}

TEST(FFTWrapperDeathTest, RowCountsMustMatch) {
    FFTWrapper wrapper(64);
    Matrix x(2, 64);
    ComplexMatrix fx(3, 33), narrow(2, 32);
    EXPECT_DEATH(wrapper.fft(&x, &fx), "x->numRows\\(\\) == fx->numRows\\(\\)");
    EXPECT_DEATH(wrapper.ifft(&fx, &x), "x->numRows\\(\\) == fx->numRows\\(\\)");
    EXPECT_DEATH(wrapper.fft(&x, &narrow), "");
    EXPECT_DEATH(FFTWrapper(100), "FFTWrapper::isPowOf2\\(fftsize\\)");
}

TEST(FFT_ne10, ChecksSizesAndLeavesOutputsUnchanged) {
    FFT_ne10 fft(64);
    EXPECT_STREQ(fft.name(), "NE10 (disabled)");
    EXPECT_EQ(fft.fftSize(), 64);
    Vector x(64);
    x.fill(1.0f);
    ComplexVector fx(33);
    fx.fill(2.0f, 3.0f);
    fft.fft(&x, &fx);
    fft.ifft(&fx, &x);
    for (int k = 0; k < 33; ++k) EXPECT_EQ(fx.get(k), Complex(2.0f, 3.0f));
    for (int i = 0; i < 64; ++i) EXPECT_EQ(x.get(i), 1.0f);
    ComplexVector wrong(32);
    EXPECT_DEATH(fft.fft(&x, &wrong), "fx->size\\(\\) == pp->fftsize / 2 \\+ 1");
    EXPECT_DEATH(FFT_ne10(48), "FFTWrapper::isPowOf2\\(fftsize\\)");
}
