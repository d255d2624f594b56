// Quality report (its own main, not a Google Benchmark): echo reduction, near-end quality and
// speed of the engine's echo path on simulated scenes, next to SpeexDSP's echo canceller.
//
// Scenes: the default 7-microphone array in a 5 x 4 x 3 m room (RT60 0.25 s), the loudspeaker
// 0.25 m from the array centre, a near-end talker at 60 degrees and 1 m, diffuse noise 30 dB
// below the near end. The far end (guitar music, or speech) plays alone for the first 5 s (the
// echo-only span), then the near end talks as well (double talk, 5 s .. 10 s).
// For every configuration (conf/default.conf with init_time 0; echo canceller only; the other
// cancellers 101, 100 and 202 alone; echo canceller and residual-echo suppressor) it prints
//   - ERLE = 10 log10(sum mic0^2 / sum out^2) over the echo-only span, overall, after its first
//     2 s, and per second;
//   - near-end SI-SDR over the double-talk span: before (mic 0 against the near end at mic 0)
//     and after (the output, shifted back by delay(), against the same target);
//   - the real-time factor (processing time / audio time);
//   - for 101 and 202, the ERLE after 2 s at every microphone (202 cancels the echo of the
//     microphones other than the first through relative transfer functions).
// SpeexDSP (when built with it): one echo canceller per microphone, 160-sample frames, a tail of
// 2400 samples (the 15 blocks of 10 ms of our canceller's default filter), output of mic 0,
// with and without speex_preprocess residual-echo (and noise) suppression.
// Dereverberation: reverberant speech (RT60 0.6 s and 0.8 s, talker 1.5 m away) through the
// engine with dr_algorithm 1 (WPE) and 2 (two-level) for 1, 2, 4 and 7 microphones: SI-SDR of
// the output against the direct path and early reflections (50 ms) of microphone 0 taken
// through the same engine, overall and after the first 6 s.
// A configuration the build refuses is reported and skipped. Without ../shared/testdata the
// report is skipped with a message. Usage: bench_quality [CONF]   (default conf/default.conf)

#include <sys/stat.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
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

using velmora::scene::Recording;
using velmora::scene::Scene;
using velmora::scene::Source;

