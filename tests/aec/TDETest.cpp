#include "aec/TDE.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "sio/WavSource.h"

using velmora::aec::TDE;

namespace {

// A multichannel recording, frame-major: numMics microphones then numRefs references.
struct Recording {
    int numMics;
    int numRefs;
    int frames;
    std::vector<float> x;
    float& at(int f, int c) { return x[static_cast<size_t>(f) * (numMics + numRefs) + c]; }
    float at(int f, int c) const { return x[static_cast<size_t>(f) * (numMics + numRefs) + c]; }
};

std::vector<float> whiteNoise(int n, float amplitude, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-amplitude, amplitude);
    std::vector<float> v(static_cast<size_t>(n));
    for (float& s : v) s = u(rng);
    return v;
}

// Two microphones hearing `far` `lag` samples late (negative: early) with different gains and a
// little independent noise; one reference carrying `far` itself.
Recording echoOf(const std::vector<float>& far, int lag) {
    Recording r{2, 1, static_cast<int>(far.size()), {}};
    r.x.assign(far.size() * 3, 0.0f);
    const std::vector<float> n0 = whiteNoise(r.frames, 0.01f, 7),
                             n1 = whiteNoise(r.frames, 0.01f, 8);
    for (int f = 0; f < r.frames; ++f) {
        const int src = f - lag;
        const float e = src >= 0 && src < r.frames ? far[static_cast<size_t>(src)] : 0.0f;
        r.at(f, 0) = 0.8f * e + n0[static_cast<size_t>(f)];
        r.at(f, 1) = -0.6f * e + n1[static_cast<size_t>(f)];
        r.at(f, 2) = far[static_cast<size_t>(f)];
    }
    return r;
}

// Runs whole blocks of `in` through `tde`; `delays` receives (micDelay, refDelay) after every
// block when given.
Recording run(TDE* tde, const Recording& in, std::vector<std::pair<int, int>>* delays = nullptr) {
    const int B = tde->blockSize();
    const int T = in.numMics + in.numRefs;
    Recording out{in.numMics, in.numRefs, in.frames / B * B, {}};
    out.x.assign(static_cast<size_t>(out.frames) * T, 0.0f);
    for (int f = 0; f < out.frames; f += B) {
        tde->process(&in.x[static_cast<size_t>(f) * T], &out.x[static_cast<size_t>(f) * T]);
        if (delays) delays->emplace_back(tde->micDelay(), tde->refDelay());
    }
    return out;
}

// Channel c of `out` equals channel c of `in` delayed by `delay` frames, from frame `from` on.
void expectDelayed(const Recording& in, const Recording& out, int c, int delay, int from) {
    for (int f = from; f < out.frames; ++f) {
        const float expect = f >= delay ? in.at(f - delay, c) : 0.0f;
        ASSERT_EQ(out.at(f, c), expect) << "channel " << c << " frame " << f;
    }
}

int blocksFor(int hops, const TDE& t) {
    return hops * t.blocksPerHop();
}

