// Gain control on the WebRTC audio processing library: the wrappers against the library driven
// directly, conversions, settings by name (read back from the engines), the selector's
// messages, independence of wrappers, level behaviour, multichannel blocks, delay and
// allocation-free processing.

#include <gtest/gtest.h>

#include "common/TestUtil.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include "Params.h"
#include "agc/AGCWrapper.h"
#include "agc/NSAGCWrapper.h"
#include "agc/WebRTCEngine.h"
#include "common/AllocCounter.h"
#include "mode/AGCAlgorithm.h"

using namespace velmora::agc;

using velmora::test::errorOf;
using velmora::test::literal;

namespace {

constexpr int kFs = 16000;

// Voiced "syllables": a harmonic tone (about 110-180 Hz, 20 harmonics with 1/k roll-off)
// switched on for 200 ms and off for 100 ms with 10 ms ramps, rms `rms` while on, rounded to
// 16-bit steps so that the wrappers' conversion is exact. A little noise fills the pauses.
std::vector<float> speechLike(int fs, double seconds, double rms, unsigned seed) {
    const size_t n = static_cast<size_t>(seconds * fs);
    std::vector<float> x(n);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> pitch(110.0, 180.0);
    std::normal_distribution<double> noise(0.0, 1.0);
    const size_t syllable = static_cast<size_t>(0.3 * fs), on = static_cast<size_t>(0.2 * fs);
    const size_t ramp = static_cast<size_t>(0.01 * fs);
    double f0 = pitch(rng), phase = 0.0;
    // Harmonic weights of two resonances near 600 and 1500 Hz, like a vowel's first formants.
    auto formant = [](double f) {
        auto peak = [f](double fc, double bw) { return 1.0 / (1.0 + std::pow((f - fc) / bw, 2)); };
        return peak(600.0, 150.0) + 0.5 * peak(1500.0, 200.0) + 0.05;
    };
    double norm = 0.0;
    for (int k = 1; k <= 20; ++k) norm += 0.5 * std::pow(formant(145.0 * k), 2);
    const double scale = rms / std::sqrt(norm);
    for (size_t i = 0; i < n; ++i) {
        const size_t t = i % syllable;
        if (t == 0) f0 = pitch(rng);
        phase += 2.0 * M_PI * f0 / fs;
        double env = 0.0;
        if (t < on) {
            env = 1.0;
            if (t < ramp) env = 0.5 - 0.5 * std::cos(M_PI * t / ramp);
            if (on - t < ramp) env = 0.5 - 0.5 * std::cos(M_PI * (on - t) / ramp);
        }
        double v = 0.0;
        for (int k = 1; k <= 20 && k * f0 < 0.45 * fs; ++k)
            v += formant(k * f0) * std::sin(k * phase);
        v = env * scale * v + 0.003 * rms * noise(rng);
        x[i] = static_cast<float>(std::floor(v * 32768.0 + 0.5) / 32768.0);
    }
    return x;
}

// Interleaves channels of equal length into frame-major order.
std::vector<float> interleave(const std::vector<std::vector<float>>& chans) {
    std::vector<float> out(chans.size() * chans[0].size());
    for (size_t c = 0; c < chans.size(); ++c)
        for (size_t j = 0; j < chans[c].size(); ++j) out[j * chans.size() + c] = chans[c][j];
    return out;
}

// Runs `stage` over `x` (interleaved) block by block, in place.
void run(AGCInterface& stage, std::vector<float>& x) {
    const size_t block = static_cast<size_t>(stage.numChannels()) * stage.blockSize();
    for (size_t b = 0; b + block <= x.size(); b += block) stage.process(&x[b], &x[b]);
}

// rms in dBFS of channel `ch` of interleaved `x` over frames [from, to).
double rmsDb(const std::vector<float>& x, int nch, size_t from, size_t to, int ch = 0) {
    double s = 0.0;
    for (size_t j = from; j < to; ++j) s += static_cast<double>(x[j * nch + ch]) * x[j * nch + ch];
    return 10.0 * std::log10(std::max(s / (to - from), 1e-20));
}
double peakDb(const std::vector<float>& x, size_t from, size_t to) {
    float p = 0.0f;
    for (size_t j = from; j < to; ++j) p = std::max(p, std::fabs(x[j]));
    return 20.0 * std::log10(std::max<double>(p, 1e-10));
}

// The library driven directly through its public interface: one instance per component, as
// the wrappers use it (gain control: adaptive digital, capture levels 0 to 255, limiter on,
// virtual microphone at capture level 0; suppressor: a policy).
struct DirectEngine {
    std::unique_ptr<webrtc::AudioProcessing> apm;
    webrtc::AudioFrame frame;
    explicit DirectEngine(int fs) {
        webrtc::Config config;
        config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
        apm.reset(webrtc::AudioProcessing::Create(config));
        using AP = webrtc::AudioProcessing;
        EXPECT_EQ(apm->Initialize(fs, fs, fs, AP::kMono, AP::kMono, AP::kMono), 0);
        frame.sample_rate_hz_ = fs;
        frame.num_channels_ = 1;
        frame.samples_per_channel_ = static_cast<size_t>(fs / 100);
    }
    static DirectEngine* gain(int fs, int level, int power) {
        DirectEngine* e = new DirectEngine(fs);
        webrtc::GainControl* gc = e->apm->gain_control();
        EXPECT_EQ(gc->set_analog_level_limits(0, 255), 0);
        EXPECT_EQ(gc->set_mode(webrtc::GainControl::kAdaptiveDigital), 0);
        EXPECT_EQ(gc->set_target_level_dbfs(level), 0);
        EXPECT_EQ(gc->set_compression_gain_db(power), 0);
        EXPECT_EQ(gc->enable_limiter(true), 0);
        EXPECT_EQ(gc->Enable(true), 0);
        return e;
    }
    static DirectEngine* suppressor(int fs, int policy) {
        DirectEngine* e = new DirectEngine(fs);
        webrtc::NoiseSuppression* ns = e->apm->noise_suppression();
        EXPECT_EQ(ns->set_level(static_cast<webrtc::NoiseSuppression::Level>(policy)), 0);
        EXPECT_EQ(ns->Enable(true), 0);
        return e;
    }
    // One 10 ms frame of 16-bit samples, in place.
    void process(int16_t* s) {
        const size_t n = frame.samples_per_channel_;
        std::copy(s, s + n, frame.data_);
        if (apm->gain_control()->is_enabled()) apm->gain_control()->set_stream_analog_level(0);
        ASSERT_EQ(apm->ProcessStream(&frame), 0);
        std::copy(frame.data_, frame.data_ + n, s);
    }
};

std::vector<int16_t> toInt16(const std::vector<float>& x) {
    std::vector<int16_t> s(x.size());
    for (size_t i = 0; i < x.size(); ++i) s[i] = static_cast<int16_t>(std::lrint(x[i] * 32768.0f));
    return s;
}

}  // namespace

