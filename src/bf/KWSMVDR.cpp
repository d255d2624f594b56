#include "bf/KWSMVDR.h"

#include <algorithm>
#include <cmath>

#include "Error.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "util/Numeric.h"

namespace velmora::bf {

namespace {

constexpr int kDefaultTaps = 4;
constexpr int kSweepBlocks = 32;      // blocks of one weight sweep
constexpr int kDefaultKeyword = 150;  // keyword length (blocks) of a lock without a count
constexpr float kKeep = 0.999f;       // noise covariance smoothing
constexpr float kLoad = 1e-5f;        // loading of each pivot of the inverse
constexpr float kMinGain = 1e-6f;     // d^H Phi^-1 d below this: the weights are not normalised

}  // namespace

// The history holds 200 blocks of M rows, newest block in rows 0 .. M-1; the stack view sees
// its top M*P rows. Rotating the history moves row pointers, so views are set before each use.
struct KWSMVDR::Impl {
    int numMics;
    int numBins;
    int numTaps;
    int stackRows;
    int step;
    int sweep = 0;
    bool seen = false;
    float d;  // 1/sqrt(M)
    blas::ComplexMatrix history;
    blas::ComplexMatrix stack;
    blas::ComplexMatrix clean;  // the input block with absurd bins zeroed
    blas::ComplexTensor3 phi;
    blas::ComplexTensor3 inverse;
    blas::ComplexTensor3 weights;  // 1 x M*P x K: out = sum_r W[0][r][k] stack[r][k]

    Impl(int m, int k, int p)
        : numMics(m),
          numBins(k),
          numTaps(p),
          stackRows(m * p),
          step(std::max(1, k / kSweepBlocks)),
          d(1.0f / std::sqrt(static_cast<float>(m))),
          history(kHistoryBlocks * m, k),
          stack(m * p, k, true),
          clean(m, k),
          phi(m * p, m * p, k),
          inverse(m * p, m * p, k),
          weights(1, m * p, k) {
        history.fill(0.0f, 0.0f);
        phi.fill(0.0f, 0.0f);
        inverse.fill(0.0f, 0.0f);
        blas::loadDiagonal(&inverse, 1.0f);
        weights.fill(0.0f, 0.0f);
        for (int r = 0; r < m; ++r)
            for (int b = 0; b < k; ++b) weights.data()[0][r][b] = blas::Complex(d, 0.0f);
    }
};

KWSMVDR::KWSMVDR(int nummics, int numbins, int taps) {
    VM_ASSERT(nummics > 1);
    VM_ASSERT(numbins > 0);
    const int p = taps > 0 ? taps : kDefaultTaps;
    VM_ASSERT(nummics * p <= kMaxStack && p <= kHistoryBlocks);
    pp.reset(new Impl(nummics, numbins, p));
}

KWSMVDR::~KWSMVDR() = default;

int KWSMVDR::numMics() const {
    return pp->numMics;
}
int KWSMVDR::numBins() const {
    return pp->numBins;
}
int KWSMVDR::numTaps() const {
    return pp->numTaps;
}
bool KWSMVDR::sweepDone() const {
    return pp->sweep >= pp->numBins;
}

void KWSMVDR::lock(int /*n*/, const float* blocks) {
    Impl& s = *pp;
    if (!s.seen) return;
    int keep = kDefaultKeyword;
    if (blocks) {
        // Truncated; NaN and negative counts take every stack, absurdly large ones none.
        const float b = *blocks;
        keep = b >= static_cast<float>(kDefaultKeyword) ? kDefaultKeyword
                                                        : (b >= 0.0f ? static_cast<int>(b) : 0);
    }
    const float fresh = 1.0f - kKeep;
    const int m = s.numMics;
    for (int b = kHistoryBlocks * m - s.stackRows; b >= keep * m; b -= m) {
        s.history.rowsView(b, &s.stack);
        blas::updateCovariance(kKeep, fresh, &s.phi, &s.stack, &s.phi);
    }
    s.sweep = 0;
    s.seen = false;
}

// W[0][.][k] = conj(Phi^-1 d / (d^H Phi^-1 d)), with (Phi + kLoad I)^-1 by the LDL^H
// factorisation. A bin of Phi that rounding or bad input made non-finite restarts at zero.
void KWSMVDR::computeWeights(int k) {
    Impl& s = *pp;
    const int n = s.stackRows, m = s.numMics;
    blas::Complex*** phi = s.phi.data();
    float probe = 0.0f;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) probe += phi[i][j][k].real() + phi[i][j][k].imag();
    if (!std::isfinite(probe))
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) phi[i][j][k] = blas::Complex(0.0f, 0.0f);
    if (blas::inverseHermitian(&s.phi, kLoad, &s.inverse, k, 1) != 0) return;

    blas::Complex*** inv = s.inverse.data();
    blas::Complex** w = s.weights.data()[0];
    // w_r = d * sum_{j < M} inv[r][j]; s = d^2 * sum_{i, j < M} Re inv[i][j].
    float quad = 0.0f;
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j) quad += inv[i][j][k].real();
    quad *= s.d * s.d;
    const float g = quad >= kMinGain ? s.d / quad : s.d;
    for (int r = 0; r < n; ++r) {
        blas::Complex sum(0.0f, 0.0f);
        for (int j = 0; j < m; ++j) sum += inv[r][j][k];
        w[r][k] = std::conj(sum * g);
    }
}

void KWSMVDR::process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) {
    VM_ASSERT(in->numRows() == numMics() && in->numColumns() == numBins());
    VM_ASSERT(out->numRows() == numOuts() && out->numColumns() == numBins());
    Impl& s = *pp;
    const int numbins = s.numBins;
    const blas::ComplexMatrix* block = in;
    for (int c = 0; c < s.numMics; ++c) {
        if (util::hasAbsurd(in->data()[c], numbins)) {
            for (int r = 0; r < s.numMics; ++r)
                util::zeroAbsurd(in->data()[r], s.clean.data()[r], numbins);
            block = &s.clean;
            break;
        }
    }
    s.history.pushTop(block);
    s.seen = true;

    if (s.sweep < numbins) {
        const int end = std::min(numbins, s.sweep + s.step);
        for (int k = s.sweep; k < end; ++k) computeWeights(k);
        s.sweep += s.step;
    }

    s.history.rowsView(0, &s.stack);
    blas::Complex* y = out->data()[0];
    std::fill(y, y + numbins, blas::Complex(0.0f, 0.0f));
    const blas::Complex* const* w = s.weights.data()[0];
    for (int r = 0; r < s.stackRows; ++r) {
        const blas::Complex* x = s.stack.data()[r];
        const blas::Complex* wr = w[r];
        for (int k = 0; k < numbins; ++k) y[k] += wr[k] * x[k];
    }
}

}  // namespace velmora::bf
