// velmora-scene: simulates a microphone-array recording in a shoebox room (image-source method)
// with near-end talkers, one loudspeaker whose signal is also the reference channel, and a
// diffuse noise field, and writes the recording (microphones, then the reference; 16 kHz,
// 16-bit WAV) together with its components as separate WAV files next to it:
//   OUT.wav         microphones + reference        OUT_echo.wav   the loudspeaker as received
//   OUT_near.wav    the talkers as received         OUT_noise.wav  the noise field
//   OUT.txt         the scene: talker and loudspeaker directions, spans (key = value lines,
//                   the form of demo/demo_7mic_1ref.txt), read by tools/velmora_report.py
// It also measures the echo reduction of a processed file (--measure-erle).
//
// Usage: velmora-scene [options] OUT.wav
//        velmora-scene --measure-erle MIC.wav OUT.wav START END
//        velmora-scene --array-test faulty|healthy OUT.wav
//
// Options:
//   --room L,W,H          room size in metres (default 5,4,3)
//   --rt60 S              reverberation time in seconds (default 0.25; 0: anechoic)
//   --centre X,Y,Z        position of the array centre in the room (default 2,1.8,1.2)
//   --talker FILE,AZ,DIST[,START[,GAIN[,EL]]]
//                         a near-end talker (repeatable): mono 16 kHz WAV, azimuth (degrees,
//                         from +x towards +y), distance from the array centre (m), start time
//                         (s, default 0), linear gain (default 1), elevation (degrees, default 0)
//   --farend FILE,AZ,DIST[,START[,GAIN[,EL]]]
//                         the loudspeaker, placed the same way; its signal is the reference
//   --ref-lead MS         the reference leads its echo by MS milliseconds (default 0)
//   --snr DB              diffuse noise at DB against the near end at mic 0 (default: none)
//   --noise FILE          mono 16 kHz noise recording driving the field (default: pink noise)
//   --conf FILE           microphone geometry from the miccoor block of a configuration file
//                         (default: the engine's 7-microphone array)
//   --length S            recording length in seconds (default: the end of the last source
//                         plus the RT60)
//   --early MS            the early part of the responses (default 50)
//   --seed N              noise seed (default 1)
//   --help                this text
// The recording is scaled down together with all components when it would clip. The tool
// prints the layout, the scale and the spans where a talker is active.
//
// --array-test writes the production-test recording of the default array for the hardware test
// mode (scene/ArrayTest.h): "faulty" with one planted fault per microphone, "healthy" without.
//
// --measure-erle prints the echo return loss enhancement 10 log10(sum mic^2 / sum out^2) of
// channel 0 of OUT.wav against channel 0 of MIC.wav over START .. END seconds.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Params.h"
#include "scene/ArrayTest.h"
#include "scene/Scene.h"

using namespace velmora::scene;

