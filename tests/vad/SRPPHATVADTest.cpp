// Spatial voice-activity detector: settings, look steering and its radius, the silence gate,
// the warm-up re-initialisation, lock from the history, allocation-free blocks, and the
// detection of a simulated talker in the look direction against noise and a second talker
// through the facade.
#include "vad/SRPPHATVAD.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "blas/ComplexMatrix.h"
#include "common/AllocCounter.h"
#include "scene/Scene.h"
#include "ssl/Array.h"
#include "ssl/SimulatedScenes.h"
#include "vad/CHMM.h"

using velmora::Params;
using velmora::Velmora;
using velmora::blas::Complex;
using velmora::blas::ComplexMatrix;
using velmora::vad::SRPPHATVAD;
namespace test = velmora::test;
namespace scene = velmora::scene;

namespace {

// A block whose every bin holds a random-phase plane wave from `azimuth` with amplitude `amp`.
void planeWaveBlock(const Params& p, float azimuth, float amp, unsigned seed,
                    ComplexMatrix* block) {
    velmora::ssl::Array array(p.nummics);
    for (int m = 0; m < p.nummics; ++m) {
        float x, y, z;
        p.getMicCoordinate(m, &x, &y, &z);
        array.setPosition(m, x, y, z);
    }
    std::vector<Complex> sv(p.nummics);
    const int K = block->numColumns();
    for (int k = 0; k < K; ++k) {
        seed = seed * 1103515245u + 12345u;
        const float phase = static_cast<float>(seed >> 8) / 16777216.0f * 6.2831853f;
        array.steeringVector(azimuth, 0.0f, k * 16000.0f / (2.0f * K), sv.data());
        for (int m = 0; m < p.nummics; ++m)
            block->set(m, k, sv[m] * Complex(amp * std::cos(phase), amp * std::sin(phase)));
    }
}

void meanVar(const std::vector<double>& x, size_t from, size_t to, double* mu, double* var) {
    double s = 0.0, q = 0.0;
    for (size_t i = from; i < to; ++i) s += x[i];
    *mu = s / (to - from);
    for (size_t i = from; i < to; ++i) q += (x[i] - *mu) * (x[i] - *mu);
    *var = q / (to - from);
}

}  // namespace

TEST(SRPPHATVADTest, SettingsAndLook) {
    Params p;
    p.bf_look = 370.0f;
    SRPPHATVAD vad(&p);
    EXPECT_EQ(vad.numMics(), 7);
    EXPECT_EQ(vad.numOuts(), 1);
    EXPECT_EQ(vad.numBins(), 160);
    EXPECT_EQ(vad.delay(), 5);
    EXPECT_EQ(vad.binLow(), 2);
    EXPECT_EQ(vad.binHigh(), 158);
    EXPECT_EQ(vad.look(0), 10.0f);
    EXPECT_EQ(vad.look(3), 10.0f);
    EXPECT_EQ(vad.warmup(), 200);
    EXPECT_EQ(vad.speechProbability(0, 0), 0.8f);
    EXPECT_EQ(vad.speechProbability(2, 100), 0.8f);
    // The configured model start: noise (50, 10), speech (60, 20).
    float mu, var;
    vad.model()->getGaussian(0, &mu, &var);
    EXPECT_EQ(mu, 50.0f);
    EXPECT_EQ(var, 10.0f);
    vad.model()->getGaussian(1, &mu, &var);
    EXPECT_EQ(mu, 60.0f);
    EXPECT_EQ(var, 20.0f);
    vad.setLook(0, -190.0f);
    EXPECT_EQ(vad.look(0), 170.0f);

    p.block_size = 0.02f;
    p.vad_minsnr = 15.0f;
    p.vad_noise_minvar = 30.0f;
    SRPPHATVAD vad320(&p);
    EXPECT_EQ(vad320.delay(), 2);
    EXPECT_EQ(vad320.numBins(), 320);
    EXPECT_EQ(vad320.model()->minSNR(), 15.0f);
    vad320.model()->getGaussian(0, &mu, &var);
    EXPECT_EQ(var, 30.0f);
    vad320.model()->getGaussian(1, &mu, nullptr);
    EXPECT_EQ(mu, 65.0f);
    p.block_size = 0.03f;
    EXPECT_EQ(SRPPHATVAD(&p).delay(), 1);
    p.block_size = 0.025f;
    try {
        SRPPHATVAD bad(&p);
        ADD_FAILURE() << "a 400-sample block was accepted";
    } catch (const char* e) {
        EXPECT_NE(std::string(e).find("Unsupported block size: 400"), std::string::npos) << e;
    }
}

