// Echo canceller quality report (its own main, not a Google Benchmark): the time-domain Kalman
// canceller (aec_algorithm 300) next to the default canceller (201) and SpeexDSP's canceller
// (when built with it; one per microphone, 160-sample frames, tail 2400 samples) on simulated
// rooms: the default 7-microphone array, the loudspeaker 0.3 m from the array centre, far end
// guitar music or speech from ../shared/testdata. Figures on microphone 0 with
// the canceller alone (ns 0, agc 0, output aligned by delay()):
//   - echo only, 10 s, RT60 0.25 / 0.3 / 0.4 s: ERLE after the first 2 s and per second over the
//     first 5 s;
//   - steady state: 20 s of music or speech, ERLE over the last 10 s;
//   - an echo path change: the loudspeaker moves at 5 s; ERLE per second after the move;
//   - double talk: far end throughout, a near-end talker from 6 s to 10 s (also 10 dB louder
//     with the speech far end); ERLE of the echo-only
//     spans 2-6 s and 10-16 s, near-end SI-SDR in 6-10 s against the near end through the
//     pass-through chain;
//   - a clipping loudspeaker (the echo of a far end clipped at half its peak; the reference
//     unclipped) with diffuse noise 30 dB below the echo;
//   - two loudspeakers with two references.
// Usage: bench_aec_quality [partitions [scenes]]   (partitions: aec_power of 300, 0 for its
// default; scenes: a comma-separated subset of echo,steady,change,double,clip,two)

#include <sys/stat.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "scene/Scene.h"

#ifdef VELMORA_HAVE_SPEEXDSP
#include <speex/speex_echo.h>
#endif
#ifdef VELMORA_HAVE_WEBRTC_APM
#include "WebRTCEcho.h"
#endif

