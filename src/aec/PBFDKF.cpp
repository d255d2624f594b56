#include "aec/PBFDKF.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "Error.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "transform/FFT_fft160.h"
#include "transform/FFT_kissfft.h"

namespace velmora::aec {

namespace {

// Drift of the echo path assumed per block: the state uncertainty grows by (1 - A^2) |W|^2 with
// 1 - A^2 = kDrift, which keeps the filter able to follow a changing room. A bin drifts only by
// the share of its microphone power that the echo estimate makes up, |Y|^2 / (|Y|^2 + Psi): a
// change of the path cannot be seen while the far end is silent or the near end talks, and an
// uncertainty grown over those blocks only lets the filter stray when they end. Measured (7
// microphones, RT60 0.3 s) against 1e-3: near-end SI-SDR in double talk 2.2 to 3.2 dB higher,
// echo-only ERLE within 0.5 dB, 0.5 dB less per second in the first seconds after the room
// changes.
constexpr float kDrift = 3e-4f;
// The unexplained (near-end and noise) power Psi of a bin is the largest of three estimates:
//   - the a-posteriori error power: the share of the error that the update leaves, smoothed
//     with weight kPsiSmoothing on the previous value; while the filter is still learning this
//     is well below the error power, so the step stays large until the echo is removed;
//   - kErrorShare times the error power, smoothed with a fast rise (kErrorAttack) and a slower
//     fall (kErrorRelease), so that the step never exceeds expected / (expected + 4 error
//     power): with the slowly shrinking uncertainty below (kPosteriorShare) this is what keeps
//     the filter from straying when the near end starts;
//   - the error power minus the residual that the filter uncertainty explains: when the near
//     end talks this is nearly all of the error, and the step collapses in the block it starts.
constexpr float kPsiSmoothing = 0.5f;
constexpr float kErrorShare = 2.0f;
constexpr float kErrorAttack = 0.3f;
constexpr float kErrorRelease = 0.7f;
// The share of the Kalman posterior's shrink of the uncertainty that is applied: 0.1 where the
// exact factor for a 2B-point transform is 0.5. The diagonal model treats the partitions and
// bins as independent, but the transforms overlap by a block and the far end is correlated from
// block to block, so one observation is counted by every partition it touches; with the exact
// factor the uncertainty collapses long before the filter has learnt, the error that is left is
// taken for near-end power and learning stalls. Measured on echo-only rooms (7 microphones,
// RT60 0.25 / 0.3 / 0.4 s, ERLE after 2 s), together with kErrorShare 2 and kDrift 3e-4, against
// 0.5, 0.7 and 1e-3: speech 38.5 / 37.3 / 33.5 dB against 31.9 / 30.7 / 27.8 dB, music 49.3 /
// 46.2 / 38.4 dB against 43.6 / 42.1 / 37.1 dB; steady state 58.1 / 52.7 dB against 50.1 /
// 39.0 dB (music / speech).
constexpr float kPosteriorShare = 0.1f;
// Initial uncertainty of the first partition, in the units of |W|^2 (the 2B-point spectrum of
// the taps): an echo path of gain 1 (0 dB from reference to microphone) in one partition has a
// mean |W|^2 of 1. Larger values learn loud echoes faster but fit the reference's noise floor
// to the microphone's noise before the far end starts.
constexpr float kInitialUncertainty = 1.0f;
// The initial uncertainty falls by this many dB per 10 ms of partition delay (a room's echo
// decays; 1 dB per 10 ms is a reverberation time of 0.6 s), so the late partitions start with
// small steps and the early ones learn first.
constexpr float kPriorDecayDbPer10ms = 1.0f;
// Smallest uncertainty kept, relative to the initial one: a filter never stops learning.
constexpr float kMinUncertainty = 1e-7f;
// Floor of the unexplained power per sample (mean square), about -100 dBFS: keeps the step
// finite when reference and microphone are silent.
constexpr float kPsiFloorPerSample = 1e-10f;
// Input samples beyond this magnitude (60 dB over full scale) are taken as absurd.
constexpr float kMaxSample = 1000.0f;
// An echo estimate louder than the loudest input taken (mean square) restarts the
// microphone's filter: it has run away.
constexpr float kMaxEstimatePower = kMaxSample * kMaxSample;

int roundUp8(int n) {
    return (n + 7) / 8 * 8;
}

// Returns x, or 0 (and sets *bad) when x is not finite or absurdly large.
inline float sanitise(float x, bool* bad) {
    if (std::fabs(x) <= kMaxSample) return x;  // false for NaN
    *bad = true;
    return 0.0f;
}

// The hot kernels are also compiled for AVX2 with FMA and picked at load time on processors that
// have them (the library is built for plain x86-64).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__)
#define VM_HOT_KERNEL __attribute__((noinline, target_clones("arch=x86-64-v3", "default")))
#else
#define VM_HOT_KERNEL __attribute__((noinline))
#endif

// One partition's share of the echo estimate and of its expected error power over n bins:
// Y += X W and G += |X|^2 U.
VM_HOT_KERNEL void accumulatePartition(const float* __restrict xr, const float* __restrict xi,
                                       const float* __restrict xp, const float* __restrict wr,
                                       const float* __restrict wi, const float* __restrict u,
                                       float* __restrict yr, float* __restrict yi,
                                       float* __restrict g, int n) {
    for (int k = 0; k < n; ++k) {
        yr[k] += xr[k] * wr[k] - xi[k] * wi[k];
        yi[k] += xr[k] * wi[k] + xi[k] * wr[k];
        g[k] += xp[k] * u[k];
    }
}

// One Kalman step of one filter partition over n bins: W += mu X* E with mu = U g, then the
// posterior uncertainty (the observation removes the share kPosteriorShare mu |X|^2) and the
// drift of the echo path (per bin, see kDrift). g = 1 / (sum_q |X_q|^2 U_q + 2 Psi). Kept out of
// line so that the compiler keeps the no-alias promises and vectorises the loop.
VM_HOT_KERNEL void updatePartition(const float* __restrict xr, const float* __restrict xi,
                                   const float* __restrict xp, const float* __restrict er,
                                   const float* __restrict ei, const float* __restrict g,
                                   const float* __restrict drift, float* __restrict wr,
                                   float* __restrict wi, float* __restrict u, int n, float minUnc) {
    for (int k = 0; k < n; ++k) {
        const float prior = u[k];
        const float mu = prior * g[k];
        const float re = wr[k] + mu * (xr[k] * er[k] + xi[k] * ei[k]);
        const float im = wi[k] + mu * (xr[k] * ei[k] - xi[k] * er[k]);
        // max(shrunk, minUnc) without a branch (the compiler will not vectorise a comparison
        // that may trap).
        const float shrunk = prior * (1.0f - kPosteriorShare * mu * xp[k]);
        const float post = 0.5f * (shrunk + minUnc + std::fabs(shrunk - minUnc));
        wr[k] = re;
        wi[k] = im;
        u[k] = (1.0f - drift[k]) * post + drift[k] * (re * re + im * im);
    }
}

}  // namespace

struct PBFDKF::Impl {
    int M, R, N, P;
    int bins;    // N + 1: DC to half rate
    int stride;  // bins rounded up to a multiple of 8

