// The keyword-triggered MVDR beamformer on a simulated room (default array, RT60 0.3 s): a
// loudspeaker plays music throughout, the target talker starts at 2 s and a keyword is confirmed
// half a second later. After the 32-block weight sweep the target's SIR at the output must beat
// microphone 0 by 6 dB; before the lock the output is the fixed sum of the microphones. Also the
// mask beamformer, which runs its detector itself.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "bf/KWSMVDR.h"
#include "bf/MaskPF.h"
#include "blas/ComplexMatrix.h"
#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "scene/Scene.h"
#include "transform/PPFBankAnalyzer.h"
#include "vad/DominantVAD.h"
#include "vad/VADBypass.h"

namespace velmora::test {
namespace {

constexpr int kFs = 16000, kMics = 7, kBins = 160;

using Blocks = std::vector<std::unique_ptr<blas::ComplexMatrix>>;

// The microphone channels of `frames` (numMics + numRefs channels, frame-major) analysed block by
// block with the engine's filter bank.
Blocks analyse(const std::vector<float>& frames, int channels) {
    transform::PPFBankAnalyzer bank(kMics, kBins);
    std::vector<float> mics(kMics * kBins);
    Blocks out;
    const int blocks = static_cast<int>(frames.size() / channels) / kBins;
    for (int b = 0; b < blocks; ++b) {
        for (int f = 0; f < kBins; ++f)
            for (int m = 0; m < kMics; ++m)
                mics[f * kMics + m] = frames[(static_cast<size_t>(b) * kBins + f) * channels + m];
        out.emplace_back(new blas::ComplexMatrix(kMics, kBins));
        bank.analyze(mics.data(), out.back().get());
    }
    return out;
}

double power(const blas::ComplexMatrix& m, int row) {
    double p = 0;
    for (int k = 0; k < kBins; ++k) p += std::norm(m.data()[row][k]);
    return p;
}

TEST(KWSMVDR, LockedWeightsRaiseTheTargetsSIR) {
    scene::Scene sc;
    sc.frames = 5 * kFs;
    sc.room.rt60 = 0.3f;
    sc.mics = scene::Scene::defaultArray();
    scene::Source talker;
    talker.signal = scene::readMonoWav(testdataDir() + "/speech/arctic_a0010.wav", kFs);
    const std::vector<float> more =
        scene::readMonoWav(testdataDir() + "/speech/cmu_arctic_us_axb_a0004.wav", kFs);
    talker.signal.insert(talker.signal.end(), more.begin(), more.end());
    talker.azimuth = 60.0f;
    talker.startFrame = 2 * kFs;
    sc.talkers.push_back(talker);
    sc.hasLoudspeaker = true;
    sc.loudspeaker.signal = scene::readMonoWav(testdataDir() + "/music/guitar_16k.wav", kFs);
    sc.loudspeaker.azimuth = -80.0f;
    sc.loudspeaker.distance = 1.2f;
    sc.loudspeaker.gain = 0.5f;
    sc.noiseSnrDb = 40.0f;
    const scene::Recording rec = scene::simulate(sc);
    const int channels = rec.numMics + rec.numRefs;
    const Blocks mix = analyse(rec.mixture, channels);
    const Blocks target = analyse(rec.nearEnd, kMics);
    std::vector<float> interference(rec.echo.size());
    for (size_t i = 0; i < interference.size(); ++i) interference[i] = rec.echo[i] + rec.noise[i];
    const Blocks other = analyse(interference, kMics);

    bf::KWSMVDR bf(kMics, kBins, 0);
    EXPECT_EQ(bf.numTaps(), 4);
    blas::ComplexMatrix out(1, kBins);
    const int lockAt = 250, keyword = 50;  // the target started at block 200
    for (int b = 0; b < lockAt; ++b) {
        bf.process(mix[b].get(), &out);
        // Before any lock: the fixed sum over sqrt(M).
        for (int k = 0; k < kBins; k += 7) {
            blas::Complex sum(0.0f, 0.0f);
            for (int m = 0; m < kMics; ++m) sum += mix[b]->data()[m][k];
            sum /= std::sqrt(7.0f);
            ASSERT_LE(std::abs(out.data()[0][k] - sum), 1e-5f * (1.0f + std::abs(sum))) << b;
        }
    }
    const float count = keyword;
    bf.lock(0, &count);
    EXPECT_FALSE(bf.sweepDone());
    int b = lockAt;
    {
        AllocCounter allocations;
        for (; b < lockAt + 32; ++b) bf.process(mix[b].get(), &out);
        EXPECT_EQ(allocations.allocations(), 0);
    }
    EXPECT_TRUE(bf.sweepDone());

    // The weights stay fixed until the next lock: target and interference through them apart.
    const int from = b, to = static_cast<int>(mix.size());
    auto measure = [&](const Blocks& part, double* in, double* outPower) {
        *in = *outPower = 0;
        for (int i = from; i < to; ++i) {
            bf.process(part[i].get(), &out);
            if (i < from + 4) continue;  // the taps still hold the other part
            *in += power(*part[i], 0);
            *outPower += power(out, 0);
        }
    };
    double t0, t1, i0, i1;
    measure(target, &t0, &t1);
    measure(other, &i0, &i1);
    const double sirMic = 10 * std::log10(t0 / i0), sirOut = 10 * std::log10(t1 / i1);
    std::printf("KWSMVDR: target SIR %.1f dB at microphone 0, %.1f dB at the output (+%.1f dB)\n",
                sirMic, sirOut, sirOut - sirMic);
    EXPECT_GE(sirOut - sirMic, 6.0);
}

TEST(KWSMVDR, LockEdgeCases) {
    blas::ComplexMatrix in(3, 32), out(1, 32);
    in.fillRandom();
    bf::KWSMVDR bf(3, 32, 2);
    // Nothing seen yet: a lock is ignored.
    bf.lock(0, nullptr);
    EXPECT_TRUE(bf.sweepDone() == false);
    for (int b = 0; b < 40; ++b) bf.process(&in, &out);
    EXPECT_TRUE(bf.sweepDone());
    // A count of 200 or more leaves no stack old enough: the weights stay the fixed sum, but the
    // sweep restarts. Absurd counts (NaN, negative) take every stack and stay finite.
    const float all = 250.0f;
    bf.lock(0, &all);
    EXPECT_FALSE(bf.sweepDone());
    for (int b = 0; b < 32; ++b) bf.process(&in, &out);
    for (int k = 0; k < 32; ++k) {
        const blas::Complex sum =
            (in.data()[0][k] + in.data()[1][k] + in.data()[2][k]) / std::sqrt(3.0f);
        EXPECT_LE(std::abs(out.data()[0][k] - sum), 1e-5f * (1.0f + std::abs(sum)));
    }
    const float nan = std::nanf("");
    bf.lock(0, &nan);
    in.data()[1][3] = blas::Complex(std::nanf(""), 1e30f);
    for (int b = 0; b < 40; ++b) bf.process(&in, &out);
    for (int k = 0; k < 32; ++k) EXPECT_TRUE(std::isfinite(std::abs(out.data()[0][k]))) << k;
}

// MaskPF: the pass-through detector gives silence; with the level detector (probability 0.8 in
// its warm-up, decision delayed by 5 blocks) the output is 0.8 times the input of 5 blocks ago.
TEST(MaskPF, MasksTheDelayedMicrophones) {
    blas::ComplexMatrix a(2, kBins), b(2, kBins), out(2, kBins);
    a.fillRandom();
    b.fillRandom();
    vad::VADBypass none(2, 2, kBins);
    bf::MaskPF silent(&none);
    silent.process(&a, &out);
    for (int k = 0; k < kBins; ++k) EXPECT_EQ(out.data()[1][k], blas::Complex(0.0f, 0.0f));

    Params p;
    p.nummics = 2;
    vad::DominantVAD level(&p, kBins);
    bf::MaskPF mask(&level);
    EXPECT_EQ(mask.delay(), 5);
    blas::ComplexMatrix one(1, kBins);
    mask.process(&a, &one);
    for (int i = 0; i < 5; ++i) mask.process(&b, &one);
    for (int k = 0; k < kBins; ++k) EXPECT_EQ(one.data()[0][k], 0.8f * a.data()[0][k]);
}

// Through the pipeline, the detector sees each block once: the level detector's 100-block warm-up
// (probability exactly 0.8) ends after 100 blocks, not 50.
TEST(MaskPF, PipelineLeavesTheDetectorToTheBeamformer) {
    Params p;
    p.numrefs = 0;
    p.numins = kMics;
    p.init_time = 0.0f;
    p.agc_algorithm = 0;
    p.vad_algorithm = 2;
    p.bf_algorithm = 2;
    Velmora engine(p);
    std::vector<float> in(kMics * kBins), out(kBins);
    std::vector<float> values;
    for (int b = 0; b < 110; ++b) {
        for (size_t i = 0; i < in.size(); ++i) in[i] = 0.1f * std::sin(0.37f * (i + b * 11));
        engine.process(in.data(), out.data());
        values.push_back(engine.vadValue(0));
    }
    // (The activity value is a float mean over the bins, so 0.8 up to rounding.)
    for (int b = 0; b < 100; ++b) ASSERT_NEAR(values[b], 0.8f, 1e-5f) << b;
    EXPECT_GT(std::fabs(values[100] - 0.8f), 1e-3f) << values[100];
}

}  // namespace
}  // namespace velmora::test
