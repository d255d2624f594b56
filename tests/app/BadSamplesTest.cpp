// Bad samples in a float recording (a burst of NaN, infinities, an absurdly large value) in a
// microphone and in the reference: the output stays finite everywhere, the engine says how many
// samples it replaced, and two seconds after the burst the echo cancellation is as good as in the
// same run without it, with the default stages and with every stage on.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "app/AudioFiles.h"
#include "common/TestUtil.h"
#include "scene/Scene.h"

namespace velmora::test {
namespace {

constexpr int kFs = 16000;
constexpr int kChannels = 8;  // seven microphones, one reference

std::string floatWav(const std::vector<float>& frames) {
    std::string data(frames.size() * sizeof(float), '\0');
    std::memcpy(&data[0], frames.data(), data.size());
    return wavBytes(data, kChannels, kFs, 32, 3);
}

// Output channel 0 of a 16-bit WAV written by the tool.
std::vector<float> readOutput(const std::string& path) {
    int channels = 0;
    std::vector<float> out = scene::readWav(path, kFs, &channels);
    EXPECT_EQ(channels, 1);
    return out;
}

double erleDb(const std::vector<float>& mic, const std::vector<float>& out, double from) {
    const size_t a = static_cast<size_t>(from * kFs);
    std::vector<float> m, o;
    for (size_t i = a; i < out.size(); ++i) {
        m.push_back(mic[i * kChannels]);
        o.push_back(out[i]);
    }
    return scene::erleDb(m, o);
}

TEST(BadSamples, BurstInMicrophoneAndReferenceLeavesOutputFiniteAndRecovers) {
    scene::Scene sc;
    sc.frames = 8 * kFs;
    sc.mics = scene::Scene::defaultArray();
    sc.room.rt60 = 0.3f;
    sc.hasLoudspeaker = true;
    sc.loudspeaker.signal = scene::readMonoWav(testdataDir() + "/music/guitar_16k.wav", kFs);
    sc.loudspeaker.azimuth = 60.0f;
    sc.loudspeaker.distance = 0.3f;
    const scene::Recording rec = scene::simulate(sc);
    ASSERT_EQ(rec.numMics + rec.numRefs, kChannels);

    std::vector<float> burst = rec.mixture;
    const size_t t = 4 * kFs;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (int ch : {0, 7}) {
        for (size_t i = t; i < t + 400; ++i) burst[i * kChannels + ch] = nan;
        burst[(t + 500) * kChannels + ch] = ch ? -inf : inf;
        burst[(t + 600) * kChannels + ch] = 1e30f;
    }

    TempDir dir;
    writeFile(dir.file("clean.wav"), floatWav(rec.mixture));
    writeFile(dir.file("burst.wav"), floatWav(burst));
    const char* configurations[] = {
        "",
        "dr_algorithm = 1\nvad_algorithm = 1\nssl_algorithm = 1\nns_algorithm = 1\n"
        "pf_algorithm = 4\nagc_algorithm = 3\n",
    };
    for (const char* stages : configurations) {
        writeFile(dir.file("c.conf"), std::string("nbitsin = 32\ninit_time = 0.5\n") + stages);
        RunResult clean = runTool({dir.file("c.conf"), dir.file("clean.wav"), dir.file("c.wav")});
        RunResult bad = runTool({dir.file("c.conf"), dir.file("burst.wav"), dir.file("b.wav")});
        ASSERT_EQ(clean.status, 0) << clean.err;
        ASSERT_EQ(bad.status, 0) << bad.err;
        EXPECT_EQ(clean.err, "");
        EXPECT_NE(bad.err.find("Replaced 804 input samples"), std::string::npos) << bad.err;

        const std::vector<float> outClean = readOutput(dir.file("c.wav"));
        const std::vector<float> outBad = readOutput(dir.file("b.wav"));
        ASSERT_EQ(outBad.size(), outClean.size());
        for (float v : outBad) ASSERT_TRUE(std::isfinite(v));
        const double before = erleDb(rec.mixture, outClean, 6.0);
        const double after = erleDb(rec.mixture, outBad, 6.0);
        EXPECT_GT(before, 10.0) << stages;
        EXPECT_NEAR(after, before, 3.0) << stages;
        std::printf("ERLE 6-8 s: %.1f dB clean, %.1f dB after the burst (%s)\n", before, after,
                    *stages ? "every stage" : "default");
    }
}

}  // namespace
}  // namespace velmora::test