    // The 2N-point real transform; both implementations use the packed layout (N bins, bin 0
    // holds the DC and half-rate values).
    std::unique_ptr<transform::FFT_fft160> fft160;
    std::unique_ptr<FFT_kissfft> kiss;
    blas::Vector time;         // 2N
    blas::ComplexVector spec;  // N, packed

    std::vector<float> refTime;         // R x 2N: the last two blocks of every reference
    std::vector<float> xre, xim, xpow;  // R x P x stride: reference spectra, ring of P slots
    int head = 0;                       // slot of the newest spectrum

    std::vector<float> wre, wim, unc;  // M x R x P x stride: filter partitions, uncertainties
    std::vector<float> psi;            // M x stride: a-posteriori error power
    std::vector<float> errPow;         // M x stride: error power (fast rise, slow fall)
    std::vector<long> restartCount;    // M
    int rotation = 0;                  // partition whose taps are trimmed in this block

    std::vector<float> yre, yim, ere, eim, gain, drift;  // stride each
    std::vector<float> mic, res, est;                    // N each

    Impl(int m, int r, int n, int p)
        : M(m),
          R(r),
          N(n),
          P(p),
          bins(n + 1),
          stride(roundUp8(n + 1)),
          time(2 * n),
          spec(n),
          refTime(static_cast<size_t>(r) * 2 * n, 0.0f),
          xre(static_cast<size_t>(r) * p * stride, 0.0f),
          xim(xre.size(), 0.0f),
          xpow(xre.size(), 0.0f),
          wre(static_cast<size_t>(m) * r * p * stride, 0.0f),
          wim(wre.size(), 0.0f),
          unc(wre.size(), 0.0f),
          psi(static_cast<size_t>(m) * stride, 0.0f),
          errPow(psi.size(), 0.0f),
          restartCount(static_cast<size_t>(m), 0),
          yre(stride, 0.0f),
          yim(stride, 0.0f),
          ere(stride, 0.0f),
          eim(stride, 0.0f),
          gain(stride, 0.0f),
          drift(stride, 0.0f),
          mic(n, 0.0f),
          res(n, 0.0f),
          est(n, 0.0f) {
        if (n == 160)
            fft160 = std::make_unique<transform::FFT_fft160>();
        else
            kiss = std::make_unique<FFT_kissfft>(2 * n);
        for (int i = 0; i < M; ++i) restart(i);
    }

