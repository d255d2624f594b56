// The other pipelines on a simulated scene through the facade: the single-output mode with its
// activity channel (5), the full noise-suppression modes (7, 8) and the multistream mode (9),
// with their construction checks through the command-line tool.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "mode/HPF.h"
#include "scene/Scene.h"

namespace velmora::test {
namespace {

constexpr int kFs = 16000, kChannels = 8;

// The loudspeaker's echo, a talker from 2 s on and diffuse noise at the default array: 3 s.
const scene::Recording& sharedScene() {
    static const scene::Recording rec = [] {
        scene::Scene sc;
        sc.frames = 3 * kFs;
        sc.mics = scene::Scene::defaultArray();
        scene::Source talker;
        talker.signal = scene::readMonoWav(testdataDir() + "/speech/arctic_a0010.wav", kFs);
        talker.azimuth = 60.0f;
        talker.startFrame = 2 * kFs;
        sc.talkers.push_back(talker);
        sc.hasLoudspeaker = true;
        sc.loudspeaker.signal = scene::readMonoWav(testdataDir() + "/music/guitar_16k.wav", kFs);
        sc.loudspeaker.azimuth = -120.0f;
        sc.loudspeaker.distance = 0.3f;
        sc.loudspeaker.gain = 0.5f;
        sc.noiseSnrDb = 25.0f;
        return scene::simulate(sc);
    }();
    return rec;
}

Params sceneParams(int mode, int numouts) {
    Params p;
    p.mode = mode;
    p.numouts = numouts;
    p.init_time = 0.0f;
    p.agc_algorithm = 0;
    return p;
}

// Runs the engine over the whole scene; per block, `onBlock(engine, block output)`.
template <typename F>
std::vector<float> run(const Params& p, F onBlock) {
    Velmora engine(p);
    const scene::Recording& rec = sharedScene();
    const int frames = engine.inFramesPerBlock();
    std::vector<float> in(static_cast<size_t>(frames) * kChannels);
    std::vector<float> out(static_cast<size_t>(engine.outSamplesPerBlock())), all;
    for (int b = 0; (b + 1) * frames <= rec.frames; ++b) {
        std::copy_n(rec.mixture.data() + in.size() * b, in.size(), in.data());
        engine.process(in.data(), out.data());
        onBlock(engine, out);
        all.insert(all.end(), out.begin(), out.end());
    }
    return all;
}
std::vector<float> run(const Params& p) {
    return run(p, [](Velmora&, const std::vector<float>&) {});
}

std::vector<float> channel(const std::vector<float>& x, int c, int n) {
    std::vector<float> y;
    for (size_t i = c; i < x.size(); i += n) y.push_back(x[i]);
    return y;
}

// The high-passed microphone m of the scene, delayed by `delay` samples.
std::vector<float> filteredMic(int m, int delay, size_t length) {
    const scene::Recording& rec = sharedScene();
    mode::HPF hpf(kChannels, Params().hpf_power);
    std::vector<float> all(rec.mixture.size());
    hpf.process(rec.mixture.data(), all.data(), rec.frames);
    std::vector<float> y(length, 0.0f);
    for (size_t i = delay; i < length; ++i) y[i] = all[(i - delay) * kChannels + m];
    return y;
}

std::string runError(const std::string& lines) {
    TempDir dir;
    writeFile(dir.file("in.raw"), std::string(kChannels * 160 * 2 * 4, '\0'));
    writeFile(dir.file("c.conf"), "init_time = 0\n" + lines);
    const RunResult r = runTool({dir.file("c.conf"), dir.file("in.raw"), dir.file("o.raw")});
    EXPECT_EQ(r.status, 255) << lines;
    EXPECT_EQ(r.out, "") << lines;
    return r.err;
}

// Mode 5: the mono channel is the same with one and with two outputs; the second channel holds
// the block's activity level on every sample.
TEST(OtherPipelines, MonoOutputCarriesTheActivityLevelOnOddSamples) {
    Params p = sceneParams(5, 1);
    p.aec_algorithm = 201;
    p.vad_algorithm = 1;
    p.ns_algorithm = 1;
    const std::vector<float> mono = run(p);
    p.numouts = 2;
    std::vector<float> levels;
    const std::vector<float> stereo = run(p, [&](Velmora& e, const std::vector<float>& out) {
        ASSERT_EQ(out.size(), 320u);
        levels.push_back(e.vadValue(0));
        for (size_t i = 1; i < out.size(); i += 2) ASSERT_EQ(out[i], e.vadValue(0)) << i;
    });
    EXPECT_EQ(channel(stereo, 0, 2), mono);
    const auto [lo, hi] = std::minmax_element(levels.begin(), levels.end());
    EXPECT_LT(*lo, 0.5f);  // the activity level follows the scene
    EXPECT_GT(*hi, 0.5f);
    EXPECT_NE(runError("mode = 5\nnumouts = 3\n")
                  .find("velmora, MISOMode: Mono or stereo outputs required: 3"),
              std::string::npos);
}

// Modes 7 and 8: every beam is cleaned before the beamformer. With the pass-through beamformer
// (outputs = the first beams) and a per-channel suppressor, mode 8 gives exactly the general
// pipeline's output; mode 7 has the preset banks' longer delay and still removes the echo.
TEST(OtherPipelines, FullNoiseSuppressionCleansEveryBeam) {
    Params p = sceneParams(4, 2);
    p.aec_algorithm = 201;
    p.ns_algorithm = 1;
    const std::vector<float> general = run(p);
    p.mode = 8;
    EXPECT_EQ(run(p), general);
    p.mode = 7;
    {
        Velmora engine(p);
        EXPECT_EQ(engine.delay(), 480);
    }
    const std::vector<float> preset = run(p);
    ASSERT_EQ(preset.size(), general.size());
    // The echo alone, 1 s to 2 s: mode 7 removes it as well as mode 8 within 3 dB.
    const size_t from = kFs, to = 2 * kFs;
    auto erle = [&](const std::vector<float>& out, int delay) {
        const std::vector<float> mic = filteredMic(0, delay, to);
        const std::vector<float> o = channel(out, 0, 2);
        return scene::erleDb(std::vector<float>(mic.begin() + from, mic.end()),
                             std::vector<float>(o.begin() + from, o.begin() + to));
    };
    const double erle8 = erle(general, 160), erle7 = erle(preset, 480);
    EXPECT_GT(erle8, 6.0);
    EXPECT_NEAR(erle7, erle8, 3.0);
    RecordProperty("erle_mode8_db", std::to_string(erle8));
    RecordProperty("erle_mode7_db", std::to_string(erle7));

    EXPECT_NE(runError("mode = 7\nblock_size = 0.03\n")
                  .find("velmora, FullNSMode: 0.01 and 0.02 block size required: 0.030000"),
              std::string::npos);
    p.mode = 8;
    p.block_size = 0.03f;
    EXPECT_NO_THROW(Velmora{p});
}

// Mode 9: the two streams come from the outermost microphones (here through the pass-through
// separator, without references); what the build lacks is refused by name.
TEST(OtherPipelines, MultistreamTakesTheOutermostPair) {
    Params p = sceneParams(9, 2);
    p.numrefs = 0;
    p.numins = kChannels;
    const std::vector<float> streams = run(p);
    {
        Velmora engine(p);
        EXPECT_EQ(engine.delay(), 480);
        EXPECT_EQ(engine.numOuts(), 2);
    }
    const size_t n = streams.size() / 2;
    for (int s = 0; s < 2; ++s) {
        const std::vector<float> out = channel(streams, s, 2);
        const double own = scene::siSdrDb(out, filteredMic(s ? 6 : 0, 480, n));
        const double other = scene::siSdrDb(out, filteredMic(s ? 1 : 3, 480, n));
        EXPECT_GT(own, 20.0) << s;
        EXPECT_LT(other, own - 10.0) << s;
    }

    const struct {
        const char* lines;
        const char* message;
    } refusals[] = {
        {"mode = 9\nnummics = 1\nchorder = 0,1\nmiccoor = \n0 0 0\n",
         "velmora, MultistreamModeNormalBlock: at least 2 mics required: 1"},
        {"mode = 9\nnumouts = 5\n",
         "velmora, MultistreamModeNormalBlock: 2, 3 or 4 outputs "
         "required: 5"},
        {"mode = 9\nnumouts = 2\nblock_size = 0.03\n",
         "velmora, MultistreamModeNormalBlock: 0.01 and 0.02 block size required: 0.030000"},
        // The keyword beamformer of the third stream, and the stereo separators.
        {"mode = 9\nnumouts = 3\n", "velmora, BFAlgorithm: Unsupported beamforming algorithm: 303"},
        {"mode = 9\nnumouts = 4\n", "velmora, BFAlgorithm: Unsupported beamforming algorithm: 303"},
        {"mode = 9\nnumouts = 2\nbf_algorithm = 402\n",
         "velmora, BFAlgorithm: Unsupported beamforming algorithm: 402"},
        {"mode = 9\nnumouts = 2\nbf_algorithm = 403\n",
         "velmora, BFAlgorithm: Unsupported beamforming algorithm: 403"},
    };
    for (const auto& r : refusals) {
        const std::string err = runError(r.lines);
        EXPECT_NE(err.find(r.message), std::string::npos) << err;
    }
}

// The commented example configurations of these modes build the engines they describe.
TEST(OtherPipelines, ExampleConfigurationsBuild) {
    const struct {
        const char* file;
        int numOuts, outFrames;
    } cases[] = {{"test", 1, 160},       {"miso", 2, 160},       {"fullns", 1, 160},
                 {"train_spec", 8, 160}, {"train_aec", 15, 320}, {"multistream", 2, 160}};
    for (const auto& c : cases) {
        const std::string path = std::string(VELMORA_SOURCE_DIR) + "/conf/" + c.file + ".conf";
        testing::internal::CaptureStdout();
        {
            Velmora engine(path.c_str());
            EXPECT_EQ(engine.numOuts(), c.numOuts) << c.file;
            EXPECT_EQ(engine.outFramesPerBlock(), c.outFrames) << c.file;
        }
        testing::internal::GetCapturedStdout();
    }
}

// The per-block path of every mode of this family allocates nothing once built.
TEST(OtherPipelines, BlocksAllocateNothing) {
    const struct {
        int mode, numouts, feature;
    } cases[] = {{3, 1, 0},  {5, 2, 0}, {6, 8, 1}, {6, 15, 4},
                 {6, 15, 5}, {7, 2, 0}, {8, 1, 0}, {9, 2, 0}};
    for (const auto& c : cases) {
        Params p = sceneParams(c.mode, c.numouts);
        p.aec_algorithm = 201;
        p.vad_algorithm = c.numouts == 1 || c.mode == 5 ? 1 : 0;  // the detector has one output
        p.ns_algorithm = 1;
        p.train_feature = c.feature;
        for (int k = 0; k < 7; ++k)
            p.test_items[k] = std::vector<int>{100, 101, 102, 103, 104, 105, 200}[k];
        ASSERT_EQ(errorOf([&] { Velmora e(p); }), "") << c.mode;
        testing::internal::CaptureStdout();  // the test reports
        {
            Velmora engine(p);
            const scene::Recording& rec = sharedScene();
            std::vector<float> out(static_cast<size_t>(engine.outSamplesPerBlock()));
            engine.process(rec.mixture.data(), out.data());
            test::AllocCounter count;
            for (int b = 1; b < 20; ++b) {
                engine.process(rec.mixture.data() + static_cast<size_t>(b) * 160 * kChannels,
                               out.data());
                (void)engine.vadValue(0);
            }
            EXPECT_EQ(count.allocations(), 0) << c.mode << " " << c.feature;
        }
        testing::internal::GetCapturedStdout();
    }
}

}  // namespace
}  // namespace velmora::test