namespace {

constexpr int kFs = 16000;
constexpr int kEchoOnlySeconds = 5;  // the far end alone
constexpr int kTotalSeconds = 10;
constexpr int kSpeexFrame = 160;
constexpr int kSpeexTail = 2400;  // 15 blocks of 160 samples: our canceller's default filter
constexpr int kSpeexPreprocessDelay = 160;  // the preprocessor's overlap delays by one frame

std::string testdata() {
    struct stat st;
    return stat(VELMORA_TESTDATA_DIR, &st) == 0 ? VELMORA_TESTDATA_DIR : "";
}

// The checkout: the test-data macro is "<source>/../shared/testdata".
std::string defaultConf() {
    std::string dir = VELMORA_TESTDATA_DIR;
    const std::string tail = "/../shared/testdata";
    if (dir.size() > tail.size() && dir.compare(dir.size() - tail.size(), tail.size(), tail) == 0)
        return dir.substr(0, dir.size() - tail.size()) + "/conf/default.conf";
    return "conf/default.conf";
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

struct Scenario {
    const char* name;
    Recording rec;
    std::vector<float> mic0, near0;
};

Scenario makeScene(const char* name, const std::vector<float>& farEnd,
                   const std::vector<float>& nearEnd) {
    Scene sc;
    sc.frames = kTotalSeconds * kFs;
    sc.room.rt60 = 0.25f;
    sc.mics = Scene::defaultArray();
    Source talker;
    talker.signal = nearEnd;
    talker.azimuth = 60.0f;
    talker.distance = 1.0f;
    talker.startFrame = kEchoOnlySeconds * kFs;
    sc.talkers = {talker};
    sc.hasLoudspeaker = true;
    sc.loudspeaker.signal = farEnd;
    sc.loudspeaker.azimuth = -120.0f;
    sc.loudspeaker.distance = 0.25f;
    sc.loudspeaker.gain = 0.5f;
    sc.noiseSnrDb = 30.0f;
    sc.seed = 3;
    Scenario s{name, velmora::scene::simulate(sc), {}, {}};
    // Keep the recording inside [-1, 1]: scale everything alike.
    float peak = 0.0f;
    for (float v : s.rec.mixture) peak = std::max(peak, std::fabs(v));
    if (peak > 0.9f) {
        const float g = 0.9f / peak;
        for (auto* x : {&s.rec.mixture, &s.rec.nearEnd, &s.rec.echo, &s.rec.noise})
            for (float& v : *x) v *= g;
    }
    s.mic0 = channel(s.rec.mixture, s.rec.numMics + s.rec.numRefs, 0);
    s.near0 = channel(s.rec.nearEnd, s.rec.numMics, 0);
    return s;
}

// Prints one result line: output `out` (aligned with the input: out[n] belongs to frame n).
// `chainTarget` (engine runs only) is the near end as the engine's pass-through chain delivers
// it (high-pass filtered), the target a perfect echo path of that chain would reach.
void report(const char* label, const Scenario& s, const std::vector<float>& out, double seconds,
            const std::vector<float>* chainTarget) {
    const long echoEnd = static_cast<long>(kEchoOnlySeconds) * kFs;
    const long end = static_cast<long>(kTotalSeconds) * kFs;
    const long settled = 2L * kFs;
    std::printf(
        "  %-40s ERLE %6.2f dB (after 2 s %6.2f dB)  per second:", label,
        velmora::scene::erleDb(span(s.mic0, 0, echoEnd), span(out, 0, echoEnd)),
        velmora::scene::erleDb(span(s.mic0, settled, echoEnd), span(out, settled, echoEnd)));
    for (int sec = 0; sec < kEchoOnlySeconds; ++sec)
        std::printf(" %5.1f", velmora::scene::erleDb(span(s.mic0, sec * kFs, (sec + 1) * kFs),
                                                     span(out, sec * kFs, (sec + 1) * kFs)));
    std::printf("  SI-SDR after %6.2f dB",
                velmora::scene::siSdrDb(span(out, echoEnd, end), span(s.near0, echoEnd, end)));
    if (chainTarget)
        std::printf(
            " (%6.2f dB vs chain)",
            velmora::scene::siSdrDb(span(out, echoEnd, end), span(*chainTarget, echoEnd, end)));
    else
        std::printf("                    ");
    std::printf("  RTF %.4f\n", seconds / kTotalSeconds);
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

void runEngine(const char* label, const velmora::Params& params, const Scenario& s,
               const std::vector<float>& chainTarget) {
    try {
        double seconds = 0.0;
        const std::vector<float> out =
            process(params, s.rec.mixture, s.rec.numMics + s.rec.numRefs, s.rec.frames, &seconds);
        report(label, s, out, seconds, &chainTarget);
    } catch (const char* e) {
        std::printf("  %-40s refused: %s\n", label, e);
    }
}

// ERLE after the first 2 s of the echo-only span at every microphone (every channel passed
// through to the output): the relative-transfer-function canceller's other microphones.
void perMicrophoneErle(const char* label, velmora::Params params, const Scenario& s) {
    params.numouts = s.rec.numMics;
    const int channels = s.rec.numMics + s.rec.numRefs;
    std::printf("  %-40s ERLE after 2 s per microphone:", label);
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
std::vector<float> chainTarget(velmora::Params params, const Scenario& s) {
    params.aec_algorithm = params.ns_algorithm = params.agc_algorithm = 0;
    const int channels = s.rec.numMics + s.rec.numRefs;
    std::vector<float> input(static_cast<size_t>(s.rec.frames) * channels, 0.0f);
    for (int f = 0; f < s.rec.frames; ++f)
        for (int m = 0; m < s.rec.numMics; ++m)
            input[static_cast<size_t>(f) * channels + m] =
                s.rec.nearEnd[static_cast<size_t>(f) * s.rec.numMics + m];
    double seconds = 0.0;
    try {
        return process(params, input, channels, s.rec.frames, &seconds);
    } catch (const char* e) {
        std::printf("  (no chain target: %s)\n", e);
        return s.near0;
    }
}

#ifdef VELMORA_HAVE_SPEEXDSP
void runSpeex(const char* label, const Scenario& s, bool preprocess) {
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
    auto toInt = [](float v) {
        const float x = std::floor(v * 32768.0f + 0.5f);
        return static_cast<spx_int16_t>(std::min(32767.0f, std::max(-32768.0f, x)));
    };
    std::vector<spx_int16_t> ref(kSpeexFrame), mic(kSpeexFrame), res(kSpeexFrame);
    std::vector<float> out(s.rec.frames, 0.0f);
    double seconds = 0.0;
    for (int f0 = 0; f0 + kSpeexFrame <= s.rec.frames; f0 += kSpeexFrame) {
        for (int i = 0; i < kSpeexFrame; ++i)
            ref[i] = toInt(s.rec.mixture[static_cast<size_t>(f0 + i) * channels + mics]);
        const auto t0 = std::chrono::steady_clock::now();
        for (int m = mics - 1; m >= 0; --m) {  // mic 0 last: its result stays in `res`
            for (int i = 0; i < kSpeexFrame; ++i)
                mic[i] = toInt(s.rec.mixture[static_cast<size_t>(f0 + i) * channels + m]);
            speex_echo_cancellation(echo[m], mic.data(), ref.data(), res.data());
        }
        if (pre) speex_preprocess_run(pre, res.data());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const int shift = pre ? kSpeexPreprocessDelay : 0;
        for (int i = 0; i < kSpeexFrame; ++i)
            if (f0 + i - shift >= 0) out[f0 + i - shift] = res[i] / 32768.0f;
    }
    report(label, s, out, seconds, nullptr);
    if (pre) speex_preprocess_state_destroy(pre);
    for (auto* st : echo) speex_echo_state_destroy(st);
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
    const std::string confPath = argc > 1 ? argv[1] : defaultConf();
    velmora::Params base;
    try {
        base = velmora::Params(confPath.c_str());
    } catch (const char* e) {
        std::printf("bench_quality: cannot read %s: %s\n", confPath.c_str(), e);
        return 1;
    }
    base.init_time = 0.0f;

    const int total = kTotalSeconds * kFs;
    const std::vector<float> nearSpeech =
        concat(data + "/speech", {"cmu_arctic_us_aew_a0001.wav", "cmu_arctic_us_aew_a0002.wav"},
               total - kEchoOnlySeconds * kFs);
    const std::vector<float> farSpeech =
        concat(data + "/speech",
               {"cmu_arctic_us_axb_a0004.wav", "cmu_arctic_us_axb_a0006.wav",
                "cmu_arctic_us_axb_a0005.wav", "arctic_a0010.wav"},
               total);
    const std::vector<float> guitar = concat(data + "/music", {"guitar_16k.wav"}, total);

    std::printf(
        "Echo path quality: 7 microphones + 1 reference, RT60 0.25 s, noise 30 dB below "
        "the near end; far end alone 0-%d s (ERLE), double talk %d-%d s (SI-SDR)\n",
        kEchoOnlySeconds, kEchoOnlySeconds, kTotalSeconds);
    std::printf("Configuration: %s (init_time 0)\n", confPath.c_str());
    for (int which = 0; which < 2; ++which) {
        const Scenario s = which == 0 ? makeScene("far end: guitar music", guitar, nearSpeech)
                                      : makeScene("far end: speech", farSpeech, nearSpeech);
        const long echoEnd = static_cast<long>(kEchoOnlySeconds) * kFs;
        std::printf(
            "\n%s; near-end SI-SDR before (mic 0): %.2f dB\n", s.name,
            velmora::scene::siSdrDb(span(s.mic0, echoEnd, total), span(s.near0, echoEnd, total)));
        char label[128];
        std::snprintf(label, sizeof label, "default (aec %d, ns %d, agc %d)", base.aec_algorithm,
                      base.ns_algorithm, base.agc_algorithm);
        const std::vector<float> target = chainTarget(base, s);
        runEngine(label, base, s, target);
        velmora::Params aecOnly = base;
        aecOnly.ns_algorithm = 0;
        aecOnly.agc_algorithm = 0;
        std::snprintf(label, sizeof label, "aec only (aec %d)", aecOnly.aec_algorithm);
        runEngine(label, aecOnly, s, target);
        for (int alg : {101, 100, 202}) {
            velmora::Params other = aecOnly;
            other.aec_algorithm = alg;
            std::snprintf(label, sizeof label, "aec only (aec %d)", alg);
            runEngine(label, other, s, target);
        }
        for (int alg : {101, 202}) {
            velmora::Params other = aecOnly;
            other.aec_algorithm = alg;
            std::snprintf(label, sizeof label, "aec only (aec %d)", alg);
            perMicrophoneErle(label, other, s);
        }
        velmora::Params passThrough = aecOnly;
        passThrough.aec_algorithm = 0;
        runEngine("pass-through chain (aec 0, ns 0, agc 0)", passThrough, s, target);
        velmora::Params aecNs = aecOnly;
        aecNs.ns_algorithm = 1;
        std::snprintf(label, sizeof label, "aec + ns (aec %d, ns 1)", aecNs.aec_algorithm);
        runEngine(label, aecNs, s, target);
#ifdef VELMORA_HAVE_SPEEXDSP
        runSpeex("SpeexDSP echo canceller (tail 2400)", s, false);
        runSpeex("SpeexDSP echo canceller + preprocess", s, true);
#else
        std::printf("  SpeexDSP: not installed (libspeexdsp-dev), comparison skipped\n");
#endif
    }
    dereverberation(data);
    return 0;
}
