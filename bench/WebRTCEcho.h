#pragma once
// The WebRTC audio processing module's echo canceller as the quality reports run it: one module
// per microphone with only its echo canceller on (high suppression, drift compensation and the
// delay-agnostic mode off, reported delay 0, 10 ms frames, the normal or the extended filter).
// Its output includes its non-linear suppressor, which the module cannot switch off; the module's
// own reading of the echo its linear filter removes (A_NLP, dB, before that suppressor) is
// returned per second next to it.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

namespace velmora::bench {

// The canceller's framing delay at 16 kHz (measured): output sample n belongs to input n - 112.
constexpr int kWebRTCDelay = 112;

struct WebRTCEchoResult {
    bool accepted = false;       // false: the module refused the settings
    std::vector<float> out;      // microphone 0, aligned with the input
    std::vector<double> linear;  // A_NLP read at the end of every second; -100: no reading
    double seconds = 0.0;        // processing time of all microphones
};

// `mixture`: frame-major, `mics` microphones then the reference (channel `mics`), 16 kHz.
inline WebRTCEchoResult runWebRTCEcho(const std::vector<float>& mixture, int mics, int channels,
                                      bool extendedFilter) {
    constexpr int kFs = 16000, kFrame = kFs / 100;
    using AP = webrtc::AudioProcessing;
    const int frames = static_cast<int>(mixture.size() / channels);
    WebRTCEchoResult r;
    std::vector<std::unique_ptr<AP>> apm(mics);
    for (auto& a : apm) {
        webrtc::Config config;
        config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(extendedFilter));
        config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(false));
        config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
        config.Set<webrtc::ExperimentalNs>(new webrtc::ExperimentalNs(false));
        a.reset(AP::Create(config));
        webrtc::EchoCancellation* ec = a ? a->echo_cancellation() : nullptr;
        if (!a || a->Initialize(kFs, kFs, kFs, AP::kMono, AP::kMono, AP::kMono) != AP::kNoError ||
            ec->enable_drift_compensation(false) != 0 ||
            ec->set_suppression_level(webrtc::EchoCancellation::kHighSuppression) != 0 ||
            ec->Enable(true) != 0 || ec->enable_metrics(true) != 0)
            return r;
    }
    auto toInt16 = [](float v) {
        const float x = std::floor(v * 32768.0f + 0.5f);
        return static_cast<int16_t>(std::min(32767.0f, std::max(-32768.0f, x)));
    };
    webrtc::AudioFrame far, near;
    for (auto* f : {&far, &near}) {
        f->sample_rate_hz_ = kFs;
        f->num_channels_ = 1;
        f->samples_per_channel_ = kFrame;
    }
    r.out.assign(frames, 0.0f);
    r.linear.assign(frames / kFs + 1, -100.0);
    for (int f0 = 0; f0 + kFrame <= frames; f0 += kFrame) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int m = mics - 1; m >= 0; --m) {  // mic 0 last: its result stays in `near`
            for (int i = 0; i < kFrame; ++i) {
                far.data_[i] = toInt16(mixture[static_cast<size_t>(f0 + i) * channels + mics]);
                near.data_[i] = toInt16(mixture[static_cast<size_t>(f0 + i) * channels + m]);
            }
            apm[m]->AnalyzeReverseStream(&far);
            apm[m]->set_stream_delay_ms(0);
            apm[m]->ProcessStream(&near);
        }
        r.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        for (int i = 0; i < kFrame; ++i)
            if (f0 + i - kWebRTCDelay >= 0) r.out[f0 + i - kWebRTCDelay] = near.data_[i] / 32768.0f;
        if ((f0 + kFrame) % kFs == 0) {
            webrtc::EchoCancellation::Metrics metrics;
            if (apm[0]->echo_cancellation()->GetMetrics(&metrics) == 0)
                r.linear[(f0 + kFrame) / kFs - 1] = metrics.a_nlp.instant;
        }
    }
    r.accepted = true;
    return r;
}

// Mean of the readings of seconds [from, to) that exist; -100 when none does.
inline double meanReading(const std::vector<double>& linear, int from, int to) {
    double sum = 0.0;
    int n = 0;
    for (int s = from; s < to && s < static_cast<int>(linear.size()); ++s)
        if (linear[s] > -100.0) sum += linear[s], ++n;
    return n > 0 ? sum / n : -100.0;
}

}  // namespace velmora::bench
