// The filter update is the recursive form of W = G Q: with Q' = (Q - c u u^H) / lambda,
// u = Q x, c = s / (lambda + s x^H u) and G' = lambda G + s d x^H, one finds
// G' Q' = G Q + c (d - G Q x) u^H, i.e. W' = W + c (mic - echo) u^H, where echo = W x is the
// estimate made with the old filter. So G need not be kept, and the update costs O(M R L) per
// bin instead of the O(M (R L)^2) of the product. The trace guard scales Q, and so W, by 0.01
// (G kept, as in the product form).
// Per-bin state is stored bin-innermost: every update below is a run over the bins.

#include "aec/OneLevelAEC.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "Error.h"
#include "aec/AuxIVACore.h"
#include "aec/ComplexRuns.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"

namespace velmora::aec {

namespace {

constexpr int kDefaultTaps = 16;
constexpr float kForget = 0.995f;
constexpr float kInitialInverse = 100000.0f;
// A bin whose trace of Q exceeds that of the initial loading (kInitialInverse per stacked tap)
// has lost, on average, all the information it had gathered: its inverse is running away in
// directions the references no longer excite (Q grows by 1 / lambda per block there), and is
// scaled by kTraceScale. A fixed limit below the initial trace would act on every healthy bin
// in the first blocks and leave a strong prior behind (with 10000, Q ends near 10 times the
// identity after two scalings, and convergence takes about 8 s instead of well under 2 s).
constexpr float kTraceScale = 0.01f;

inline float l1(blas::Complex z) {
    return std::fabs(z.real()) + std::fabs(z.imag());
}

}  // namespace

struct OneLevelAEC::Impl {
    int M, R, K, L, N;  // N = R L stacked taps
    float traceLimit;   // N kInitialInverse, the trace of the initial Q
    blas::Vector forget, weights;
    blas::ComplexMatrix stacked;  // N x K: row l R + r is reference r, l blocks old
    blas::ComplexTensor3 Q;       // N x N x K
    blas::ComplexTensor3 W;       // M x N x K
    blas::ComplexMatrix u;        // N x K: Q x
    blas::ComplexMatrix cu;       // N x K: c u
    blas::ComplexMatrix est;      // M x K: echo estimate
    blas::ComplexMatrix err;      // M x K: mic - echo (becomes c (mic - echo))
    blas::ComplexMatrix near;     // M x K: limited near end
    blas::Vector gain;            // K: c per bin
    std::vector<unsigned char> bad;

    Impl(int m, int r, int k, int l)
        : M(m),
          R(r),
          K(k),
          L(l),
          N(r * l),
          traceLimit(static_cast<float>(r * l) * kInitialInverse),
          forget(k),
          weights(k),
          stacked(r * l, k),
          Q(r * l, r * l, k),
          W(m, r * l, k),
          u(r * l, k),
          cu(r * l, k),
          est(m, k),
          err(m, k),
          near(m, k),
          gain(k),
          bad(static_cast<size_t>(k), 0) {
        forget.fill(kForget);
        for (int b = 0; b < K; ++b) resetBin(b);
    }

    void resetBin(int k) {
        for (int i = 0; i < N; ++i)
            for (int j = 0; j < N; ++j) Q.data()[i][j][k] = i == j ? kInitialInverse : 0.0f;
        for (int m = 0; m < M; ++m)
            for (int j = 0; j < N; ++j) W.data()[m][j][k] = 0.0f;
    }
};

OneLevelAEC::OneLevelAEC(int nummics, int numrefs, int numbins, int aflen) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numrefs > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(aflen >= 0);
    const int L = aflen > 0 ? aflen : kDefaultTaps;
    if (L > kMaxStackedTaps / numrefs)
        error("OneLevelAEC", "%d references x %d taps exceed the limit of %d stacked taps", numrefs,
              L, kMaxStackedTaps);
    pp = std::make_unique<Impl>(nummics, numrefs, numbins, L);
}

OneLevelAEC::~OneLevelAEC() = default;

int OneLevelAEC::numMics() const {
    return pp->M;
}
int OneLevelAEC::numRefs() const {
    return pp->R;
}
int OneLevelAEC::numBins() const {
    return pp->K;
}
int OneLevelAEC::taps() const {
    return pp->L;
}
const blas::ComplexTensor3* OneLevelAEC::filter() const {
    return &pp->W;
}
const blas::ComplexTensor3* OneLevelAEC::inverseCorrelation() const {
    return &pp->Q;
}