    size_t xAt(int r, int slot) const { return (static_cast<size_t>(r) * P + slot) * stride; }
    size_t wAt(int m, int r, int p) const {
        return ((static_cast<size_t>(m) * R + r) * P + p) * stride;
    }

    // Forward transform of the 2N samples in `time` into split spectra of N + 1 bins.
    void forward(float* re, float* im) {
        if (fft160)
            fft160->fft(&time, &spec);
        else
            kiss->fft(&time, &spec);
        const blas::Complex* c = spec.data();
        re[0] = c[0].real();
        im[0] = 0.0f;
        re[N] = c[0].imag();
        im[N] = 0.0f;
        for (int k = 1; k < N; ++k) {
            re[k] = c[k].real();
            im[k] = c[k].imag();
        }
    }

    // Inverse transform of split spectra into the 2N samples of `time`.
    void inverse(const float* re, const float* im) {
        blas::Complex* c = spec.data();
        c[0] = blas::Complex(re[0], re[N]);
        for (int k = 1; k < N; ++k) c[k] = blas::Complex(re[k], im[k]);
        if (fft160)
            fft160->ifft(&spec, &time);
        else
            kiss->ifft(&spec, &time);
    }

    void restart(int m) {
        for (int r = 0; r < R; ++r)
            for (int p = 0; p < P; ++p) {
                const size_t at = wAt(m, r, p);
                std::fill(wre.begin() + at, wre.begin() + at + stride, 0.0f);
                std::fill(wim.begin() + at, wim.begin() + at + stride, 0.0f);
                // The pipelines run at 16 kHz.
                const float delayMs = 1000.0f * static_cast<float>(p * N) / 16000.0f;
                const float u0 =
                    kInitialUncertainty * std::pow(10.0f, -0.01f * kPriorDecayDbPer10ms * delayMs);
                std::fill(unc.begin() + at, unc.begin() + at + stride, u0);
            }
        std::fill(psi.begin() + static_cast<size_t>(m) * stride,
                  psi.begin() + static_cast<size_t>(m + 1) * stride, 0.0f);
        std::fill(errPow.begin() + static_cast<size_t>(m) * stride,
                  errPow.begin() + static_cast<size_t>(m + 1) * stride, 0.0f);
    }

    void pushReferences(const float* block, int channels, bool* bad) {
        head = (head + 1) % P;
        for (int r = 0; r < R; ++r) {
            float* x = refTime.data() + static_cast<size_t>(r) * 2 * N;
            std::memmove(x, x + N, sizeof(float) * N);
            for (int t = 0; t < N; ++t)
                x[N + t] = sanitise(block[static_cast<size_t>(t) * channels + M + r], bad);
            std::memcpy(time.data(), x, sizeof(float) * 2 * N);
            const size_t at = xAt(r, head);
            float* re = xre.data() + at;
            float* im = xim.data() + at;
            forward(re, im);
            float* pw = xpow.data() + at;
            for (int k = 0; k < bins; ++k) pw[k] = re[k] * re[k] + im[k] * im[k];
        }
    }

    // Echo estimate of microphone m into `est` (time domain) from the current spectra, and the
    // expected power of the filter's error, sum_q |X_q|^2 P_q, into `gain` (for adapt()).
    void estimate(int m) {
        float* yr = yre.data();
        float* yi = yim.data();
        float* g = gain.data();
        std::fill(yr, yr + stride, 0.0f);
        std::fill(yi, yi + stride, 0.0f);
        std::fill(g, g + stride, 0.0f);
        for (int r = 0; r < R; ++r)
            for (int p = 0; p < P; ++p) {
                const size_t xa = xAt(r, (head - p + P) % P), wa = wAt(m, r, p);
                accumulatePartition(xre.data() + xa, xim.data() + xa, xpow.data() + xa,
                                    wre.data() + wa, wim.data() + wa, unc.data() + wa, yr, yi, g,
                                    stride);
            }
        inverse(yr, yi);
        std::memcpy(est.data(), time.data() + N, sizeof(float) * N);
    }

    // Trims a partition's spectrum to its first N taps (the rest is the wrap-around that the
    // unconstrained updates leave behind).
    void trim(float* re, float* im) {
        inverse(re, im);
        std::fill(time.data() + N, time.data() + 2 * N, 0.0f);
        forward(re, im);
    }