namespace {

constexpr int kFs = 16000;
constexpr float kClipLevel = 0.99f;      // peak allowed in the 16-bit recording
constexpr double kSpanGapSeconds = 0.2;  // activity gaps shorter than this join their spans

void usage(std::FILE* out) {
    std::fputs(
        "velmora-scene: simulate a microphone-array recording in a shoebox room\n"
        "\n"
        "Usage: velmora-scene [options] OUT.wav\n"
        "       velmora-scene --measure-erle MIC.wav OUT.wav START END\n"
        "       velmora-scene --array-test faulty|healthy OUT.wav\n"
        "\n"
        "Writes OUT.wav (microphones, then the reference; 16 kHz, 16 bits), its components\n"
        "OUT_near.wav, OUT_echo.wav, OUT_noise.wav, and the scene description OUT.txt.\n"
        "\n"
        "Options:\n"
        "  --room L,W,H          room size in metres (default 5,4,3)\n"
        "  --rt60 S              reverberation time in seconds (default 0.25; 0: anechoic)\n"
        "  --centre X,Y,Z        array centre in the room (default 2,1.8,1.2)\n"
        "  --talker FILE,AZ,DIST[,START[,GAIN[,EL]]]\n"
        "                        near-end talker (repeatable): mono 16 kHz WAV, azimuth and\n"
        "                        elevation in degrees, distance in m, start in s, linear gain\n"
        "  --farend FILE,AZ,DIST[,START[,GAIN[,EL]]]\n"
        "                        the loudspeaker; its signal is the reference channel\n"
        "  --ref-lead MS         the reference leads its echo by MS milliseconds\n"
        "  --snr DB              diffuse noise SNR against the near end at mic 0 (default none)\n"
        "  --noise FILE          mono 16 kHz noise recording for the field (default pink noise)\n"
        "  --conf FILE           microphone geometry from a configuration file's miccoor\n"
        "  --length S            recording length (default: last source end + RT60)\n"
        "  --early MS            early part of the responses (default 50)\n"
        "  --seed N              noise seed (default 1)\n"
        "  --measure-erle MIC.wav OUT.wav START END\n"
        "                        print the ERLE of OUT.wav channel 0 against MIC.wav channel 0\n"
        "                        over START .. END seconds\n",
        out);
}

[[noreturn]] void fail(const char* fmt, const char* arg) {
    std::fprintf(stderr, "velmora-scene: ");
    std::fprintf(stderr, fmt, arg);
    std::fprintf(stderr, "\n");
    std::exit(2);
}

double number(const std::string& text, const char* what) {
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(v))
        fail("not a number for %s", (std::string(what) + ": '" + text + "'").c_str());
    return v;
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        const size_t comma = text.find(',', from);
        parts.push_back(
            text.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
        if (comma == std::string::npos) return parts;
        from = comma + 1;
    }
}

std::array<float, 3> triple(const std::string& text, const char* what) {
    const std::vector<std::string> p = split(text);
    if (p.size() != 3) fail("%s needs three comma-separated values", what);
    return {static_cast<float>(number(p[0], what)), static_cast<float>(number(p[1], what)),
            static_cast<float>(number(p[2], what))};
}

Source source(const std::string& text, const char* what) {
    const std::vector<std::string> p = split(text);
    if (p.size() < 3 || p.size() > 6) fail("%s needs FILE,AZ,DIST[,START[,GAIN[,EL]]]", what);
    Source s;
    s.signal = readMonoWav(p[0], kFs);
    s.azimuth = static_cast<float>(number(p[1], what));
    s.distance = static_cast<float>(number(p[2], what));
    if (p.size() > 3) s.startFrame = static_cast<int>(std::lround(number(p[3], what) * kFs));
    if (p.size() > 4) s.gain = static_cast<float>(number(p[4], what));
    if (p.size() > 5) s.elevation = static_cast<float>(number(p[5], what));
    return s;
}

std::string stem(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        return path.substr(0, dot);
    return path;
}

int measureErle(int argc, char** argv) {
    if (argc != 6) {
        usage(stderr);
        return 2;
    }
    int micChannels = 0, outChannels = 0;
    const std::vector<float> mic = readWav(argv[2], kFs, &micChannels);
    const std::vector<float> out = readWav(argv[3], kFs, &outChannels);
    const double start = number(argv[4], "START"), end = number(argv[5], "END");
    const long micFrames = static_cast<long>(mic.size()) / micChannels;
    const long outFrames = static_cast<long>(out.size()) / outChannels;
    const long from = std::max(0L, std::lround(start * kFs));
    const long to = std::min({std::lround(end * kFs), micFrames, outFrames});
    if (to <= from)
        fail("empty measuring span: %s", (std::string(argv[4]) + " .. " + argv[5]).c_str());
    std::vector<float> m, o;
    for (long f = from; f < to; ++f) {
        m.push_back(mic[f * micChannels]);
        o.push_back(out[f * outChannels]);
    }
    std::printf("ERLE = %.2f dB (%.2f .. %.2f s)\n", erleDb(m, o), static_cast<double>(from) / kFs,
                static_cast<double>(to) / kFs);
    return 0;
}

// Per-channel frame-major signal scaled in place.
void scale(std::vector<float>& x, float g) {
    for (float& v : x) v *= g;
}