TEST(SRPPHATVADTest, RadiusSetsTheDirectionsAroundTheLook) {
    // A plane wave 10 degrees off the look: inside a 20-degree radius, missed with radius 5.
    Params p;
    p.bf_look = 30.0f;
    SRPPHATVAD wide(&p);
    p.vad_target_radius = 5.0f;
    SRPPHATVAD narrow(&p);
    p.vad_target_radius = 1e12f;  // all round the circle, without an absurd steering set
    SRPPHATVAD all(&p);
    ComplexMatrix block(7, 160);
    for (unsigned b = 0; b < 30; ++b) {
        planeWaveBlock(p, 40.0f, 0.1f, b, &block);
        wide.process(&block);
        narrow.process(&block);
        all.process(&block);
    }
    const float bandBins = 157.0f;
    EXPECT_NEAR(wide.feature(), bandBins, 0.2f);
    EXPECT_NEAR(all.feature(), bandBins, 0.2f);
    EXPECT_LT(narrow.feature(), 0.95f * bandBins);
    // Steering the narrow detector onto the source brings its feature up to the full value.
    narrow.setLook(0, 400.0f);
    narrow.process(&block);
    EXPECT_NEAR(narrow.feature(), bandBins, 0.2f);
    EXPECT_EQ(narrow.look(0), 40.0f);
}

TEST(SRPPHATVADTest, SilenceGateWarmupAndLock) {
    Params p;
    SRPPHATVAD vad(&p);
    ComplexMatrix silence(7, 160);
    for (int b = 0; b < 10; ++b) vad.process(&silence);
    EXPECT_EQ(vad.speechProbability(0, 0), 0.8f);
    EXPECT_EQ(vad.warmup(), 200);
    EXPECT_EQ(vad.feature(), 0.0f);
    // -55 dB is the gate: a level of -60 dB (amplitude 1e-3 per bin) is skipped too.
    ComplexMatrix quiet(7, 160);
    planeWaveBlock(p, 0.0f, 1e-3f, 1, &quiet);
    vad.process(&quiet);
    EXPECT_EQ(vad.warmup(), 200);
    // So is a loud block holding a NaN on any microphone.
    ComplexMatrix broken(7, 160);
    planeWaveBlock(p, 0.0f, 0.05f, 2, &broken);
    broken.set(3, 80, Complex(std::nanf(""), 0.0f));
    vad.process(&broken);
    EXPECT_EQ(vad.warmup(), 200);
    EXPECT_EQ(vad.feature(), 0.0f);

    // Loud blocks alternating between the look direction and the opposite side.
    std::vector<double> features;
    ComplexMatrix block(7, 160);
    for (unsigned b = 0; b < 200; ++b) {
        planeWaveBlock(p, (b / 10) % 2 ? 180.0f : 0.0f, 0.05f, b, &block);
        vad.process(&block);
        features.push_back(vad.feature());
        if (b < 199) {
            EXPECT_EQ(vad.warmup(), 199 - static_cast<int>(b));
        }
    }
    // The last warm-up block re-initialises the model from the 200 features.
    EXPECT_EQ(vad.warmup(), 0);
    EXPECT_EQ(vad.speechProbability(0, 7), 0.8f);
    EXPECT_TRUE(std::isfinite(vad.feature()));
    double mu, var;
    meanVar(features, 0, 200, &mu, &var);
    float m0, v0, m1, v1;
    vad.model()->getGaussian(0, &m0, &v0);
    vad.model()->getGaussian(1, &m1, &v1);
    EXPECT_NEAR(m0, mu, 1e-3 * mu);
    EXPECT_NEAR(v0, var, 1e-3 * var);
    EXPECT_NEAR(m1, mu + 3.0, 1e-3 * mu);
    EXPECT_NEAR(v1, var + 20.0, 1e-3 * var);
}