    // One Kalman update of microphone m with the residual in `res`.
    void adapt(int m) {
        std::fill(time.data(), time.data() + N, 0.0f);
        std::memcpy(time.data() + N, res.data(), sizeof(float) * N);
        forward(ere.data(), eim.data());

        // The expected error power that estimate() left in `gain`.
        float* __restrict g = gain.data();
        // Unexplained power (see kPsiSmoothing; the error of this block included, so that the
        // step drops in the very block the near end starts).
        float* __restrict ps = psi.data() + static_cast<size_t>(m) * stride;
        float* __restrict pe = errPow.data() + static_cast<size_t>(m) * stride;
        const float* __restrict er = ere.data();
        const float* __restrict ei = eim.data();
        const float floor = kPsiFloorPerSample * static_cast<float>(N);
        const float* __restrict yr = yre.data();
        const float* __restrict yi = yim.data();
        float* __restrict d = drift.data();
        for (int k = 0; k < stride; ++k) {
            const float e2 = er[k] * er[k] + ei[k] * ei[k];
            const float w = e2 > pe[k] ? kErrorAttack : kErrorRelease;
            pe[k] = w * pe[k] + (1.0f - w) * e2;
            const float expected = g[k];
            const float unexplained =
                std::max(std::max(ps[k], kErrorShare * pe[k]), pe[k] - expected);
            g[k] = 1.0f / (expected + 2.0f * unexplained + floor);
            const float y2 = yr[k] * yr[k] + yi[k] * yi[k];
            d[k] = kDrift * y2 / (y2 + unexplained + floor);
            // The a-posteriori error: the update removes the share expected * g of the error.
            const float left = 1.0f - expected * g[k];
            ps[k] = kPsiSmoothing * ps[k] + (1.0f - kPsiSmoothing) * left * left * e2;
        }

        const float minUnc = kMinUncertainty * kInitialUncertainty;
        for (int r = 0; r < R; ++r)
            for (int p = 0; p < P; ++p) {
                const size_t xa = xAt(r, (head - p + P) % P), wa = wAt(m, r, p);
                const float* __restrict xr = xre.data() + xa;
                const float* __restrict xi = xim.data() + xa;
                const float* __restrict xp = xpow.data() + xa;
                float* __restrict wr = wre.data() + wa;
                float* __restrict wi = wim.data() + wa;
                float* __restrict u = unc.data() + wa;
                updatePartition(xr, xi, xp, er, ei, g, drift.data(), wr, wi, u, stride, minUnc);
                if (p == rotation) trim(wr, wi);
            }
    }
};

PBFDKF::PBFDKF(int nummics, int numrefs, int blocksize, int partitions) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numrefs == 1 || numrefs == 2);
    VM_ASSERT(blocksize == 160 || blocksize == 320 || blocksize == 480 || blocksize == 640);
    VM_ASSERT(partitions >= 0 && partitions <= kMaxPartitions);
    pp = std::make_unique<Impl>(nummics, numrefs, blocksize,
                                partitions > 0 ? partitions : kDefaultPartitions);
}

PBFDKF::~PBFDKF() = default;

int PBFDKF::numMics() const {
    return pp->M;
}
int PBFDKF::numRefs() const {
    return pp->R;
}
int PBFDKF::blockSize() const {
    return pp->N;
}
int PBFDKF::numPartitions() const {
    return pp->P;
}
long PBFDKF::restarts(int m) const {
    VM_ASSERT(m >= 0 && m < pp->M);
    return pp->restartCount[static_cast<size_t>(m)];
}

void PBFDKF::process(float* block, int channels, float* echo) {
    Impl& s = *pp;
    VM_ASSERT(channels >= s.M + s.R);
    bool badRef = false;
    s.pushReferences(block, channels, &badRef);
    if (badRef)
        for (int m = 0; m < s.M; ++m) {
            s.restart(m);
            ++s.restartCount[static_cast<size_t>(m)];
        }

    for (int m = 0; m < s.M; ++m) {
        bool badMic = false;
        for (int t = 0; t < s.N; ++t)
            s.mic[t] = sanitise(block[static_cast<size_t>(t) * channels + m], &badMic);
        s.estimate(m);
        double power = 0.0;
        for (int t = 0; t < s.N; ++t) {
            s.res[t] = s.mic[t] - s.est[t];
            power += static_cast<double>(s.est[t]) * s.est[t];
        }
        const bool absurd = !(power <= static_cast<double>(kMaxEstimatePower) * s.N);
        if (badMic || absurd) {
            // Start again from nothing; this block passes the (sanitised) microphone.
            s.restart(m);
            ++s.restartCount[static_cast<size_t>(m)];
            std::copy(s.mic.begin(), s.mic.end(), s.res.begin());
            std::fill(s.est.begin(), s.est.end(), 0.0f);
        } else {
            s.adapt(m);
        }
        for (int t = 0; t < s.N; ++t) {
            block[static_cast<size_t>(t) * channels + m] = s.res[t];
            echo[static_cast<size_t>(t) * s.M + m] = s.est[t];
        }
    }
    s.rotation = (s.rotation + 1) % s.P;
}

}  // namespace velmora::aec
