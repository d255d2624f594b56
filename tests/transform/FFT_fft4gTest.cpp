#include "transform/FFT_fft4g.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "common/AllocCounter.h"
#include "transform/FFTReference.h"

using velmora::blas::Complex;
using velmora::blas::ComplexVector;
using velmora::blas::Vector;
using namespace velmora::test;

namespace {

std::vector<int> powerOfTwoSizes() {
    std::vector<int> sizes;
    for (int n = 1; n <= 65536; n *= 2) sizes.push_back(n);
    return sizes;
}

}  // namespace

TEST(FFT_fft4g, RealTransformGivesFullHalfSpectrumOfTheDft) {
    for (int n : powerOfTwoSizes()) {
        SCOPED_TRACE(n);
        FFT_fft4g fft(n);
        EXPECT_EQ(fft.fftSize(), n);
        const std::vector<float> sig = randomSignal(n, 100 + n);
        Vector x(n);
        for (int i = 0; i < n; ++i) x.set(i, sig[i]);
        ComplexVector fx(n / 2 + 1);
        fft.fft(&x, &fx);

        const std::vector<int> bins = checkedBins(n, n / 2 + 1);
        const std::vector<cdouble> ref =
            directDft(std::vector<cdouble>(sig.begin(), sig.end()), bins);
        const double tol = fftTolerance(n, maxAbs(ref));
        for (size_t b = 0; b < bins.size(); ++b) {
            const Complex v = fx.get(bins[b]);
            ASSERT_NEAR(v.real(), ref[b].real(), tol) << "bin " << bins[b];
            ASSERT_NEAR(v.imag(), ref[b].imag(), tol) << "bin " << bins[b];
        }
        EXPECT_EQ(fx.imag(0), 0.0f);
        EXPECT_EQ(fx.imag(n / 2), 0.0f);

        // The inverse ignores the imaginary parts of bins 0 and N/2.
        fx.setImag(0, 123.0f);
        fx.setImag(n / 2, -7.0f);
        Vector y(n);
        fft.ifft(&fx, &y);
        for (int i = 0; i < n; ++i) ASSERT_NEAR(y.get(i), sig[i], fftTolerance(n, 1.0)) << i;
    }
}

TEST(FFT_fft4g, ComplexTransformMatchesDftAndInverts) {
    for (int n : powerOfTwoSizes()) {
        SCOPED_TRACE(n);
        FFT_fft4g fft(n);
        const std::vector<float> re = randomSignal(n, 7 * n + 1), im = randomSignal(n, 7 * n + 2);
        std::vector<cdouble> sig(n);
        ComplexVector x(n), fx(n), y(n);
        for (int i = 0; i < n; ++i) {
            sig[i] = cdouble(re[i], im[i]);
            x.set(i, re[i], im[i]);
        }
        fft.fft(&x, &fx);
        const std::vector<int> bins = checkedBins(n, n);
        const std::vector<cdouble> ref = directDft(sig, bins);
        const double tol = fftTolerance(n, maxAbs(ref));
        for (size_t b = 0; b < bins.size(); ++b) {
            ASSERT_NEAR(fx.real(bins[b]), ref[b].real(), tol) << "bin " << bins[b];
            ASSERT_NEAR(fx.imag(bins[b]), ref[b].imag(), tol) << "bin " << bins[b];
        }
        fft.ifft(&fx, &y);
        for (int i = 0; i < n; ++i) {
            ASSERT_NEAR(y.real(i), re[i], fftTolerance(n, 1.0)) << i;
            ASSERT_NEAR(y.imag(i), im[i], fftTolerance(n, 1.0)) << i;
        }
        // In place gives the same values.
        fft.fft(&x, &x);
        for (int i = 0; i < n; ++i) ASSERT_EQ(x.get(i), fx.get(i)) << i;
    }
}

TEST(FFT_fft4g, CosineOfFourCyclesLandsInBinFour) {
    const int n = 512;
    FFT_fft4g fft(n);
    EXPECT_STREQ(fft.name(), "fft4g");
    Vector x(n), y(n);
    for (int i = 0; i < n; ++i) x.set(i, static_cast<float>(std::cos(2.0 * M_PI * 4.0 * i / n)));
    ComplexVector fx(n / 2 + 1);
    fft.fft(&x, &fx);
    for (int k = 0; k <= n / 2; ++k) {
        const float expected = k == 4 ? 256.0f : 0.0f;
        EXPECT_NEAR(fx.real(k), expected, 1e-3) << k;
        EXPECT_NEAR(fx.imag(k), 0.0f, 1e-3) << k;
    }
    fft.ifft(&fx, &y);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(y.get(i), x.get(i), 1e-6) << i;
}

TEST(FFT_fft4gDeathTest, RefusesOtherSizes) {
    EXPECT_DEATH(FFT_fft4g(320), "FFTWrapper::isPowOf2\\(fftsize\\)");
    EXPECT_DEATH(FFT_fft4g(0), "FFTWrapper::isPowOf2\\(fftsize\\)");
    FFT_fft4g fft(256);
    Vector x(255);
    ComplexVector fx(129), c(256), wrong(128);
    EXPECT_DEATH(fft.fft(&x, &fx), "x->size\\(\\)==pp->fftsize");
    Vector good(256);
    EXPECT_DEATH(fft.fft(&good, &wrong), "fx->size\\(\\)==pp->fftsize/2\\+1");
    EXPECT_DEATH(fft.fft(&c, &wrong), "fx->size\\(\\)==pp->fftsize");
}

TEST(FFT_fft4g, TransformsAllocateNothing) {
    const int n = 1024;
    FFT_fft4g fft(n);
    Vector x(n), y(n);
    x.fillRandom();
    ComplexVector fx(n / 2 + 1), c(n), fc(n);
    c.fillRandom();
    velmora::test::AllocCounter count;
    for (int i = 0; i < 10; ++i) {
        fft.fft(&x, &fx);
        fft.ifft(&fx, &y);
        fft.fft(&c, &fc);
        fft.ifft(&fc, &c);
    }
    EXPECT_EQ(count.allocations(), 0);
}