// The wrappers give exactly what the library gives when driven directly with the same
// settings: per channel of a multichannel block, over blocks of two frames.
TEST(AGCWrapper, MatchesTheLibraryDrivenDirectly) {
    const int nch = 2, block = 320;
    const std::vector<std::vector<float>> chans = {speechLike(kFs, 3.0, 0.01, 1),
                                                   speechLike(kFs, 3.0, 0.2, 2)};
    for (int algorithm : {1, 2}) {
        SCOPED_TRACE(algorithm);
        std::vector<float> x = interleave(chans);
        std::unique_ptr<AGCInterface> stage;
        if (algorithm == 1) {
            auto* w = new AGCWrapper(kFs, nch, block, 1);
            EXPECT_EQ(w->setParameter("AGC_Level", "6"), RET_OK);
            EXPECT_EQ(w->setParameter("AGC_Power", "9"), RET_OK);
            stage.reset(w);
        } else {
            auto* w = new NSAGCWrapper(kFs, nch, block, 1);
            EXPECT_EQ(w->setNSParameter("NS_Power", "2"), RET_OK);
            EXPECT_EQ(w->setAGCParameter("AGC_Level", "6"), RET_OK);
            EXPECT_EQ(w->setAGCParameter("AGC_Power", "9"), RET_OK);
            stage.reset(w);
        }
        run(*stage, x);
        for (int c = 0; c < nch; ++c) {
            std::unique_ptr<DirectEngine> gain(DirectEngine::gain(kFs, 6, 9));
            std::unique_ptr<DirectEngine> ns(algorithm == 2 ? DirectEngine::suppressor(kFs, 2)
                                                            : nullptr);
            std::vector<int16_t> want = toInt16(chans[static_cast<size_t>(c)]);
            for (size_t f = 0; f + 160 <= want.size(); f += 160) {
                if (ns) ns->process(&want[f]);
                gain->process(&want[f]);
            }
            size_t differ = 0, changed = 0;
            for (size_t j = 0; j < want.size(); ++j) {
                const float got = x[j * nch + c];
                differ += got != want[j] / 32768.0f;
                changed += got != chans[static_cast<size_t>(c)][j];
            }
            EXPECT_EQ(differ, 0u) << "channel " << c;
            EXPECT_GT(changed, want.size() / 2) << "channel " << c;  // the engine did act
        }
    }
}

