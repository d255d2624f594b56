// The training-feature mode through the command-line tool: features written to text and archive
// files, read back here, match features computed directly from the analysed spectra; several
// passes over the input write once; the echo-canceller targets have their documented size.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "blas/ComplexMatrix.h"
#include "common/TestUtil.h"
#include "mode/HPF.h"
#include "mode/train/SpectralFeatures.h"
#include "scene/ArrayTest.h"
#include "scene/Scene.h"
#include "transform/PPFBankAnalyzer.h"

namespace velmora::test {
namespace {

constexpr int kFs = 16000, kHop = 160, kChannels = 8;

// One archive entry: key, then a rows x cols float matrix.
struct ArkEntry {
    std::string key;
    int rows = 0, cols = 0;
    std::vector<float> values;
};

// Reads an archive of binary float matrices: "key \0BFM " then (size byte 4, int32) rows and
// cols, then the rows of little-endian floats.
std::vector<ArkEntry> readArk(const std::string& path) {
    const std::string bytes = readFile(path);
    std::vector<ArkEntry> entries;
    size_t at = 0;
    auto int32 = [&]() {
        EXPECT_EQ(bytes.at(at), 4);
        int32_t v;
        std::memcpy(&v, bytes.data() + at + 1, 4);
        at += 5;
        return v;
    };
    while (at < bytes.size()) {
        ArkEntry e;
        const size_t blank = bytes.find(' ', at);
        e.key = bytes.substr(at, blank - at);
        at = blank + 1;
        EXPECT_EQ(bytes.substr(at, 5), std::string("\0BFM ", 5));
        at += 5;
        e.rows = int32();
        e.cols = int32();
        e.values.resize(static_cast<size_t>(e.rows) * e.cols);
        std::memcpy(e.values.data(), bytes.data() + at, e.values.size() * 4);
        at += e.values.size() * 4;
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<float> readText(const std::string& path) {
    std::istringstream in(readFile(path));
    std::vector<float> v;
    for (float x; in >> x;) v.push_back(x);
    return v;
}

struct Fixture {
    TempDir dir;
    std::string input = dir.file("echo.wav");
    std::vector<float> samples;  // what the engine reads, frame-major
    int blocks = 0;

    Fixture() {
        const scene::Recording rec = scene::arrayTestRecording(false, 0.5f, 3);
        scene::writeWav(input, rec.mixture, kChannels, kFs);
        int channels = 0;
        samples = scene::readWav(input, kFs, &channels);
        blocks = static_cast<int>(samples.size()) / (kChannels * kHop);
    }

    RunResult run(const std::string& lines, const std::string& out) {
        writeFile(dir.file("c.conf"), "mode = 6\ninit_time = 0\n" + lines);
        return runTool({dir.file("c.conf"), input, dir.file(out)});
    }
};

// Spec features 0-3, written as text (one line per bin) and as an archive (one row per block,
// channel by channel), against |scale X|^2 or log10(|scale X|^2 + 1) of the analysed input.
TEST(TrainMode, SpecFeaturesReadBackMatchTheSpectra) {
    Fixture f;
    const struct {
        int feature;
        double scale;
        bool logarithm;
        const char* out;
    } cases[] = {{0, 32768.0, false, "f0.ark"},
                 {1, 32768.0, true, "f1.txt"},
                 {2, 1.0, false, "f2.ark"},
                 {3, std::sqrt(32768.0), true, "f3.txt"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.feature);
        const RunResult r = f.run("numouts = 8\ntrain_ark_batch_size = 0.03\ntrain_feature = " +
                                      std::to_string(c.feature) + "\n",
                                  c.out);
        ASSERT_EQ(r.status, 0) << r.err;
        // value(block, bin, channel) as read back
        std::vector<float> got;
        if (std::string(c.out).find(".ark") != std::string::npos) {
            const std::vector<ArkEntry> ark = readArk(f.dir.file(c.out));
            ASSERT_EQ(ark.size(), static_cast<size_t>((f.blocks + 2) / 3));
            EXPECT_EQ(ark[1].key, "f" + std::to_string(c.feature) + "_1");
            for (const ArkEntry& e : ark) {
                ASSERT_EQ(e.rows, 3);
                ASSERT_EQ(e.cols, kChannels * kHop);
                for (int row = 0; row < e.rows; ++row)
                    for (int k = 0; k < kHop; ++k)
                        for (int ch = 0; ch < kChannels; ++ch)
                            got.push_back(
                                e.values[static_cast<size_t>(row) * e.cols + ch * kHop + k]);
            }
        } else {
            got = readText(f.dir.file(c.out));
        }
        ASSERT_GE(got.size(), static_cast<size_t>(f.blocks) * kHop * kChannels);

        mode::HPF hpf(kChannels, Params().hpf_power);
        transform::PPFBankAnalyzer analyzer(kChannels, kHop);
        blas::ComplexMatrix x(kChannels, kHop);
        std::vector<float> block(kHop * kChannels);
        double worst = 0.0;
        for (int b = 0; b < f.blocks; ++b) {
            hpf.process(f.samples.data() + static_cast<size_t>(b) * kHop * kChannels, block.data(),
                        kHop);
            analyzer.analyze(block.data(), &x);
            for (int k = 0; k < kHop; ++k) {
                for (int ch = 0; ch < kChannels; ++ch) {
                    const double power = std::norm(x.get(ch, k)) * c.scale * c.scale;
                    const double expect = c.logarithm ? std::log10(power + 1.0) : power;
                    const double value = got[(static_cast<size_t>(b) * kHop + k) * kChannels + ch];
                    worst = std::max(worst, std::fabs(value - expect) / (std::fabs(expect) + 1e-3));
                }
            }
        }
        EXPECT_LT(worst, 1e-4);
    }
}

// train_repeat 3 runs the input twice without output and writes the third pass once; the
// echo canceller carries its state across the passes. Feature 5 writes 2 x K x numouts values
// per block: the archive has one row of that many values per block.
TEST(TrainMode, RepeatedPassesWriteOnceWithAdaptedState) {
    Fixture f;
    const std::string lines = "numouts = 15\ntrain_feature = 5\ntrain_ark_batch_size = 10\n";
    ASSERT_EQ(f.run(lines + "train_repeat = 3\n", "three.ark").status, 0);
    ASSERT_EQ(f.run(lines, "one.ark").status, 0);
    const std::vector<ArkEntry> three = readArk(f.dir.file("three.ark"));
    const std::vector<ArkEntry> one = readArk(f.dir.file("one.ark"));
    ASSERT_EQ(three.size(), 1u);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(three[0].cols, 2 * kHop * 15);
    ASSERT_EQ(three[0].rows, 1000);  // 10 s of 10 ms blocks, padded with zero rows
    const size_t written = static_cast<size_t>(f.blocks) * three[0].cols;
    for (size_t i = written; i < three[0].values.size(); ++i) ASSERT_EQ(three[0].values[i], 0.0f);

    // The same three passes in process: the third pass is what the file holds.
    Params p;
    p.mode = 6;
    p.init_time = 0.0f;
    p.numouts = 15;
    p.train_feature = 5;
    Velmora engine(p);
    ASSERT_EQ(engine.outFramesPerBlock(), 2 * kHop);
    ASSERT_EQ(engine.delay(), 0);
    std::vector<float> in(kHop * kChannels), out(2 * kHop * 15);
    double differs = 0.0, energy = 0.0;
    for (int pass = 0; pass < 3; ++pass) {
        for (int b = 0; b < f.blocks; ++b) {
            std::copy_n(f.samples.data() + static_cast<size_t>(b) * in.size(), in.size(),
                        in.data());
            engine.process(in.data(), out.data());
            if (pass < 2) continue;
            for (int k = 0; k < kHop; ++k) {
                for (int ch = 0; ch < 15; ++ch) {
                    for (int part = 0; part < 2; ++part) {
                        const float v = out[(2 * k + part) * 15 + ch];
                        const size_t at = static_cast<size_t>(b) * three[0].cols +
                                          static_cast<size_t>(ch) * 2 * kHop + 2 * k + part;
                        ASSERT_EQ(three[0].values[at], v) << b << " " << k << " " << ch;
                        differs += std::fabs(one[0].values[at] - v);
                        energy += std::fabs(v);
                    }
                }
            }
        }
    }
    EXPECT_GT(differs, 1e-3 * energy);  // the first pass alone gives other targets
}

TEST(TrainMode, ConstructionChecks) {
    Fixture f;
    const struct {
        const char* lines;
        const char* message;
    } cases[] = {
        {"train_feature = 6\nnumouts = 8\n", "velmora, TrainMode: Unknown feature: 6"},
        {"train_feature = 0\nnumouts = 1\n",
         "velmora, Spec: No. of output channels not match: 1, 8"},
        {"train_feature = 4\nnumouts = 8\n",
         "velmora, AECAFRefEcho: No. of output channels not match: 8, 15"},
        {"train_feature = 5\nnumouts = 15\nbf_algorithm = 401\n",
         "velmora, BFAlgorithm: Stereo inputs required: 7"},
    };
    for (const auto& c : cases) {
        const RunResult r = f.run(c.lines, "o.ark");
        EXPECT_EQ(r.status, 255) << c.lines;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    Params p;
    p.numouts = 8;
    p.train_feature = 7;
    EXPECT_EQ(errorOf([&] { mode::Spec s(&p, 160); }), "velmora, Spec: Unknown spec feature: 7");
}

}  // namespace
}  // namespace velmora::test