TEST(TDE, AnalysisSizesAndBinSchedule) {
    // Default analysis: every supported block length divides the 32640-sample hop.
    for (int B : {160, 320, 480, 640}) {
        TDE t(1, 1, B, 0, 0);
        EXPECT_EQ(t.fftSize(), 65536);
        EXPECT_EQ(t.hop(), 32640);
        EXPECT_EQ(t.blocksPerHop(), 32640 / B);
    }
    TDE d(2, 1, 160, 0, 0);
    ASSERT_EQ(d.blocksPerHop(), 204);
    // 32769 bins over blocks 1 .. 202: 162 each, one more for the fractional carry, the rest
    // in block 202; the first and last blocks update nothing.
    int total = 0;
    for (int i = 0; i < 204; ++i) {
        const int n = d.binSchedule(i);
        total += n;
        if (i == 0 || i == 203)
            EXPECT_EQ(n, 0) << i;
        else
            EXPECT_TRUE(n == 162 || n == 163) << i << ": " << n;
    }
    EXPECT_EQ(total, 32769);

    // A search range: the power of two not below twice the range, the hop the largest whole
    // number of blocks in half of it.
    TDE a(1, 1, 160, 1000, 0);
    EXPECT_EQ(a.fftSize(), 2048);
    EXPECT_EQ(a.hop(), 960);
    const int expect[] = {0, 256, 256, 256, 257, 0};  // 1025 bins, 256.25 per block
    ASSERT_EQ(a.blocksPerHop(), 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(a.binSchedule(i), expect[i]) << i;
    EXPECT_EQ(TDE(1, 1, 160, 1024, 0).fftSize(), 2048);
    EXPECT_EQ(TDE(1, 1, 160, 1025, 0).fftSize(), 4096);
    EXPECT_EQ(TDE(1, 1, 160, 50, 0).fftSize(), 512);  // never below two blocks

    // Hops of one or two blocks leave no spare block: block 0 updates every bin.
    TDE one(1, 1, 160, 160, 0);
    ASSERT_EQ(one.blocksPerHop(), 1);
    EXPECT_EQ(one.binSchedule(0), 257);
    TDE two(1, 1, 256, 300, 0);
    ASSERT_EQ(two.blocksPerHop(), 2);
    EXPECT_EQ(two.binSchedule(0), 513);
    EXPECT_EQ(two.binSchedule(1), 0);
    TDE three(1, 1, 160, 300, 0);
    ASSERT_EQ(three.blocksPerHop(), 3);
    EXPECT_EQ(three.binSchedule(1), 513);

    // A block length that does not divide 32640 still gets a hop of whole blocks.
    TDE odd(1, 1, 100, 0, 0);
    EXPECT_EQ(odd.hop(), 32700);
    EXPECT_EQ(odd.blocksPerHop(), 327);
}

TEST(TDE, FixedOffsetDelaysOneGroup) {
    const int frames = 160 * 8;
    Recording in{2, 1, frames, whiteNoise(frames * 3, 0.5f, 1)};
    // 0.01 s at 16 kHz, as the pipelines convert it.
    const int offset = TDE::toSamples(16000, 0.01f);
    ASSERT_EQ(offset, 160);

    TDE mics(2, 1, 160, 0, offset);
    EXPECT_TRUE(mics.fixedOffset());
    EXPECT_EQ(mics.offset(), 160.0f);
    EXPECT_EQ(mics.micDelay(), 160);  // no safety margin on a fixed offset
    EXPECT_EQ(mics.refDelay(), 0);
    Recording out = run(&mics, in);
    expectDelayed(in, out, 0, 160, 0);
    expectDelayed(in, out, 1, 160, 0);
    expectDelayed(in, out, 2, 0, 0);

    // Negative: the references are delayed; processing in place gives the same result.
    TDE refs(2, 1, 160, 0, -offset);
    EXPECT_EQ(refs.micDelay(), 0);
    EXPECT_EQ(refs.refDelay(), 160);
    Recording inplace = in;
    for (int f = 0; f < frames; f += 160) refs.process(&inplace.x[f * 3], &inplace.x[f * 3]);
    expectDelayed(in, inplace, 0, 0, 0);
    expectDelayed(in, inplace, 1, 0, 0);
    expectDelayed(in, inplace, 2, 160, 0);

    // Offsets beyond the delay lines are clipped to half the transform.
    EXPECT_EQ(TDE(1, 1, 160, 0, 100000).micDelay(), 32768);
    TDE clipped(1, 1, 160, 100, -100000);
    EXPECT_EQ(clipped.fftSize(), 512);
    EXPECT_EQ(clipped.refDelay(), 256);
    EXPECT_EQ(clipped.micDelay(), 0);
}

// White-noise far end; the echo lags (positive) or leads (negative) the reference.
TEST(TDE, EstimatesTheLagOfWhiteNoise) {
    const struct {
        int maxoffset, lag, micDelay, refDelay;
    } cases[] = {
        {0, 480, 0, 460},     // reference 30 ms early: references delayed, 20-sample margin
        {0, -200, 220, 0},    // reference late: microphones delayed
        {0, 0, 20, 0},        // aligned already: the margin alone
        {1000, 300, 0, 280},  // a search range instead of the default analysis size
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lag);
        TDE t(2, 1, 160, c.maxoffset, 0);
        EXPECT_FALSE(t.fixedOffset());
        // The previous hop must be analysed and then correlated over a whole hop, so the
        // first estimate comes at the start of the third hop.
        const int blocks = blocksFor(c.maxoffset == 0 ? 3 : 12, t) + 20;
        const Recording in = echoOf(whiteNoise(blocks * 160, 0.5f, 3), c.lag);
        std::vector<std::pair<int, int>> delays;
        const Recording out = run(&t, in, &delays);
        const int first = blocksFor(2, t);
        for (int b = 0; b < first; ++b) {
            ASSERT_EQ(delays[b], std::make_pair(0, 0)) << "block " << b;
        }
        EXPECT_EQ(delays.back(), std::make_pair(c.micDelay, c.refDelay));
        if (c.maxoffset == 0) {
            EXPECT_EQ(delays[first], std::make_pair(c.micDelay, c.refDelay));
            EXPECT_EQ(t.offset(), static_cast<float>(-c.lag));
        }
        // The new delays act from the block after the estimate on.
        const int from = (blocks - 10) * 160;
        expectDelayed(in, out, 0, c.micDelay, from);
        expectDelayed(in, out, 1, c.micDelay, from);
        expectDelayed(in, out, 2, c.refDelay, from);
    }
}