TEST(AGCWrapper, SixteenBitConversion) {
    const float in[] = {1.0f,         -1.0f,         2.0f,
                        -3.0f,        0.5f / 32768,  -0.5f / 32768,
                        1.4f / 32768, -1.6f / 32768, 32766.6f / 32768,
                        std::nanf("")};
    const int16_t want[] = {32767, -32768, 32767, -32768, 1, 0, 1, -2, 32767, 0};
    const int n = sizeof(want) / sizeof(want[0]);
    int16_t s[n];
    toPCM16(in, 1, n, s);
    for (int i = 0; i < n; ++i) EXPECT_EQ(s[i], want[i]) << i;
    float back[2 * n];
    fromPCM16(s, n, 2, back);
    EXPECT_FLOAT_EQ(back[0], 32767.0f / 32768.0f);
    EXPECT_EQ(back[2], -1.0f);
    EXPECT_EQ(settingValue("12abc"), 12);
    EXPECT_EQ(settingValue("-3"), -3);
    EXPECT_EQ(settingValue("+7"), 7);
    EXPECT_EQ(settingValue("abc"), 0);
    EXPECT_EQ(settingValue(nullptr), 0);
    EXPECT_EQ(settingValue("99999999999999999999"), 2147483647);
}

// Settings read back from every channel's engine as set: the experimental controller of the
// library, which would replace them, is off. Refused settings change nothing.
TEST(AGCWrapper, SettingsReadBackAsSet) {
    AGCWrapper w(kFs, 3, 160, 1);
    EXPECT_EQ(w.setParameter("AGC_Level", "10"), RET_OK);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(w.engine(c).targetLevel(), 10);
        EXPECT_EQ(w.engine(c).compressionGain(), GainSetting::kStartGain);
        EXPECT_EQ(w.engine(c).limiter(), 1);
        EXPECT_EQ(w.engine(c).gainMode(), static_cast<int>(webrtc::GainControl::kAdaptiveDigital));
    }
    EXPECT_EQ(w.setParameter("AGC_Power", "7"), RET_OK);
    EXPECT_EQ(w.setParameter("AGC_Level", "40"), RET_ERROR);
    EXPECT_EQ(w.setParameter("AGC_Level", "-1"), RET_ERROR);
    EXPECT_EQ(w.setParameter("AGC_Power", "91"), RET_ERROR);
    EXPECT_EQ(w.setParameter("NS_Power", "1"), RET_ERROR);
    EXPECT_EQ(w.setParameter(nullptr, "1"), RET_ERROR);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(w.engine(c).targetLevel(), 10);
        EXPECT_EQ(w.engine(c).compressionGain(), 7);
    }
    // After processing too (the experimental controller would rewrite them on its first frame).
    std::vector<float> x = interleave(
        {speechLike(kFs, 0.5, 0.1, 1), speechLike(kFs, 0.5, 0.1, 2), speechLike(kFs, 0.5, 0.1, 3)});
    run(w, x);
    EXPECT_EQ(w.setParameter("AGC_Level", "0"), RET_OK);
    EXPECT_EQ(w.engine(2).targetLevel(), 0);
    EXPECT_EQ(w.engine(2).compressionGain(), 7);

    NSAGCWrapper n(kFs, 2, 320, 1);
    for (int policy = 3; policy >= 0; --policy) {
        EXPECT_EQ(n.setNSParameter("NS_Power", std::to_string(policy).c_str()), RET_OK);
        EXPECT_EQ(n.suppressor(1).policy(), policy);
    }
    EXPECT_EQ(n.setNSParameter("NS_Power", "4"), RET_ERROR);
    EXPECT_EQ(n.setNSParameter("NS_Power", "-1"), RET_ERROR);
    EXPECT_EQ(n.suppressor(0).policy(), 0);
    EXPECT_EQ(n.setNSParameter("DR_Power", "0"), RET_OK);
    EXPECT_EQ(n.setNSParameter("DR_Power", "1"), RET_ERROR);  // no such step in the library
    EXPECT_EQ(n.setNSParameter("AGC_Level", "3"), RET_ERROR);
    EXPECT_EQ(n.setAGCParameter("NS_Power", "1"), RET_ERROR);
    EXPECT_EQ(n.setAGCParameter("AGC_Level", "31"), RET_OK);
    EXPECT_EQ(n.setAGCParameter("AGC_Power", "0"), RET_OK);
    EXPECT_EQ(n.gainControl(1).targetLevel(), 31);
    EXPECT_EQ(n.gainControl(1).compressionGain(), 0);
}

