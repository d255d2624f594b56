#include "ns/LeakageRES.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "blas/ComplexMatrix.h"
#include "util/Numeric.h"

namespace velmora::ns {

namespace {

// Time constants are given per 10 ms (160 bins at 16 kHz) and converted to the block length.
constexpr int kBins10ms = 160;

// Residual-echo model.
constexpr int kRegressors = 7;  // powers the residual echo is modelled from (see regressors())
constexpr int kNormal = kRegressors * (kRegressors + 1) / 2;  // upper triangle of the 7 x 7
constexpr float kRefShortKeep = 0.7f;   // decaying reference power per 10 ms: about 0.1 s ...
constexpr float kRefLongKeep = 0.9f;    // ... and about 0.3 s (the room beyond the canceller)
constexpr float kSideKeep = 0.8f;       // the neighbour bins' reference power, about 0.15 s
constexpr float kLearnKeep = 0.99f;     // fit statistics forget over about 1 s of learning blocks
constexpr int kSolveEvery = 4;          // blocks between two solutions of one bin's fit
constexpr double kRidge = 1e-3;         // diagonal loading of the fit, relative to each element
constexpr double kRidgeFloor = 1e-9;    // ... plus this share of the largest diagonal element
constexpr float kInitialLeak = 1.0f;    // before learning: residual as loud as the echo estimate
constexpr float kOutlier = 4.0f;        // bins above this many times the prediction count less
constexpr float kNearDominant = 4.0f;   // learn while the block is within 6 dB of the prediction
constexpr float kCoherenceKeep = 0.8f;  // smoothing of the microphone-echo coherence
// Smoothed coherence above which a block is echo only whatever the model predicts. With a
// clipping loudspeaker and noise the linear echo estimate stays below 0.99 even while only echo
// arrives; at 0.99 a canceller that had strayed in double talk left a residual the model took
// for talk, so it never learnt the new leakage (measured: 21.5 against 30.1 dB ERLE after the
// double talk; near-end SI-SDR within 0.25 dB).
constexpr float kLearnCoherence = 0.95f;
constexpr double kMinEchoPower = 1e-6;  // echo estimates below this (all bins) are silence

// Noise floor: minimum statistics of the smoothed power the model does not explain.
constexpr float kPowerKeep = 0.8f;  // smoothing of the powers the minimum is taken of
constexpr int kMinWindow10ms = 40;  // the minimum spans kMinWindows sub-windows of 0.4 s
constexpr int kMinWindows = 4;
constexpr float kMinBias = 2.5f;  // the minimum of a smoothed power lies about 4 dB low
constexpr int kEscape10ms = 400;  // talk for 4 s without a break: track the floor anyway
// The floor is tracked only in bins whose predicted residual is at most this share of the power.
constexpr float kNoiseShare = 0.25f;

// Gain.
constexpr float kDecisionKeep = 0.9f;  // decision-directed weight of the last clean power
constexpr float kMostPrior = 1e4f;     // prior SNRs are clamped to 40 dB
constexpr float kNoiseFloor = 0.1f;    // noise is attenuated by at most 20 dB
constexpr float kTalkLow = 3.0f;       // block power up to 5 dB above residual + noise: no talk
constexpr float kTalkHigh = 12.0f;     // 11 dB above: the near end talks
constexpr float kTalkFloor = 0.7f;     // while it talks no bin loses more than 3 dB
constexpr int kHang10ms = 20;          // clear or lasting talk keeps the channel open 0.2 s ...
constexpr float kTalkHold = 0.9f;      // ... then talk decays by this per 10 ms
constexpr int kLasting10ms = 3;        // talk over 30 ms in a row counts as lasting
constexpr float kReleaseKeep = 0.5f;   // rising gains move half way per 10 ms, falling at once
constexpr float kLeastGain = 1e-5f;    // gains are at least -100 dB (finite logarithms)
constexpr float kTiny = 1e-20f;        // power floor of the divisions

float perBlock(float keep10ms, int numbins) {
    return std::pow(keep10ms, static_cast<float>(numbins) / kBins10ms);
}

}  // namespace

// Per channel c and bin k, element c * K + k of every per-bin array. The fit statistics are
// kept in double: products of powers span more than float's precision between quiet and loud
// bins.
struct LeakageRES::Impl {
    int numChannels, numRefs, numBins;
    float echoFloor;
    // The constants' per-block values and the block counts of the time spans.
    float learnKeep, powerKeep, decisionKeep, releaseKeep, talkHold;
    float refShortKeep, refLongKeep, sideKeep, coherenceKeep;
    int minWindow, startBlocks, escapeBlocks, hangBlocks, lastingBlocks;