TEST(SRPPHATVADTest, LockRetrainsFromTheHistory) {
    Params p;
    SRPPHATVAD vad(&p);
    std::vector<double> features;
    ComplexMatrix block(7, 160);
    for (unsigned b = 0; b < 230; ++b) {
        planeWaveBlock(p, (b / 7) % 3 ? 180.0f : 0.0f, 0.05f, 700 + b, &block);
        vad.process(&block);
        features.push_back(vad.feature());
    }
    const std::vector<double> h(features.end() - 200, features.end());  // oldest first
    auto expectLock = [&](const float* count, int n) {
        vad.lock(0, count);
        double mn, vn, ms, vs;
        meanVar(h, 0, 200 - n, &mn, &vn);
        meanVar(h, 200 - n, 200, &ms, &vs);
        float m0, v0, m1, v1;
        vad.model()->getGaussian(0, &m0, &v0);
        vad.model()->getGaussian(1, &m1, &v1);
        EXPECT_NEAR(m0, mn, 1e-3 * mn) << n;
        EXPECT_NEAR(v0, std::max(vn, 4.0), 1e-3 * vn) << n;
        EXPECT_NEAR(m1, std::max(ms, m0 + 3.0), 1e-3 * ms) << n;
        EXPECT_NEAR(v1, std::max(vs, 4.0), 1e-3 * vs) << n;
    };
    expectLock(nullptr, 100);
    const float big = 250.0f, some = 30.7f, one = 1.0f;
    expectLock(&big, 100);
    expectLock(&some, 30);
    expectLock(&one, 1);
    // A count below 1 (or not a number) leaves the model as it is.
    float before[4];
    vad.model()->getGaussian(0, &before[0], &before[1]);
    vad.model()->getGaussian(1, &before[2], &before[3]);
    for (float c : {0.5f, 0.0f, -3.0f, std::nanf("")}) {
        vad.lock(0, &c);
        float now[4];
        vad.model()->getGaussian(0, &now[0], &now[1]);
        vad.model()->getGaussian(1, &now[2], &now[3]);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(now[i], before[i]) << c;
    }
}

TEST(SRPPHATVADTest, BlocksAllocateNothing) {
    Params p;
    SRPPHATVAD vad(&p);
    ComplexMatrix block(7, 160);
    planeWaveBlock(p, 20.0f, 0.05f, 9, &block);
    vad.process(&block);
    velmora::test::AllocCounter count;
    for (int b = 0; b < 250; ++b) vad.process(&block);  // through the end of the warm-up
    const float n = 50.0f;
    vad.lock(0, &n);
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_EQ(vad.warmup(), 0);
}

TEST(SRPPHATVADDeathTest, RefusesBadSettings) {
    Params p;
    p.nummics = 0;
    EXPECT_DEATH(SRPPHATVAD{&p}, "params->nummics > 0");
    p = Params();
    p.ssl_f_high = 9000;
    EXPECT_DEATH(SRPPHATVAD{&p},
                 "params->ssl_f_low >= 0.0f && params->ssl_f_high >= 0.0f && "
                 "params->ssl_f_high <= params->fsout / 2.0f");
    p = Params();
    p.vad_forget = 1.5f;
    EXPECT_DEATH(SRPPHATVAD{&p}, "params->vad_forget >= 0.0f && params->vad_forget <= 1.0f");
    p = Params();
    p.vad_target_radius = 0.0f;
    EXPECT_DEATH(SRPPHATVAD{&p}, "params->vad_target_radius > 0.0f");
    p = Params();
    SRPPHATVAD vad(&p);
    ComplexMatrix wrong(6, 160);
    EXPECT_DEATH(vad.process(&wrong),
                 "data->numRows\\(\\) == numMics\\(\\) && data->numColumns\\(\\) == numBins\\(\\)");
}

