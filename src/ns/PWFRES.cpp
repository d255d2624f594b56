#include "ns/PWFRES.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"
#include "ns/WienerTaps.h"
#include "util/Numeric.h"

namespace velmora::ns {

namespace {

constexpr int kDefaultTaps = 2;          // flen 0: current and previous block
constexpr int kMaxTaps = 1024;           // the rank-one inverse update works on at most this order
constexpr float kKeep = 0.2f;            // covariance smoothing: weight of the old estimate ...
constexpr float kNew = 0.8f;             // ... and of the newest outer product
constexpr float kLoad = 1e-5f;           // diagonal loading of the closed-form 2 x 2 inverse
constexpr float kInitialInverse = 1e5f;  // the general inverse starts as this multiple of I
constexpr float kTraceLimit = 1e5f;      // an inverse whose trace reaches this is ...
constexpr float kTraceShrink = 0.01f;    // ... scaled down by this factor
constexpr float kGateDb = -45.0f;        // echo estimates below this level leave the block alone

}  // namespace

// Histories are L x N x K with row 0 the newest block (pushTop rotates the row tables, so views
// into them are re-pointed every block). For L == 2 echoCov holds the covariance and work1 its
// inverse; otherwise echoCov holds the inverse itself. The product P * nearCov goes into the
// other work tensor.
struct PWFRES::Impl {
    int numChannels;
    int numRefs;
    int numBins;
    int numTaps;
    float beta;
    blas::ComplexTensor3 nearHist;
    blas::ComplexTensor3 echoHist;
    blas::ComplexMatrix tapView;
    std::vector<std::unique_ptr<blas::ComplexTensor3>> nearCov;
    std::vector<std::unique_ptr<blas::ComplexTensor3>> echoCov;
    blas::ComplexTensor3 work1;
    blas::ComplexTensor3 work2;
    blas::Vector traceGain;
    blas::ComplexTensor3 filter;

    Impl(int numchs, int numrefs, int numbins, int taps, float b)
        : numChannels(numchs),
          numRefs(numrefs),
          numBins(numbins),
          numTaps(taps),
          beta(b),
          nearHist(taps, numchs, numbins),
          echoHist(taps, numchs, numbins),
          tapView(taps, numbins, true),
          work1(taps, taps, numbins),
          work2(taps, taps, numbins),
          traceGain(numbins),
          filter(taps, numchs, numbins) {
        for (int c = 0; c < numchs; ++c) {
            nearCov.emplace_back(new blas::ComplexTensor3(taps, taps, numbins));
            echoCov.emplace_back(new blas::ComplexTensor3(taps, taps, numbins));
            if (taps != 2) blas::loadDiagonal(echoCov.back().get(), kInitialInverse);
        }
    }

    void invert2x2(const blas::ComplexTensor3* cov, blas::ComplexTensor3* inv);
    void guardInverse(blas::ComplexTensor3* inv);
};

// (cov + kLoad I)^-1 per bin by the closed formula. For a covariance the loaded determinant is
// at least kLoad tr(cov) + kLoad^2; when rounding (a nearly rank-one cov) computes less, even
// zero or a negative value, that bound is used instead, so the inverse stays finite and positive.
void PWFRES::Impl::invert2x2(const blas::ComplexTensor3* cov, blas::ComplexTensor3* inv) {
    const blas::Complex* c00 = cov->data()[0][0];
    const blas::Complex* c01 = cov->data()[0][1];
    const blas::Complex* c11 = cov->data()[1][1];
    blas::Complex* p00 = inv->data()[0][0];
    blas::Complex* p01 = inv->data()[0][1];
    blas::Complex* p10 = inv->data()[1][0];
    blas::Complex* p11 = inv->data()[1][1];
    for (int k = 0; k < numBins; ++k) {
        const float a = c00[k].real() + kLoad, d = c11[k].real() + kLoad;
        const float orr = c01[k].real(), oi = c01[k].imag();
        const float bound = kLoad * (c00[k].real() + c11[k].real()) + kLoad * kLoad;
        float det = a * d - (orr * orr + oi * oi);
        if (!(det >= bound)) det = bound;
        const float q = 1.0f / det;
        p00[k] = blas::Complex(d * q, 0.0f);
        p11[k] = blas::Complex(a * q, 0.0f);
        p01[k] = blas::Complex(-orr * q, -oi * q);
        p10[k] = blas::Complex(-orr * q, oi * q);
    }
}

// Trace guard of the recursively updated inverse: a bin whose trace reaches kTraceLimit is
// scaled by kTraceShrink. A bin that rounding has driven to a non-finite value (the update's
// denominator 0.8 s + 0.2 can approach zero once the inverse loses definiteness) starts over
// from its initial kInitialInverse I instead of staying unusable for good.
void PWFRES::Impl::guardInverse(blas::ComplexTensor3* inv) {
    blas::Complex*** p = inv->data();
    const int n = numTaps;
    for (int k = 0; k < numBins; ++k) {
        float trace = 0.0f, probe = 0.0f;
        for (int i = 0; i < n; ++i) {
            trace += p[i][i][k].real();
            for (int j = 0; j < n; ++j) probe += p[i][j][k].real() + p[i][j][k].imag();
        }
        if (!std::isfinite(probe)) {
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j) p[i][j][k] = blas::Complex(0.0f, 0.0f);
            for (int i = 0; i < n; ++i) p[i][i][k] = blas::Complex(kInitialInverse, 0.0f);
        } else if (trace >= kTraceLimit) {
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j) p[i][j][k] *= kTraceShrink;
        }
    }
}