TEST(TDE, QuietInputKeepsTheDelaysAtZero) {
    for (float amplitude : {0.0f, 1e-4f}) {
        TDE t(2, 1, 160, 0, 0);
        const int blocks = blocksFor(5, t);
        const Recording in = echoOf(whiteNoise(blocks * 160, amplitude, 4), 480);
        Recording silent = in;
        if (amplitude == 0.0f) silent.x.assign(in.x.size(), 0.0f);
        std::vector<std::pair<int, int>> delays;
        const Recording out = run(&t, silent, &delays);
        for (size_t b = 0; b < delays.size(); ++b)
            ASSERT_EQ(delays[b], std::make_pair(0, 0)) << amplitude << " block " << b;
        EXPECT_EQ(t.offset(), 0.0f);
        EXPECT_EQ(out.x, silent.x);
    }
}

// Speech played back and recorded 30 ms later through a short reverberant path.
TEST(TDE, AlignsARecordedSpeechEcho) {
    const std::string dir = velmora::test::testdataDir();
    velmora::sio::WavSource wav((dir + "/speech/cmu_arctic_us_aew_a0001.wav").c_str());
    ASSERT_EQ(wav.numChannels(), 1);
    ASSERT_EQ(wav.sampleRate(), 16000);
    std::vector<float> speech;
    float s;
    while (wav.readSample(&s)) speech.push_back(s);
    ASSERT_GT(speech.size(), 16000u);

    TDE t(2, 1, 160, 0, 0);
    // Loop the sentence until the estimate after two hops and some blocks beyond it fit.
    const int frames = (blocksFor(3, t) + 50) * 160;
    std::vector<float> far(static_cast<size_t>(frames));
    for (int n = 0; n < frames; ++n) far[n] = speech[static_cast<size_t>(n) % speech.size()];

    // Room responses: 30 ms of exponentially decaying random taps, one per microphone.
    const int lag = 480, taps = 480;
    std::mt19937 rng(11);
    std::normal_distribution<float> g(0.0f, 1.0f);
    Recording in{2, 1, frames, std::vector<float>(static_cast<size_t>(frames) * 3, 0.0f)};
    const std::vector<float> noise = whiteNoise(frames * 2, 0.003f, 12);
    for (int m = 0; m < 2; ++m) {
        std::vector<float> h(taps);
        for (int k = 0; k < taps; ++k) h[k] = 0.5f * g(rng) * std::exp(-k / 60.0f);
        for (int n = 0; n < frames; ++n) {
            float e = 0.0f;
            for (int k = 0; k < taps && n - lag - k >= 0; ++k) e += h[k] * far[n - lag - k];
            in.at(n, m) = e + noise[static_cast<size_t>(2 * n + m)];
        }
    }
    for (int n = 0; n < frames; ++n) in.at(n, 2) = far[n];

    std::vector<std::pair<int, int>> delays;
    const Recording out = run(&t, in, &delays);
    const int first = blocksFor(2, t);
    EXPECT_EQ(delays[first - 1], std::make_pair(0, 0));
    const int expect = lag - 20;  // the margin keeps the echo 20 samples behind
    const int error = delays[first].second - expect;
    std::printf("[ measured ] speech echo lag %d: reference delay %d, alignment error %d samples\n",
                lag, delays[first].second, error);
    RecordProperty("alignment_error_samples", error);
    EXPECT_EQ(delays[first].first, 0);
    EXPECT_LE(std::abs(error), 48) << "more than 3 ms off";
    EXPECT_EQ(delays.back(), delays[first]);
    expectDelayed(in, out, 2, delays.back().second, (first + 1) * 160 + delays.back().second);
    expectDelayed(in, out, 0, 0, 0);
}