// The spans where some talker is active, " start-end" each in seconds; gaps shorter than
// kSpanGapSeconds join their neighbours.
std::string activitySpans(const Recording& rec) {
    std::string text;
    char span[64];
    const long gap = std::lround(kSpanGapSeconds * kFs);
    long spanStart = -1, lastActive = -gap - 1;
    for (long f = 0; f <= rec.frames; ++f) {
        const bool active = f < rec.frames && rec.talkerActive[f];
        if (active) {
            if (spanStart < 0) spanStart = f;
            lastActive = f;
        } else if (spanStart >= 0 && (f - lastActive > gap || f == rec.frames)) {
            std::snprintf(span, sizeof span, " %.2f-%.2f", static_cast<double>(spanStart) / kFs,
                          static_cast<double>(lastActive + 1) / kFs);
            text += span;
            spanStart = -1;
        }
    }
    return text;
}

// The scene description beside the recording, in the key = value form of the demo's.
void writeDescription(const std::string& path, const std::string& recording, const Scene& sc,
                      const Recording& rec, const std::string& activity) {
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (!out) fail("cannot write %s", path.c_str());
    auto list = [&](const char* key, auto value) {
        std::fprintf(out, "%s = ", key);
        for (size_t i = 0; i < sc.talkers.size(); ++i)
            std::fprintf(out, i ? ",%g" : "%g", static_cast<double>(value(sc.talkers[i])));
        std::fprintf(out, "\n");
    };
    std::fprintf(out,
                 "# Scene of %s, written by velmora-scene: %d microphones then %d reference,\n",
                 recording.c_str(), rec.numMics, rec.numRefs);
    std::fprintf(out,
                 "# 16 kHz. Spans \"start end\" in seconds; angles in degrees (azimuth from +x "
                 "towards +y).\n");
    std::fprintf(out, "duration = %.2f\n", static_cast<double>(rec.frames) / kFs);
    if (!sc.talkers.empty()) {
        list("talker_azimuth", [](const Source& s) { return s.azimuth; });
        list("talker_distance", [](const Source& s) { return s.distance; });
    }
    if (sc.hasLoudspeaker) {
        const Source& l = sc.loudspeaker;
        std::fprintf(out, "loudspeaker_azimuth = %g\n", static_cast<double>(l.azimuth));
        std::fprintf(out, "loudspeaker_distance = %g\n", static_cast<double>(l.distance));
        const double start = static_cast<double>(l.startFrame) / kFs;
        const double end = std::min(static_cast<double>(rec.frames) / kFs,
                                    start + static_cast<double>(l.signal.size()) / kFs);
        std::fprintf(out, "far_end = %.2f %.2f\n", start, end);
    }
    std::fprintf(out, "rt60 = %g\n", static_cast<double>(sc.room.rt60));
    if (sc.noiseSnrDb < 100.0f)
        std::fprintf(out, "noise_snr_db = %g\n", static_cast<double>(sc.noiseSnrDb));
    std::fprintf(out, "talker_activity =%s\n", activity.c_str());
    if (std::fclose(out) != 0) fail("cannot write %s", path.c_str());
}

// The production-test recording of the default array, with or without its planted faults.
int arrayTest(int argc, char** argv) {
    if (argc != 4) fail("%s", "usage: velmora-scene --array-test faulty|healthy OUT.wav");
    const std::string kind = argv[2];
    if (kind != "faulty" && kind != "healthy") fail("unknown array test recording: %s", argv[2]);
    const Recording rec = arrayTestRecording(kind == "faulty");
    writeWav(argv[3], rec.mixture, rec.numMics + rec.numRefs, kFs);
    std::printf("Wrote %s: %s array test recording, %d microphones + %d reference, %.2f s\n",
                argv[3], kind.c_str(), rec.numMics, rec.numRefs,
                static_cast<double>(rec.frames) / kFs);
    return 0;
}

