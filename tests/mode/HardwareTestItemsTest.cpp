// The hardware test items (100-105, 200) through the command-line tool with conf/test.conf on the
// simulated production-test recordings of tools/scene/ArrayTest: every planted fault fails on
// its channel or pair, everything healthy passes; TestERLE agrees with the echo reduction of an
// enhancement run with the same canceller.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "common/TestUtil.h"
#include "scene/ArrayTest.h"
#include "scene/Scene.h"

namespace velmora::test {
namespace {

const std::string kSeparator = "\n----------------------------------------------\n\n";
const std::string kTestConf = std::string(VELMORA_SOURCE_DIR) + "/conf/test.conf";

// One report: verdict per line label ("MIC 4", "MIC 0,6", "REF 0"); the interval section of the
// frequency report is keyed "interval MIC i".
using Verdicts = std::map<std::string, std::string>;

std::vector<Verdicts> parseReports(const std::string& out) {
    std::vector<Verdicts> reports(1);
    for (size_t at = 0; (at = out.find(kSeparator, at)) != std::string::npos; ++at)
        reports.emplace_back();
    size_t index = 0;
    bool interval = false;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("------", 0) == 0) {
            ++index;
            interval = false;
            continue;
        }
        if (line == "Test Frequency Response Interval") interval = true;
        if (line.rfind("MIC ", 0) != 0 && line.rfind("REF ", 0) != 0) continue;
        const std::string label = line.substr(0, line.find('\t'));
        const std::string verdict = line.substr(line.rfind('\t') + 1);
        if (verdict != "PASSED" && verdict != "FAILED") continue;  // ERLE lines carry none
        reports.at(index)[(interval ? "interval " : "") + label] = verdict;
    }
    return reports;
}

bool pairHas(const std::string& label, std::set<int> mics) {
    int i = -1, j = -1;
    if (std::sscanf(label.c_str(), "MIC %d,%d", &i, &j) != 2) return false;
    return mics.count(i) > 0 || mics.count(j) > 0;
}

// The verdict each item must give on the faulty recording (MIC 1 dead, 2 quieter, 3 delayed,
// 4 clipping, 5 dropouts, 6 a copy of 0); `item` is the report's index in conf/test.conf.
std::string expectedOnFaulty(size_t item, const std::string& label) {
    bool failed = false;
    switch (item) {
        case 0:  // saturation: the clipping microphone
            failed = label == "MIC 4";
            break;
        case 1:  // discontinuity: the dropouts
            failed = label == "MIC 5";
            break;
        case 2:  // similarity: the copies, and the dead microphone (silence equals anything)
            failed = label == "MIC 0,6" || pairHas(label, {1});
            break;
        case 3:  // amplitude: dead, 6 dB quieter, and 26 dB too loud (clipping)
            failed = pairHas(label, {1, 2, 4});
            break;
        case 4:  // phase: the delayed microphone, except against the dead one (no cross-spectrum)
            failed = pairHas(label, {3}) && label != "MIC 1,3";
            break;
        case 5:  // frequency response: dead and clipping, in the curves and against the mask
            failed =
                pairHas(label, {1, 4}) || label == "interval MIC 1" || label == "interval MIC 4";
            break;
        default:
            break;
    }
    return failed ? "FAILED" : "PASSED";
}

std::string writeRecording(const TempDir& dir, const std::string& name, bool faulty) {
    const scene::Recording rec = scene::arrayTestRecording(faulty);
    const std::string path = dir.file(name);
    scene::writeWav(path, rec.mixture, rec.numMics + rec.numRefs, 16000);
    return path;
}

