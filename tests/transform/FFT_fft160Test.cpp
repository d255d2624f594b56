#include "transform/FFT_fft160.h"

#include <gtest/gtest.h>

#include <vector>

#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "common/AllocCounter.h"
#include "transform/FFTReference.h"

using velmora::blas::ComplexVector;
using velmora::blas::Vector;
using velmora::transform::FFT_fft160;
using namespace velmora::test;

TEST(FFT_fft160, RealTransformGivesPackedDftAndInverts) {
    FFT_fft160 fft;
    EXPECT_STREQ(fft.name(), "fft160");
    EXPECT_EQ(fft.fftSize(), 320);
    for (unsigned seed = 1; seed <= 3; ++seed) {
        const std::vector<float> sig = randomSignal(320, seed);
        Vector x(320), y(320);
        for (int i = 0; i < 320; ++i) x.set(i, sig[i]);
        ComplexVector fx(160);
        fft.fft(&x, &fx);
        const std::vector<cdouble> ref = directDft(std::vector<cdouble>(sig.begin(), sig.end()));
        const double tol = fftTolerance(320, maxAbs(ref));
        // Bin 0 carries (X[0], X[160]).
        EXPECT_NEAR(fx.real(0), ref[0].real(), tol);
        EXPECT_NEAR(fx.imag(0), ref[160].real(), tol);
        for (int k = 1; k < 160; ++k) {
            ASSERT_NEAR(fx.real(k), ref[k].real(), tol) << k;
            ASSERT_NEAR(fx.imag(k), ref[k].imag(), tol) << k;
        }
        fft.ifft(&fx, &y);
        for (int i = 0; i < 320; ++i) ASSERT_NEAR(y.get(i), sig[i], fftTolerance(320, 1.0)) << i;
    }
}

TEST(FFT_fft160, ComplexTransformHas160PointsAndInverts) {
    FFT_fft160 fft;
    const std::vector<float> re = randomSignal(160, 11), im = randomSignal(160, 12);
    std::vector<cdouble> sig(160);
    ComplexVector x(160), fx(160), y(160);
    for (int i = 0; i < 160; ++i) {
        sig[i] = cdouble(re[i], im[i]);
        x.set(i, re[i], im[i]);
    }
    fft.fft(&x, &fx);
    const std::vector<cdouble> ref = directDft(sig);
    const double tol = fftTolerance(160, maxAbs(ref));
    for (int k = 0; k < 160; ++k) {
        ASSERT_NEAR(fx.real(k), ref[k].real(), tol) << k;
        ASSERT_NEAR(fx.imag(k), ref[k].imag(), tol) << k;
    }
    fft.ifft(&fx, &y);
    for (int i = 0; i < 160; ++i) {
        ASSERT_NEAR(y.real(i), re[i], fftTolerance(160, 1.0)) << i;
        ASSERT_NEAR(y.imag(i), im[i], fftTolerance(160, 1.0)) << i;
    }
    fft.fft(&x, &x);  // in place
    for (int k = 0; k < 160; ++k) ASSERT_EQ(x.get(k), fx.get(k)) << k;
}

TEST(FFT_fft160, ImpulseAndConstant) {
    FFT_fft160 fft;
    Vector x(320);
    ComplexVector fx(160);
    x.set(0, 1.0f);
    fft.fft(&x, &fx);
    EXPECT_NEAR(fx.real(0), 1.0f, 1e-6);
    EXPECT_NEAR(fx.imag(0), 1.0f, 1e-6);
    for (int k = 1; k < 160; ++k) {
        ASSERT_NEAR(fx.real(k), 1.0f, 1e-6) << k;
        ASSERT_NEAR(fx.imag(k), 0.0f, 1e-6) << k;
    }
    x.fill(1.0f);
    fft.fft(&x, &fx);
    EXPECT_NEAR(fx.real(0), 320.0f, 1e-4);
    EXPECT_NEAR(fx.imag(0), 0.0f, 1e-4);
    for (int k = 1; k < 160; ++k) {
        ASSERT_NEAR(fx.real(k), 0.0f, 1e-4) << k;
        ASSERT_NEAR(fx.imag(k), 0.0f, 1e-4) << k;
    }
}

TEST(FFT_fft160DeathTest, ChecksSizes) {
    FFT_fft160 fft;
    Vector x(320), shortx(160);
    ComplexVector fx(160), longfx(161);
    EXPECT_DEATH(fft.fft(&shortx, &fx), "x->size\\(\\) == fftSize\\(\\)");
    EXPECT_DEATH(fft.fft(&x, &longfx), "fx->size\\(\\) == fftSize\\(\\) / 2");
    EXPECT_DEATH(fft.fft(&longfx, &fx), "x->size\\(\\) == fftSize\\(\\) / 2");
}

TEST(FFT_fft160, TransformsAllocateNothing) {
    FFT_fft160 fft;
    Vector x(320), y(320);
    x.fillRandom();
    ComplexVector fx(160), c(160);
    c.fillRandom();
    AllocCounter count;
    for (int i = 0; i < 10; ++i) {
        fft.fft(&x, &fx);
        fft.ifft(&fx, &y);
        fft.fft(&c, &fx);
        fft.ifft(&fx, &c);
    }
    EXPECT_EQ(count.allocations(), 0);
}