// Each wrapper keeps its own last level and gain, so two engines in one process do not
// change each other's settings.
TEST(AGCWrapper, WrappersDoNotShareSettings) {
    AGCWrapper a(kFs, 1, 160, 1);
    NSAGCWrapper b(kFs, 1, 160, 1);
    EXPECT_EQ(a.setParameter("AGC_Level", "10"), RET_OK);
    EXPECT_EQ(b.setAGCParameter("AGC_Power", "7"), RET_OK);
    EXPECT_EQ(a.engine(0).targetLevel(), 10);
    EXPECT_EQ(a.engine(0).compressionGain(), GainSetting::kStartGain);
    EXPECT_EQ(b.gainControl(0).targetLevel(), GainSetting::kStartLevel);
    EXPECT_EQ(b.gainControl(0).compressionGain(), 7);
    EXPECT_EQ(a.setParameter("AGC_Power", "3"), RET_OK);
    EXPECT_EQ(a.engine(0).targetLevel(), 10);
    EXPECT_EQ(b.gainControl(0).targetLevel(), GainSetting::kStartLevel);
    EXPECT_EQ(b.gainControl(0).compressionGain(), 7);
    // A refused level is not remembered for the next call.
    EXPECT_EQ(a.setParameter("AGC_Level", "40"), RET_ERROR);
    EXPECT_EQ(a.setParameter("AGC_Power", "4"), RET_OK);
    EXPECT_EQ(a.engine(0).targetLevel(), 10);
}

TEST(AGCAlgorithm, WrappersConfiguredFromTheParameters) {
    velmora::Params p;
    p.numouts = 2;
    p.block_size = 0.02f;
    {
        velmora::mode::AGCAlgorithm sel(&p);  // defaults: algorithm 1, level 4, power 3
        auto* w = dynamic_cast<AGCWrapper*>(sel.stage());
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(sel.delay(), 0);
        EXPECT_EQ(w->engine(1).targetLevel(), 4);
        EXPECT_EQ(w->engine(1).compressionGain(), 3);
    }
    for (int algorithm : {2, 3}) {
        p.agc_algorithm = algorithm;
        p.agc_level = 9;
        velmora::mode::AGCAlgorithm sel(&p);
        auto* w = dynamic_cast<NSAGCWrapper*>(sel.stage());
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(sel.delay(), 96);
        EXPECT_EQ(w->suppressor(0).policy(), algorithm - 2);
        EXPECT_EQ(w->gainControl(0).targetLevel(), 9);
        EXPECT_EQ(w->gainControl(0).compressionGain(), 3);
    }
    for (int algorithm : {1, 2, 3}) {
        p.agc_algorithm = algorithm;
        p.agc_level = 40;
        p.agc_power = 3;
        EXPECT_EQ(errorOf([&] { velmora::mode::AGCAlgorithm a(&p); }),
                  "velmora, AGCAlgorithm: Failed to set agc_level: 40");
        p.agc_level = 4;
        p.agc_power = 91;
        EXPECT_EQ(errorOf([&] { velmora::mode::AGCAlgorithm a(&p); }),
                  "velmora, AGCAlgorithm: Failed to set agc_power: 91");
    }
}

