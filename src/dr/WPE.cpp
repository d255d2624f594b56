// The per-bin arithmetic runs on the containers' contiguous runs as interleaved (re, im) float
// pairs: every row of history, every predictor fiber G_k[c] and every row of P_k is one run.
// Products and updates work on four floats at a time (transform/Simd.h), sums keep eight
// partial sums; the order of the terms is otherwise free.

#include "dr/WPE.h"

#include <cmath>
#include <cstring>

#include "Error.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/ComplexVector.h"
#include "transform/Simd.h"
#include "util/Numeric.h"

namespace velmora::dr {

namespace {

using transform::simd::load4;
using transform::simd::splat;
using transform::simd::store4;
using transform::simd::v4sf;

constexpr float kForget = 0.9999f;  // RLS forgetting factor: a memory of about 100 s of blocks
constexpr int kDefaultTaps = 5;     // prediction taps when the argument is 0
constexpr float kMinDenominator = 1e-10f;  // keeps the gain finite on silent input
// Bound on the complex values of the per-bin state (P and the history), far above any useful
// filter, so that an absurd tap count or delay is refused instead of overflowing a size.
constexpr long long kMaxStateValues = 1LL << 24;  // complex values: 128 MiB per table

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

// Complex products are formed as float dot products and element-wise updates over the 2n floats
// of interleaved runs, with the partner vector prepared once in the needed form (conjugated,
// parts swapped): sum_m conj(a_m) b_m = (a . b, a . b') with b' = (Im b, -Re b) per element;
// sum_m a_m b_m = (a . conj(b), a . swap(b)).

// (a . b, a . c) over n floats.
inline blas::Complex dot2(const float* a, const float* b, const float* c, int n) {
    v4sf s0 = splat(0.0f), s1 = s0, t0 = s0, t1 = s0;
    int j = 0;
    for (; j + 8 <= n; j += 8) {
        const v4sf a0 = load4(a + j), a1 = load4(a + j + 4);
        s0 += a0 * load4(b + j);
        s1 += a1 * load4(b + j + 4);
        t0 += a0 * load4(c + j);
        t1 += a1 * load4(c + j + 4);
    }
    if (j + 4 <= n) {
        const v4sf a0 = load4(a + j);
        s0 += a0 * load4(b + j);
        t0 += a0 * load4(c + j);
        j += 4;
    }
    const v4sf s = s0 + s1, t = t0 + t1;
    float sb = (s[0] + s[1]) + (s[2] + s[3]), tc = (t[0] + t[1]) + (t[2] + t[3]);
    for (; j < n; ++j) {
        sb += a[j] * b[j];
        tc += a[j] * c[j];
    }
    return blas::Complex(sb, tc);
}

// a . b over n floats: Re(sum conj(a_m) b_m) when a, b are n / 2 complex values.
inline float dot(const float* a, const float* b, int n) {
    v4sf s0 = splat(0.0f), s1 = s0;
    int j = 0;
    for (; j + 8 <= n; j += 8) {
        s0 += load4(a + j) * load4(b + j);
        s1 += load4(a + j + 4) * load4(b + j + 4);
    }
    if (j + 4 <= n) {
        s0 += load4(a + j) * load4(b + j);
        j += 4;
    }
    const v4sf s = s0 + s1;
    float r = (s[0] + s[1]) + (s[2] + s[3]);
    for (; j < n; ++j) r += a[j] * b[j];
    return r;
}

// p = (p - (a b + c d)) * f over n floats (a, c scalars).
inline void rankOneUpdate(float* p, float a, const float* b, float c, const float* d, float f,
                          int n) {
    const v4sf va = splat(a), vc = splat(c), vf = splat(f);
    int j = 0;
    for (; j + 4 <= n; j += 4)
        store4(p + j, (load4(p + j) - (va * load4(b + j) + vc * load4(d + j))) * vf);
    for (; j < n; ++j) p[j] = (p[j] - (a * b[j] + c * d[j])) * f;
}

// w += a b + c d over n floats (a, c scalars).
inline void addScaled(float* w, float a, const float* b, float c, const float* d, int n) {
    const v4sf va = splat(a), vc = splat(c);
    int j = 0;
    for (; j + 4 <= n; j += 4)
        store4(w + j, load4(w + j) + (va * load4(b + j) + vc * load4(d + j)));
    for (; j < n; ++j) w[j] += a * b[j] + c * d[j];
}

// Per complex element: conj = (re, -im), swap = (im, re), conjSwap = (im, -re) of x.
inline void conjugated(const float* __restrict x, float* __restrict y, int n) {
    for (int m = 0; m < n; ++m) {
        y[2 * m] = x[2 * m];
        y[2 * m + 1] = -x[2 * m + 1];
    }
}
inline void swapped(const float* __restrict x, float* __restrict y, int n) {
    for (int m = 0; m < n; ++m) {
        y[2 * m] = x[2 * m + 1];
        y[2 * m + 1] = x[2 * m];
    }
}
inline void conjSwapped(const float* __restrict x, float* __restrict y, int n) {
    for (int m = 0; m < n; ++m) {
        y[2 * m] = x[2 * m + 1];
        y[2 * m + 1] = -x[2 * m];
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
          yA(M * T),
          yB(M * T),
          uA(M * T),
          uB(M * T),
          gA(M * T),
          gS(M * T),
          gB(M * T),
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
    // The same vectors prepared for the float-level products: y conjugated and swapped (P y),
    // y conjugate-swapped (G^H y), u and g conjugated and swapped (g u^H), g conjugate-swapped
    // (g conj(e)).
    blas::ComplexVector yA, yB, uA, uB, gA, gS, gB;
    int binsPerBlock;
    int nextBin;
    blas::ComplexMatrix out;  // M x K output work block

    void adapt(int k, const blas::ComplexMatrix* block);

    // Bin k starts over: no prediction, identity inverse, empty history; its non-finite inputs
    // become 0 and its output is its input.
    void restartBin(int k, blas::ComplexMatrix* block) {
        const blas::Complex zero(0.0f, 0.0f);
        for (int c = 0; c < numChannels; ++c)
            for (int n = 0; n < numCoefs; ++n) predictor.data()[k][c][n] = zero;
        for (int i = 0; i < numCoefs; ++i)
            for (int j = 0; j < numCoefs; ++j)
                invCorr.data()[k][i][j] = blas::Complex(i == j ? 1.0f : 0.0f, 0.0f);
        for (int n = 0; n < historyLen; ++n) history.data()[k][n] = zero;
        for (int c = 0; c < numChannels; ++c) {
            blas::Complex& v = block->data()[c][k];
            if (!std::isfinite(v.real() + v.imag())) v = zero;
            out.data()[c][k] = v;
        }
    }
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
    float *u = fl(pv.data()), *g = fl(gain.data());
    float *ya = fl(yA.data()), *yb = fl(yB.data());
    float *ua = fl(uA.data()), *ub = fl(uB.data());
    float *ga = fl(gA.data()), *gs = fl(gS.data()), *gb = fl(gB.data());
    const int n = 2 * N;

    // u = P y
    conjugated(y, ya, N);
    swapped(y, yb, N);
    for (int i = 0; i < N; ++i) pv.data()[i] = dot2(fl(P[i]), ya, yb, n);
    float d = forget * sigma2 + dot(y, u, n);
    if (d < kMinDenominator) d += kMinDenominator;
    const float dinv = 1.0f / d;
    for (int j = 0; j < n; ++j) g[j] = u[j] * dinv;

    // P = (P - g u^H) / forget, row by row over contiguous runs. Right of the diagonal:
    // g_i conj(u_j) = Re g_i (Re u_j, -Im u_j) + Im g_i (Im u_j, Re u_j) per element. The real
    // part of the diagonal likewise; its imaginary part stays. Left of it, the mirror image:
    // conj(g_j) u_i = Re u_i (Re g_j, -Im g_j) + Im u_i (Im g_j, Re g_j), whose rounding is the
    // conjugate of its partner's bit for bit, since P is exactly Hermitian on entry; so P stays
    // exactly Hermitian without a strided copy of the upper triangle into the lower one.
    conjugated(u, ua, N);
    swapped(u, ub, N);
    conjugated(g, ga, N);
    swapped(g, gs, N);
    const float f = forgetInv;
    for (int i = 0; i < N; ++i) {
        float* row = fl(P[i]);
        const float gr = g[2 * i], gi = g[2 * i + 1];
        rankOneUpdate(row, u[2 * i], ga, u[2 * i + 1], gs, f, 2 * i);
        row[2 * i] = (row[2 * i] - (gr * ua[2 * i] + gi * ub[2 * i])) * f;
        rankOneUpdate(row + 2 * (i + 1), gr, ua + 2 * (i + 1), gi, ub + 2 * (i + 1), f,
                      n - 2 * (i + 1));
    }

    // G_k[c] += g conj(e_k[c]) = Re e g + Im e (Im g, -Re g) per element.
    conjSwapped(g, gb, N);
    blas::Complex** G = predictor.data()[k];
    const blas::Complex* const* e = out.data();
    for (int c = 0; c < M; ++c) addScaled(fl(G[c]), e[c][k].real(), g, e[c][k].imag(), gb, n);
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
    if (N > kMaxStateValues || N * N > kMaxStateValues / numbins || L > kMaxStateValues / numbins)
        error("WPE",
              "Prediction too long: %d channels, delay %d, %d taps (dr_power), at most %lld "
              "state values per table",
              numchs, D, T, kMaxStateValues);
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
    // NaN, infinite or absurd bins (a broken input) enter the prediction as silence.
    for (int c = 0; c < M; ++c)
        if (util::hasAbsurd(x[c], K)) util::zeroAbsurd(x[c], x[c], K);

    // Prediction with the filters of the previous block: e = x - G^H y.
    // sum conj(G_m) y_m = (G . y, G . (Im y, -Re y)) per element.
    float* yb = fl(s.yB.data());
    for (int k = 0; k < K; ++k) {
        const float* y = fl(s.history.data()[k]);
        blas::Complex* const* G = s.predictor.data()[k];
        conjSwapped(y, yb, N);
        float probe = 0.0f;
        for (int c = 0; c < M; ++c) {
            e[c][k] = x[c][k] - dot2(fl(G[c]), y, yb, 2 * N);
            probe += e[c][k].real() * e[c][k].real() + e[c][k].imag() * e[c][k].imag();
        }
        // A state gone non-finite or absurd would otherwise stay in this bin for good.
        if (!(probe <= util::kAbsurdPower)) s.restartBin(k, block);
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
