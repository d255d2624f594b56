#include "ns/PMWFAES.h"

#include <cmath>

#include "Error.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"
#include "util/Numeric.h"

namespace velmora::ns {

namespace {

constexpr int kDefaultTaps = 2;
constexpr float kKeep = 0.995f;
constexpr float kNew = 0.004999995f;  // 1 - 0.995 in single precision
constexpr float kMinPower = 0.01f;    // block powers below this count as this
constexpr float kWeightExponent = -0.9f;
constexpr float kInitialInverse = 1e5f;  // Q starts as this multiple of I
constexpr float kTraceLimit = 1e5f;      // a bin of Q whose trace reaches this ...
constexpr float kTraceShrink = 0.01f;    // ... is scaled by this
constexpr float kMinNorm = 1e-6f;

}  // namespace

struct PMWFAES::Impl {
    int numChannels, numRefs, numBins, numTaps, dim;
    float beta;
    blas::ComplexMatrix stack;  // D x K, rows 0 .. N-1 the newest block
    blas::ComplexMatrix clean;  // the input with absurd bins zeroed
    blas::ComplexTensor3 speechCov;
    blas::ComplexTensor3 inverse;
    blas::ComplexTensor3 product;
    blas::Vector gain;

    Impl(int n, int r, int k, int taps, float b)
        : numChannels(n),
          numRefs(r),
          numBins(k),
          numTaps(taps),
          dim(n * taps),
          beta(b),
          stack(n * taps, k),
          clean(n, k),
          speechCov(n * taps, n * taps, k),
          inverse(n * taps, n * taps, k),
          product(n * taps, n * taps, k),
          gain(k) {
        stack.fill(0.0f, 0.0f);
        speechCov.fill(0.0f, 0.0f);
        inverse.fill(0.0f, 0.0f);
        blas::loadDiagonal(&inverse, kInitialInverse);
    }

    // Trace guard of Q, and restart of bins that went non-finite.
    void guardInverse() {
        blas::Complex*** q = inverse.data();
        for (int k = 0; k < numBins; ++k) {
            float trace = 0.0f, probe = 0.0f;
            for (int i = 0; i < dim; ++i) {
                trace += q[i][i][k].real();
                for (int j = 0; j < dim; ++j) probe += q[i][j][k].real() + q[i][j][k].imag();
            }
            if (!std::isfinite(probe)) {
                for (int i = 0; i < dim; ++i)
                    for (int j = 0; j < dim; ++j)
                        q[i][j][k] = blas::Complex(i == j ? kInitialInverse : 0.0f, 0.0f);
            } else if (trace >= kTraceLimit) {
                for (int i = 0; i < dim; ++i)
                    for (int j = 0; j < dim; ++j) q[i][j][k] *= kTraceShrink;
            }
        }
    }
};

PMWFAES::PMWFAES(int numchs, int numrefs, int numbins, int flen, float beta) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numrefs > 0);
    VM_ASSERT(numbins > 0);
    const int taps = flen >= 1 ? flen : kDefaultTaps;
    VM_ASSERT(numchs * taps <= kMaxStack);
    pp.reset(new Impl(numchs, numrefs, numbins, taps, beta));
}

PMWFAES::~PMWFAES() = default;

int PMWFAES::numChannels() const {
    return pp->numChannels;
}
int PMWFAES::numRefs() const {
    return pp->numRefs;
}
int PMWFAES::numBins() const {
    return pp->numBins;
}

void PMWFAES::process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* /*ref*/,
                      const blas::ComplexMatrix* echo) {
    VM_ASSERT(nearend->numRows() == numChannels() && nearend->numColumns() == numBins());
    VM_ASSERT(echo->numRows() == numChannels() && echo->numColumns() == numBins());
    Impl& s = *pp;
    const int numbins = s.numBins, dim = s.dim;

    for (int c = 0; c < s.numChannels; ++c)
        util::zeroAbsurd(nearend->data()[c], s.clean.data()[c], numbins);
    s.stack.pushTop(&s.clean);

    float e = 0.0f;
    for (int c = 0; c < s.numChannels; ++c) {
        const blas::Complex* r = echo->data()[c];
        for (int k = 0; k < numbins; ++k) {
            const float p = r[k].real() * r[k].real() + r[k].imag() * r[k].imag();
            if (p <= util::kAbsurdPower) e += p;
        }
    }
    const float x = blas::power(&s.clean);
    const float g = std::pow(std::max(e, kMinPower), kWeightExponent);
    const float h = std::pow(std::max(x, kMinPower), kWeightExponent);
    blas::updateCovariance(kKeep, kNew * g, &s.speechCov, &s.stack, &s.speechCov);
    blas::updateInverseCovariance(kKeep, kNew * h, &s.inverse, &s.stack, &s.inverse);
    s.guardInverse();
    blas::multiplyPerBin(&s.inverse, &s.speechCov, &s.product);

    s.product.trace(&s.gain);
    float* q = s.gain.data();
    for (int k = 0; k < numbins; ++k) {
        const float t = s.beta + q[k];
        q[k] = t >= kMinNorm ? 1.0f / t : 1.0f;
    }
    // nearend[i] = sum_d conj(M[d][i]) q stack[d].
    for (int i = 0; i < s.numChannels; ++i) {
        blas::Complex* y = nearend->data()[i];
        std::fill(y, y + numbins, blas::Complex(0.0f, 0.0f));
        for (int d = 0; d < dim; ++d) {
            const blas::Complex* m = s.product.data()[d][i];
            const blas::Complex* xs = s.stack.data()[d];
            for (int k = 0; k < numbins; ++k) y[k] += std::conj(m[k]) * xs[k] * q[k];
        }
    }
}

}  // namespace velmora::ns
