#include "aec/CSAECFDGeneral2.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Matrix.h"
#include "blas/Vector.h"

namespace velmora::aec {

namespace {

constexpr int kDefaultTaps = 15;        // filter length when aflen is 0 (150 ms at 10 ms blocks)
constexpr float kBandLowHz = 300.0f;    // reference-activity band: where speech and music
constexpr float kBandHighHz = 3450.0f;  // carry most of their power
constexpr double kRefActiveSeconds = 0.05;  // active reference needed before adapting
constexpr double kConvergeSeconds = 1.0;    // adaptation time before the filter counts as converged
constexpr float kEps = 1e-7f;               // guard of every division
constexpr float kConvergedStepScale = 0.75f;  // smaller steps once converged: less misadjustment
constexpr float kProfileShare = 0.99f;  // share of the learned profile kept by its mixing term

inline float* fl(blas::Complex* p) {
    return reinterpret_cast<float*>(p);
}
inline const float* fl(const blas::Complex* p) {
    return reinterpret_cast<const float*>(p);
}

}  // namespace

struct CSAECFDGeneral2::Impl {
    int numRefs;
    int numBins;
    int taps;
    int bandHigh;
    int bandLow;

    float stepSize = 0.15f;
    float frozenStep = 0.0f;
    int convergenceDetect = 1;
    int dualFilter = 1;
    int tapProfile = 1;
    float profileMix = 0.5f;
    int updateLast = 0;
    int iterations = 1;
    int stepControl = 0;
    int regularisedStep = 0;
    float regularisation = 1.0f;

    std::vector<std::unique_ptr<blas::ComplexMatrix>> history;
    std::vector<std::unique_ptr<blas::ComplexMatrix>> adaptive;
    std::vector<std::unique_ptr<blas::ComplexMatrix>> shadow;
    blas::Vector profile;
    blas::ComplexVector err1, err2, updErr, echo1, echo2;
    blas::Matrix stepErr;  // R x 2K floats: step times the adaptation error, per reference
    blas::Matrix refPow, refPowAvg, refPowInv;
    blas::Vector micPow, micPowAvg, err1Pow, err1PowAvg, err2Pow, err2PowAvg;
    float alpha = 0.01f;
    blas::Vector outRatio;
    blas::Matrix step;
    blas::Vector binStepFactor;
    blas::Vector updScale;             // per-bin factor turning err1 into updErr
    std::vector<double> tapMagnitude;  // per-tap sums of the profile update
    bool frozen = true;                // the step of this block is frozenStep
    std::vector<int> swapCount;
    int swapHold = 8;
    int adapting = 0;
    int refSeen = 0;
    int refCountdownStart;
    int refCountdown;
    int converged = 0;
    float refFloorLog2 = -5.0f;
    float errLimit = 0.03f;
    int convergeCountdown;

    Impl(int fs, int R, int L, int K)
        : numRefs(R),
          numBins(K),
          taps(L),
          profile(L),
          err1(K),
          err2(K),
          updErr(K),
          echo1(K),
          echo2(K),
          stepErr(R, 2 * K),
          refPow(R, K),
          refPowAvg(R, K),
          refPowInv(R, K),
          micPow(K),
          micPowAvg(K),
          err1Pow(K),
          err1PowAvg(K),
          err2Pow(K),
          err2PowAvg(K),
          outRatio(K),
          step(R, K),
          binStepFactor(K),
          updScale(K),
          tapMagnitude(static_cast<size_t>(L), 0.0),
          swapCount(static_cast<size_t>(K), 0) {
        const float w = static_cast<float>(fs) / static_cast<float>(2 * K);
        // Very few bins push the band ends outside the spectrum: keep them on real bins.
        bandHigh = std::clamp(static_cast<int>(kBandHighHz / w + 0.5f) - 1, 0, K - 1);
        bandLow = std::clamp(static_cast<int>(kBandLowHz / w + 0.5f) - 1, 0, bandHigh);
        refCountdownStart = -static_cast<int>(fs * kRefActiveSeconds / K + 1.0);
        refCountdown = refCountdownStart;
        convergeCountdown = -static_cast<int>(fs * kConvergeSeconds / K + 1.0);
        for (int r = 0; r < R; ++r) {
            history.push_back(std::make_unique<blas::ComplexMatrix>(L, K));
            adaptive.push_back(std::make_unique<blas::ComplexMatrix>(L, K));
            shadow.push_back(std::make_unique<blas::ComplexMatrix>(L, K));
        }
        profile.fill(0.8f / static_cast<float>(L));
        binStepFactor.fill(1.0f);
        updScale.fill(1.0f);
    }

