// The time-domain Kalman echo canceller (aec_algorithm 300) on simulated rooms through the whole
// engine (the seven-microphone array, loudspeaker 0.3 m away, RT60 0.3 s, guitar music and speech
// from tests/data), on hostile input, the echo block it hands to the suppressor, and the
// selector's checks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "Params.h"
#include "aec/PBFDKF.h"
#include "app/Velmora.h"
#include "bf/Fixed.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"
#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "mode/AECAlgorithm.h"
#include "mode/TDEchoSlot.h"
#include "mode/train/AECAFRefEcho.h"
#include "scene/Scene.h"
#include "transform/PPFBankAnalyzer.h"

namespace velmora {
namespace {

constexpr int kFs = 16000;
constexpr int kMics = 7;

// The recordings `files`, one after the other, looped to `seconds`.
std::vector<float> far(std::initializer_list<const char*> files, int seconds) {
    std::vector<float> x, y(static_cast<size_t>(seconds) * kFs);
    for (const char* f : files) {
        const std::vector<float> s = scene::readMonoWav(test::testdataDir() + "/" + f, kFs);
        x.insert(x.end(), s.begin(), s.end());
    }
    for (size_t i = 0; i < y.size(); ++i) y[i] = x[i % x.size()];
    return y;
}
std::vector<float> guitar(int seconds) {
    return far({"music/guitar_16k.wav"}, seconds);
}
std::vector<float> speech(int seconds) {
    return far({"speech/cmu_arctic_us_axb_a0004.wav", "speech/cmu_arctic_us_axb_a0006.wav",
                "speech/cmu_arctic_us_axb_a0005.wav", "speech/arctic_a0010.wav"},
               seconds);
}

struct Config {
    int aec = 300, refs = 1, mode = 4;
    float blockSize = 0.01f;
    std::string beams = "";  // a beam file: the fixed beamformer runs as a front end
    int ns = 0;
};

// Output channel 0 of the engine (canceller alone), aligned with the input.
std::vector<float> runEngine(const Config& r, const std::vector<float>& in) {
    Params p;
    p.nummics = kMics;
    p.numrefs = r.refs;
    p.numouts = 1;
    p.mode = r.mode;
    p.block_size = r.blockSize;
    p.aec_algorithm = r.aec;
    p.ns_algorithm = r.ns;
    p.agc_algorithm = 0;
    p.init_time = 0.0f;
    if (!r.beams.empty()) p.setString(&p.bf_model_base, r.beams.c_str());
    Velmora engine(p);
    return test::runAligned(engine, in, kMics + r.refs);
}

std::vector<float> span(const std::vector<float>& x, int channels, int c, double from, double to) {
    std::vector<float> y;
    for (size_t f = static_cast<size_t>(from * kFs); f < static_cast<size_t>(to * kFs); ++f)
        y.push_back(x[f * channels + c]);
    return y;
}

// ERLE of microphone 0 over [from, to) seconds.
double erle(const std::vector<float>& mixture, int channels, const std::vector<float>& out,
            double from, double to) {
    return scene::erleDb(span(mixture, channels, 0, from, to), span(out, 1, 0, from, to));
}

// Floors that a broken adaptation misses (measured in brackets):
//   - ten seconds of echo only, ERLE after 2 s: music 38 dB (46.2), speech 31 dB (36.3; an
//     uncertainty that collapses too early gave 41.9 and 30.3 dB, the default canceller 21.5 and
//     20.1 dB);
//   - echo only 0-6 s, a near-end talker 6-10 s, echo only 10-16 s: no divergence (ERLE 10-16 s
//     within 3 dB of 2-6 s), and the near end 15 dB clearer than in the microphone (against the
//     near end through the pass-through chain);
//   - two loudspeakers with two references: 22 dB (32.6);
//   - a loudspeaker that clips (the reference does not) in noise 30 dB below the echo: 17 dB
//     (21.7).
TEST(TimeDomainAEC, SimulatedRooms) {
    for (int which = 0; which < 2; ++which) {
        const scene::Recording rec =
            scene::simulateEchoRoom(which == 0 ? guitar(10) : speech(10), 0.3f, -120.0f);
        const double e = erle(rec.mixture, kMics + 1, runEngine({}, rec.mixture), 2, 10);
        std::printf("[ measured ] %s: ERLE after 2 s %.1f dB\n", which ? "speech" : "music", e);
        EXPECT_GE(e, which == 0 ? 38.0 : 31.0);
    }

    const std::vector<float> talk = far({"speech/cmu_arctic_us_aew_a0001.wav"}, 4);
    const scene::Recording dt = scene::simulateEchoRoom(guitar(16), 0.3f, -120.0f, talk, 6 * kFs);
    const int ch = kMics + 1;
    std::vector<float> nearOnly(dt.mixture.size(), 0.0f);
    for (size_t f = 0; f < static_cast<size_t>(dt.frames); ++f)
        for (int m = 0; m < kMics; ++m) nearOnly[f * ch + m] = dt.nearEnd[f * kMics + m];
    const std::vector<float> target = runEngine({0}, nearOnly), before = runEngine({0}, dt.mixture);
    const std::vector<float> out = runEngine({}, dt.mixture);
    const double first = erle(dt.mixture, ch, out, 2, 6), last = erle(dt.mixture, ch, out, 10, 16);
    const double sdrBefore = scene::siSdrDb(span(before, 1, 0, 6, 10), span(target, 1, 0, 6, 10));
    const double sdrAfter = scene::siSdrDb(span(out, 1, 0, 6, 10), span(target, 1, 0, 6, 10));
    std::printf("[ measured ] ERLE 2-6 s %.1f dB, 10-16 s %.1f dB; SI-SDR %.1f -> %.1f dB\n", first,
                last, sdrBefore, sdrAfter);
    EXPECT_GE(last, first - 3.0);
    EXPECT_GE(sdrAfter, sdrBefore + 15.0);

    const std::vector<float> left = speech(8), right = guitar(8);
    const scene::Recording l = scene::simulateEchoRoom(left, 0.3f, 40.0f),
                           r = scene::simulateEchoRoom(right, 0.3f, -40.0f);
    const int ch2 = kMics + 2;
    std::vector<float> mix(static_cast<size_t>(l.frames) * ch2);
    for (size_t f = 0; f < static_cast<size_t>(l.frames); ++f) {
        for (int m = 0; m < kMics; ++m)
            mix[f * ch2 + m] = l.echo[f * kMics + m] + r.echo[f * kMics + m];
        mix[f * ch2 + kMics] = left[f];
        mix[f * ch2 + kMics + 1] = right[f];
    }
    EXPECT_GE(erle(mix, ch2, runEngine({300, 2}, mix), 2, 8), 22.0);

    float peak = 0.0f;
    for (float v : right) peak = std::max(peak, std::fabs(v));
    std::vector<float> clipped = right;
    for (float& v : clipped) v = std::max(-0.5f * peak, std::min(0.5f * peak, v));
    scene::Recording clip = scene::simulateEchoRoom(clipped, 0.3f, -120.0f, {}, 0, 30.0f);
    for (size_t f = 0; f < right.size(); ++f) clip.mixture[f * ch + kMics] = right[f];
    EXPECT_GE(erle(clip.mixture, ch, runEngine({}, clip.mixture), 2, 8), 17.0);
}

// The other pipelines that host the canceller and the 20 ms block (a 640-point transform) on the
// music scene; a fixed beamformer as front end (the canceller works on the microphones, the
// suppressor ns 1 gets the beams of its echo estimate and must remove more with them).
TEST(TimeDomainAEC, OtherPipelines) {
    const scene::Recording music = scene::simulateEchoRoom(guitar(6), 0.3f, -120.0f);
    test::TempDir dir;
    const std::string beams = dir.file("beams.bin");
    blas::Vector angles(2);
    blas::ComplexTensor3 weights(2, kMics, 160);
    angles.set(1, 180.0f);
    for (int m = 0; m < kMics; ++m)
        for (int k = 0; k < 160; ++k) {
            weights.set(0, m, k, blas::Complex(1.0f / kMics, 0.0f));
            weights.set(1, m, k, blas::Complex(m == 0, 0.0f));
        }
    bf::Fixed::writeBeamFile(beams.c_str(), &angles, &weights);
    Config front{0};
    front.beams = beams;
    const std::vector<float> unprocessed = span(runEngine(front, music.mixture), 1, 0, 2, 6);
    double e[2];
    for (int ns : {0, 1}) {
        front.aec = 300;
        front.ns = ns;
        e[ns] = scene::erleDb(unprocessed, span(runEngine(front, music.mixture), 1, 0, 2, 6));
        EXPECT_GE(e[ns], 30.0) << "ns " << ns;
    }
    EXPECT_GE(e[1], e[0] + 5.0);

    for (const Config& run :
         {Config{300, 1, 5}, Config{300, 1, 7}, Config{300, 1, 8}, Config{300, 1, 4, 0.02f}}) {
        EXPECT_GE(erle(music.mixture, kMics + 1, runEngine(run, music.mixture), 2, 6), 30.0)
            << "mode " << run.mode << ", block " << run.blockSize;
    }
}

// Runs the canceller on frames [from, to) of `x` (which it overwrites with the residual);
// returns the energy ratio of microphones to residual in dB over those frames.
double cancel(aec::PBFDKF& aec, std::vector<float>& x, int from, int to, std::vector<float>& echo) {
    const int ch = kMics + 1, n = aec.blockSize();
    double in = 0.0, out = 0.0;
    for (int f0 = from; f0 + n <= to; f0 += n) {
        float* blk = x.data() + static_cast<size_t>(f0) * ch;
        for (int i = 0; i < n * ch; ++i)
            if (i % ch < kMics && std::isfinite(blk[i])) in += static_cast<double>(blk[i]) * blk[i];
        aec.process(blk, ch, echo.data());
        for (int i = 0; i < n * ch; ++i)
            if (i % ch < kMics) {
                EXPECT_TRUE(std::isfinite(blk[i])) << "frame " << f0 + i / ch;
                out += static_cast<double>(blk[i]) * blk[i];
            }
        for (float e : echo) EXPECT_TRUE(std::isfinite(e));
    }
    return 10.0 * std::log10((in + 1e-30) / (out + 1e-30));
}

// NaN and infinities in a microphone and in the reference, then silence and full-scale square
// waves (clipped input): the output stays finite, only the affected filters restart, they learn
// again, and nothing is allocated per block.
TEST(TimeDomainAEC, HostileInputStaysFinite) {
    const int ch = kMics + 1, n = 160;
    std::vector<float> x = scene::simulateEchoRoom(guitar(6), 0.3f, -120.0f).mixture;
    aec::PBFDKF aec(kMics, 1, n, 0);
    std::vector<float> echo(static_cast<size_t>(n) * kMics);
    cancel(aec, x, 0, 2 * kFs, echo);
    {
        test::AllocCounter count;
        EXPECT_GE(cancel(aec, x, 2 * kFs, 3 * kFs, echo), 25.0);
        EXPECT_EQ(count.allocations(), 0);
    }
    float* blk = x.data() + static_cast<size_t>(3 * kFs) * ch;
    blk[2] = std::numeric_limits<float>::quiet_NaN();
    blk[ch * 20 + 5] = 1e30f;
    blk[ch * (n + 1) + kMics] = -std::numeric_limits<float>::infinity();
    cancel(aec, x, 3 * kFs, 3 * kFs + 2 * n, echo);
    for (int m = 0; m < kMics; ++m) EXPECT_EQ(aec.restarts(m), m == 2 || m == 5 ? 2 : 1);
    cancel(aec, x, 3 * kFs + 2 * n, 5 * kFs, echo);
    EXPECT_GE(cancel(aec, x, 5 * kFs, 6 * kFs, echo), 20.0);  // measured 24.1 dB

    aec::PBFDKF fresh(kMics, 1, n, 0);
    std::vector<float> quiet(static_cast<size_t>(kFs) * ch, 0.0f);
    for (int f = kFs / 2; f < kFs; ++f)
        for (int c = 0; c < ch; ++c)
            quiet[static_cast<size_t>(f) * ch + c] = (f / (7 + c)) % 2 ? 1.0f : -1.0f;
    cancel(fresh, quiet, 0, kFs, echo);
}

// The echo block the pipeline hands to the suppressor: once the canceller has converged, the
// analysed echo estimate of every microphone matches the analysed true echo (measured -36.7 dB).
TEST(TimeDomainAEC, EchoEstimateReachesSuppressor) {
    const int ch = kMics + 1, n = 160;
    const scene::Recording rec = scene::simulateEchoRoom(guitar(4), 0.3f, -120.0f);
    std::vector<float> x = rec.mixture;
    Params p;
    p.nummics = kMics;
    p.numrefs = 1;
    p.aec_algorithm = 300;
    mode::AECAlgorithm selector(&p, n);
    transform::PPFBankAnalyzer like(ch, n), truth(kMics, n);
    auto slot = mode::TDEchoSlot::make(&selector, like);
    ASSERT_TRUE(slot);
    blas::ComplexMatrix trueEcho(kMics, n);
    double err = 0.0, ref = 0.0;
    for (int f0 = 0; f0 + n <= rec.frames; f0 += n) {
        slot->process(x.data() + static_cast<size_t>(f0) * ch, ch);
        truth.analyze(rec.echo.data() + static_cast<size_t>(f0) * kMics, &trueEcho);
        for (int m = 0; m < kMics && f0 >= 3 * kFs; ++m)
            for (int k = 0; k < n; ++k) {
                err += std::norm(slot->echo()->get(m, k) - trueEcho.get(m, k));
                ref += std::norm(trueEcho.get(m, k));
            }
    }
    EXPECT_LE(10.0 * std::log10(err / ref), -25.0);
}

// Settings the canceller cannot use are refused when the engine is built, also by the training
// features, which have no time-domain block; the pipeline's delay stays that of the banks; a
// whole engine with the canceller allocates nothing per block.
TEST(TimeDomainAEC, SelectorAndPipeline) {
    Params p;
    p.nummics = kMics;
    p.numrefs = 3;
    p.aec_algorithm = 300;
    EXPECT_NE(test::errorOf([&] { mode::AECAlgorithm a(&p, 160); }), "");
    p.numrefs = 1;
    p.aec_power = aec::PBFDKF::kMaxPartitions + 1;
    EXPECT_EQ(test::errorOf([&] { mode::AECAlgorithm a(&p, 160); }),
              "velmora, AECAlgorithm: Invalid aec_power: 201, allowed 0 to 200");
    p.aec_power = 0;
    p.numrefs = 0;
    EXPECT_EQ(mode::AECAlgorithm(&p, 160).timeDomain(), nullptr);
    p.nummics = 2;
    p.numrefs = 1;
    p.numouts = 5;
    EXPECT_NE(test::errorOf([&] { mode::AECAFRefEcho f(&p, nullptr); }), "");

    Params e;
    e.init_time = 0.0f;
    e.aec_algorithm = 201;
    const int delay201 = Velmora(e).delay();
    e.aec_algorithm = 300;
    Velmora engine(e);
    EXPECT_EQ(engine.delay(), delay201);
    std::vector<float> block(static_cast<size_t>(engine.inSamplesPerBlock()));
    std::vector<float> out(static_cast<size_t>(engine.outSamplesPerBlock()));
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-0.3f, 0.3f);
    for (int i = 0; i < 21; ++i) {
        for (float& v : block) v = u(rng);
        test::AllocCounter count;
        engine.process(block.data(), out.data());
        if (i > 0) EXPECT_EQ(count.allocations(), 0);
    }
}

}  // namespace
}  // namespace velmora
