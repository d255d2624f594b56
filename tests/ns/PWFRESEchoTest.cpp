// The residual-echo suppressor behind the default echo canceller, end to end through the facade:
// a guitar far end played into a room with a 0.25 s reverberation tail, a talker at the
// microphone. Echo only, after the canceller's first 2 s, the suppressor must add echo return loss
// enhancement at the default beta and at least 6 dB at a strong beta; in double talk the near
// end must survive it.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/Velmora.h"
#include "common/TestUtil.h"
#include "sio/WavSource.h"

namespace velmora {
namespace {

constexpr int kFs = 16000;

std::vector<float> readWav(const std::string& path) {
    sio::WavSource source(path.c_str());
    std::vector<float> x;
    float v;
    while (source.readSample(&v)) x.push_back(v);
    return x;
}

// A synthetic room response: a direct path after `delay` samples, then an exponentially
// decaying Gaussian tail whose energy falls by 60 dB in rt60 seconds, `tailDb` below the direct
// path's energy in total.
std::vector<float> roomResponse(unsigned seed, int delay, float rt60, float tailDb) {
    const int length = static_cast<int>(1.2f * rt60 * kFs);
    std::vector<float> h(delay + length, 0.0f);
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    const double decay = std::log(1000.0) / (rt60 * kFs);  // amplitude: -60 dB at rt60
    double tail = 0;
    std::vector<double> t(length);
    for (int n = 1; n < length; ++n) t[n] = g(rng) * std::exp(-decay * n), tail += t[n] * t[n];
    const double scale = std::sqrt(std::pow(10.0, tailDb / 10) / tail);
    h[delay] = 1.0f;
    for (int n = 1; n < length; ++n) h[delay + n] = static_cast<float>(t[n] * scale);
    return h;
}

// The first `frames` samples of gain * (x * h).
std::vector<float> convolve(const std::vector<float>& x, const std::vector<float>& h, int frames,
                            float gain) {
    std::vector<float> y(frames, 0.0f);
    const int n = std::min(frames, static_cast<int>(x.size()));
    for (int i = 0; i < n; ++i) {
        const float g = gain * x[i];
        const int len = std::min(static_cast<int>(h.size()), frames - i);
        float* yi = y.data() + i;
        for (int m = 0; m < len; ++m) yi[m] += g * h[m];
    }
    return y;
}

struct Engine {
    std::unique_ptr<Velmora> engine;
    std::string refused;
};

// `level` is ns_level, so beta = level (agc_gain stays 1); `extra` adds configuration lines.
Engine makeEngine(const test::TempDir& dir, int aec, int ns, float level = 0.1f,
                  const std::string& extra = "") {
    const std::string conf = dir.file("e" + std::to_string(aec) + "_" + std::to_string(ns) + "_" +
                                      std::to_string(level));
    test::writeFile(conf,
                    "nummics = 1\nnumrefs = 1\nagc_algorithm = 0\ninit_time = 0\n"
                    "aec_algorithm = " +
                        std::to_string(aec) + "\nns_algorithm = " + std::to_string(ns) +
                        "\nns_level = " + std::to_string(level) + "\n" + extra);
    Engine e;
    try {
        e.engine = std::make_unique<Velmora>(conf.c_str());
    } catch (const char* msg) {
        e.refused = msg;
    }
    return e;
}

// Runs microphone and reference through the engine and returns the output with the engine's
// delay removed (the last delay() samples are zero).
std::vector<float> run(Velmora& engine, const std::vector<float>& mic,
                       const std::vector<float>& ref) {
    const int frames = static_cast<int>(mic.size()), block = engine.inFramesPerBlock();
    std::vector<float> in(2 * block), out, blockOut(engine.outSamplesPerBlock());
    for (int pos = 0; pos + block <= frames; pos += block) {
        for (int f = 0; f < block; ++f) in[2 * f] = mic[pos + f], in[2 * f + 1] = ref[pos + f];
        engine.process(in.data(), blockOut.data());
        out.insert(out.end(), blockOut.begin(), blockOut.end());
    }
    const int d = engine.delay();
    std::vector<float> aligned(out.size(), 0.0f);
    for (size_t n = d; n < out.size(); ++n) aligned[n - d] = out[n];
    return aligned;
}

double energy(const std::vector<float>& x, int from, int to) {
    double e = 0;
    for (int n = from; n < to; ++n) e += double(x[n]) * x[n];
    return e;
}

// Scale-invariant SDR of `estimate` against `target` over [from, to).
double siSdr(const std::vector<float>& estimate, const std::vector<float>& target, int from,
             int to) {
    double dot = 0, tt = 0;
    for (int n = from; n < to; ++n)
        dot += double(estimate[n]) * target[n], tt += double(target[n]) * target[n];
    const double a = dot / tt;
    double s = 0, e = 0;
    for (int n = from; n < to; ++n) {
        const double p = a * target[n];
        s += p * p;
        e += (estimate[n] - p) * (estimate[n] - p);
    }
    return 10 * std::log10(s / e);
}

// At the default beta (0.1) the filter's covariances, smoothed 0.2 old / 0.8 new, are close to
// rank one, so a residual that is not aligned with the echo estimate passes almost unchanged; the
// larger beta a configuration sets through ns_level is what buys the strong reduction.
constexpr float kStrong = 10.0f;

TEST(PWFRESEcho, AddsEchoReductionBehindTheCanceller) {
    const std::string data = test::testdataDir();
    test::TempDir dir;
    Engine probe = makeEngine(dir, 201, 1);
    ASSERT_TRUE(probe.engine) << probe.refused;

    const std::vector<float> far = readWav(data + "/music/guitar_16k.wav");
    std::vector<float> talk = readWav(data + "/speech/cmu_arctic_us_aew_a0001.wav");
    const std::vector<float> talk2 = readWav(data + "/speech/cmu_arctic_us_axb_a0004.wav");
    talk.insert(talk.end(), talk2.begin(), talk2.end());
    const int frames = 8 * kFs;
    ASSERT_GE(static_cast<int>(far.size()), frames);

    // Loudspeaker 1.2 m away (3.5 ms), talker 0.5 m away; both rooms with RT60 0.25 s.
    const std::vector<float> echo = convolve(far, roomResponse(1, 56, 0.25f, -3.0f), frames, 0.5f);
    std::vector<float> ref(far.begin(), far.begin() + frames);
    const int talkStart = 2 * kFs;
    std::vector<float> talkAt(frames, 0.0f);
    for (int n = talkStart; n < frames && n - talkStart < static_cast<int>(talk.size()); ++n)
        talkAt[n] = talk[n - talkStart];
    const std::vector<float> nearEnd =
        convolve(talkAt, roomResponse(2, 24, 0.25f, -8.0f), frames, 0.5f);

    // Echo only: the echo return loss enhancement after the canceller's first 2 s.
    auto erle = [&](int ns, float level) {
        Engine e = makeEngine(dir, 201, ns, level);
        const std::vector<float> out = run(*e.engine, echo, ref);
        const int to = frames - 2 * e.engine->delay();
        return 10 * std::log10(energy(echo, talkStart, to) / energy(out, talkStart, to));
    };
    const double erleAec = erle(0, 0.1f), erleDefault = erle(1, 0.1f),
                 erleStrong = erle(1, kStrong);
    std::printf(
        "echo only: ERLE %.1f dB with the canceller alone, %.1f dB with the suppressor at "
        "beta 0.1, %.1f dB at beta %.0f\n",
        erleAec, erleDefault, erleStrong, kStrong);
    EXPECT_GT(erleDefault - erleAec, 0.5);
    EXPECT_GE(erleStrong - erleAec, 6.0);

    // Double talk: the near end as the pass-through chain delivers it is the target.
    std::vector<float> mic(frames);
    for (int n = 0; n < frames; ++n) mic[n] = echo[n] + nearEnd[n];
    Engine plain = makeEngine(dir, 0, 0);
    const std::vector<float> target = run(*plain.engine, nearEnd, std::vector<float>(frames, 0.0f));
    const std::vector<float> micOut = run(*plain.engine, mic, ref);
    int to = talkStart + static_cast<int>(talk.size());
    to = std::min(to, frames - 2 * plain.engine->delay());
    auto sdr = [&](int ns, float level) {
        Engine e = makeEngine(dir, 201, ns, level);
        return siSdr(run(*e.engine, mic, ref), target, talkStart, to);
    };
    const double sdrMic = siSdr(micOut, target, talkStart, to);
    const double sdrAec = sdr(0, 0.1f), sdrDefault = sdr(1, 0.1f), sdrStrong = sdr(1, kStrong);
    std::printf(
        "double talk: near-end SI-SDR %.1f dB at the microphone, %.1f dB after the "
        "canceller, %.1f dB with the suppressor at beta 0.1, %.1f dB at beta %.0f\n",
        sdrMic, sdrAec, sdrDefault, sdrStrong, kStrong);
    EXPECT_GT(sdrDefault, sdrAec - 3.0);
    EXPECT_GT(sdrStrong, sdrAec - 3.0);
    EXPECT_GT(sdrStrong, sdrMic + 6.0);
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

// As run(), with lock(0, count) before block `lockBlock` (none when negative).
std::vector<float> runLocked(Velmora& engine, const std::vector<float>& mic,
                             const std::vector<float>& ref, int lockBlock, float count) {
    const int frames = static_cast<int>(mic.size()), block = engine.inFramesPerBlock();
    std::vector<float> in(2 * block), out, blockOut(engine.outSamplesPerBlock());
    for (int pos = 0, b = 0; pos + block <= frames; pos += block, ++b) {
        if (b == lockBlock) engine.lock(0, &count);
        for (int f = 0; f < block; ++f) in[2 * f] = mic[pos + f], in[2 * f + 1] = ref[pos + f];
        engine.process(in.data(), blockOut.data());
        out.insert(out.end(), blockOut.begin(), blockOut.end());
    }
    const int d = engine.delay();
    std::vector<float> aligned(out.size(), 0.0f);
    for (size_t n = d; n < out.size(); ++n) aligned[n - d] = out[n];
    return aligned;
}

// The three suppressors behind the default canceller on the same scene: echo only and double
// talk. The keyword-triggered one changes nothing before its first lock (half a second after the
// talker starts, its last 50 blocks the utterance) and reduces echo after it; the multichannel
// one reduces echo without collapsing the near end.
TEST(SuppressorsBehindTheCanceller, EchoReductionAndDoubleTalk) {
    const std::string data = test::testdataDir();
    test::TempDir dir;
    const std::vector<float> far = readWav(data + "/music/guitar_16k.wav");
    std::vector<float> talk = readWav(data + "/speech/cmu_arctic_us_aew_a0001.wav");
    const std::vector<float> talk2 = readWav(data + "/speech/cmu_arctic_us_axb_a0004.wav");
    talk.insert(talk.end(), talk2.begin(), talk2.end());
    const int frames = 8 * kFs;
    const std::vector<float> echo = convolve(far, roomResponse(1, 56, 0.25f, -3.0f), frames, 0.5f);
    std::vector<float> ref(far.begin(), far.begin() + frames);
    const int talkStart = 2 * kFs, lockBlock = talkStart / 160 + 50;
    std::vector<float> talkAt(frames, 0.0f);
    for (int n = talkStart; n < frames && n - talkStart < static_cast<int>(talk.size()); ++n)
        talkAt[n] = talk[n - talkStart];
    const std::vector<float> nearEnd =
        convolve(talkAt, roomResponse(2, 24, 0.25f, -8.0f), frames, 0.5f);
    std::vector<float> mic(frames);
    for (int n = 0; n < frames; ++n) mic[n] = echo[n] + nearEnd[n];
    Engine plain = makeEngine(dir, 0, 0);
    const std::vector<float> target = run(*plain.engine, nearEnd, std::vector<float>(frames, 0.0f));
    const int measureFrom = (lockBlock + 1) * 160;
    const int to = std::min(talkStart + static_cast<int>(talk.size()), frames - 2 * 160);

    double erle[4], sdr[4];
    for (int ns : {0, 1, 2, 3}) {
        Engine e = makeEngine(dir, 201, ns, 0.1f);
        ASSERT_TRUE(e.engine) << e.refused;
        const std::vector<float> out = runLocked(*e.engine, echo, ref, lockBlock, 50.0f);
        erle[ns] = 10 * std::log10(energy(echo, measureFrom, to) / energy(out, measureFrom, to));
        Engine d = makeEngine(dir, 201, ns, 0.1f);
        const std::vector<float> dt = runLocked(*d.engine, mic, ref, lockBlock, 50.0f);
        sdr[ns] = siSdr(dt, target, measureFrom, to);
        if (ns == 3) {
            // Before the lock the keyword-triggered suppressor is the canceller alone.
            Engine a = makeEngine(dir, 201, 0, 0.1f);
            const std::vector<float> alone = runLocked(*a.engine, mic, ref, -1, 0.0f);
            for (int n = 0; n < lockBlock * 160 - 2 * 160; ++n) ASSERT_EQ(dt[n], alone[n]) << n;
        }
    }
    std::printf("after the lock, ERLE / near-end SI-SDR in double talk:\n");
    const char* names[] = {"201 alone", "ns 1 (PWFRES)", "ns 2 (PMWFAES)", "ns 3 (KWSRESBatch)"};
    for (int ns = 0; ns < 4; ++ns)
        std::printf("  %-20s ERLE %5.1f dB  SI-SDR %5.1f dB\n", names[ns], erle[ns], sdr[ns]);
    // With its default two taps the multichannel filter also mixes the previous block into the
    // output, which distorts the near end even where there is no echo at all; that tap, not the
    // echo weighting, costs the double talk (2.7 dB here). With one tap it keeps the near end
    // within 1 dB and still adds echo reduction.
    Engine oneTap = makeEngine(dir, 201, 2, 1.0f, "ns_power = 1\n");
    const std::vector<float> echoOut = runLocked(*oneTap.engine, echo, ref, -1, 0.0f);
    const double erleOneTap =
        10 * std::log10(energy(echo, measureFrom, to) / energy(echoOut, measureFrom, to));
    Engine oneTapDt = makeEngine(dir, 201, 2, 1.0f, "ns_power = 1\n");
    const double sdrOneTap =
        siSdr(runLocked(*oneTapDt.engine, mic, ref, -1, 0.0f), target, measureFrom, to);
    std::printf("  %-20s ERLE %5.1f dB  SI-SDR %5.1f dB\n", "ns 2, 1 tap, beta 1", erleOneTap,
                sdrOneTap);
    EXPECT_GT(erle[2], erle[0] + 5.0);
    EXPECT_GE(sdr[2], sdr[0] - 3.0);
    EXPECT_GT(erleOneTap, erle[0] + 6.0);
    EXPECT_GE(sdrOneTap, sdr[0] - 1.0);
    EXPECT_GT(erle[3], erle[0] + 0.5);
}

}  // namespace
}  // namespace velmora
