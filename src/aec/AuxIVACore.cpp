#include "aec/AuxIVACore.h"

#include <cmath>
#include <cstring>

#include "Error.h"

namespace velmora::aec {

namespace {

constexpr float kPowerFloor = 0.01f;  // added to the residual power before the weight's power
constexpr float kShape = -0.9f;       // exponent of the auxiliary weight
constexpr float kRefOffset = 0.01f;   // keeps the reference covariance invertible

}  // namespace

float auxWeight(float p, float forget) {
    return (1.0f - forget) * std::pow(p + kPowerFloor, kShape);
}

int AuxIVACore::checkArguments(int nummics, int numbins, float forget) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(forget >= 0.0 && forget <= 1.0);
    return nummics;
}

AuxIVACore::AuxIVACore(int nummics, int numrefs, int numbins, float forget, bool perBin)
    : numMics_(checkArguments(nummics, numbins, forget)),
      numRefs_(numrefs),
      numBins_(numbins),
      perBin_(perBin),
      forget_(numbins),
      weights_(numbins),
      W_(nummics, numrefs, numbins),
      refs_(numrefs, numbins),
      residual_(nummics, numbins),
      estimate_(nummics, numbins) {
    forget_.fill(forget);
}

AuxIVACore::~AuxIVACore() = default;

void AuxIVACore::computeWeights(int m0, int m1) {
    const int K = numBins_;
    float* w = weights_.data();
    const float* lambda = forget_.data();
    if (perBin_) {
        for (int k = 0; k < K; ++k) {
            float p = 0.0f;
            for (int m = m0; m < m1; ++m) p += std::norm(residual_.data()[m][k]);
            w[k] = auxWeight(p, lambda[k]);
        }
        return;
    }
    // One weight for the whole block. A non-finite bin is left out of the power, so it spoils
    // only its own statistics (which are then restarted), not every bin's weight.
    float p = 0.0f;
    for (int m = m0; m < m1; ++m)
        for (int k = 0; k < K; ++k) {
            const float v = std::norm(residual_.data()[m][k]);
            if (std::isfinite(v)) p += v;
        }
    const float s = auxWeight(p, lambda[0]);
    for (int k = 0; k < K; ++k) w[k] = s;
}

void AuxIVACore::clearFilterBin(int k) {
    for (int m = 0; m < numMics_; ++m)
        for (int r = 0; r < numRefs_; ++r) W_.data()[m][r][k] = 0.0f;
}

void AuxIVACore::process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                         blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) {
    VM_ASSERT(mic->numRows() == numMics() && mic->numColumns() == numBins());
    VM_ASSERT(ref->numRows() == numRefs() && ref->numColumns() == numBins());
    VM_ASSERT(nearend->numRows() == numMics() && nearend->numColumns() == numBins());
    VM_ASSERT(echo->numRows() == numMics() && echo->numColumns() == numBins());
    const int M = numMics_, R = numRefs_, K = numBins_;
    // 1. Echo estimate with the current coefficients, near end, L1 limiter.
    for (int m = 0; m < M; ++m) {
        const blas::Complex* x = mic->data()[m];
        blas::Complex* e = estimate_.data()[m];
        blas::Complex* n = residual_.data()[m];
        std::memset(static_cast<void*>(e), 0, sizeof(blas::Complex) * K);
        for (int r = 0; r < R; ++r) {
            const blas::Complex* w = W_.data()[m][r];
            const blas::Complex* y = ref->data()[r];
            for (int k = 0; k < K; ++k) {
                const float wr = w[k].real(), wi = w[k].imag(), yr = y[k].real(), yi = y[k].imag();
                e[k] += blas::Complex(wr * yr - wi * yi, wr * yi + wi * yr);
            }
        }
        for (int k = 0; k < K; ++k) {
            const blas::Complex d = x[k] - e[k];
            // Also a non-finite residual falls back to the microphone.
            const bool within = std::fabs(d.real()) + std::fabs(d.imag()) <=
                                std::fabs(x[k].real()) + std::fabs(x[k].imag());
            n[k] = within ? d : x[k];
        }
    }
    // 2./3. The references, with the small offset on every row but the first, on a copy: the
    // caller's block is never changed.
    refs_.copy(ref);
    for (int r = 1; r < R; ++r)
        for (int k = 0; k < K; ++k) refs_.data()[r][k] += kRefOffset;
    // 4. Weights and statistics (the derived class computes its own weights), then W.
    update(mic);
    // A bin whose coefficients went non-finite (a non-finite input) starts again from scratch.
    for (int k = 0; k < K; ++k) {
        bool finite = true;
        for (int m = 0; m < M; ++m)
            for (int r = 0; r < R; ++r) {
                const blas::Complex w = W_.data()[m][r][k];
                finite = finite && std::isfinite(w.real()) && std::isfinite(w.imag());
            }
        if (!finite) resetBin(k);
    }
    nearend->copy(&residual_);
    echo->copy(&estimate_);
}

}  // namespace velmora::aec