TEST(TDE, ProcessAllocatesNothing) {
    TDE est(2, 1, 160, 1000, 0);
    TDE fixed(2, 1, 160, 0, -160);
    // Small transforms pass the level gate only after several hops of smoothing.
    const int blocks = blocksFor(12, est);
    Recording in = echoOf(whiteNoise(blocks * 160, 0.5f, 5), 300);
    std::vector<float> out(in.x.size());
    velmora::test::AllocCounter count;
    for (int b = 0; b < blocks; ++b) {
        est.process(&in.x[b * 480], &out[b * 480]);
        fixed.process(&in.x[b * 480], &out[b * 480]);
    }
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_EQ(est.refDelay(), 280);  // the run did estimate
}

TEST(TDE, SecondsToSamples) {
    EXPECT_EQ(TDE::toSamples(16000, -0.01f), -160);
    EXPECT_EQ(TDE::toSamples(16000, 0.03f), 480);
    EXPECT_EQ(TDE::toSamples(16000, 0.00004f), 0);       // 0.64 truncates toward zero
    EXPECT_EQ(TDE::toSamples(16000, -0.0001f), -1);      // -1.6 as well
    EXPECT_EQ(TDE::toSamples(16000, 1e9f), 2147483520);  // saturates instead of overflowing
    EXPECT_EQ(TDE::toSamples(16000, -1e9f), -2147483520);
    EXPECT_EQ(TDE::toSamples(16000, std::nanf("")), 0);
    // A saturated range is refused, a saturated fixed offset clipped.
    EXPECT_THROW(TDE(1, 1, 160, TDE::toSamples(16000, 1e9f), 0), const char*);
    EXPECT_EQ(TDE(1, 1, 160, 0, TDE::toSamples(16000, -1e9f)).refDelay(), 32768);
}

TEST(TDE, RefusesBadArguments) {
    EXPECT_DEATH(TDE(0, 1, 160, 0, 0), "nummics > 0");
    EXPECT_DEATH(TDE(1, 0, 160, 0, 0), "numrefs > 0");
    EXPECT_DEATH(TDE(1, 1, 0, 0, 0), "blocksize > 0");
    try {
        TDE t(1, 1, 160, 2000000000, 0);
        FAIL() << "a search range beyond the int transform sizes was accepted";
    } catch (const char* e) {
        EXPECT_STREQ(e,
                     "velmora, TDE: Unsupported offset range: 2000000000 samples, at most 1048576");
    }
}

}  // namespace