int run(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--measure-erle") == 0) return measureErle(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "--array-test") == 0) return arrayTest(argc, argv);
    Scene sc;
    sc.fs = kFs;
    sc.mics = Scene::defaultArray();
    double lengthSeconds = -1.0;
    double leadMs = 0.0;
    std::string outPath;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            usage(stdout);
            return 0;
        }
        if (opt.rfind("--", 0) != 0) {
            if (!outPath.empty()) fail("more than one output path: %s", argv[i]);
            outPath = opt;
            continue;
        }
        if (i + 1 >= argc) fail("%s needs a value", argv[i]);
        const std::string val = argv[++i];
        if (opt == "--room") {
            const auto r = triple(val, "--room");
            sc.room.length = r[0], sc.room.width = r[1], sc.room.height = r[2];
        } else if (opt == "--rt60") {
            sc.room.rt60 = static_cast<float>(number(val, "--rt60"));
        } else if (opt == "--centre") {
            sc.arrayCentre = triple(val, "--centre");
        } else if (opt == "--talker") {
            sc.talkers.push_back(source(val, "--talker"));
        } else if (opt == "--farend") {
            sc.loudspeaker = source(val, "--farend");
            sc.hasLoudspeaker = true;
        } else if (opt == "--ref-lead") {
            leadMs = number(val, "--ref-lead");
        } else if (opt == "--snr") {
            sc.noiseSnrDb = static_cast<float>(number(val, "--snr"));
        } else if (opt == "--noise") {
            sc.noiseSignal = readMonoWav(val, kFs);
        } else if (opt == "--conf") {
            const velmora::Params params(val.c_str());
            sc.mics.assign(params.nummics, {0.0f, 0.0f, 0.0f});
            for (int m = 0; m < params.nummics; ++m)
                params.getMicCoordinate(m, &sc.mics[m][0], &sc.mics[m][1], &sc.mics[m][2]);
        } else if (opt == "--length") {
            lengthSeconds = number(val, "--length");
        } else if (opt == "--early") {
            sc.earlyMs = static_cast<float>(number(val, "--early"));
        } else if (opt == "--seed") {
            sc.seed = static_cast<uint32_t>(number(val, "--seed"));
        } else {
            fail("unknown option %s (see --help)", opt.c_str());
        }
    }
    if (outPath.empty()) {
        usage(stderr);
        return 2;
    }
    if (sc.talkers.empty() && !sc.hasLoudspeaker) fail("%s", "no talker and no far end given");
    sc.referenceLeadFrames = static_cast<int>(std::lround(leadMs * 0.001 * kFs));
    if (lengthSeconds < 0.0) {
        long end = 0;
        for (const Source& s : sc.talkers)
            end = std::max(end, s.startFrame + static_cast<long>(s.signal.size()));
        if (sc.hasLoudspeaker)
            end = std::max(end, sc.loudspeaker.startFrame + sc.referenceLeadFrames +
                                    static_cast<long>(sc.loudspeaker.signal.size()));
        sc.frames = static_cast<int>(end + std::lround(sc.room.rt60 * kFs));
    } else {
        sc.frames = static_cast<int>(std::lround(lengthSeconds * kFs));
    }

    Recording rec = simulate(sc);
    float peak = 0.0f;
    for (float v : rec.mixture) peak = std::max(peak, std::fabs(v));
    float gain = 1.0f;
    if (peak > kClipLevel) {
        gain = kClipLevel / peak;
        for (auto* x : {&rec.mixture, &rec.nearEnd, &rec.echo, &rec.noise}) scale(*x, gain);
    }
    const std::string base = stem(outPath);
    writeWav(outPath, rec.mixture, rec.numMics + rec.numRefs, kFs);
    writeWav(base + "_near.wav", rec.nearEnd, rec.numMics, kFs);
    writeWav(base + "_echo.wav", rec.echo, rec.numMics, kFs);
    writeWav(base + "_noise.wav", rec.noise, rec.numMics, kFs);

    std::printf("Wrote %s: %d microphones + %d reference, %d frames (%.2f s) at %d Hz\n",
                outPath.c_str(), rec.numMics, rec.numRefs, rec.frames,
                static_cast<double>(rec.frames) / kFs, kFs);
    std::printf("Components: %s_near.wav %s_echo.wav %s_noise.wav\n", base.c_str(), base.c_str(),
                base.c_str());
    std::printf("Scale: %.4f%s\n", gain, gain < 1.0f ? " (scaled down to avoid clipping)" : "");
    const std::string activity = activitySpans(rec);
    std::printf("Talker activity (s):%s\n", activity.c_str());
    // (An OUT named .txt would be overwritten by its own description.)
    if (base + ".txt" != outPath) writeDescription(base + ".txt", outPath, sc, rec, activity);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const char* e) {
        std::fprintf(stderr, "%s\n", e);
        return 1;
    }
}
