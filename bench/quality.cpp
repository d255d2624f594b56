// Quality report (its own main, not a Google Benchmark): echo reduction, near-end quality and
// speed of the engine's echo path on simulated scenes, next to the SpeexDSP and WebRTC echo
// cancellers.
//
// Scenes: the default 7-microphone array in a 5 x 4 x 3 m room, the loudspeaker 0.3 m from the
// array centre, a near-end talker at 60 degrees and 1 m. Four rooms: guitar music or speech as
// the far end, each (a) at RT60 0.3 s with pink noise 30 dB below the near end and (b) at RT60
// 0.4 s with a clipping loudspeaker (the far end clipped at a third of its peak before it is
// played; the reference is the clean signal) and recorded noise 20 dB below the near end.
// Time line: far end alone 0-20 s, double talk 20-28 s, far end alone again 28-33 s.
// For every configuration (conf/default.conf with init_time 0; the cancellers 201 and 300 alone,
// with the suppressors ns 1 and ns 300, and conf/echo.conf; the cancellers 101, 100 and 202
// alone) it prints
//   - ERLE = 10 log10(sum mic0^2 / sum out^2) per second over the first 5 s (convergence), over
//     2-20 s, in steady state (10-20 s) and after the double talk (28.5-33 s);
//   - near-end SI-SDR over the double talk: the output against the near end alone passed
//     through the same chain with its echo path idle (for the engine the pass-through chain:
//     high-pass filter and filter bank; for the other cancellers the near end at mic 0);
//   - the real-time factor (processing time / audio time) of all 7 microphones;
//   - for 101 and 202, the ERLE over 2-20 s at every microphone (202 cancels the echo of the
//     microphones other than the first through relative transfer functions).
// SpeexDSP (when built with it): one echo canceller per microphone, 160-sample frames, a tail of
// 2400 samples (the 15 blocks of 10 ms of our default canceller's filter), output of mic 0,
// with and without speex_preprocess residual-echo (and noise) suppression.
// WebRTC audio processing (when built with it): one module per microphone with only its echo
// canceller (high suppression, delay-agnostic mode off, reported delay 0, 10 ms frames), with
// the normal and with the extended filter. Its output includes its non-linear suppressor,
// which the module cannot switch off; the line below it gives the module's own reading of the
// echo its linear filter removes (A_NLP: the readings at the end of each second, then their
// means over the spans).
// Bounds: 'echo removed exactly' is the microphone minus its echo (near end and noise left), as
// the microphone holds it and through the engine's pass-through chain: no linear canceller can
// reach beyond it, only suppression can.
// Dereverberation: reverberant speech (RT60 0.6 s and 0.8 s, talker 1.5 m away) through the
// engine with dr_algorithm 1 (WPE) and 2 (two-level) for 1, 2, 4 and 7 microphones: SI-SDR of
// the output against the direct path and early reflections (50 ms) of microphone 0 taken
// through the same engine, overall and after the first 6 s.
// A configuration the build refuses is reported and skipped. Without ../shared/testdata the
// report is skipped with a message.
// Usage: bench_quality [CONF [ECHO_CONF]] [--only TEXT] [--no-dr]
// (default conf/default.conf and conf/echo.conf; --only runs the echo configurations whose label
// holds TEXT, --no-dr leaves out the dereverberation part)

#include <sys/stat.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Error.h"
#include "Params.h"
#include "app/Velmora.h"
#include "scene/Scene.h"

#ifdef VELMORA_HAVE_SPEEXDSP
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#endif
#ifdef VELMORA_HAVE_WEBRTC_APM
#include "WebRTCEcho.h"
#endif

using velmora::scene::Recording;
using velmora::scene::Scene;
using velmora::scene::Source;

