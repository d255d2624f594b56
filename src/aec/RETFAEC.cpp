#include "aec/RETFAEC.h"

#include <cmath>
#include <vector>

#include "Error.h"
#include "aec/CSAECFDGeneral2.h"
#include "aec/DualAFGeneral.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"

namespace velmora::aec {

namespace {

constexpr int kNominalRate = 16000;  // the core's timing constants assume 16 kHz
constexpr float kSmooth = 0.002f;    // weight of the new block in the averages
constexpr float kMinPower = 1e-6f;   // below this echo power the inverse is replaced by 1

}  // namespace

struct RETFAEC::Impl {
    int M, R, K;
    CSAECFDGeneral2 core;
    blas::Vector echoPow, echoPowInv;
    std::vector<std::unique_ptr<blas::ComplexVector>> cross;
    blas::ComplexVector retf;
    blas::ComplexVector micRow, nearRow, echoRow;  // views

    Impl(int m, int r, int k, int aflen)
        : M(m),
          R(r),
          K(k),
          core(kNominalRate, r, aflen, k),
          echoPow(k),
          echoPowInv(k),
          retf(k),
          micRow(k, true),
          nearRow(k, true),
          echoRow(k, true) {
        for (int i = 0; i < m; ++i) cross.push_back(std::make_unique<blas::ComplexVector>(k));
        DualAFGeneral::applyPreset(0, &core);
    }
};

RETFAEC::RETFAEC(int nummics, int numrefs, int numbins, int aflen) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numrefs > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(aflen >= 0);
    if (aflen > kMaxTaps)
        error("RETFAEC", "Filter length %d blocks is above the limit of %d", aflen, kMaxTaps);
    pp = std::make_unique<Impl>(nummics, numrefs, numbins, aflen);
}

RETFAEC::~RETFAEC() = default;

int RETFAEC::numMics() const {
    return pp->M;
}
int RETFAEC::numRefs() const {
    return pp->R;
}
int RETFAEC::numBins() const {
    return pp->K;
}
const CSAECFDGeneral2* RETFAEC::core() const {
    return &pp->core;
}
const blas::Vector* RETFAEC::echoPower() const {
    return &pp->echoPow;
}
const blas::ComplexVector* RETFAEC::crossSpectrum(int i) const {
    VM_ASSERT(i >= 0 && i < pp->M);
    return pp->cross[static_cast<size_t>(i)].get();
}

void RETFAEC::process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                      blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) {
    VM_ASSERT(mic->numRows() == numMics() && mic->numColumns() == numBins());
    VM_ASSERT(ref->numRows() == numRefs() && ref->numColumns() == numBins());
    VM_ASSERT(nearend->numRows() == numMics() && nearend->numColumns() == numBins());
    VM_ASSERT(echo->numRows() == numMics() && echo->numColumns() == numBins());
    using blas::Complex;
    Impl& s = *pp;
    const int K = s.K;
    // 1. The full canceller on the first microphone.
    s.micRow.setView(const_cast<Complex*>(mic->data()[0]));
    s.nearRow.setView(nearend->data()[0]);
    s.echoRow.setView(echo->data()[0]);
    s.core.process(&s.micRow, ref, &s.nearRow, &s.echoRow);
    if (s.M == 1) return;
    // 2. Smoothed power of the first microphone's echo estimate.
    const Complex* e0 = echo->data()[0];
    float* pw = s.echoPow.data();
    float* inv = s.echoPowInv.data();
    for (int k = 0; k < K; ++k) {
        float p = (1.0f - kSmooth) * pw[k] + kSmooth * std::norm(e0[k]);
        if (!std::isfinite(p)) p = 0.0f;  // restart a bin spoilt by a non-finite value
        pw[k] = p;
        inv[k] = p >= kMinPower ? 1.0f / p : 1.0f;
    }
    // 3. Every other microphone through its relative transfer function.
    Complex* h = s.retf.data();
    for (int i = 1; i < s.M; ++i) {
        Complex* c = s.cross[static_cast<size_t>(i)]->data();
        const Complex* x = mic->data()[i];
        Complex* n = nearend->data()[i];
        Complex* e = echo->data()[i];
        for (int k = 0; k < K; ++k) {
            Complex ck = (1.0f - kSmooth) * c[k] + kSmooth * (std::conj(e0[k]) * x[k]);
            if (!std::isfinite(ck.real()) || !std::isfinite(ck.imag())) ck = 0.0f;
            c[k] = ck;
            h[k] = inv[k] * ck;
            const Complex xk = x[k];
            e[k] = h[k] * e0[k];
            n[k] = xk - e[k];
        }
    }
}

}  // namespace velmora::aec