    // Near-end talk 0 .. 1 per channel, its hangover, its uninterrupted length in blocks and the
    // number of consecutive blocks with talk of their own (before the hangover).
    std::vector<float> talk;
    std::vector<int> hangLeft, talkRun, talkStreak;

    // The residual-echo model, per channel and bin: weights of kRegressors powers (see
    // regressors()), their weighted normal equations (upper triangle, row by row) and right-hand
    // sides.
    std::vector<double> weights, normal, rhs;
    // Reference power (summed over the references) per bin and its decaying sums, shared by
    // the channels.
    std::vector<float> refPower, refTailShort, refTailLong, sideTail;
    std::vector<blas::Complex> crossPower;    // smoothed microphone x conj(echo estimate)
    std::vector<float> micPower, echoSmooth;  // smoothed powers of both
    std::vector<float> smoothPower;           // smoothed near-end power minus predicted residual
    std::vector<float> residualSmooth;        // smoothed predicted residual
    std::vector<float> windowMin;             // running minimum of the current sub-window
    std::vector<float> pastMin;               // kMinWindows minima of the previous sub-windows
    std::vector<float> noise;                 // noise floor
    std::vector<float> cleanPrev;             // last block's clean power estimate (gain^2 * power)
    std::vector<float> gain;                  // applied gain (after release smoothing)
    int blocksInWindow = 0;                   // blocks of the current sub-window
    int windowSlot = 0;                       // the sub-window it will replace
    long blocksSeen = 0;  // blocks processed (the noise floor is tracked freely at first)

    // Work rows of one channel.
    std::vector<float> nearPower, echoPower, residual, rawGain, prior, floorGain;
    std::vector<double> regs;  // K x kRegressors regressors

    Impl(int numchs, int numrefs, int numbins, float floor)
        : numChannels(numchs), numRefs(numrefs), numBins(numbins), echoFloor(floor) {
        learnKeep = perBlock(kLearnKeep, numbins);
        powerKeep = perBlock(kPowerKeep, numbins);
        decisionKeep = perBlock(kDecisionKeep, numbins);
        releaseKeep = perBlock(kReleaseKeep, numbins);
        minWindow = std::max(1, kMinWindow10ms * kBins10ms / numbins);
        const size_t n = static_cast<size_t>(numchs) * numbins;
        talkHold = perBlock(kTalkHold, numbins);
        talk.assign(numchs, 1.0f);
        hangLeft.assign(numchs, 0);
        talkRun.assign(numchs, 0);
        talkStreak.assign(numchs, 0);
        startBlocks = minWindow * kMinWindows;
        escapeBlocks = std::max(1, kEscape10ms * kBins10ms / numbins);
        hangBlocks = std::max(1, kHang10ms * kBins10ms / numbins);
        lastingBlocks = std::max(1, (kLasting10ms * kBins10ms + numbins - 1) / numbins);
        refShortKeep = perBlock(kRefShortKeep, numbins);
        refLongKeep = perBlock(kRefLongKeep, numbins);
        sideKeep = perBlock(kSideKeep, numbins);
        coherenceKeep = perBlock(kCoherenceKeep, numbins);
        crossPower.assign(n, blas::Complex(0.0f, 0.0f));
        for (auto* v : {&micPower, &echoSmooth, &smoothPower, &residualSmooth, &windowMin, &noise,
                        &cleanPrev, &gain})
            v->assign(n, 0.0f);
        weights.assign(n * kRegressors, 0.0);
        normal.assign(n * kNormal, 0.0);
        rhs.assign(n * kRegressors, 0.0);
        for (auto* v : {&refPower, &refTailShort, &refTailLong, &sideTail})
            v->assign(numbins, 0.0f);
        regs.assign(static_cast<size_t>(numbins) * kRegressors, 0.0);
        pastMin.assign(n * kMinWindows, 0.0f);
        for (size_t i = 0; i < n; ++i) restart(i);
        for (auto* v : {&nearPower, &echoPower, &residual, &rawGain, &prior, &floorGain})
            v->assign(numbins, 0.0f);
    }

