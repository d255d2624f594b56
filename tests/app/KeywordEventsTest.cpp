// Keyword events replayed by the enhancement run from the file named by kws_event_path: they
// drive the keyword beamformer and the keyword-triggered suppressor through the command line,
// and a bad file is refused (status 255) before any audio is processed.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/TestUtil.h"
#include "scene/Scene.h"

namespace velmora::test {
namespace {

constexpr int kFs = 16000;

// 3 s: music from the loudspeaker throughout, a talker from 1.5 s on; 7 microphones, 1 reference.
std::string writeScene(const TempDir& dir) {
    scene::Scene sc;
    sc.frames = 3 * kFs;
    sc.mics = scene::Scene::defaultArray();
    scene::Source talker;
    talker.signal = scene::readMonoWav(testdataDir() + "/speech/arctic_a0010.wav", kFs);
    talker.azimuth = 60.0f;
    talker.startFrame = 3 * kFs / 2;
    sc.talkers.push_back(talker);
    sc.hasLoudspeaker = true;
    sc.loudspeaker.signal = scene::readMonoWav(testdataDir() + "/music/guitar_16k.wav", kFs);
    sc.loudspeaker.azimuth = -100.0f;
    sc.loudspeaker.gain = 0.5f;
    sc.noiseSnrDb = 30.0f;
    const scene::Recording rec = scene::simulate(sc);
    const std::string path = dir.file("scene.wav");
    scene::writeWav(path, rec.mixture, 8, kFs);
    return path;
}

// First sample index at which two 16-bit WAV outputs differ (-1: identical), header skipped.
long firstDifference(const std::string& a, const std::string& b) {
    const std::string x = readFile(a), y = readFile(b);
    EXPECT_EQ(x.size(), y.size());
    for (size_t i = 44; i < x.size() && i < y.size(); ++i)
        if (x[i] != y[i]) return static_cast<long>((i - 44) / 2);
    return -1;
}

TEST(KeywordEvents, DriveTheKeywordStagesFromTheCommandLine) {
    TempDir dir;
    const std::string in = writeScene(dir);
    writeFile(dir.file("events.txt"),
              "# time output [blocks | unlock]\n"
              "2.0 0 40   # keyword confirmed, 0.4 s long\n"
              "\n"
              "2.9 0 unlock\n");
    const std::string base = "init_time = 0\nagc_algorithm = 0\naec_algorithm = 201\n";
    const struct {
        const char* name;
        std::string stages;
    } chains[] = {{"kwsmvdr", "bf_algorithm = 303\n"},
                  {"kwsres", "ns_algorithm = 3\nns_level = 1\n"}};
    for (const auto& c : chains) {
        const std::string name = c.name;
        writeFile(dir.file(name + "_plain.conf"), base + c.stages);
        writeFile(dir.file(name + "_events.conf"),
                  base + c.stages + "kws_event_path = " + dir.file("events.txt") + "\n");
        const RunResult plain =
            runTool({dir.file(name + "_plain.conf"), in, dir.file(name + "_p.wav")});
        const RunResult events =
            runTool({dir.file(name + "_events.conf"), in, dir.file(name + "_e.wav")});
        ASSERT_EQ(plain.status, 0) << plain.err;
        ASSERT_EQ(events.status, 0) << events.err;
        // Identical up to the block of the lock (the output is aligned to the input; the synthesis
        // window reaches one block back), then not.
        const long diff = firstDifference(dir.file(name + "_p.wav"), dir.file(name + "_e.wav"));
        EXPECT_GE(diff, 2 * kFs - 160) << name;
        EXPECT_LT(diff, 2 * kFs + 3 * 160) << name;
    }

    // Refusals name the file and line; nothing is processed, no output is written.
    const struct {
        const char* lines;
        const char* message;
    } bad[] = {
        {"1.0 0\n-2 0\n", "line 2: time (0 to 1e7 seconds): -2"},
        {"1.0 1\n", "line 1: output (0 to 0): 1"},
        {"# ok\n1.0 0 many\n", "line 2: block count (0 to 1e6, or unlock): many"},
        {"1.0\n", "line 1: expected <time> <output> [<blocks> | unlock]: 1.0"},
        {"1.0 0 5 6\n", "line 1: expected"},
    };
    int i = 0;
    for (const auto& b : bad) {
        const std::string ev = dir.file("bad" + std::to_string(i) + ".txt");
        const std::string conf = dir.file("bad" + std::to_string(i) + ".conf");
        writeFile(ev, b.lines);
        writeFile(conf, base + "kws_event_path = " + ev + "\n");
        const std::string out = dir.file("bad" + std::to_string(i++) + ".wav");
        const RunResult r = runTool({conf, in, out});
        EXPECT_EQ(r.status, 255) << b.lines;
        EXPECT_NE(r.err.find("velmora, Velmora: Invalid keyword event in " + ev + ", " + b.message),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(std::ifstream(out).good()) << b.lines;
    }
    writeFile(dir.file("missing.conf"), base + "kws_event_path = " + dir.file("none.txt") + "\n");
    const RunResult r = runTool({dir.file("missing.conf"), in, dir.file("m.wav")});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(
        r.err.find("velmora, Velmora: Cannot open keyword event file: " + dir.file("none.txt")),
        std::string::npos)
        << r.err;
}

}  // namespace
}  // namespace velmora::test
