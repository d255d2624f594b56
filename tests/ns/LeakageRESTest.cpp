// The residual-echo suppressor with learned leakage (ns_algorithm 300): behind the cancellers 201
// and 300 on a simulated room it must remove clearly more echo than the canceller alone while
// the near end survives the double talk; hostile blocks (NaN, infinities, silence, clipping)
// leave its output finite and it recovers; out-of-range floors are refused.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "blas/ComplexMatrix.h"
#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "ns/LeakageRES.h"
#include "scene/Scene.h"

namespace velmora {
namespace {

constexpr int kFs = 16000;
constexpr int kTalkStart = 8 * kFs;  // far end alone before, double talk after
constexpr int kFrames = 14 * kFs;

Params chain(int aec, int ns) {
    Params p;
    p.nummics = 1;
    p.numrefs = 1;
    p.chorder[0] = 0;
    p.chorder[1] = 1;
    p.aec_algorithm = aec;
    p.ns_algorithm = ns;
    p.ns_level = 0.003f;
    p.agc_algorithm = 0;
    p.init_time = 0.0f;
    return p;
}

// Output of a one-microphone engine for frame-major (mic, ref) input, aligned with the input.
std::vector<float> run(const Params& p, const std::vector<float>& in) {
    Velmora engine(p);
    return test::runAligned(engine, in, 2);
}

std::vector<float> cut(const std::vector<float>& x, int from, int to) {
    return std::vector<float>(x.begin() + from, x.begin() + to);
}

std::vector<float> concat(const std::vector<std::string>& files, size_t frames) {
    std::vector<float> x, y(frames);
    for (const std::string& f : files) {
        const std::vector<float> s = scene::readMonoWav(test::testdataDir() + "/" + f, kFs);
        x.insert(x.end(), s.begin(), s.end());
    }
    for (size_t i = 0; i < frames; ++i) y[i] = x[i % x.size()];
    return y;
}

// Guitar from the loudspeaker 0.3 m away, a talker 1 m away from 8 s on, RT60 0.3 s, noise 30 dB
// below the talker; microphone 0 of the array. Echo only (3-8 s, after the canceller's start):
// behind 201 the suppressor adds at least 15 dB of echo reduction (measured: 27.1 dB; 9.6 dB
// while the noise floor collapsed under the echo and let noise pass as talk), behind 300, whose
// residual is mostly noise already, at least 10 dB (measured: 22.0 dB). Double talk (8-14 s):
// the near-end SI-SDR, against the talker alone through the pass-through chain, stays within
// 1.5 / 2 dB of the canceller alone (measured: 0.1 / 0.5 dB lower).
TEST(LeakageRES, RemovesEchoAndKeepsTheNearEnd) {
    const scene::Recording rec = scene::simulateEchoRoom(
        concat({"music/guitar_16k.wav"}, kFrames), 0.3f, -120.0f,
        concat({"speech/cmu_arctic_us_aew_a0001.wav", "speech/cmu_arctic_us_aew_a0002.wav"},
               kFrames - kTalkStart),
        kTalkStart, 30.0f);
    const int M = rec.numMics;
    std::vector<float> nearOnly(2 * kFrames, 0.0f), mixture(2 * kFrames), mic(kFrames);
    for (int f = 0; f < kFrames; ++f) {
        nearOnly[2 * f] = rec.nearEnd[static_cast<size_t>(f) * M];
        mic[f] = mixture[2 * f] = rec.mixture[static_cast<size_t>(f) * (M + 1)];
        mixture[2 * f + 1] = rec.mixture[static_cast<size_t>(f) * (M + 1) + M];
    }
    const std::vector<float> target = run(chain(0, 0), nearOnly);
    for (const int aec : {201, 300}) {
        const std::vector<float> alone = run(chain(aec, 0), mixture);
        const std::vector<float> both = run(chain(aec, 300), mixture);
        const int from = 3 * kFs;
        const double erleAlone =
            scene::erleDb(cut(mic, from, kTalkStart), cut(alone, from, kTalkStart));
        const double erleBoth =
            scene::erleDb(cut(mic, from, kTalkStart), cut(both, from, kTalkStart));
        const double sdrAlone =
            scene::siSdrDb(cut(alone, kTalkStart, kFrames), cut(target, kTalkStart, kFrames));
        const double sdrBoth =
            scene::siSdrDb(cut(both, kTalkStart, kFrames), cut(target, kTalkStart, kFrames));
        std::printf(
            "echo only: ERLE %.1f dB (%d alone) / %.1f dB (+ ns 300); double talk: SI-SDR "
            "%.1f / %.1f dB\n",
            erleAlone, aec, erleBoth, sdrAlone, sdrBoth);
        EXPECT_GE(erleBoth, erleAlone + (aec == 201 ? 15.0 : 10.0)) << "aec " << aec;
        EXPECT_GE(sdrBoth, sdrAlone - (aec == 201 ? 1.5 : 2.0)) << "aec " << aec;
    }
}

// Random echo blocks, then blocks with NaN and infinities in the near end, the echo estimate and
// the reference, then silence, then clipped (full-scale) blocks, then random echo blocks with a
// near-end talker: every output value is finite and never louder than its input, the suppressor
// passes the talker at the end, and nothing is allocated.
TEST(LeakageRES, HostileBlocksStayFiniteAndRecover) {
    constexpr int K = 160;
    ns::LeakageRES res(2, 1, K, 0.003f);
    blas::ComplexMatrix nearend(2, K), echo(2, K), ref(1, K), input(2, K);
    std::mt19937 rng(5);
    std::normal_distribution<float> g(0.0f, 1.0f);
    const float nan = std::nanf(""), inf = INFINITY;
    auto fill = [&](int block) {
        const int phase = block < 200 ? 0 : block < 230 ? 1 : block < 280 ? 2 : block < 330 ? 3 : 0;
        for (int k = 0; k < K; ++k) {
            const blas::Complex x(1000.0f * g(rng), 1000.0f * g(rng));
            ref.at(0, k) = phase == 2 ? 0.0f : phase == 3 ? blas::Complex(5e6f, -5e6f) : x;
            for (int c = 0; c < 2; ++c) {
                const float level = block >= 330 ? 100.0f : 0.0f;
                const blas::Complex talk(level * g(rng), level * g(rng));
                echo.at(c, k) = phase == 2 ? 0.0f : 0.3f * ref.get(0, k);
                nearend.at(c, k) = phase == 2 ? 0.0f : 0.05f * echo.get(c, k) + talk;
            }
            if (phase == 1 && k % 7 == 0) {
                nearend.at(0, k) = blas::Complex(nan, 0.0f);
                echo.at(1, k) = blas::Complex(inf, 0.0f);
                ref.at(0, k + 1 < K ? k + 1 : k) = blas::Complex(0.0f, -inf);
            }
        }
    };
    double lastOut = 0.0, lastIn = 0.0;
    test::AllocCounter count;
    for (int block = 0; block < 400; ++block) {
        fill(block);
        for (int c = 0; c < 2; ++c)
            for (int k = 0; k < K; ++k) input.at(c, k) = nearend.get(c, k);
        res.process(&nearend, &ref, &echo);
        for (int c = 0; c < 2; ++c)
            for (int k = 0; k < K; ++k) {
                const blas::Complex y = nearend.get(c, k), x = input.get(c, k);
                ASSERT_TRUE(std::isfinite(y.real()) && std::isfinite(y.imag())) << block;
                if (std::isfinite(std::norm(x))) {
                    ASSERT_LE(std::norm(y), std::norm(x) * 1.0001f);
                }
                if (block >= 380) lastOut += std::norm(y), lastIn += std::norm(x);
            }
    }
    EXPECT_EQ(count.allocations(), 0);
    // The talker (26 dB above the residual echo, for 0.5 s) passes with little loss at the end.
    EXPECT_GT(10.0 * std::log10(lastOut / lastIn), -3.0);
}

// Floors outside 0 .. 1 are refused when the engine is built.
TEST(LeakageRES, FloorOutsideZeroToOneIsRefused) {
    for (float level : {-0.1f, 1.5f, std::nanf("")}) {
        Params p = chain(201, 300);
        p.ns_level = level;
        const std::string e = test::errorOf([&] { Velmora engine(p); });
        EXPECT_NE(e.find("Invalid ns_level"), std::string::npos) << level << ": " << e;
    }
}

}  // namespace
}  // namespace velmora