// A quiet talker is raised towards the target level; a loud one is limited below full scale.
TEST(AGCWrapper, RaisesQuietSpeechAndLimitsLoudSpeech) {
    const size_t from = 6 * kFs, to = 8 * kFs;
    for (int algorithm : {1, 2}) {
        SCOPED_TRACE(algorithm);
        for (double rms : {0.01, 0.2}) {
            std::vector<float> x = speechLike(kFs, 8.0, rms, 5), y = x;
            std::unique_ptr<AGCInterface> stage;
            if (algorithm == 1) {
                auto* w = new AGCWrapper(kFs, 1, 320, 1);
                w->setParameter("AGC_Level", "4");
                w->setParameter("AGC_Power", "3");
                stage.reset(w);
            } else {
                auto* w = new NSAGCWrapper(kFs, 1, 320, 1);
                w->setNSParameter("NS_Power", "0");
                w->setAGCParameter("AGC_Level", "4");
                w->setAGCParameter("AGC_Power", "3");
                stage.reset(w);
            }
            run(*stage, y);
            const double gain = rmsDb(y, 1, from, to) - rmsDb(x, 1, from, to);
            if (rms < 0.1) {
                EXPECT_GT(gain, 8.0);
            } else {
                EXPECT_GT(peakDb(x, from, to), -2.0);
                EXPECT_LT(gain, -1.5);
                EXPECT_LT(peakDb(y, from, to), -3.0);
            }
        }
    }
}

// The suppressor's overlap delays the output by delay() samples: the cross-correlation of
// input and output peaks there. The gain control alone does not delay.
TEST(NSAGCWrapper, DelayIsTheSuppressorOverlap) {
    for (int block : {160, 320, 480, 640}) {
        EXPECT_EQ(NSAGCWrapper(kFs, 1, block, 1).delay(), 96);
        EXPECT_EQ(AGCWrapper(kFs, 1, block, 1).delay(), 0);
    }
    for (int fs : {8000, 16000, 32000, 48000}) {
        for (int algorithm : {1, 2}) {
            SCOPED_TRACE(fs * 10 + algorithm);
            const int block = fs == 48000 ? 480 : 640;  // whole 10 ms frames at fs
            std::unique_ptr<AGCInterface> stage;
            if (algorithm == 1)
                stage.reset(new AGCWrapper(fs, 1, block, 1));
            else
                stage.reset(new NSAGCWrapper(fs, 1, block, 1));
            std::vector<float> x = speechLike(fs, 3.0, 0.1, 7), y = x;
            run(*stage, y);
            int best = -1;
            double bestSum = -1e30;
            for (int lag = 0; lag < 500; ++lag) {
                double sum = 0.0;
                for (size_t j = x.size() / 3; j + 500 < x.size(); ++j)
                    sum += static_cast<double>(x[j]) * y[j + lag];
                if (sum > bestSum) bestSum = sum, best = lag;
            }
            // The three-band filters at 48 kHz are not linear-phase: their delay is approximate.
            EXPECT_NEAR(best, stage->delay(), fs == 48000 ? 2 : 0);
        }
    }
}

TEST(AGCWrapper, NoAllocationPerBlock) {
    std::vector<float> x =
        interleave({speechLike(kFs, 2.0, 0.05, 1), speechLike(kFs, 2.0, 0.2, 2)});
    AGCWrapper a(kFs, 2, 640, 1);
    NSAGCWrapper n(kFs, 2, 640, 1);
    std::vector<float> warm(x.begin(), x.begin() + 2 * 640);
    a.process(warm.data(), warm.data());
    n.process(warm.data(), warm.data());
    velmora::test::AllocCounter count;
    run(a, x);
    run(n, x);
    EXPECT_EQ(count.allocations(), 0);
}

TEST(AGCWrapperDeathTest, RefusedConstruction) {
    EXPECT_DEATH(AGCWrapper(kFs, 0, 160, 1), literal("numchs > 0"));
    const std::string sizes =
        literal("blocksize == 160 || blocksize == 320 || blocksize == 480 || blocksize == 640");
    EXPECT_DEATH(AGCWrapper(kFs, 1, 100, 1), sizes);
    EXPECT_DEATH(NSAGCWrapper(kFs, 1, 800, 1), sizes);
    EXPECT_DEATH(AGCWrapper(44100, 1, 160, 1), literal("retcode == RET_OK"));
    EXPECT_DEATH(NSAGCWrapper(22050, 1, 160, 1), literal("retcode == RET_OK"));
    EXPECT_DEATH(AGCWrapper(kFs, 1, 160, 7), literal("retcode == RET_OK"));
    EXPECT_DEATH(AGCWrapper(48000, 1, 160, 1), literal("pp->blockSize % frameSize == 0"));
}