namespace {

using velmora::scene::erleDb;
using velmora::scene::Recording;
using velmora::scene::simulateEchoRoom;

constexpr int kFs = 16000;
constexpr int kFrame = 160;
constexpr int kSpeexTail = 2400;
int gPartitions = 0;

std::string dataDir() {
    return VELMORA_TESTDATA_DIR;
}

std::vector<float> loop(const std::vector<float>& x, int frames) {
    std::vector<float> y(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) y[i] = x[static_cast<size_t>(i) % x.size()];
    return y;
}

std::vector<float> concat(const std::string& dir, const std::vector<std::string>& files) {
    std::vector<float> x;
    for (const std::string& f : files) {
        const std::vector<float> s = velmora::scene::readMonoWav(dir + "/" + f, kFs);
        x.insert(x.end(), s.begin(), s.end());
        x.insert(x.end(), kFs / 5, 0.0f);
    }
    return x;
}

std::vector<float> span(const std::vector<float>& x, long from, long to) {
    to = std::min<long>(to, static_cast<long>(x.size()));
    return std::vector<float>(x.begin() + from, x.begin() + to);
}

std::vector<float> channel(const std::vector<float>& x, int channels, int c) {
    std::vector<float> y(x.size() / channels);
    for (size_t f = 0; f < y.size(); ++f) y[f] = x[f * channels + c];
    return y;
}

// Microphone 0 of the engine's output (canceller alone), aligned with the input.
std::vector<float> runEngine(int aec, int mics, int refs, const std::vector<float>& in,
                             double* seconds) {
    velmora::Params p;
    p.nummics = mics;
    p.numrefs = refs;
    p.numouts = 1;
    p.aec_algorithm = aec;
    p.aec_power = aec == 300 ? gPartitions : 0;
    p.ns_algorithm = 0;
    p.agc_algorithm = 0;
    p.init_time = 0.0f;
    velmora::Velmora engine(p);
    const int ch = mics + refs, frames = static_cast<int>(in.size()) / ch;
    const int delay = engine.delay();
    std::vector<float> block(static_cast<size_t>(kFrame) * ch), out(kFrame), y(frames, 0.0f);
    double t = 0.0;
    for (int f0 = 0; f0 < frames + delay; f0 += kFrame) {
        for (int i = 0; i < kFrame * ch; ++i) {
            const size_t src = static_cast<size_t>(f0) * ch + i;
            block[i] = src < in.size() ? in[src] : 0.0f;
        }
        const auto t0 = std::chrono::steady_clock::now();
        engine.process(block.data(), out.data());
        t += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        for (int i = 0; i < kFrame; ++i) {
            const int f = f0 + i - delay;
            if (f >= 0 && f < frames) y[f] = out[i];
        }
    }
    if (seconds) *seconds = t / (static_cast<double>(frames) / kFs);
    return y;
}

#ifdef VELMORA_HAVE_SPEEXDSP
std::vector<float> runSpeex(int mics, int refs, const std::vector<float>& in) {
    const int ch = mics + refs, frames = static_cast<int>(in.size()) / ch;
    SpeexEchoState* st = speex_echo_state_init_mc(kFrame, kSpeexTail, 1, refs);
    int rate = kFs;
    speex_echo_ctl(st, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    auto toInt = [](float v) {
        const float x = std::floor(v * 32768.0f + 0.5f);
        return static_cast<spx_int16_t>(std::min(32767.0f, std::max(-32768.0f, x)));
    };
    std::vector<spx_int16_t> ref(static_cast<size_t>(kFrame) * refs), mic(kFrame), res(kFrame);
    std::vector<float> y(frames, 0.0f);
    for (int f0 = 0; f0 + kFrame <= frames; f0 += kFrame) {
        for (int i = 0; i < kFrame; ++i) {
            for (int r = 0; r < refs; ++r)
                ref[static_cast<size_t>(i) * refs + r] =
                    toInt(in[static_cast<size_t>(f0 + i) * ch + mics + r]);
            mic[i] = toInt(in[static_cast<size_t>(f0 + i) * ch]);
        }
        speex_echo_cancellation(st, mic.data(), ref.data(), res.data());
        for (int i = 0; i < kFrame; ++i) y[f0 + i] = res[i] / 32768.0f;
    }
    speex_echo_state_destroy(st);
    return y;
}
#endif

// Runs the cancellers on `in` (WebRTC's with one reference only); prints ERLE over [from, to) of
// microphone 0 and the per-second ERLE of the first `perSecond` seconds.
void echoOnly(const char* name, const std::vector<float>& in, int mics, int refs, long from,
              long to, int perSecond) {
    const std::vector<float> mic0 = channel(in, mics + refs, 0);
    std::printf("%s\n", name);
    for (int which = 0; which < 3; ++which) {
        std::vector<float> out;
        double rtf = 0.0;
        const char* label = which == 0 ? "aec 300" : which == 1 ? "aec 201" : "SpeexDSP";
        if (which < 2) {
            out = runEngine(which == 0 ? 300 : 201, mics, refs, in, &rtf);
        } else {
#ifdef VELMORA_HAVE_SPEEXDSP
            out = runSpeex(mics, refs, in);
#else
            continue;
#endif
        }
        std::printf("  %-9s ERLE %6.2f dB  per second:", label,
                    erleDb(span(mic0, from, to), span(out, from, to)));
        for (int s = 0; s < perSecond; ++s)
            std::printf(" %5.1f", erleDb(span(mic0, s * kFs, (s + 1) * kFs),
                                         span(out, s * kFs, (s + 1) * kFs)));
        if (which < 2) std::printf("  RTF %.4f", rtf);
        std::printf("\n");
    }
#ifdef VELMORA_HAVE_WEBRTC_APM
    // Its output includes its non-linear suppressor; A_NLP is its own reading of its linear
    // filter's echo reduction (mean of the per-second readings over the span).
    const velmora::bench::WebRTCEchoResult w =
        velmora::bench::runWebRTCEcho(in, mics, mics + refs, false);
    if (refs == 1 && w.accepted) {
        std::printf("  %-9s ERLE %6.2f dB  per second:", "WebRTC",
                    erleDb(span(mic0, from, to), span(w.out, from, to)));
        for (int s = 0; s < perSecond; ++s)
            std::printf(" %5.1f", erleDb(span(mic0, s * kFs, (s + 1) * kFs),
                                         span(w.out, s * kFs, (s + 1) * kFs)));
        std::printf("  linear stage (A_NLP) %.1f dB\n",
                    velmora::bench::meanReading(w.linear, static_cast<int>(from / kFs),
                                                static_cast<int>(to / kFs)));
    }
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) gPartitions = std::atoi(argv[1]);
    const std::string data = dataDir();
    struct stat st;
    if (stat((data + "/music/guitar_16k.wav").c_str(), &st) != 0) {
        std::printf("bench_aec_quality: skipped, no recordings in %s\n", data.c_str());
        return 0;
    }
    const std::vector<float> guitar = concat(data + "/music", {"guitar_16k.wav"});
    const std::vector<float> speech =
        concat(data + "/speech", {"cmu_arctic_us_axb_a0004.wav", "cmu_arctic_us_axb_a0006.wav",
                                  "cmu_arctic_us_axb_a0005.wav", "arctic_a0010.wav"});
    std::vector<float> talk =
        concat(data + "/speech", {"cmu_arctic_us_aew_a0001.wav", "cmu_arctic_us_aew_a0002.wav"});
    talk.resize(4 * kFs);  // 4 s of double talk
    const int M = 7;
    const char* only = argc > 2 ? argv[2] : nullptr;
    auto want = [&](const char* tag) {
        return !only || std::string(only).find(tag) != std::string::npos;
    };

    std::printf("aec 300 partitions: %d (0 = default)\n", gPartitions);
    for (float rt60 : {0.25f, 0.3f, 0.4f})
        for (int w = 0; w < 2; ++w) {
            if (!want("echo")) continue;
            const std::vector<float> far = loop(w == 0 ? guitar : speech, 10 * kFs);
            const Recording rec = simulateEchoRoom(far, rt60, -120.0f);
            char name[128];
            std::snprintf(name, sizeof name, "echo only, %s, RT60 %.2f s: ERLE after 2 s",
                          w == 0 ? "music" : "speech", rt60);
            echoOnly(name, rec.mixture, M, 1, 2 * kFs, 10 * kFs, 5);
        }
    if (want("steady")) {
        for (int w = 0; w < 2; ++w) {
            const Recording rec =
                simulateEchoRoom(loop(w == 0 ? guitar : speech, 20 * kFs), 0.3f, -120.0f);
            echoOnly(w == 0 ? "steady state, music, RT60 0.3 s: ERLE 10-20 s"
                            : "steady state, speech, RT60 0.3 s: ERLE 10-20 s",
                     rec.mixture, M, 1, 10 * kFs, 20 * kFs, 5);
        }
    }
    if (want("change")) {
        // The loudspeaker moves at 5 s (the echo of another position from then on).
        const std::vector<float> far = loop(guitar, 10 * kFs);
        const Recording a = simulateEchoRoom(far, 0.3f, -120.0f),
                        b = simulateEchoRoom(far, 0.3f, 150.0f);
        std::vector<float> mix = a.mixture;
        for (size_t i = static_cast<size_t>(5 * kFs) * (M + 1); i < mix.size(); ++i)
            mix[i] = b.mixture[i];
        const std::vector<float> mic0 = channel(mix, M + 1, 0);
        for (int aec : {300, 201}) {
            const std::vector<float> out = runEngine(aec, M, 1, mix, nullptr);
            std::printf(
                "echo path change at 5 s, music, aec %d: ERLE 3-5 s %.1f dB, per second after:",
                aec, erleDb(span(mic0, 3 * kFs, 5 * kFs), span(out, 3 * kFs, 5 * kFs)));
            for (int sec = 5; sec < 10; ++sec)
                std::printf(" %5.1f", erleDb(span(mic0, sec * kFs, (sec + 1) * kFs),
                                             span(out, sec * kFs, (sec + 1) * kFs)));
            std::printf("\n");
        }
    }
    if (want("double")) {
        for (int w = 0; w < 3; ++w) {
            // The third case: speech far end, the near end 10 dB louder.
            const std::vector<float> far = loop(w == 0 ? guitar : speech, 16 * kFs);
            std::vector<float> near = talk;
            if (w == 2)
                for (float& v : near) v *= 3.16f;
            const Recording rec = simulateEchoRoom(far, 0.3f, -120.0f, near, 6 * kFs);
            const int ch = M + 1;
            std::vector<float> nearOnly(rec.mixture.size(), 0.0f);
            for (size_t f = 0; f < static_cast<size_t>(rec.frames); ++f)
                for (int m = 0; m < M; ++m) nearOnly[f * ch + m] = rec.nearEnd[f * M + m];
            const std::vector<float> target = runEngine(0, M, 1, nearOnly, nullptr);
            const std::vector<float> mic0 = channel(rec.mixture, ch, 0);
            const long a = 6 * kFs, b = 10 * kFs;
            std::printf(
                "double talk 6-10 s, %s far end; SI-SDR before %.2f dB\n",
                w == 0   ? "music"
                : w == 1 ? "speech"
                         : "speech (near end +10 dB)",
                velmora::scene::siSdrDb(span(runEngine(0, M, 1, rec.mixture, nullptr), a, b),
                                        span(target, a, b)));
            for (int aec : {300, 201}) {
                const std::vector<float> out = runEngine(aec, M, 1, rec.mixture, nullptr);
                std::printf(
                    "  aec %d: ERLE 2-6 s %.2f dB, 10-16 s %.2f dB, 10-11 s %.2f dB; near-end "
                    "SI-SDR 6-10 s %.2f dB\n",
                    aec, erleDb(span(mic0, 2 * kFs, a), span(out, 2 * kFs, a)),
                    erleDb(span(mic0, b, 16 * kFs), span(out, b, 16 * kFs)),
                    erleDb(span(mic0, b, 11 * kFs), span(out, b, 11 * kFs)),
                    velmora::scene::siSdrDb(span(out, a, b), span(target, a, b)));
            }
        }
    }
    if (want("clip")) {
        for (int w = 0; w < 2; ++w) {
            std::vector<float> far = loop(w == 0 ? guitar : speech, 10 * kFs);
            float peak = 0.0f;
            for (float v : far) peak = std::max(peak, std::fabs(v));
            std::vector<float> clipped = far;
            const float level = 0.5f;
            for (float& v : clipped) v = std::max(-level * peak, std::min(level * peak, v));
            Recording rec = simulateEchoRoom(clipped, 0.3f, -120.0f, {}, 0, 30.0f);
            for (size_t f = 0; f < far.size(); ++f) rec.mixture[f * (M + 1) + M] = far[f];
            char name[128];
            std::snprintf(name, sizeof name,
                          "clipping loudspeaker, %s, noise 30 dB below the echo: ERLE after 2 s",
                          w == 0 ? "music" : "speech");
            echoOnly(name, rec.mixture, M, 1, 2 * kFs, 10 * kFs, 5);
        }
    }
    if (want("two")) {
        const std::vector<float> left = loop(speech, 10 * kFs), right = loop(guitar, 10 * kFs);
        const Recording l = simulateEchoRoom(left, 0.3f, 40.0f),
                        r = simulateEchoRoom(right, 0.3f, -40.0f);
        const int ch = M + 2;
        std::vector<float> mix(static_cast<size_t>(l.frames) * ch);
        for (size_t f = 0; f < static_cast<size_t>(l.frames); ++f) {
            for (int m = 0; m < M; ++m) mix[f * ch + m] = l.echo[f * M + m] + r.echo[f * M + m];
            mix[f * ch + M] = left[f];
            mix[f * ch + M + 1] = right[f];
        }
        echoOnly("two loudspeakers (speech, music), two references: ERLE after 2 s", mix, M, 2,
                 2 * kFs, 10 * kFs, 5);
    }
    return 0;
}