    void convergenceBookkeeping();
    void stepMatrix();
    // echo = sum over references and taps of W o history; err = mic - echo.
    void filterOutput(const std::vector<std::unique_ptr<blas::ComplexMatrix>>& w,
                      const blas::ComplexVector* mic, blas::ComplexVector* echo,
                      blas::ComplexVector* err);
    void updateErrorScale();
    void applyUpdateErrorScale();
    void adapt();
    void updateProfile();
    void resetBin(int k) {
        err1PowAvg.data()[k] = 0.0f;
        err2PowAvg.data()[k] = 0.0f;
        micPowAvg.data()[k] = 0.0f;
        swapCount[static_cast<size_t>(k)] = 0;
    }
    void exchange(int k);
    void restartPoisonedBins();
};

void CSAECFDGeneral2::Impl::convergenceBookkeeping() {
    const int R = numRefs, K = numBins;
    if (converged == 1) {
        if (stepControl == 1) {
            for (int k = 0; k < K; ++k) {
                float s = 0.0f;
                for (int r = 0; r < R; ++r) s += refPowAvg.data()[r][k];
                const double b = std::sqrt(static_cast<double>(err1Pow.data()[k]) /
                                           (static_cast<double>(taps) * s / R + kEps));
                binStepFactor.data()[k] =
                    b > errLimit ? static_cast<float>(errLimit / (b + kEps)) : 1.0f;
            }
        } else {
            binStepFactor.fill(1.0f);
        }
        return;
    }
    if (refCountdown < 0) {
        double P = 0.0;
        for (int r = 0; r < R; ++r)
            for (int k = bandLow; k <= bandHigh; ++k) P += refPow.data()[r][k];
        // log2 of a silent band is -inf (and NaN compares false): both count as inactive.
        if (std::log(P) / std::log(2.0) >= R * refFloorLog2) {
            ++refCountdown;
        } else {
            refCountdown = refCountdownStart;
            refSeen = 0;
        }
    } else {
        refSeen = 1;
    }
    if (refSeen == 1 && convergenceDetect == 1) {
        ++convergeCountdown;
        if (convergeCountdown > 0) converged = 1;
    }
}

void CSAECFDGeneral2::Impl::stepMatrix() {
    const int R = numRefs, K = numBins;
    frozen = !(refSeen > 0 || adapting == 1);
    if (!frozen) {
        const float scale = converged == 1 ? stepSize * kConvergedStepScale : stepSize;
        const bool perBin = convergenceDetect > 0 || adapting == 1;
        if (perBin) adapting = 1;
        const float* bsf = binStepFactor.data();
        const float* e1avg = err1PowAvg.data();
        for (int r = 0; r < R; ++r) {
            float* st = step.data()[r];
            if (regularisedStep == 1 && converged == 1) {
                // The error power in the denominator slows adaptation while the residual
                // (double talk, noise) is large against the reference; kEps keeps silent bins
                // finite.
                const float* rpa = refPowAvg.data()[r];
                const float reg = regularisation;
                for (int k = 0; k < K; ++k)
                    st[k] = scale * rpa[k] / (rpa[k] * rpa[k] + reg * e1avg[k] + kEps);
            } else {
                blas::scale(refPowInv.data()[r], scale, st, K);
            }
            if (perBin)
                for (int k = 0; k < K; ++k) st[k] *= bsf[k];
        }
    } else {
        step.fill(frozenStep);
    }
}

void CSAECFDGeneral2::Impl::filterOutput(const std::vector<std::unique_ptr<blas::ComplexMatrix>>& w,
                                         const blas::ComplexVector* mic, blas::ComplexVector* echo,
                                         blas::ComplexVector* err) {
    echo->fill(0.0f, 0.0f);
    for (int r = 0; r < numRefs; ++r)
        blas::accumulateColumnProducts(w[static_cast<size_t>(r)].get(),
                                       history[static_cast<size_t>(r)].get(), echo);
    blas::subtract(mic, echo, err);
}

void CSAECFDGeneral2::Impl::updateErrorScale() {
    float* us = updScale.data();
    if (converged == 1 && stepControl == 2) {
        // Large errors against their own average (double talk bursts) are scaled back.
        const float* avg = err1PowAvg.data();
        const float* pow = err1Pow.data();
        for (int k = 0; k < numBins; ++k) {
            const float m = avg[k] / (pow[k] + kEps);
            us[k] = m < 1.0f ? std::sqrt(m) : 1.0f;
        }
    } else {
        updScale.fill(1.0f);
    }
}

void CSAECFDGeneral2::Impl::applyUpdateErrorScale() {
    blas::multiply(&updScale, &err1, &updErr);
}

void CSAECFDGeneral2::Impl::adapt() {
    // A zero frozen step changes nothing (and must not turn a non-finite reference into NaN).
    if (frozen && frozenStep == 0.0f) return;
    const int R = numRefs, K = numBins, L = taps;
    const bool useProfile = tapProfile == 1 && converged == 1;
    const float uniform = 1.0f / static_cast<float>(L);
    const float* pr = profile.data();
    const float* __restrict e = fl(updErr.data());
    for (int r = 0; r < R; ++r) {
        const float* __restrict st = step.data()[r];
        float* __restrict se = stepErr.data()[r];
        for (int k = 0; k < K; ++k) {
            se[2 * k] = st[k] * e[2 * k];
            se[2 * k + 1] = st[k] * e[2 * k + 1];
        }
        blas::ComplexMatrix& W = *adaptive[static_cast<size_t>(r)];
        const blas::ComplexMatrix& H = *history[static_cast<size_t>(r)];
        for (int l = 0; l < L; ++l) {
            const float c = useProfile ? pr[l] : uniform;
            const float* __restrict h = fl(H.data()[l]);
            float* __restrict wl = fl(W.data()[l]);
            // W += c * conj(h) * (step * err)
            for (int k = 0; k < K; ++k) {
                const float hr = h[2 * k], hi = h[2 * k + 1];
                const float er = se[2 * k], ei = se[2 * k + 1];
                wl[2 * k] += c * (hr * er + hi * ei);
                wl[2 * k + 1] += c * (hr * ei - hi * er);
            }
        }
    }
}

void CSAECFDGeneral2::Impl::updateProfile() {
    if (!(tapProfile == 1 && converged == 1)) return;
    const int R = numRefs, K = numBins, L = taps;
    float* pr = profile.data();
    double S = 0.0;
    for (int l = 0; l < L; ++l) {
        double p = 0.0;
        for (int r = 0; r < R; ++r) {
            const float* wl = fl(adaptive[static_cast<size_t>(r)]->data()[l]);
            for (int k = 0; k < K; ++k)
                p += std::sqrt(wl[2 * k] * wl[2 * k] + wl[2 * k + 1] * wl[2 * k + 1]) + kEps;
        }
        tapMagnitude[static_cast<size_t>(l)] = p;
        S += p;
    }
    const double rest = (1.0 - profileMix) / L;
    for (int l = 0; l < L; ++l)
        pr[l] = static_cast<float>(
            profileMix * tapMagnitude[static_cast<size_t>(l)] * kProfileShare / S + rest);
}

void CSAECFDGeneral2::Impl::exchange(int k) {
    const float a1 = err1PowAvg.data()[k], a2 = err2PowAvg.data()[k], am = micPowAvg.data()[k];
    const bool ready = swapCount[static_cast<size_t>(k)] == swapHold;
    if (2.0f * a1 < am && 2.0f * a1 < a2 && ready) {
        // The adaptive filter is clearly better: the shadow filter takes it over.
        resetBin(k);
        for (int r = 0; r < numRefs; ++r)
            shadow[static_cast<size_t>(r)]->copyColumn(k, adaptive[static_cast<size_t>(r)].get());
    }
    // After a reset the averages are 0 and neither test below can pass.
    const float b1 = err1PowAvg.data()[k], b2 = err2PowAvg.data()[k], bm = micPowAvg.data()[k];
    if (b2 > 2.0f * bm) {
        // The shadow filter diverged.
        resetBin(k);
        for (int r = 0; r < numRefs; ++r)
            shadow[static_cast<size_t>(r)]->fillColumn(k, blas::Complex(0.0f, 0.0f));
    } else if (2.0f * b2 < bm && 2.0f * b2 < b1 && swapCount[static_cast<size_t>(k)] == swapHold) {
        // The adaptive filter went astray (double talk): restore it from the shadow.
        resetBin(k);
        for (int r = 0; r < numRefs; ++r)
            adaptive[static_cast<size_t>(r)]->copyColumn(k, shadow[static_cast<size_t>(r)].get());
    }
}

CSAECFDGeneral2::CSAECFDGeneral2(int fs, int numrefs, int aflen, int numbins) {
    VM_ASSERT(fs > 0);
    VM_ASSERT(numrefs == 1 || numrefs == 2);
    VM_ASSERT(numbins > 0);
    pp = std::make_unique<Impl>(fs, numrefs, aflen > 0 ? aflen : kDefaultTaps, numbins);
}

CSAECFDGeneral2::~CSAECFDGeneral2() = default;

void CSAECFDGeneral2::setReserved(float) {}
void CSAECFDGeneral2::setStepSize(float value) {
    pp->stepSize = value;
}
void CSAECFDGeneral2::setFrozenStep(float value) {
    pp->frozenStep = value;
}
void CSAECFDGeneral2::setConvergenceDetect(int value) {
    pp->convergenceDetect = value;
}
void CSAECFDGeneral2::setDualFilter(int value) {
    pp->dualFilter = value;
}
void CSAECFDGeneral2::setTapProfile(int value) {
    pp->tapProfile = value;
}
void CSAECFDGeneral2::setProfileMix(float value) {
    pp->profileMix = value;
}
void CSAECFDGeneral2::setUpdateLast(int value) {
    pp->updateLast = value;
}
void CSAECFDGeneral2::setIterations(int value) {
    pp->iterations = value;
}
void CSAECFDGeneral2::setStepControl(int value) {
    pp->stepControl = value;
}
void CSAECFDGeneral2::setRegularisedStep(int value) {
    pp->regularisedStep = value;
}
void CSAECFDGeneral2::setRegularisation(float value) {
    pp->regularisation = value;
}

void CSAECFDGeneral2::process(const blas::ComplexVector* mic, const blas::ComplexMatrix* ref,
                              blas::ComplexVector* nearend, blas::ComplexVector* echo) {
    Impl& s = *pp;
    const int R = s.numRefs, K = s.numBins;
    VM_DASSERT(mic->size() == K && nearend->size() == K && echo->size() == K);
    VM_DASSERT(ref->numRows() == R && ref->numColumns() == K);
    const float a = s.alpha, b = 1.0f - s.alpha;

    // Powers and their averages.
    blas::magnitudeSquared(ref, &s.refPow);
    blas::smooth(b, &s.refPowAvg, a, &s.refPow, &s.refPowAvg);
    blas::reciprocal(&s.refPowAvg, kEps, &s.refPowInv);
    blas::magnitudeSquared(mic, &s.micPow);
    blas::smooth(b, &s.micPowAvg, a, &s.micPow, &s.micPowAvg);

    // Blocks since the last exchange, saturating.
    for (int k = 0; k < K; ++k)
        s.swapCount[static_cast<size_t>(k)] =
            std::min(s.swapCount[static_cast<size_t>(k)] + 1, s.swapHold);

    // Reference activity and convergence.
    s.convergenceBookkeeping();

    // Reference histories: row L - 1 is the newest block.
    for (int r = 0; r < R; ++r) {
        blas::ComplexMatrix& H = *s.history[static_cast<size_t>(r)];
        H.rotateUp();
        std::copy(ref->data()[r], ref->data()[r] + K, H.data()[s.taps - 1]);
    }

    // Step, first filter, adaptation error.
    s.stepMatrix();
    s.filterOutput(s.adaptive, mic, &s.echo1, &s.err1);
    s.updateErrorScale();
    s.applyUpdateErrorScale();

    // Adaptation before the output choice. Passes after the first adapt on the error of the
    // filter they start from, not on the first pass's error again.
    if (s.updateLast == 0) {
        for (int it = 0; it < s.iterations; ++it) {
            if (it > 0) s.applyUpdateErrorScale();
            s.adapt();
            s.filterOutput(s.adaptive, mic, &s.echo1, &s.err1);
            s.updateProfile();
        }
    }

    // Error power of the first filter.
    blas::magnitudeSquared(&s.err1, &s.err1Pow);
    blas::smooth(b, &s.err1PowAvg, a, &s.err1Pow, &s.err1PowAvg);

    // Output choice between the filters (or the first filter alone), with the limiter
    // applied per bin right away: it reads only the chosen output and the microphone, which
    // the later adaptation does not change. mic is read before nearend is written, so the two
    // may be one vector.
    const blas::Complex* m = mic->data();
    blas::Complex* ne = nearend->data();
    blas::Complex* ec = echo->data();
    float* ratio = s.outRatio.data();
    const float* x = s.micPow.data();
    if (s.dualFilter == 1) {
        s.filterOutput(s.shadow, mic, &s.echo2, &s.err2);
        blas::magnitudeSquared(&s.err2, &s.err2Pow);
        blas::smooth(b, &s.err2PowAvg, a, &s.err2Pow, &s.err2PowAvg);
        const float* e1 = s.err1Pow.data();
        const float* e2 = s.err2Pow.data();
        for (int k = 0; k < K; ++k) {
            const blas::Complex mk = m[k];
            blas::Complex out, est;
            if (e2[k] > e1[k] && e1[k] < x[k]) {
                out = s.err1.data()[k];
                est = s.echo1.data()[k];
            } else if (e2[k] < x[k]) {
                out = s.err2.data()[k];
                est = s.echo2.data()[k];
            } else {
                out = mk;
                est = blas::Complex(0.0f, 0.0f);
            }
            const float p = out.real() * out.real() + out.imag() * out.imag();
            const float rk = p / std::max(kEps, x[k]);
            // A NaN ratio (a filter gone non-finite) falls back to the microphone too.
            if (!(rk <= 1.0f)) {
                ratio[k] = 1.0f;
                out = mk;
            } else {
                ratio[k] = rk;
            }
            ne[k] = out;
            ec[k] = est;
            s.exchange(k);
        }
    } else {
        // Single filter: its error is the output and its estimate the echo.
        for (int k = 0; k < K; ++k) {
            const blas::Complex mk = m[k];
            blas::Complex out = s.err1.data()[k];
            const float p = out.real() * out.real() + out.imag() * out.imag();
            const float rk = p / std::max(kEps, x[k]);
            if (!(rk <= 1.0f)) {
                ratio[k] = 1.0f;
                out = mk;
            } else {
                ratio[k] = rk;
            }
            ne[k] = out;
            ec[k] = s.echo1.data()[k];
        }
    }

    // Adaptation after the output choice.
    if (s.updateLast == 1) {
        s.adapt();
        s.updateProfile();
    }
    s.restartPoisonedBins();
}

// A non-finite filter, history or power in a bin shows in that bin's errors or power
// averages; such a bin starts over from silence instead of staying unusable for good.
void CSAECFDGeneral2::Impl::restartPoisonedBins() {
    const int K = numBins, R = numRefs;
    const blas::Complex* e1 = err1.data();
    const blas::Complex* e2 = err2.data();
    for (int k = 0; k < K; ++k) {
        float probe = e1[k].real() + e1[k].imag() + micPowAvg.data()[k] + err1PowAvg.data()[k];
        if (dualFilter == 1) probe += e2[k].real() + e2[k].imag() + err2PowAvg.data()[k];
        for (int r = 0; r < R; ++r) probe += refPowAvg.data()[r][k];
        if (std::isfinite(probe)) continue;
        const blas::Complex zero(0.0f, 0.0f);
        for (int r = 0; r < R; ++r) {
            for (int t = 0; t < taps; ++t) {
                history[static_cast<size_t>(r)]->data()[t][k] = zero;
                adaptive[static_cast<size_t>(r)]->data()[t][k] = zero;
                shadow[static_cast<size_t>(r)]->data()[t][k] = zero;
            }
            refPowAvg.data()[r][k] = 0.0f;
        }
        err1.data()[k] = err2.data()[k] = zero;
        resetBin(k);
    }
}

int CSAECFDGeneral2::numRefs() const {
    return pp->numRefs;
}
int CSAECFDGeneral2::numBins() const {
    return pp->numBins;
}
int CSAECFDGeneral2::taps() const {
    return pp->taps;
}
int CSAECFDGeneral2::bandLow() const {
    return pp->bandLow;
}
int CSAECFDGeneral2::bandHigh() const {
    return pp->bandHigh;
}
float CSAECFDGeneral2::stepSize() const {
    return pp->stepSize;
}
int CSAECFDGeneral2::tapProfile() const {
    return pp->tapProfile;
}
int CSAECFDGeneral2::updateLast() const {
    return pp->updateLast;
}
int CSAECFDGeneral2::iterations() const {
    return pp->iterations;
}
bool CSAECFDGeneral2::refSeen() const {
    return pp->refSeen == 1;
}
bool CSAECFDGeneral2::adapting() const {
    return pp->adapting == 1;
}
bool CSAECFDGeneral2::converged() const {
    return pp->converged == 1;
}
int CSAECFDGeneral2::swapCount(int bin) const {
    VM_ASSERT(bin >= 0 && bin < pp->numBins);
    return pp->swapCount[static_cast<size_t>(bin)];
}
const blas::ComplexMatrix* CSAECFDGeneral2::adaptive(int r) const {
    VM_ASSERT(r >= 0 && r < pp->numRefs);
    return pp->adaptive[static_cast<size_t>(r)].get();
}
const blas::ComplexMatrix* CSAECFDGeneral2::shadow(int r) const {
    VM_ASSERT(r >= 0 && r < pp->numRefs);
    return pp->shadow[static_cast<size_t>(r)].get();
}
const blas::Vector* CSAECFDGeneral2::profile() const {
    return &pp->profile;
}
const blas::Vector* CSAECFDGeneral2::outRatio() const {
    return &pp->outRatio;
}

}  // namespace velmora::aec