PWFRES::PWFRES(int numchs, int numrefs, int numbins, int flen, float beta) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numrefs > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(flen >= 0);
    VM_ASSERT(beta >= 0.0);
    if (flen > kMaxTaps) error("PWFRES", "Filter length %d exceeds %d taps", flen, kMaxTaps);
    pp.reset(new Impl(numchs, numrefs, numbins, flen >= 1 ? flen : kDefaultTaps, beta));
}

PWFRES::~PWFRES() = default;

int PWFRES::numChannels() const {
    return pp->numChannels;
}
int PWFRES::numRefs() const {
    return pp->numRefs;
}
int PWFRES::numBins() const {
    return pp->numBins;
}
int PWFRES::numTaps() const {
    return pp->numTaps;
}

void PWFRES::process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* /*ref*/,
                     const blas::ComplexMatrix* echo) {
    VM_ASSERT(nearend->numRows() == numChannels() && nearend->numColumns() == numBins());
    VM_ASSERT(echo->numRows() == numChannels() && echo->numColumns() == numBins());
    Impl& s = *pp;
    const int numchs = s.numChannels, numbins = s.numBins, taps = s.numTaps;

    // NaN, infinite or absurd bins (a broken input) enter the statistics as silence.
    for (int c = 0; c < numchs; ++c)
        if (util::hasAbsurd(nearend->data()[c], numbins))
            util::zeroAbsurd(nearend->data()[c], nearend->data()[c], numbins);
    s.nearHist.pushTop(nearend);
    s.echoHist.pushTop(echo);
    for (int c = 0; c < numchs; ++c) {
        blas::Complex* e = s.echoHist.data()[0][c];
        if (util::hasAbsurd(e, numbins)) util::zeroAbsurd(e, e, numbins);
    }

    // Echo gate on the first channel's estimate (a NaN level counts as no echo).
    const float level = util::levelDb(blas::rowPower(echo, 0));
    if (!(level >= kGateDb)) return;

    for (int c = 0; c < numchs; ++c) {
        blas::ComplexTensor3* nearCov = s.nearCov[c].get();
        blas::ComplexTensor3* echoCov = s.echoCov[c].get();
        s.nearHist.lateralView(c, &s.tapView);
        blas::updateCovariance(kKeep, kNew, nearCov, &s.tapView, nearCov);
        s.echoHist.lateralView(c, &s.tapView);
        const blas::ComplexTensor3* inverse;
        blas::ComplexTensor3* product;
        if (taps == 2) {
            blas::updateCovariance(kKeep, kNew, echoCov, &s.tapView, echoCov);
            s.invert2x2(echoCov, &s.work1);
            inverse = &s.work1;
            product = &s.work2;
        } else {
            blas::updateInverseCovariance(kKeep, kNew, echoCov, &s.tapView, echoCov);
            s.guardInverse(echoCov);
            inverse = echoCov;
            product = &s.work1;
        }
        blas::multiplyPerBin(inverse, nearCov, product);

        // w = conj(first column of M) / (Re tr M + beta), unscaled when that is below 1e-6.
        wienerTaps(*product, s.beta, c, &s.traceGain, &s.filter);
    }

    // nearend = sum over taps of filter o history, then the limiter against the newest input.
    nearend->fill(0.0f, 0.0f);
    blas::accumulateProducts(&s.filter, &s.nearHist, nearend);
    for (int c = 0; c < numchs; ++c) {
        blas::Complex* y = nearend->data()[c];
        const blas::Complex* x = s.nearHist.data()[0][c];
        for (int k = 0; k < numbins; ++k) {
            const float py = y[k].real() * y[k].real() + y[k].imag() * y[k].imag();
            const float px = x[k].real() * x[k].real() + x[k].imag() * x[k].imag();
            // Written so that a non-finite output also falls back to the input.
            if (!(py <= px)) y[k] = x[k];
        }
    }
}

}  // namespace velmora::ns
