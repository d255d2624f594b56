#include "transform/FFT_kissfft.h"

#include <gtest/gtest.h>

#include <vector>

#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "common/AllocCounter.h"
#include "transform/FFTReference.h"

using velmora::blas::ComplexVector;
using velmora::blas::Vector;
using namespace velmora::test;

#ifdef VELMORA_HAVE_KISSFFT

namespace {
const int kSizes[] = {160, 256, 320, 512, 640, 960, 1280};
}

TEST(FFT_kissfft, RealTransformGivesPackedDftAndInverts) {
    for (int n : kSizes) {
        SCOPED_TRACE(n);
        FFT_kissfft fft(n);
        EXPECT_STREQ(fft.name(), "kissfft");
        EXPECT_EQ(fft.fftSize(), n);
        const std::vector<float> sig = randomSignal(n, n);
        Vector x(n), y(n);
        for (int i = 0; i < n; ++i) x.set(i, sig[i]);
        ComplexVector fx(n / 2);
        fft.fft(&x, &fx);
        const std::vector<cdouble> ref = directDft(std::vector<cdouble>(sig.begin(), sig.end()));
        const double tol = fftTolerance(n, maxAbs(ref));
        EXPECT_NEAR(fx.real(0), ref[0].real(), tol);
        EXPECT_NEAR(fx.imag(0), ref[n / 2].real(), tol);
        for (int k = 1; k < n / 2; ++k) {
            ASSERT_NEAR(fx.real(k), ref[k].real(), tol) << k;
            ASSERT_NEAR(fx.imag(k), ref[k].imag(), tol) << k;
        }
        fft.ifft(&fx, &y);
        for (int i = 0; i < n; ++i) ASSERT_NEAR(y.get(i), sig[i], fftTolerance(n, 1.0)) << i;
    }
}

TEST(FFT_kissfft, ComplexTransformMatchesDftAndInvertsInPlace) {
    for (int n : {160, 256, 512, 640, 960, 1280, 15}) {
        SCOPED_TRACE(n);
        FFT_kissfft fft(n);
        const std::vector<float> re = randomSignal(n, 3 * n), im = randomSignal(n, 3 * n + 1);
        std::vector<cdouble> sig(n);
        ComplexVector x(n), fx(n);
        for (int i = 0; i < n; ++i) {
            sig[i] = cdouble(re[i], im[i]);
            x.set(i, re[i], im[i]);
        }
        fft.fft(&x, &fx);
        const std::vector<cdouble> ref = directDft(sig);
        const double tol = fftTolerance(n, maxAbs(ref));
        for (int k = 0; k < n; ++k) {
            ASSERT_NEAR(fx.real(k), ref[k].real(), tol) << k;
            ASSERT_NEAR(fx.imag(k), ref[k].imag(), tol) << k;
        }
        fft.ifft(&fx, &fx);  // in place
        for (int i = 0; i < n; ++i) {
            ASSERT_NEAR(fx.real(i), re[i], fftTolerance(n, 1.0)) << i;
            ASSERT_NEAR(fx.imag(i), im[i], fftTolerance(n, 1.0)) << i;
        }
    }
}

TEST(FFT_kissfftDeathTest, ChecksSizes) {
    FFT_kissfft fft(320);
    Vector x(320);
    ComplexVector fx(161), c(320);
    EXPECT_DEATH(fft.fft(&x, &fx), "fx->size\\(\\) == pp->fftsize / 2");
    EXPECT_DEATH(fft.fft(&fx, &c), "x->size\\(\\) == pp->fftsize");
    FFT_kissfft odd(15);
    Vector x15(15);
    ComplexVector fx7(7);
    EXPECT_DEATH(odd.fft(&x15, &fx7), "pp->fftsize % 2 == 0");
}

TEST(FFT_kissfft, AllocatesNothingAfterTheFirstCall) {
    const int n = 640;
    FFT_kissfft fft(n);
    Vector x(n), y(n);
    x.fillRandom();
    ComplexVector fx(n / 2), c(n), fc(n);
    c.fillRandom();
    auto round = [&] {
        fft.fft(&x, &fx);
        fft.ifft(&fx, &y);
        fft.fft(&c, &fc);
        fft.ifft(&fc, &fc);
        fft.fft(&c, &c);
    };
    round();
    AllocCounter count;
    for (int i = 0; i < 10; ++i) round();
    EXPECT_EQ(count.allocations(), 0);
}

#endif
