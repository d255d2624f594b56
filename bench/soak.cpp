// Soak run (its own main, not a Google Benchmark): an hour of simulated echo through the engine,
// once with the default configuration, once with every stage that runs on the default array and
// once with the time-domain echo canceller (aec_algorithm 300), fed block by block through the
// facade as the command-line tool feeds it.
//
// The scene: the default 7-microphone array, RT60 0.3 s, the loudspeaker 0.3 m away playing guitar
// music and speech in turn (a 30 s loop). Half way through, 0.5 s of bad samples
// (NaN, infinities, 1e30) reach microphone 0 and the reference.
// Printed per configuration:
//   - resident memory after the first block and at the end (it must not grow);
//   - blocks written (with the delay compensated as the tool does) against blocks read;
//   - non-finite output samples (there must be none);
//   - ERLE of microphone 0 per second over the 10 s before the burst and the 10 s after it, and
//     the seconds until it is back within 3 dB of the level before the burst;
//   - the real-time factor.
// Usage: bench_soak [MINUTES]   (default 60)

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "scene/Scene.h"

namespace {

constexpr int kFs = 16000;
constexpr int kChannels = 8;
constexpr int kLoopSeconds = 30;
constexpr int kBurstFrames = kFs / 2;

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

std::string sourceDir() {
    std::string dir = VELMORA_TESTDATA_DIR;
    const std::string tail = "/../shared/testdata";
    return dir.substr(0, dir.size() - tail.size());
}

// The 30 s far-end loop recorded by the array: guitar, then speech sentences.
std::vector<float> makeLoop() {
    const std::string data = VELMORA_TESTDATA_DIR;
    std::vector<float> far = velmora::scene::readMonoWav(data + "/music/guitar_16k.wav", kFs);
    for (const char* f : {"cmu_arctic_us_axb_a0004.wav", "cmu_arctic_us_aew_a0001.wav",
                          "cmu_arctic_us_axb_a0006.wav", "cmu_arctic_us_aew_a0002.wav",
                          "arctic_a0010.wav", "cmu_arctic_us_aew_a0003.wav"}) {
        const std::vector<float> s = velmora::scene::readMonoWav(data + "/speech/" + f, kFs);
        far.insert(far.end(), s.begin(), s.end());
        far.insert(far.end(), kFs / 5, 0.0f);
    }
    far.resize(kLoopSeconds * kFs, 0.0f);
    velmora::scene::Scene sc;
    sc.frames = kLoopSeconds * kFs;
    sc.mics = velmora::scene::Scene::defaultArray();
    sc.room.rt60 = 0.3f;
    sc.hasLoudspeaker = true;
    sc.loudspeaker.signal = far;
    sc.loudspeaker.azimuth = 60.0f;
    sc.loudspeaker.distance = 0.3f;
    return velmora::scene::simulate(sc).mixture;
}

void soak(const char* label, const velmora::Params& params, const std::vector<float>& loop,
          long long totalFrames) {
    velmora::Velmora engine(params);
    const int frames = engine.inFramesPerBlock();
    const long long blocks = totalFrames / frames;
    const long long burstBlock = blocks / 2;
    const int delayBlocks = engine.delay() / engine.outFramesPerBlock();
    const long long loopFrames = static_cast<long long>(loop.size()) / kChannels;
    std::vector<float> in(static_cast<size_t>(engine.inSamplesPerBlock()));
    std::vector<float> out(static_cast<size_t>(engine.outSamplesPerBlock()));
    const int blocksPerSecond = kFs / frames;
    const long long windowStart = burstBlock - 10 * blocksPerSecond;
    const long long windowEnd = burstBlock + 11 * blocksPerSecond;
    std::vector<double> micPower(static_cast<size_t>(windowEnd - windowStart), 0.0);
    std::vector<double> outPower(micPower.size(), 0.0);

    long rssStart = 0;
    long long written = 0, nonFinite = 0;
    double seconds = 0.0;
    auto feed = [&](long long b, bool repeat) {
        if (!repeat) {
            for (int f = 0; f < frames; ++f) {
                const long long src = (b * frames + f) % loopFrames;
                std::memcpy(&in[static_cast<size_t>(f) * kChannels], &loop[src * kChannels],
                            sizeof(float) * kChannels);
            }
            if (b >= burstBlock && b * frames < burstBlock * frames + kBurstFrames) {
                const float bad[3] = {std::numeric_limits<float>::quiet_NaN(),
                                      std::numeric_limits<float>::infinity(), 1e30f};
                for (int f = 0; f < frames; ++f) {
                    in[static_cast<size_t>(f) * kChannels] = bad[f % 3];
                    in[static_cast<size_t>(f) * kChannels + 7] = bad[(f + 1) % 3];
                }
            }
        }
        const auto t0 = std::chrono::steady_clock::now();
        engine.process(in.data(), out.data());
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const long long outBlock = b - delayBlocks;  // the input block this output belongs to
        if (outBlock < 0) return;
        ++written;
        double p = 0.0;
        for (float v : out) {
            if (!std::isfinite(v)) ++nonFinite;
            p += static_cast<double>(v) * v;
        }
        if (outBlock >= windowStart && outBlock < windowEnd) {
            double m = 0.0;
            for (int f = 0; f < frames; ++f) {
                const long long src = (outBlock * frames + f) % loopFrames;
                m += static_cast<double>(loop[src * kChannels]) * loop[src * kChannels];
            }
            micPower[static_cast<size_t>(outBlock - windowStart)] = m;
            outPower[static_cast<size_t>(outBlock - windowStart)] = p;
        }
    };
    for (long long b = 0; b < blocks; ++b) {
        feed(b, false);
        if (b == 0) rssStart = residentKiB();
    }
    for (int i = 0; i < delayBlocks; ++i) feed(blocks + i, true);
    const long rssEnd = residentKiB();

    auto erle = [&](long long fromBlock) {
        double m = 0.0, o = 0.0;
        for (int i = 0; i < blocksPerSecond; ++i) {
            m += micPower[static_cast<size_t>(fromBlock - windowStart + i)];
            o += outPower[static_cast<size_t>(fromBlock - windowStart + i)];
        }
        return 10.0 * std::log10(m / std::max(o, 1e-20));
    };
    double before = 0.0;
    std::printf("\n%s\n  ERLE per second, 10 s before the burst:", label);
    for (int s = 10; s >= 1; --s) {
        const double e = erle(burstBlock - s * blocksPerSecond);
        before += e / 10.0;
        std::printf(" %.1f", e);
    }
    std::printf("\n  ERLE per second after the burst (first second holds it):");
    int recovered = -1;
    for (int s = 0; s <= 10; ++s) {
        const double e = erle(burstBlock + s * blocksPerSecond);
        std::printf(" %.1f", e);
        if (recovered < 0 && s > 0 && e >= before - 3.0) recovered = s;
    }
    std::printf("\n  back within 3 dB of %.1f dB after: %d s\n", before, recovered);
    std::printf("  resident memory: %ld KiB after the first block, %ld KiB at the end\n", rssStart,
                rssEnd);
    std::printf("  blocks read %lld, written %lld; non-finite output samples %lld\n", blocks,
                written, nonFinite);
    std::printf("  replaced input samples %lld; real-time factor %.4f\n",
                engine.numReplacedSamples(), seconds / (static_cast<double>(blocks) / 100.0));
}

}  // namespace

