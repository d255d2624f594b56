// The level, pilot and mask detectors: the level detector on a simulated talker with pauses in
// noise (20 dB SNR) against the simulator's activity; pilot values carried as audio channels
// through the facade; the mask detector with this build's all-zero model.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "blas/ComplexMatrix.h"
#include "blas/Vector.h"
#include "common/TestUtil.h"
#include "mode/VADAlgorithm.h"
#include "scene/Scene.h"
#include "transform/PPFBankAnalyzer.h"
#include "vad/DominantVAD.h"
#include "vad/NNMask.h"
#include "vad/PilotVAD.h"

namespace velmora::test {
namespace {

constexpr int kFs = 16000, kBins = 160;

TEST(DominantVAD, FollowsATalkerWithPausesInNoise) {
    scene::Scene sc;
    sc.frames = 16 * kFs;
    sc.mics = {{0.0f, 0.0f, 0.0f}};
    // Three utterances with pauses of a second or more between them, from 2 s on.
    const char* files[] = {"arctic_a0010.wav", "cmu_arctic_us_aew_a0001.wav",
                           "cmu_arctic_us_axb_a0005.wav"};
    int start = 2 * kFs;
    for (const char* f : files) {
        scene::Source s;
        s.signal = scene::readMonoWav(testdataDir() + "/speech/" + f, kFs);
        s.azimuth = 30.0f;
        s.startFrame = start;
        start += static_cast<int>(s.signal.size()) + kFs + kFs / 2;
        sc.talkers.push_back(s);
    }
    ASSERT_LE(start - kFs, sc.frames);
    sc.noiseSnrDb = 20.0f;
    const scene::Recording rec = scene::simulate(sc);

    Params p;
    p.nummics = 1;
    vad::DominantVAD vad(&p, kBins);
    EXPECT_EQ(vad.delay(), 5);
    transform::PPFBankAnalyzer bank(1, kBins);
    blas::ComplexMatrix block(1, kBins);
    const int blocks = rec.frames / kBins;
    std::vector<float> prob(blocks);
    for (int b = 0; b < blocks; ++b) {
        bank.analyze(rec.mixture.data() + static_cast<size_t>(b) * kBins, &block);
        vad.process(&block);
        prob[b] = vad.speechProbability(0, 7);
        if (b < 100) {
            ASSERT_EQ(prob[b], 0.8f) << b;
        }
    }
    // Decisions lag the block by delay() blocks; scored after the warm-up.
    int right = 0, counted = 0;
    for (int b = 100; b + vad.delay() < blocks; ++b) {
        const bool active = rec.talkerActive[static_cast<size_t>(b) * kBins + kBins / 2] != 0;
        right += (prob[b + vad.delay()] >= 0.5f) == active;
        ++counted;
    }
    const double accuracy = 100.0 * right / counted;
    std::printf("DominantVAD: block accuracy %.1f %% at 20 dB SNR\n", accuracy);
    EXPECT_GE(accuracy, 80.0);
}

// Pilot values as the last input channel: the activity value of each block is the pilot value
// that the block's first frame carried.
TEST(PilotVAD, FollowsPilotAudioBlockByBlock) {
    Params p;
    p.nummics = 2;
    p.numrefs = 0;
    p.numpilots = 1;
    p.pilots_as_audio = true;
    p.vad_algorithm = 3;
    p.init_time = 0.0f;
    p.agc_algorithm = 0;
    Velmora engine(p);
    ASSERT_EQ(engine.numIns(), 3);
    std::vector<float> in(3 * kBins), out(kBins);
    for (int b = 0; b < 20; ++b) {
        const float pilot = 0.05f * static_cast<float>(b);
        for (int f = 0; f < kBins; ++f) {
            in[3 * f] = 0.01f * std::sin(0.1f * f);
            in[3 * f + 1] = 0.01f * std::cos(0.1f * f);
            in[3 * f + 2] = pilot;
        }
        engine.process(in.data(), out.data());
        ASSERT_NEAR(engine.vadValue(0), pilot, 1e-5f) << b;
    }

    // The detector reads the vector when asked, the same value in every bin.
    blas::Vector pilots(2);
    vad::PilotVAD vad(2, kBins, &pilots);
    EXPECT_EQ(vad.numOuts(), 2);
    pilots.set(1, 0.25f);
    EXPECT_EQ(vad.speechProbability(1, 0), 0.25f);
    EXPECT_EQ(vad.speechProbability(1, 159), 0.25f);
    pilots.set(1, 0.75f);
    EXPECT_EQ(vad.speechProbability(1, 80), 0.75f);
}

TEST(NNMask, ZeroModelReportsNoSpeech) {
    blas::ComplexMatrix block(2, kBins);
    block.fillRandom();
    vad::NNMask mono(nullptr, 2, nullptr);
    EXPECT_EQ(mono.numOuts(), 1);
    EXPECT_EQ(mono.numBins(), 160);
    mono.process(&block);
    const float x = 32768.0f * std::abs(block.data()[0][3]);
    EXPECT_NEAR(mono.feature()[3], std::log(x * x + 1e-6f), 1e-3f);
    for (int k = 0; k < kBins; ++k) ASSERT_EQ(mono.speechProbability(0, k), 0.0f);

    blas::Vector pilots(3);
    pilots.set(2, 1.0f);
    vad::NNMask withPilot("models", 2, &pilots);
    EXPECT_EQ(withPilot.numOuts(), 3);
    withPilot.process(&block);
    EXPECT_EQ(withPilot.speechProbability(2, 10), 0.0f);

    // The model works on 160 bins: other block sizes are refused when the engine is built.
    Params p;
    p.vad_algorithm = 100;
    EXPECT_EQ(errorOf([&] { mode::VADAlgorithm v(&p, 320, nullptr); }),
              "velmora, VADAlgorithm: Invalid number of bins: 320, the mask model needs 160");
}

}  // namespace
}  // namespace velmora::test