namespace {

constexpr int kFs = 16000;
constexpr int kEchoOnlySeconds = 20;     // the far end alone
constexpr int kDoubleTalkEnd = 28;       // the near end talks from kEchoOnlySeconds to here
constexpr int kTotalSeconds = 33;        // then the far end alone again
constexpr int kSteadyFrom = 10;          // steady state: the last 10 s of the echo-only span
constexpr float kAfterTalkFrom = 28.5f;  // the near end's reverberation has died away
constexpr int kSpeexFrame = 160;
constexpr int kSpeexTail = 2400;  // 15 blocks of 160 samples: our canceller's default filter
constexpr int kSpeexPreprocessDelay = 160;  // the preprocessor's overlap delays by one frame

std::string testdata() {
    struct stat st;
    return stat(VELMORA_TESTDATA_DIR, &st) == 0 ? VELMORA_TESTDATA_DIR : "";
}

// A file of the checkout's conf/ folder: the test-data macro is "<source>/../shared/testdata".
std::string confFile(const char* name) {
    std::string dir = VELMORA_TESTDATA_DIR;
    const std::string tail = "/../shared/testdata";
    if (dir.size() > tail.size() && dir.compare(dir.size() - tail.size(), tail.size(), tail) == 0)
        return dir.substr(0, dir.size() - tail.size()) + "/conf/" + name;
    return std::string("conf/") + name;
}

std::vector<float> concat(const std::string& dir, const std::vector<std::string>& files,
                          int maxFrames) {
    std::vector<float> x;
    for (const std::string& f : files) {
        const std::vector<float> s = velmora::scene::readMonoWav(dir + "/" + f, kFs);
        x.insert(x.end(), s.begin(), s.end());
        x.insert(x.end(), kFs / 5, 0.0f);  // 0.2 s pause between sentences
    }
    if (static_cast<int>(x.size()) > maxFrames) x.resize(maxFrames);
    return x;
}

// x repeated until it is `frames` long.
std::vector<float> looped(const std::vector<float>& x, int frames) {
    std::vector<float> y(frames, 0.0f);
    if (x.empty()) return y;
    for (int n = 0; n < frames; ++n) y[n] = x[n % x.size()];
    return y;
}

std::vector<float> channel(const std::vector<float>& x, int channels, int ch) {
    std::vector<float> out(x.size() / channels);
    for (size_t f = 0; f < out.size(); ++f) out[f] = x[f * channels + ch];
    return out;
}

std::vector<float> span(const std::vector<float>& x, long from, long to) {
    from = std::max(0L, from);
    to = std::min<long>(to, static_cast<long>(x.size()));
    return to > from ? std::vector<float>(x.begin() + from, x.begin() + to) : std::vector<float>();
}

long at(float seconds) {
    return static_cast<long>(seconds * kFs);
}

struct Scenario {
    std::string name;
    Recording rec;
    std::vector<float> mic0, near0;
};

struct Room {
    const char* name;
    float rt60;
    bool clipping;  // the loudspeaker clips; the reference stays clean
    float noiseSnrDb;
    const std::vector<float>* noise;  // recorded noise, or null for pink noise
};

Scenario makeScene(const std::string& name, const std::vector<float>& farEnd,
                   const std::vector<float>& nearEnd, const Room& room) {
    Scene sc;
    sc.frames = kTotalSeconds * kFs;
    sc.room.rt60 = room.rt60;
    sc.mics = Scene::defaultArray();
    Source talker;
    talker.signal = nearEnd;
    talker.azimuth = 60.0f;
    talker.distance = 1.0f;
    talker.startFrame = kEchoOnlySeconds * kFs;
    sc.talkers = {talker};
    sc.hasLoudspeaker = true;
    sc.loudspeaker.signal = farEnd;
    float peak = 0.0f;
    for (float v : farEnd) peak = std::max(peak, std::fabs(v));
    if (room.clipping)
        for (float& v : sc.loudspeaker.signal)
            v = std::min(std::max(v, -peak / 3.0f), peak / 3.0f) * 2.0f;
    sc.loudspeaker.azimuth = -120.0f;
    sc.loudspeaker.distance = 0.3f;
    sc.loudspeaker.gain = 0.5f;
    sc.noiseSnrDb = room.noiseSnrDb;
    if (room.noise) sc.noiseSignal = *room.noise;
    sc.seed = 3;
    Scenario s{name, velmora::scene::simulate(sc), {}, {}};
    const int channels = s.rec.numMics + s.rec.numRefs;
    if (room.clipping)  // the reference is what the loudspeaker was asked to play
        for (int f = 0; f < s.rec.frames; ++f)
            s.rec.mixture[static_cast<size_t>(f) * channels + s.rec.numMics] =
                sc.loudspeaker.gain * (f < static_cast<int>(farEnd.size()) ? farEnd[f] : 0.0f);
    // Keep the recording inside [-1, 1]: scale everything alike.
    peak = 0.0f;
    for (float v : s.rec.mixture) peak = std::max(peak, std::fabs(v));
    if (peak > 0.9f) {
        const float g = 0.9f / peak;
        for (auto* x : {&s.rec.mixture, &s.rec.nearEnd, &s.rec.echo, &s.rec.noise})
            for (float& v : *x) v *= g;
    }
    s.mic0 = channel(s.rec.mixture, channels, 0);
    s.near0 = channel(s.rec.nearEnd, s.rec.numMics, 0);
    return s;
}

double erle(const Scenario& s, const std::vector<float>& out, float from, float to) {
    return velmora::scene::erleDb(span(s.mic0, at(from), at(to)), span(out, at(from), at(to)));
}

void printHeader() {
    std::printf("  %-34s %-29s %7s %7s %7s %7s %8s\n", "", "ERLE per second 0-5 s (dB)", "2-20 s",
                "steady", "after", "SI-SDR", "RTF");
}

// One result line for the output `out` (aligned with the input: out[n] belongs to frame n),
// against `target`, the near end as this chain delivers it with its echo path idle.
// --only TEXT: the configurations whose label holds TEXT (all when empty).
std::string onlyLabel;

bool skipped(const std::string& label) {
    return !onlyLabel.empty() && label.find(onlyLabel) == std::string::npos;
}

void report(const std::string& label, const Scenario& s, const std::vector<float>& out,
            double seconds, const std::vector<float>& target) {
    std::printf("  %-34s", label.c_str());
    for (int sec = 0; sec < 5; ++sec) std::printf(" %5.1f", erle(s, out, sec, sec + 1));
    std::printf(" %7.2f %7.2f %7.2f", erle(s, out, 2, kEchoOnlySeconds),
                erle(s, out, kSteadyFrom, kEchoOnlySeconds),
                erle(s, out, kAfterTalkFrom, kTotalSeconds));
    std::printf(" %7.2f",
                velmora::scene::siSdrDb(span(out, at(kEchoOnlySeconds), at(kDoubleTalkEnd)),
                                        span(target, at(kEchoOnlySeconds), at(kDoubleTalkEnd))));
    std::printf(" %8.4f\n", seconds / kTotalSeconds);
    std::fflush(stdout);
}

// Runs `input` (frame-major, the scene's channels) through an engine built from `params`;
// returns output channel `outChannel` shifted back by delay() and adds the processing time.
std::vector<float> process(const velmora::Params& params, const std::vector<float>& input,
                           int channels, int frames, double* seconds, int outChannel = 0) {
    velmora::Velmora engine(params);
    if (engine.numIns() != channels)
        velmora::error("Quality", "the engine takes %d channels, the scene has %d", engine.numIns(),
                       channels);
    const int block = engine.inFramesPerBlock();
    const int outCh = engine.numOuts();
    std::vector<float> in(static_cast<size_t>(block) * channels);
    std::vector<float> outBlock(static_cast<size_t>(engine.outFramesPerBlock()) * outCh);
    std::vector<float> out;
    for (int f0 = 0; f0 + block <= frames; f0 += block) {
        std::copy(input.begin() + static_cast<size_t>(f0) * channels,
                  input.begin() + static_cast<size_t>(f0 + block) * channels, in.begin());
        const auto t0 = std::chrono::steady_clock::now();
        engine.process(in.data(), outBlock.data());
        *seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        for (int i = 0; i < engine.outFramesPerBlock(); ++i)
            out.push_back(outBlock[static_cast<size_t>(i) * outCh + outChannel]);
    }
    const int delay = engine.delay();
    std::vector<float> aligned(frames, 0.0f);
    for (int n = 0; n + delay < static_cast<int>(out.size()); ++n) aligned[n] = out[n + delay];
    return aligned;
}

void runEngine(const std::string& label, const velmora::Params& params, const Scenario& s,
               const std::vector<float>& chainTarget) {
    if (skipped(label)) return;
    try {
        double seconds = 0.0;
        const std::vector<float> out =
            process(params, s.rec.mixture, s.rec.numMics + s.rec.numRefs, s.rec.frames, &seconds);
        report(label, s, out, seconds, chainTarget);
    } catch (const char* e) {
        std::printf("  %-34s refused: %s\n", label.c_str(), e);
    }
}

// ERLE after the first 2 s of the echo-only span at every microphone (every channel passed
// through to the output): the relative-transfer-function canceller's other microphones.
void perMicrophoneErle(const char* label, velmora::Params params, const Scenario& s) {
    if (skipped(label)) return;
    params.numouts = s.rec.numMics;
    const int channels = s.rec.numMics + s.rec.numRefs;
    std::printf("  %-40s ERLE 2-20 s per microphone:", label);
    try {
        for (int m = 0; m < s.rec.numMics; ++m) {
            double seconds = 0.0;
            const std::vector<float> out =
                process(params, s.rec.mixture, channels, s.rec.frames, &seconds, m);
            const std::vector<float> mic = channel(s.rec.mixture, channels, m);
            const long from = 2L * kFs, to = static_cast<long>(kEchoOnlySeconds) * kFs;
            std::printf(" %5.1f", velmora::scene::erleDb(span(mic, from, to), span(out, from, to)));
        }
        std::printf(" dB\n");
    } catch (const char* e) {
        std::printf(" refused: %s\n", e);
    }
}

// The near end alone (references silent) through the pass-through chain of `params`.
// Microphone signals `mics` (frame-major, numMics channels) through the engine's pass-through
// chain (high-pass filter and filter bank, references silent); output channel 0, aligned.
std::vector<float> passThrough(velmora::Params params, const Scenario& s,
                               const std::vector<float>& mics) {
    params.aec_algorithm = params.ns_algorithm = params.agc_algorithm = 0;
    const int channels = s.rec.numMics + s.rec.numRefs;
    std::vector<float> input(static_cast<size_t>(s.rec.frames) * channels, 0.0f);
    for (int f = 0; f < s.rec.frames; ++f)
        for (int m = 0; m < s.rec.numMics; ++m)
            input[static_cast<size_t>(f) * channels + m] =
                mics[static_cast<size_t>(f) * s.rec.numMics + m];
    double seconds = 0.0;
    return process(params, input, channels, s.rec.frames, &seconds);
}

// The near end alone as the engine's chain delivers it.
std::vector<float> chainTarget(const velmora::Params& params, const Scenario& s) {
    try {
        return passThrough(params, s, s.rec.nearEnd);
    } catch (const char* e) {
        std::printf("  (no chain target: %s)\n", e);
        return s.near0;
    }
}

// The bound of every linear canceller: the echo removed exactly, only noise and near end left;
// as the microphone holds it (the line for SpeexDSP and WebRTC) and through the engine's
// pass-through chain (for the engine: its high-pass filter removes some of the noise too).
void exactRemoval(const velmora::Params& params, const Scenario& s,
                  const std::vector<float>& target) {
    std::vector<float> left(s.rec.nearEnd.size());
    for (size_t i = 0; i < left.size(); ++i) left[i] = s.rec.nearEnd[i] + s.rec.noise[i];
    report("echo removed exactly (noise left)", s, channel(left, s.rec.numMics, 0), 0.0, s.near0);
    try {
        report("  the same through HPF and bank", s, passThrough(params, s, left), 0.0, target);
    } catch (const char* e) {
        std::printf("  (no pass-through chain: %s)\n", e);
    }
}

int16_t toInt16(float v) {
    const float x = std::floor(v * 32768.0f + 0.5f);
    return static_cast<int16_t>(std::min(32767.0f, std::max(-32768.0f, x)));
}

#ifdef VELMORA_HAVE_SPEEXDSP
void runSpeex(const char* label, const Scenario& s, bool preprocess) {
    if (skipped(label)) return;
    const int mics = s.rec.numMics, channels = s.rec.numMics + s.rec.numRefs;
    std::vector<SpeexEchoState*> echo(mics);
    int rate = kFs;
    for (auto& st : echo) {
        st = speex_echo_state_init(kSpeexFrame, kSpeexTail);
        speex_echo_ctl(st, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    }
    SpeexPreprocessState* pre = nullptr;
    if (preprocess) {
        pre = speex_preprocess_state_init(kSpeexFrame, kFs);
        speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_ECHO_STATE, echo[0]);
    }
    std::vector<spx_int16_t> ref(kSpeexFrame), mic(kSpeexFrame), res(kSpeexFrame);
    std::vector<float> out(s.rec.frames, 0.0f);
    double seconds = 0.0;
    for (int f0 = 0; f0 + kSpeexFrame <= s.rec.frames; f0 += kSpeexFrame) {
        for (int i = 0; i < kSpeexFrame; ++i)
            ref[i] = toInt16(s.rec.mixture[static_cast<size_t>(f0 + i) * channels + mics]);
        const auto t0 = std::chrono::steady_clock::now();
        for (int m = mics - 1; m >= 0; --m) {  // mic 0 last: its result stays in `res`
            for (int i = 0; i < kSpeexFrame; ++i)
                mic[i] = toInt16(s.rec.mixture[static_cast<size_t>(f0 + i) * channels + m]);
            speex_echo_cancellation(echo[m], mic.data(), ref.data(), res.data());
        }
        if (pre) speex_preprocess_run(pre, res.data());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const int shift = pre ? kSpeexPreprocessDelay : 0;
        for (int i = 0; i < kSpeexFrame; ++i)
            if (f0 + i - shift >= 0) out[f0 + i - shift] = res[i] / 32768.0f;
    }
    report(label, s, out, seconds, s.near0);
    if (pre) speex_preprocess_state_destroy(pre);
    for (auto* st : echo) speex_echo_state_destroy(st);
}
#endif

#ifdef VELMORA_HAVE_WEBRTC_APM
// The WebRTC module's canceller (see WebRTCEcho.h), then its own reading of its linear stage.
void runWebRTC(const char* label, const Scenario& s, bool extendedFilter) {
    if (skipped(label)) return;
    const velmora::bench::WebRTCEchoResult r = velmora::bench::runWebRTCEcho(
        s.rec.mixture, s.rec.numMics, s.rec.numMics + s.rec.numRefs, extendedFilter);
    if (!r.accepted) {
        std::printf("  %-34s refused: the module did not accept the settings\n", label);
        return;
    }
    report(label, s, r.out, r.seconds, s.near0);
    // Readings per second over the first 5 s, then their means over the spans of the report.
    std::printf("  %-34s", "  its linear stage (own A_NLP)");
    for (int sec = 0; sec < 5; ++sec)  // -100: no reading yet
        r.linear[sec] > -100.0 ? std::printf(" %5.1f", r.linear[sec]) : std::printf("     -");
    std::printf(
        " %7.2f %7.2f %7.2f\n", velmora::bench::meanReading(r.linear, 2, kEchoOnlySeconds),
        velmora::bench::meanReading(r.linear, kSteadyFrom, kEchoOnlySeconds),
        velmora::bench::meanReading(r.linear, static_cast<int>(kAfterTalkFrom), kTotalSeconds));
}
#endif

// Channels [0, m) of a frame-major recording of `total` channels.
std::vector<float> firstChannels(const std::vector<float>& x, int total, int m) {
    std::vector<float> y;
    y.reserve(x.size() / total * m);
    for (size_t f = 0; f < x.size() / total; ++f)
        y.insert(y.end(), x.begin() + f * total, x.begin() + f * total + m);
    return y;
}

// Output channel 0 of an engine with dereverberation as the only adaptive stage, aligned.
std::vector<float> dereverberate(int dr, int mics, const std::vector<float>& in, double* seconds) {
    velmora::Params p;
    p.nummics = mics;
    p.numrefs = 0;
    p.aec_algorithm = p.ns_algorithm = p.agc_algorithm = 0;
    p.init_time = 0.0f;
    p.dr_algorithm = dr;
    const int frames = static_cast<int>(in.size() / mics);
    return process(p, in, mics, frames, seconds);
}

void dereverberation(const std::string& data) {
    const std::vector<float> dry =
        concat(data + "/speech",
               {"cmu_arctic_us_aew_a0001.wav", "cmu_arctic_us_axb_a0004.wav",
                "cmu_arctic_us_aew_a0002.wav", "cmu_arctic_us_axb_a0005.wav",
                "cmu_arctic_us_aew_a0003.wav", "cmu_arctic_us_axb_a0006.wav", "arctic_a0010.wav"},
               16 * kFs);
    const long skip = 6L * kFs;
    std::printf(
        "\nDereverberation: speech 1.5 m from the array, SI-SDR of the output against the direct "
        "path and early reflections of mic 0 (overall / after 6 s)\n");
    for (float rt60 : {0.6f, 0.8f}) {
        Scene sc;
        sc.frames = static_cast<int>(dry.size());
        sc.room.rt60 = rt60;
        sc.mics = Scene::defaultArray();
        Source talker;
        talker.signal = dry;
        talker.azimuth = 30.0f;
        talker.distance = 1.5f;
        talker.gain = 0.5f;
        sc.talkers = {talker};
        const Recording rec = velmora::scene::simulate(sc);
        double seconds = 0.0;
        const std::vector<float> target =
            dereverberate(0, 1, firstChannels(rec.nearEarly, 7, 1), &seconds);
        const std::vector<float> plain =
            dereverberate(0, 1, firstChannels(rec.mixture, 7, 1), &seconds);
        const long end = static_cast<long>(target.size());
        std::printf("  RT60 %.1f s: unprocessed %6.2f / %6.2f dB\n", rt60,
                    velmora::scene::siSdrDb(plain, target),
                    velmora::scene::siSdrDb(span(plain, skip, end), span(target, skip, end)));
        for (int m : {1, 2, 4, 7})
            for (int dr : {1, 2}) {
                seconds = 0.0;
                const std::vector<float> out =
                    dereverberate(dr, m, firstChannels(rec.mixture, 7, m), &seconds);
                std::printf("    dr %d, %d mic%s: %6.2f / %6.2f dB  RTF %.4f\n", dr, m,
                            m == 1 ? " " : "s", velmora::scene::siSdrDb(out, target),
                            velmora::scene::siSdrDb(span(out, skip, end), span(target, skip, end)),
                            seconds / (static_cast<double>(end) / kFs));
            }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string data = testdata();
    if (data.empty()) {
        std::printf("bench_quality: skipped, the shared recordings (%s) are not there\n",
                    VELMORA_TESTDATA_DIR);
        return 0;
    }
    std::vector<std::string> paths;
    bool withDereverberation = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-dr")
            withDereverberation = false;
        else if (arg == "--only" && i + 1 < argc)
            onlyLabel = argv[++i];
        else
            paths.push_back(arg);
    }
    const std::string confPath = paths.size() > 0 ? paths[0] : confFile("default.conf");
    const std::string echoPath = paths.size() > 1 ? paths[1] : confFile("echo.conf");
    velmora::Params base, echoConf;
    try {
        base = velmora::Params(confPath.c_str());
    } catch (const char* e) {
        std::printf("bench_quality: cannot read %s: %s\n", confPath.c_str(), e);
        return 1;
    }
    base.init_time = 0.0f;
    bool haveEcho = true;
    try {
        echoConf = velmora::Params(echoPath.c_str());
        echoConf.init_time = 0.0f;
    } catch (const char* e) {
        std::printf("bench_quality: cannot read %s (its lines are skipped): %s\n", echoPath.c_str(),
                    e);
        haveEcho = false;
    }

    const int total = kTotalSeconds * kFs;
    const std::vector<float> nearSpeech =
        concat(data + "/speech", {"cmu_arctic_us_aew_a0001.wav", "cmu_arctic_us_aew_a0002.wav"},
               (kDoubleTalkEnd - kEchoOnlySeconds) * kFs);
    const std::vector<float> farSpeech = looped(
        concat(data + "/speech",
               {"cmu_arctic_us_axb_a0004.wav", "cmu_arctic_us_axb_a0006.wav",
                "cmu_arctic_us_axb_a0005.wav", "arctic_a0010.wav", "cmu_arctic_us_aew_a0003.wav"},
               total),
        total);
    const std::vector<float> guitar =
        looped(concat(data + "/music", {"guitar_16k.wav"}, total), total);
    const std::vector<float> bike = velmora::scene::readMonoWav(data + "/noise/bike_20s.wav", kFs);

    std::printf(
        "Echo path quality: 7 microphones + 1 reference, loudspeaker 0.3 m away; far end alone "
        "0-%d s, double talk %d-%d s (SI-SDR), far end alone %d-%d s ('after': ERLE from %.1f s)\n",
        kEchoOnlySeconds, kEchoOnlySeconds, kDoubleTalkEnd, kDoubleTalkEnd, kTotalSeconds,
        kAfterTalkFrom);
    std::printf("Configurations: %s, %s (init_time 0)\n", confPath.c_str(), echoPath.c_str());
    const Room rooms[] = {
        {"RT60 0.3 s, noise 30 dB below the near end", 0.3f, false, 30.0f, nullptr},
        {"RT60 0.4 s, clipping loudspeaker, bike noise 20 dB below the near end", 0.4f, true, 20.0f,
         &bike}};
    for (const Room& room : rooms)
        for (int which = 0; which < 2; ++which) {
            const Scenario s =
                makeScene(std::string(which == 0 ? "far end: guitar music" : "far end: speech") +
                              "; " + room.name,
                          which == 0 ? guitar : farSpeech, nearSpeech, room);
            const long dt0 = at(kEchoOnlySeconds), dt1 = at(kDoubleTalkEnd);
            std::printf("\n%s; near-end SI-SDR at mic 0: %.2f dB\n", s.name.c_str(),
                        velmora::scene::siSdrDb(span(s.mic0, dt0, dt1), span(s.near0, dt0, dt1)));
            printHeader();
            char label[128];
            const std::vector<float> target = chainTarget(base, s);
            exactRemoval(base, s, target);
            std::snprintf(label, sizeof label, "default (aec %d, ns %d, agc %d)",
                          base.aec_algorithm, base.ns_algorithm, base.agc_algorithm);
            runEngine(label, base, s, target);
            velmora::Params aecOnly = base;
            aecOnly.ns_algorithm = 0;
            aecOnly.agc_algorithm = 0;
            aecOnly.aec_algorithm = 201;
            runEngine("aec 201 alone", aecOnly, s, target);
            velmora::Params withNs = aecOnly;
            withNs.ns_algorithm = 1;
            runEngine("aec 201 + ns 1", withNs, s, target);
            for (int alg : {101, 100, 202}) {
                velmora::Params other = aecOnly;
                other.aec_algorithm = alg;
                std::snprintf(label, sizeof label, "aec %d alone", alg);
                runEngine(label, other, s, target);
                if (alg != 100) perMicrophoneErle(label, other, s);
            }
            if (haveEcho) {
                withNs.ns_algorithm = 300;
                withNs.ns_level = echoConf.ns_level;
                runEngine("aec 201 + ns 300", withNs, s, target);
                velmora::Params echoOnly = echoConf;
                echoOnly.ns_algorithm = 0;
                echoOnly.agc_algorithm = 0;
                std::snprintf(label, sizeof label, "aec %d alone", echoOnly.aec_algorithm);
                runEngine(label, echoOnly, s, target);
                std::snprintf(label, sizeof label, "echo.conf (aec %d, ns %d, agc %d)",
                              echoConf.aec_algorithm, echoConf.ns_algorithm,
                              echoConf.agc_algorithm);
                runEngine(label, echoConf, s, target);
            }
#ifdef VELMORA_HAVE_SPEEXDSP
            runSpeex("SpeexDSP (tail 2400)", s, false);
            runSpeex("SpeexDSP + preprocess", s, true);
#else
            std::printf("  SpeexDSP: not installed (libspeexdsp-dev), comparison skipped\n");
#endif
#ifdef VELMORA_HAVE_WEBRTC_APM
            runWebRTC("WebRTC AEC (high suppression)", s, false);
            runWebRTC("WebRTC AEC, extended filter", s, true);
#else
            std::printf("  WebRTC audio processing: not built in, comparison skipped\n");
#endif
        }
    if (withDereverberation) dereverberation(data);
    return 0;
}