int main(int argc, char** argv) {
    struct stat st;
    if (stat(VELMORA_TESTDATA_DIR, &st) != 0) {
        std::printf("bench_soak: skipped, the shared recordings (%s) are not there\n",
                    VELMORA_TESTDATA_DIR);
        return 0;
    }
    const double minutes = argc > 1 ? std::atof(argv[1]) : 60.0;
    const long long totalFrames = static_cast<long long>(minutes * 60.0 * kFs);
    const std::vector<float> loop = makeLoop();
    velmora::Params base((sourceDir() + "/conf/default.conf").c_str());
    std::printf("Soak: %.0f minutes of simulated echo per configuration", minutes);
    std::printf(" (7 microphones + 1 reference, RT60 0.3 s, 0.5 s of bad samples half way)\n");
    soak("default configuration", base, loop, totalFrames);
    velmora::Params all = base;
    all.aec_tde_active = true;
    all.dr_algorithm = 1;
    all.vad_algorithm = 1;
    all.ssl_algorithm = 1;
    all.ns_algorithm = 1;
    all.pf_algorithm = 4;
    all.agc_algorithm = 3;
    soak("every stage (tde, dr 1, vad 1, ssl 1, ns 1, pf 4, agc 3)", all, loop, totalFrames);
    velmora::Params timeDomain = base;
    timeDomain.aec_algorithm = 300;
    soak("time-domain echo canceller (aec 300)", timeDomain, loop, totalFrames);
    return 0;
}