TEST(HardwareTestItems, PlantedFaultsFailAndHealthyArraysPass) {
    TempDir dir;
    for (bool faulty : {false, true}) {
        SCOPED_TRACE(faulty ? "faulty" : "healthy");
        const std::string in = writeRecording(dir, faulty ? "faulty.wav" : "healthy.wav", faulty);
        const RunResult r = runTool({kTestConf, in, dir.file("out.wav")});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<Verdicts> reports = parseReports(r.out);
        ASSERT_EQ(reports.size(), 7u) << r.out;  // 100..105 and 200, in list order
        const size_t lines[] = {8, 8, 21, 21, 21, 28, 0};
        for (size_t item = 0; item < reports.size(); ++item) {
            EXPECT_EQ(reports[item].size(), lines[item]) << "item " << item;
            for (const auto& [label, verdict] : reports[item]) {
                const std::string expect = faulty ? expectedOnFaulty(item, label) : "PASSED";
                EXPECT_EQ(verdict, expect) << "item " << item << ", " << label;
            }
        }
        if (faulty) {
            EXPECT_NE(r.out.find("MIC 0,3\t\t2\t\tFAILED\n"), std::string::npos);
        }
        EXPECT_EQ(r.out.find("nan"), std::string::npos);
    }
    // 0.02 s blocks: the frequency mask is applied per 50 Hz band to the finer bins, and the
    // healthy array still passes everything (the finer, noisier curves need a looser similarity:
    // about 0.99 where 0.01 s blocks give 0.997).
    writeFile(dir.file("long.conf"),
              readFile(kTestConf) + "block_size = 0.02\ntest_freqdb_min_similarity = 0.98\n");
    const RunResult r =
        runTool({dir.file("long.conf"), dir.file("healthy.wav"), dir.file("o.wav")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Verdicts> reports = parseReports(r.out);
    ASSERT_EQ(reports.size(), 7u);
    for (const Verdicts& report : reports)
        for (const auto& [label, verdict] : report) EXPECT_EQ(verdict, "PASSED") << label;
}

// A recording shorter than one block measures nothing: every verdict is FAILED, nothing divides
// by zero, and ERLE prints its floor.
TEST(HardwareTestItems, ZeroBlocksFailWithoutNaN) {
    TempDir dir;
    const scene::Recording rec = scene::arrayTestRecording(false, 0.005f);
    scene::writeWav(dir.file("short.wav"), rec.mixture, 8, 16000);
    const RunResult r = runTool({kTestConf, dir.file("short.wav"), dir.file("out.wav")});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const Verdicts& report : parseReports(r.out))
        for (const auto& [label, verdict] : report) EXPECT_EQ(verdict, "FAILED") << label;
    EXPECT_EQ(r.out.find("nan"), std::string::npos);
    EXPECT_NE(r.out.find("Average\t\t-75.000000\n"), std::string::npos) << r.out;
}

TEST(HardwareTestItems, ConstructionChecks) {
    TempDir dir;
    writeFile(dir.file("in.raw"), std::string(4 * 160 * 2, '\0'));
    const struct {
        const char* lines;
        const char* message;
    } cases[] = {
        {"nummics = 1\nchorder = 0,1\nmiccoor = \n0 0 0\ntest_items = 104\n",
         "velmora, TestPhaseDiff: Two mics required at least: 1"},
        {"test_items = 100,107\n", "velmora, TestMode: Unknown test item: 107"},
        {"test_items = 101\ntest_discontinuity_level = -1\n",
         "velmora, TestDiscontinuity: Invalid test_discontinuity_level: -1, allowed 0 to 1e+06"},
        {"test_items = 100\ntest_max_saturation_rate = 2\n",
         "velmora, TestSaturation: Invalid test_max_saturation_rate: 2, allowed 0 to 1"},
        {"test_items = 200\naec_power = -1\n", "aec_power"},
    };
    for (const auto& c : cases) {
        writeFile(dir.file("c.conf"), std::string("mode = 3\ninit_time = 0\n") + c.lines);
        const RunResult r = runTool({dir.file("c.conf"), dir.file("in.raw"), dir.file("o.raw")});
        EXPECT_EQ(r.status, 255) << c.lines;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << c.lines;
    }
}

// TestERLE and an enhancement run (mode 4, same canceller, no gain control) on the same echo
// scene agree within 1 dB on microphone 0.
TEST(HardwareTestItems, ERLEMatchesTheEnhancementRun) {
    const scene::Recording rec = scene::arrayTestRecording(false, 4.0f, 5);
    Params p;
    p.init_time = 0.0f;
    p.agc_algorithm = 0;
    p.aec_algorithm = 201;
    const int frames = 160, nc = 8;
    const int blocks = rec.frames / frames;

    std::vector<float> out;
    {
        p.mode = 4;
        Velmora engine(p);
        std::vector<float> o(frames);
        for (int b = 0; b < blocks; ++b) {
            engine.process(rec.mixture.data() + static_cast<size_t>(b) * frames * nc, o.data());
            out.insert(out.end(), o.begin(), o.end());
        }
        ASSERT_EQ(engine.delay(), frames);
    }
    // Microphone 0 against the output, which lags by one block.
    std::vector<float> mic, cleaned(out.begin() + frames, out.end());
    for (int f = 0; f + frames < blocks * frames; ++f) mic.push_back(rec.mixture[f * nc]);
    const double measured = scene::erleDb(mic, cleaned);

    p.mode = 3;
    p.test_items[0] = 200;
    testing::internal::CaptureStdout();
    {
        Velmora engine(p);
        for (int b = 0; b < blocks; ++b)
            engine.process(rec.mixture.data() + static_cast<size_t>(b) * frames * nc,
                           static_cast<float*>(nullptr));
    }
    const std::string report = testing::internal::GetCapturedStdout();
    double reported = 0.0;
    const size_t at = report.find("MIC 0\t\t");
    ASSERT_NE(at, std::string::npos) << report;
    ASSERT_EQ(std::sscanf(report.c_str() + at, "MIC 0\t\t%lf", &reported), 1);
    EXPECT_GT(measured, 6.0);
    EXPECT_NEAR(reported, measured, 1.0);
    RecordProperty("erle_reported_db", std::to_string(reported));
    RecordProperty("erle_measured_db", std::to_string(measured));
}

}  // namespace
}  // namespace velmora::test