    // Forgets everything about element i (channel * K + bin).
    void restart(size_t i) {
        std::fill(weights.begin() + i * kRegressors, weights.begin() + (i + 1) * kRegressors, 0.0);
        weights[i * kRegressors] = kInitialLeak;
        std::fill(normal.begin() + i * kNormal, normal.begin() + (i + 1) * kNormal, 0.0);
        std::fill(rhs.begin() + i * kRegressors, rhs.begin() + (i + 1) * kRegressors, 0.0);
        smoothPower[i] = residualSmooth[i] = noise[i] = cleanPrev[i] = 0.0f;
        crossPower[i] = blas::Complex(0.0f, 0.0f);
        micPower[i] = echoSmooth[i] = 0.0f;
        windowMin[i] = HUGE_VALF;
        for (int w = 0; w < kMinWindows; ++w) pastMin[i * kMinWindows + w] = HUGE_VALF;
        gain[i] = 1.0f;
    }

    void updateReference(const blas::ComplexMatrix* ref);
    void regressors(const float* echoPow);
    void accumulate(size_t i, const double* r, float target, float weight);
    void solve(size_t i);
    void processChannel(int c, blas::Complex* e, const blas::Complex* y);
};

// The reference power per bin (all references) and its decaying sums. Non-finite or absurd
// reference values count as silence and clear the sums of their bin.
void LeakageRES::Impl::updateReference(const blas::ComplexMatrix* ref) {
    const int K = numBins;
    for (int k = 0; k < K; ++k) {
        float p = 0.0f;
        for (int r = 0; ref && r < ref->numRows(); ++r) p += std::norm(ref->data()[r][k]);
        if (!(p <= util::kAbsurdPower)) {
            p = 0.0f;
            refTailShort[k] = refTailLong[k] = sideTail[k] = 0.0f;
        }
        refPower[k] = p;
    }
    for (int k = 0; k < K; ++k) {
        const float side = (k > 0 ? refPower[k - 1] : 0.0f) + (k + 1 < K ? refPower[k + 1] : 0.0f);
        refTailShort[k] = refShortKeep * refTailShort[k] + refPower[k];
        refTailLong[k] = refLongKeep * refTailLong[k] + refPower[k];
        sideTail[k] = sideKeep * sideTail[k] + side;
    }
}

// The powers the residual echo of a bin is modelled from: the echo estimate in the bin and in
// its two neighbours (the filter bank's bands overlap, so echo the canceller misses in one bin
// leaks from the next), the reference in the bin now and decaying over about 0.1 s and 0.3 s
// (the echo path beyond the canceller's filter), and the neighbours' reference, now and decaying.
void LeakageRES::Impl::regressors(const float* echoPow) {
    const int K = numBins;
    for (int k = 0; k < K; ++k) {
        double* r = &regs[static_cast<size_t>(k) * kRegressors];
        r[0] = echoPow[k];
        r[1] = (k > 0 ? echoPow[k - 1] : 0.0f) + (k + 1 < K ? echoPow[k + 1] : 0.0f);
        r[2] = refPower[k];
        r[3] = refTailShort[k];
        r[4] = refTailLong[k];
        r[5] = (k > 0 ? refPower[k - 1] : 0.0f) + (k + 1 < K ? refPower[k + 1] : 0.0f);
        r[6] = sideTail[k];
    }
}

// One least-squares step for element i: the normal equations forget by learnKeep and take the
// regressors r against target with the given weight.
void LeakageRES::Impl::accumulate(size_t i, const double* r, float target, float weight) {
    double* a = &normal[i * kNormal];
    double* b = &rhs[i * kRegressors];
    for (int p = 0, n = 0; p < kRegressors; ++p) {
        b[p] = learnKeep * b[p] + weight * r[p] * target;
        for (int q = p; q < kRegressors; ++q, ++n) a[n] = learnKeep * a[n] + weight * r[p] * r[q];
    }
}

// The weights of element i: the ridge-loaded solution of its normal equations (Cholesky). A
// system that is not positive definite keeps the old weights.
void LeakageRES::Impl::solve(size_t i) {
    const double* a = &normal[i * kNormal];
    const double* b = &rhs[i * kRegressors];
    // Cholesky factor L (lower, row-major) of A + ridge * diag(A).
    double l[kRegressors][kRegressors];
    double scale = 0.0;
    for (int p = 0, n = 0; p < kRegressors; n += kRegressors - p, ++p)
        scale = std::max(scale, a[n]);
    if (!(scale > 0.0)) return;
    auto at = [&](int p, int q) {  // element (p, q) of the symmetric A, p <= q
        return a[p * kRegressors - p * (p - 1) / 2 + (q - p)];
    };
    for (int p = 0; p < kRegressors; ++p) {
        for (int q = 0; q <= p; ++q) {
            double sum = at(q, p);
            if (p == q) sum += kRidge * at(p, p) + kRidgeFloor * scale;
            for (int m = 0; m < q; ++m) sum -= l[p][m] * l[q][m];
            if (p == q) {
                if (!(sum > 0.0)) return;
                l[p][p] = std::sqrt(sum);
            } else {
                l[p][q] = sum / l[q][q];
            }
        }
    }
    double z[kRegressors], w[kRegressors];
    for (int p = 0; p < kRegressors; ++p) {
        double sum = b[p];
        for (int m = 0; m < p; ++m) sum -= l[p][m] * z[m];
        z[p] = sum / l[p][p];
    }
    for (int p = kRegressors - 1; p >= 0; --p) {
        double sum = z[p];
        for (int m = p + 1; m < kRegressors; ++m) sum -= l[m][p] * w[m];
        w[p] = sum / l[p][p];
    }
    for (int p = 0; p < kRegressors; ++p)
        if (!std::isfinite(w[p])) return;
    std::copy(w, w + kRegressors, weights.begin() + i * kRegressors);
}

void LeakageRES::Impl::processChannel(int c, blas::Complex* e, const blas::Complex* y) {
    const int K = numBins;
    const size_t base = static_cast<size_t>(c) * K;

    // Powers; a bin with a non-finite or absurd value is muted and starts again.
    for (int k = 0; k < K; ++k) {
        const float pe = std::norm(e[k]), py = std::norm(y[k]);
        const bool sane = pe <= util::kAbsurdPower && py <= util::kAbsurdPower;
        nearPower[k] = sane ? pe : 0.0f;
        echoPower[k] = sane ? py : 0.0f;
        if (!sane) {
            restart(base + k);
            e[k] = blas::Complex(0.0f, 0.0f);
        }
    }

    // Coherence of the microphone (canceller output plus echo estimate) with the echo estimate:
    // close to 1 while only echo arrives, lower as soon as anything else does (the near end),
    // whatever the model below predicts. Weighted over bins by the echo-estimate power.
    double explained = 0.0, echoTotal = 0.0;
    for (int k = 0; k < K; ++k) {
        const size_t i = base + k;
        if (!(nearPower[k] > 0.0f || echoPower[k] > 0.0f)) continue;
        const blas::Complex d = e[k] + y[k];
        crossPower[i] =
            coherenceKeep * crossPower[i] + (1.0f - coherenceKeep) * d * std::conj(y[k]);
        micPower[i] = coherenceKeep * micPower[i] + (1.0f - coherenceKeep) * std::norm(d);
        echoSmooth[i] = coherenceKeep * echoSmooth[i] + (1.0f - coherenceKeep) * echoPower[k];
        if (micPower[i] > kTiny) {
            explained += std::norm(crossPower[i]) / micPower[i];
            echoTotal += echoSmooth[i];
        }
    }
    const bool echoOnly = echoTotal > 0.0 && explained > kLearnCoherence * echoTotal;

    // Predicted residual, and the noise floor tracked on what the prediction leaves. While the
    // near end talks the floor is held (speech would raise it), unless the talk lasts so long
    // that the floor itself has probably risen. Only bins where the predicted residual is a small
    // share of the power take part: where it dominates, the prediction's own error (it runs above
    // the power in about every other block) would pull the minimum to zero, and a zero floor lets
    // plain noise pass as near-end talk.
    const bool trackNoise = talk[c] < 0.5f || talkRun[c] > escapeBlocks || blocksSeen < startBlocks;
    regressors(echoPower.data());
    auto predict = [&](size_t i, int k) {
        const double* w = &weights[i * kRegressors];
        const double* r = &regs[static_cast<size_t>(k) * kRegressors];
        double sum = 0.0;
        for (int p = 0; p < kRegressors; ++p) sum += w[p] * r[p];
        return static_cast<float>(std::min<double>(std::max(sum, 0.0), util::kAbsurdPower));
    };
    const bool windowDone = blocksInWindow + 1 >= minWindow;
    double sumNear = 0.0, sumPredicted = 0.0, sumNoise = 0.0, sumEcho = 0.0;
    for (int k = 0; k < K; ++k) {
        const size_t i = base + k;
        residual[k] = predict(i, k);
        const float lately = smoothPower[i];
        smoothPower[i] = powerKeep * smoothPower[i] + (1.0f - powerKeep) * nearPower[k];
        residualSmooth[i] = powerKeep * residualSmooth[i] + (1.0f - powerKeep) * residual[k];
        const float rest = std::max(smoothPower[i] - residualSmooth[i], 0.0f);
        if (trackNoise && residualSmooth[i] <= kNoiseShare * smoothPower[i])
            windowMin[i] = std::min(windowMin[i], rest);
        float lowest = windowMin[i];
        for (int w = 0; w < kMinWindows; ++w)
            lowest = std::min(lowest, pastMin[i * kMinWindows + w]);
        if (lowest < HUGE_VALF) noise[i] = kMinBias * lowest;
        // The floor cannot lie above what the bin has carried lately: the minima of windows that
        // held speech (the floor is tracked in talk pauses and after long talk) run high, and a
        // high floor hides the next onset until it is well under way.
        if (blocksSeen >= startBlocks) noise[i] = std::min(noise[i], lately);
        if (windowDone) {
            pastMin[i * kMinWindows + windowSlot] = windowMin[i];
            windowMin[i] = HUGE_VALF;
        }
        sumNear += nearPower[k];
        sumPredicted += residual[k];
        sumNoise += noise[i];
        sumEcho += echoPower[k];
    }

    // Learn the leakage while the far end plays above the noise and the near end keeps quiet.
    const bool farActive = sumEcho > kMinEchoPower && sumEcho > sumNoise;
    const bool nearQuiet = sumNear < kNearDominant * (sumPredicted + sumNoise) || echoOnly;
    if (farActive && nearQuiet) {
        for (int k = 0; k < K; ++k) {
            const size_t i = base + k;
            // Bins far above the prediction are mostly near end: they count less.
            const float expected = kOutlier * (residual[k] + noise[i]);
            const float ratio = nearPower[k] > expected ? expected / nearPower[k] : 1.0f;
            accumulate(i, &regs[static_cast<size_t>(k) * kRegressors],
                       std::max(nearPower[k] - noise[i], 0.0f), ratio * ratio);
            // The weights move slowly (about 1 s of memory): each bin is solved for every
            // kSolveEvery-th block, the bins taking turns.
            if (k % kSolveEvery == blocksSeen % kSolveEvery) {
                solve(i);
                residual[k] = predict(i, k);
            }
        }
    }

    // Decision-directed prior SNR against the predicted residual echo (the noise is left to
    // the floor: its minimum-statistics estimate runs high under speech, and a Wiener gain on it
    // would colour the near end), and the gain floor, mixed from the echo and the noise floors by
    // their shares.
    for (int k = 0; k < K; ++k) {
        const size_t i = base + k;
        const float interference = std::max(residual[k], kTiny);
        const float posterior = nearPower[k] / interference;
        prior[k] = std::min(decisionKeep * cleanPrev[i] / interference +
                                (1.0f - decisionKeep) * std::max(posterior - 1.0f, 0.0f),
                            kMostPrior);
        const float both = residual[k] + noise[i];
        const float floor2 =
            both > kTiny
                ? (echoFloor * echoFloor * residual[k] + kNoiseFloor * kNoiseFloor * noise[i]) /
                      both
                : kNoiseFloor * kNoiseFloor;
        floorGain[k] = std::max(std::sqrt(floor2), kLeastGain);
    }
    // Near-end talk in this block: how far the channel's power rises above the predicted
    // residual echo plus noise, held for a while so that the ends of words pass. Without talk
    // the gain goes to the floor; with talk it is the Wiener gain (on a log scale in between).
    const double expected = std::max(sumPredicted + sumNoise, static_cast<double>(kTiny));
    const float rise = static_cast<float>(sumNear / expected);
    const float talkNow =
        rise <= kTalkLow
            ? 0.0f
            : std::min(1.0f, std::log(rise / kTalkLow) / std::log(kTalkHigh / kTalkLow));
    // Hangover: clear talk, or talk over lastingBlocks blocks in a row, keeps the channel open for
    // hangBlocks blocks. Shorter, weaker talk opens only its own blocks: an echo burst the model
    // under-predicts looks like that, and holding it let 0.2 s of echo through.
    talkStreak[c] = talkNow >= 0.5f ? talkStreak[c] + 1 : 0;
    if (talkNow >= 1.0f || talkStreak[c] >= lastingBlocks)
        hangLeft[c] = hangBlocks;
    else if (talkNow >= 0.5f)
        hangLeft[c] = std::max(hangLeft[c], 1);
    else if (hangLeft[c] > 0)
        --hangLeft[c];
    talk[c] = hangLeft[c] > 0 ? 1.0f : std::max(talkNow, talkHold * talk[c]);
    talkRun[c] = talk[c] >= 0.5f ? talkRun[c] + 1 : 0;
    for (int k = 0; k < K; ++k) {
        const float wiener =
            std::max(prior[k] / (1.0f + prior[k]), std::max(floorGain[k], kTalkFloor));
        rawGain[k] =
            std::exp(talk[c] * std::log(wiener) + (1.0f - talk[c]) * std::log(floorGain[k]));
    }

    // Over time: falling gains act at once, rising ones are smoothed, except in a block of clear
    // talk, whose onset would otherwise be cut (measured: 0.3 to 0.6 dB of near-end SI-SDR).
    const float riseKeep = talkNow >= 1.0f ? 0.0f : releaseKeep;
    for (int k = 0; k < K; ++k) {
        const size_t i = base + k;
        const float target = rawGain[k];
        float g = gain[i];
        g = target < g ? target : g + (1.0f - riseKeep) * (target - g);
        g = std::min(std::max(g, 0.0f), 1.0f);
        gain[i] = g;
        e[k] *= g;
        cleanPrev[i] = g * g * nearPower[k];
    }
}

LeakageRES::LeakageRES(int numchs, int numrefs, int numbins, float echoFloor) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numrefs > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(echoFloor >= 0.0f && echoFloor <= 1.0f);
    pp.reset(new Impl(numchs, numrefs, numbins, echoFloor));
}

LeakageRES::~LeakageRES() = default;

int LeakageRES::numChannels() const {
    return pp->numChannels;
}
int LeakageRES::numRefs() const {
    return pp->numRefs;
}
int LeakageRES::numBins() const {
    return pp->numBins;
}

void LeakageRES::process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
                         const blas::ComplexMatrix* echo) {
    VM_ASSERT(nearend->numRows() == numChannels() && nearend->numColumns() == numBins());
    VM_ASSERT(echo->numRows() == numChannels() && echo->numColumns() == numBins());
    pp->updateReference(ref);
    for (int c = 0; c < pp->numChannels; ++c)
        pp->processChannel(c, nearend->data()[c], echo->data()[c]);
    ++pp->blocksSeen;
    if (++pp->blocksInWindow >= pp->minWindow) {
        pp->blocksInWindow = 0;
        pp->windowSlot = (pp->windowSlot + 1) % kMinWindows;
    }
}

}  // namespace velmora::ns