// ---- A simulated talker in the look direction through the facade -------------------------

namespace {

struct Accuracy {
    int blocks = 0, correct = 0, speech = 0, speechHit = 0, other = 0, otherHit = 0;
    double value() const { return blocks ? static_cast<double>(correct) / blocks : 0.0; }
};

// Runs `rec` through the engine with the spatial detector looking at `look` and scores
// vadValue > 0.5 against `active` after the warm-up, `lag` blocks behind.
Accuracy score(const scene::Recording& rec, const std::vector<uint8_t>& active, float look,
               int lag) {
    Params p = test::engineParams(1, 1.0f);
    p.bf_look = look;
    Velmora engine(p);
    std::vector<float> values;
    test::runBlocks(engine, rec, [&](int) { values.push_back(engine.vadValue(0)); });
    Accuracy a;
    for (int b = 260; b < static_cast<int>(values.size()); ++b) {
        const bool truth =
            active[static_cast<size_t>(b - lag) * test::kSimBlock + test::kSimBlock / 2] != 0;
        const bool said = values[b] > 0.5f;
        ++a.blocks;
        a.correct += truth == said;
        a.speech += truth;
        a.speechHit += truth && said;
        a.other += !truth;
        a.otherHit += !truth && !said;
    }
    return a;
}

}  // namespace

TEST(SRPPHATVADTest, FindsTheTalkerInTheLookDirection) {
    const std::vector<float> a = test::loadSpeech("cmu_arctic_us_aew_a0002.wav");
    const std::vector<float> b = test::loadSpeech("cmu_arctic_us_aew_a0003.wav");
    const std::vector<float> c = test::loadSpeech("arctic_a0010.wav");
    const std::vector<float> d = test::loadSpeech("cmu_arctic_us_axb_a0004.wav");
    const std::vector<float> e = test::loadSpeech("cmu_arctic_us_axb_a0006.wav");
    ASSERT_FALSE(a.empty()) << "speech recordings missing from tests/data";
    const std::vector<float> target = test::withPauses({a, b, c}, 24000);
    const std::vector<float> other = test::withPauses({d, e, d}, 12000);
    const int frames = static_cast<int>(target.size()) + 16000;
    const float look = 40.0f;

    // Target and diffuse noise at 20 dB: the simulator's activity is the target's.
    scene::Scene sc = test::room(0.3f, frames);
    sc.talkers.push_back(test::talker(target, look, 1.2f));
    sc.noiseSnrDb = 20.0f;
    const scene::Recording noisy = scene::simulate(sc);
    // Target and a second, equally loud talker at -80 degrees with noise at 30 dB; the activity
    // comes from the target alone.
    sc.noiseSnrDb = 30.0f;
    const scene::Recording alone = scene::simulate(sc);
    sc.talkers.push_back(test::talker(other, -80.0f, 1.2f));
    const scene::Recording two = scene::simulate(sc);

    // The covariance smoothing and the bank put the decision about two blocks behind the input.
    const int lag = 2;
    const Accuracy n = score(noisy, noisy.talkerActive, look, lag);
    const Accuracy t = score(two, alone.talkerActive, look, lag);
    std::printf("block accuracy with noise %.3f (speech %d/%d, other %d/%d)\n", n.value(),
                n.speechHit, n.speech, n.otherHit, n.other);
    std::printf("block accuracy with a second talker %.3f (speech %d/%d, other %d/%d)\n", t.value(),
                t.speechHit, t.speech, t.otherHit, t.other);
    EXPECT_GE(n.value(), 0.8);
    EXPECT_GE(t.value(), 0.8);
    // Both classes are separated, not one of them declared everywhere.
    EXPECT_GE(n.otherHit, n.other * 7 / 10);
    EXPECT_GE(n.speechHit, n.speech * 6 / 10);
    EXPECT_GE(t.otherHit, t.other * 7 / 10);
    EXPECT_GE(t.speechHit, t.speech * 6 / 10);
}