void OneLevelAEC::process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                          blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) {
    VM_ASSERT(mic->numRows() == numMics() && mic->numColumns() == numBins());
    VM_ASSERT(ref->numRows() == numRefs() && ref->numColumns() == numBins());
    VM_ASSERT(nearend->numRows() == numMics() && nearend->numColumns() == numBins());
    VM_ASSERT(echo->numRows() == numMics() && echo->numColumns() == numBins());
    using blas::Complex;
    Impl& s = *pp;
    const int M = s.M, R = s.R, K = s.K, N = s.N;
    const size_t rowBytes = sizeof(Complex) * static_cast<size_t>(K);

    // The current references on top of the stacked history; a non-finite reference value is
    // taken as silence so that it cannot stay in the history for L blocks.
    for (int r = 0; r < R; ++r) s.stacked.rotateDown();
    for (int r = 0; r < R; ++r) {
        const Complex* x = ref->data()[r];
        Complex* h = s.stacked.data()[r];
        for (int k = 0; k < K; ++k)
            h[k] = std::isfinite(x[k].real()) && std::isfinite(x[k].imag()) ? x[k] : Complex();
    }

    // Echo estimate with the current filter, error, limited near end.
    for (int m = 0; m < M; ++m) {
        Complex* e = s.est.data()[m];
        std::memset(static_cast<void*>(e), 0, rowBytes);
        for (int j = 0; j < N; ++j) runs::mac(s.W.data()[m][j], s.stacked.data()[j], K, e);
        const Complex* x = mic->data()[m];
        Complex* d = s.err.data()[m];
        Complex* n = s.near.data()[m];
        for (int k = 0; k < K; ++k) {
            d[k] = x[k] - e[k];
            // Also a non-finite error falls back to the microphone.
            n[k] = l1(d[k]) <= l1(x[k]) ? d[k] : x[k];
        }
    }

    // Weights from the near-end power summed over the microphones.
    float* w = s.weights.data();
    for (int k = 0; k < K; ++k) {
        float p = 0.0f;
        for (int m = 0; m < M; ++m) p += std::norm(s.near.data()[m][k]);
        w[k] = auxWeight(p, s.forget.data()[k]);
    }

    // u = Q x
    for (int i = 0; i < N; ++i) {
        Complex* ui = s.u.data()[i];
        std::memset(static_cast<void*>(ui), 0, rowBytes);
        for (int j = 0; j < N; ++j) runs::mac(s.Q.data()[i][j], s.stacked.data()[j], K, ui);
    }
    // c = s / (lambda + s x^H u); a bin with a non-finite value anywhere restarts.
    float* c = s.gain.data();
    for (int k = 0; k < K; ++k) {
        float a = 0.0f;
        for (int i = 0; i < N; ++i)
            a += (std::conj(s.stacked.data()[i][k]) * s.u.data()[i][k]).real();
        const float lambda = s.forget.data()[k];
        c[k] = w[k] / (lambda + w[k] * a);
        bool ok = std::isfinite(c[k]);
        for (int m = 0; m < M && ok; ++m)
            ok = std::isfinite(s.err.data()[m][k].real()) &&
                 std::isfinite(s.err.data()[m][k].imag());
        s.bad[static_cast<size_t>(k)] = !ok;
        if (!ok) {
            c[k] = 0.0f;
            for (int m = 0; m < M; ++m) s.err.data()[m][k] = 0.0f;
            for (int i = 0; i < N; ++i) s.u.data()[i][k] = 0.0f;
        }
    }
    // Q <- (Q - c u u^H) / lambda on the upper triangle, mirrored as conjugates.
    const float li = 1.0f / kForget;
    for (int i = 0; i < N; ++i) runs::scaleBy(c, s.u.data()[i], K, s.cu.data()[i]);
    // The diagonal is kept real and the lower triangle the exact conjugate of the upper: Q stays
    // exactly Hermitian (rounding in an anti-Hermitian part would grow by 1 / lambda per block).
    for (int i = 0; i < N; ++i) {
        for (int j = i; j < N; ++j)
            runs::rankOneScaled(s.cu.data()[i], s.u.data()[j], li, K, s.Q.data()[i][j]);
        Complex* d = s.Q.data()[i][i];
        for (int k = 0; k < K; ++k) d[k].imag(0.0f);
        for (int j = 0; j < i; ++j) runs::conjugate(s.Q.data()[j][i], K, s.Q.data()[i][j]);
    }
    // W <- W + c (mic - echo) u^H
    for (int m = 0; m < M; ++m) {
        runs::scaleBy(c, s.err.data()[m], K, s.err.data()[m]);
        for (int j = 0; j < N; ++j)
            runs::macConj(s.err.data()[m], s.u.data()[j], K, s.W.data()[m][j]);
    }
    // Trace guard, and restarts.
    for (int k = 0; k < K; ++k) {
        float trace = 0.0f;
        for (int i = 0; i < N; ++i) trace += s.Q.data()[i][i][k].real();
        if (s.bad[static_cast<size_t>(k)] || !std::isfinite(trace)) {
            s.resetBin(k);
        } else if (trace > s.traceLimit) {
            for (int i = 0; i < N; ++i)
                for (int j = 0; j < N; ++j) s.Q.data()[i][j][k] *= kTraceScale;
            for (int m = 0; m < M; ++m)
                for (int j = 0; j < N; ++j) s.W.data()[m][j][k] *= kTraceScale;
        }
    }
    echo->copy(&s.est);
    nearend->copy(&s.near);
}

}  // namespace velmora::aec
