// The per-bin arithmetic runs on the containers' contiguous runs as interleaved (re, im) float
// pairs: every row of history, every predictor fiber G_k[c] and every row of P_k is one run.
// The sums keep four partial sums per part so the compiler can vectorise them.

#include "dr/WPE.h"

#include <cstring>

#include "Error.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/ComplexVector.h"

namespace velmora::dr {

namespace {

constexpr float kForget = 0.9999f;  // RLS forgetting factor: a memory of about 100 s of blocks
constexpr int kDefaultTaps = 5;     // prediction taps when the argument is 0
constexpr float kMinDenominator = 1e-10f;  // keeps the gain finite on silent input
// Bound on the complex values of the per-bin state (P and the history), far above any useful
// filter, so that an absurd tap count or delay is refused instead of overflowing a size.
constexpr long long kMaxStateValues = 1LL << 27;

// The prediction delay when the argument is 0: it skips the direct path and early reflections,
// about 30 ms (3 blocks of 10 ms; 1 block of 20 ms).
int defaultDelay(int numbins) {
    if (numbins == 160) return 3;
    if (numbins == 320) return 1;
    return 0;
}

inline float* fl(blas::Complex* p) {
    return reinterpret_cast<float*>(p);
}
inline const float* fl(const blas::Complex* p) {
    return reinterpret_cast<const float*>(p);
}

// sum_m conj(a_m) b_m over n complex values.
inline blas::Complex conjDot(const float* __restrict a, const float* __restrict b, int n) {
    float sr[4] = {0.0f, 0.0f, 0.0f, 0.0f}, si[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    const int n4 = n & ~3;
    for (int m = 0; m < n4; m += 4)
        for (int q = 0; q < 4; ++q) {
            const float ar = a[2 * (m + q)], ai = a[2 * (m + q) + 1];
            const float br = b[2 * (m + q)], bi = b[2 * (m + q) + 1];
            sr[q] += ar * br + ai * bi;
            si[q] += ar * bi - ai * br;
        }
    for (int m = n4; m < n; ++m) {
        const float ar = a[2 * m], ai = a[2 * m + 1], br = b[2 * m], bi = b[2 * m + 1];
        sr[0] += ar * br + ai * bi;
        si[0] += ar * bi - ai * br;
    }
    return blas::Complex((sr[0] + sr[1]) + (sr[2] + sr[3]), (si[0] + si[1]) + (si[2] + si[3]));
}

// sum_m a_m b_m over n complex values (no conjugation).
inline blas::Complex plainDot(const float* __restrict a, const float* __restrict b, int n) {
    float sr[4] = {0.0f, 0.0f, 0.0f, 0.0f}, si[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    const int n4 = n & ~3;
    for (int m = 0; m < n4; m += 4)
        for (int q = 0; q < 4; ++q) {
            const float ar = a[2 * (m + q)], ai = a[2 * (m + q) + 1];
            const float br = b[2 * (m + q)], bi = b[2 * (m + q) + 1];
            sr[q] += ar * br - ai * bi;
            si[q] += ar * bi + ai * br;
        }
    for (int m = n4; m < n; ++m) {
        const float ar = a[2 * m], ai = a[2 * m + 1], br = b[2 * m], bi = b[2 * m + 1];
        sr[0] += ar * br - ai * bi;
        si[0] += ar * bi + ai * br;
    }
    return blas::Complex((sr[0] + sr[1]) + (sr[2] + sr[3]), (si[0] + si[1]) + (si[2] + si[3]));
}

// sum_j a_j b_j over n floats: Re(sum conj(a_m) b_m) when a, b are n / 2 complex values.
inline float realDot(const float* __restrict a, const float* __restrict b, int n) {
    float s[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const int n8 = n & ~7;
    for (int j = 0; j < n8; j += 8)
        for (int q = 0; q < 8; ++q) s[q] += a[j + q] * b[j + q];
    for (int j = n8; j < n; ++j) s[0] += a[j] * b[j];
    return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

// p_j = (p_j - g conj(u_j)) * f for j in [0, n).
inline void rankOneRow(float* __restrict p, const float* __restrict u, float gr, float gi, float f,
                       int n) {
    for (int j = 0; j < n; ++j) {
        const float ur = u[2 * j], ui = u[2 * j + 1];
        p[2 * j] = (p[2 * j] - (gr * ur + gi * ui)) * f;
        p[2 * j + 1] = (p[2 * j + 1] - (gi * ur - gr * ui)) * f;
    }
}

// w_m += g_m (er + i ei) for m in [0, n).
inline void addScaled(float* __restrict w, const float* __restrict g, float er, float ei, int n) {
    for (int m = 0; m < n; ++m) {
        const float gr = g[2 * m], gi = g[2 * m + 1];
        w[2 * m] += gr * er - gi * ei;
        w[2 * m + 1] += gr * ei + gi * er;
    }
}

}  // namespace

struct WPE::Impl {
    Impl(int M, int K, int D, int T, int spread)
        : numChannels(M),
          numBins(K),
          delay(D),
          taps(T),
          numCoefs(M * T),
          historyLen(M * (D + T)),
          history(K, M * (D + T)),
          predictor(K, M, M * T),
          invCorr(K, M * T, M * T),
          pv(M * T),
          gain(M * T),
          binsPerBlock(K / (spread == 0 ? 1 : spread)),
          nextBin(0),
          out(M, K) {}

    int numChannels;  // M
    int numBins;      // K
    int delay;        // D
    int taps;         // T
    float forget = kForget;
    float forgetInv = 1.0f / kForget;
    int numCoefs;    // N = M T
    int historyLen;  // M (D + T)
    // Per bin the last D + T input blocks of all channels, oldest first, channel order within.
    blas::ComplexMatrix history;
    blas::ComplexTensor3 predictor;  // G: K x M x N, zeros at creation
    blas::ComplexTensor3 invCorr;    // P: K x N x N, identity at creation
    blas::ComplexVector pv;          // P y of the bin being adapted
    blas::ComplexVector gain;        // RLS gain of the bin being adapted
    int binsPerBlock;
    int nextBin;
    blas::ComplexMatrix out;  // M x K output work block

    void adapt(int k, const blas::ComplexMatrix* block);
};

// One RLS step for bin k with the current input column in `block` and its error in `out`.
void WPE::Impl::adapt(int k, const blas::ComplexMatrix* block) {
    const int M = numChannels, N = numCoefs;
    const blas::Complex* const* x = block->data();
    float current = 0.0f;
    for (int c = 0; c < M; ++c) current += std::norm(x[c][k]);
    const float sigma2 =
        (blas::rowPower(&history, k) + current) / static_cast<float>(M + historyLen);
    // A bin that is silent over the whole history leaves u = 0, g = 0 and G unchanged; its
    // update would only inflate P by 1 / forget per block, which after hours of digital silence
    // overflows to infinity and poisons the bin. Such a bin is left as it is.
    if (sigma2 == 0.0f) return;

    const float* y = fl(history.data()[k]);
    blas::Complex** P = invCorr.data()[k];
    float* u = fl(pv.data());
    for (int i = 0; i < N; ++i) pv.data()[i] = plainDot(fl(P[i]), y, N);
    float d = forget * sigma2 + realDot(y, u, 2 * N);
    if (d < kMinDenominator) d += kMinDenominator;
    const float dinv = 1.0f / d;
    float* g = fl(gain.data());
    for (int j = 0; j < 2 * N; ++j) g[j] = u[j] * dinv;

    // P = (P - g u^H) / forget on the upper triangle (diagonal: real part only), mirrored.
    for (int i = 0; i < N; ++i) {
        float* row = fl(P[i]);
        const float gr = g[2 * i], gi = g[2 * i + 1];
        row[2 * i] = (row[2 * i] - (gr * u[2 * i] + gi * u[2 * i + 1])) * forgetInv;
        rankOneRow(row + 2 * (i + 1), u + 2 * (i + 1), gr, gi, forgetInv, N - i - 1);
        for (int j = i + 1; j < N; ++j) P[j][i] = std::conj(P[i][j]);
    }

    // G_k[c] += g conj(e_k[c])
    blas::Complex** G = predictor.data()[k];
    const blas::Complex* const* e = out.data();
    for (int c = 0; c < M; ++c) addScaled(fl(G[c]), g, e[c][k].real(), -e[c][k].imag(), N);
}

WPE::WPE(int numchs, int numbins, int delay, int taps, int spread) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(delay >= 0);
    VM_ASSERT(taps >= 0);
    const int D = delay == 0 ? defaultDelay(numbins) : delay;
    const int T = taps == 0 ? kDefaultTaps : taps;
    const long long N = static_cast<long long>(numchs) * T;
    const long long L = static_cast<long long>(numchs) * (static_cast<long long>(D) + T);
    if (N * N > kMaxStateValues / numbins || L > kMaxStateValues / numbins)
        error("WPE", "Prediction too long: %d channels, delay %d, %d taps", numchs, D, T);
    pp = std::make_unique<Impl>(numchs, numbins, D, T, spread);
    for (int k = 0; k < numbins; ++k)
        for (int i = 0; i < pp->numCoefs; ++i) pp->invCorr.at(k, i, i) = blas::Complex(1.0f, 0.0f);
}

WPE::~WPE() = default;

int WPE::numChannels() const {
    return pp->numChannels;
}
int WPE::numBins() const {
    return pp->numBins;
}
int WPE::predictionDelay() const {
    return pp->delay;
}
int WPE::taps() const {
    return pp->taps;
}
int WPE::binsPerBlock() const {
    return pp->binsPerBlock;
}
const blas::ComplexTensor3* WPE::predictor() const {
    return &pp->predictor;
}
const blas::ComplexTensor3* WPE::invCorr() const {
    return &pp->invCorr;
}

void WPE::process(blas::ComplexMatrix* block) {
    Impl& s = *pp;
    VM_ASSERT(block->numRows() == s.numChannels && block->numColumns() == s.numBins);
    const int M = s.numChannels, K = s.numBins, N = s.numCoefs;
    blas::Complex* const* x = block->data();
    blas::Complex** e = s.out.data();

    // Prediction with the filters of the previous block: e = x - G^H y.
    for (int k = 0; k < K; ++k) {
        const float* y = fl(s.history.data()[k]);
        blas::Complex* const* G = s.predictor.data()[k];
        for (int c = 0; c < M; ++c) e[c][k] = x[c][k] - conjDot(fl(G[c]), y, N);
    }

    // Adaptation of binsPerBlock bins, continuing cyclically where the last block stopped.
    for (int b = 0; b < s.binsPerBlock; ++b) {
        s.adapt(s.nextBin, block);
        if (++s.nextBin == K) s.nextBin = 0;
    }

    // History: drop the oldest block, append the current one.
    const int keep = s.historyLen - M;
    for (int k = 0; k < K; ++k) {
        blas::Complex* h = s.history.data()[k];
        std::memmove(static_cast<void*>(h), h + M, sizeof(blas::Complex) * keep);
        for (int c = 0; c < M; ++c) h[keep + c] = x[c][k];
    }

    block->copy(&s.out);
}

}  // namespace velmora::dr
