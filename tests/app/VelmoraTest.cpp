#include "app/Velmora.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "Params.h"
#include "app/AudioFiles.h"
#include "common/TestUtil.h"
#include "sio/SignalSink.h"
#include "sio/SignalSource.h"

namespace velmora {
namespace {

using test::TempDir;

// Mode 3 with the bypass item copies every channel unchanged: the facade's own work (channel
// order, merging, fade-in, conversion) is then visible in the output.
const char* kBypass = "mode = 3\ninit_time = 0\nhpf_power = 0\ntest_items = 0\nnumouts = 8\n";

std::string writeConf(const TempDir& dir, const std::string& body, const char* name = "t.conf") {
    std::string path = dir.file(name);
    test::writeFile(path, body);
    return path;
}

std::string buildError(const std::string& confBody) {
    TempDir dir;
    try {
        Velmora engine(writeConf(dir, confBody).c_str());
    } catch (const char* text) {
        return text;
    }
    return "";
}

TEST(Velmora, RefusesConfigurationsItCannotRun) {
    EXPECT_EQ(buildError(std::string(kBypass) + "fsout = 48000\n"),
              "velmora, Velmora: Unsupported output sample rate: 48000, required: 16000");
    EXPECT_EQ(buildError(std::string(kBypass) + "nbitsin = 8\n"),
              "velmora, Velmora: Unsupported bits per sample: 8");
    EXPECT_EQ(buildError(std::string(kBypass) + "nbitsout = 20\n"),
              "velmora, Velmora: Unsupported bits per sample: 20");
    EXPECT_EQ(buildError(std::string(kBypass) + "block_size = 0.015\n"),
              "velmora, Velmora: Unsupported block size (second): 0.015000, required: 0.01, "
              "0.02, 0.03, or 0.04");
    EXPECT_EQ(buildError(std::string(kBypass) + "nummics = 0\n"),
              "velmora, Velmora: Illegal no. of mic channels: 0");
    EXPECT_EQ(buildError(std::string(kBypass) + "numrefs = -1\n"),
              "velmora, Velmora: Illegal no. of reference channels: -1");
    EXPECT_EQ(buildError(std::string(kBypass) + "numouts = 0\n"),
              "velmora, Velmora: Illegal no. of output channels: 0");
    EXPECT_EQ(buildError(std::string(kBypass) + "mode = 12\n"),
              "velmora, Velmora: Unknown mode: 12");
    EXPECT_EQ(buildError("mode = 3\nnumouts = 1\n"),
              "velmora, TestBypass: No. of outputs not match: 1, 8");
    EXPECT_EQ(buildError(std::string(kBypass) + "fsin = 44100\n"),
              "velmora, Decimator: Unsupported input sampling rate: 44100, required: 16000, 32000, "
              "or 48000");
}

TEST(Velmora, RefusesChannelOrdersThatNameMissingChannels) {
    // The order was valid for eight microphones, then the count shrank under it.
    EXPECT_EQ(buildError(std::string(kBypass) +
                         "nummics = 8\nchorder = 8,0,1,2,3,4,5,6,7\nnummics = 2\nnumouts = 3\n"),
              "velmora, Velmora: Channel index out of bounds: 8, 3");
    EXPECT_EQ(buildError(std::string(kBypass) + "nummics = 90\nnumrefs = 20\nnumouts = 110\n"),
              "velmora, Velmora: No. of input channels out of bounds: 110, 100");
    EXPECT_EQ(buildError(std::string(kBypass) + "numpilots = -2\n"),
              "velmora, Velmora: Illegal no. of pilots: -2");
}

TEST(Velmora, AnswersItsQueries) {
    TempDir dir;
    Velmora engine(writeConf(dir, std::string(kBypass) + "numins = 10\nfsin = 48000\nnbitsin = 24\n"
                                                         "block_size = 0.02\n")
                       .c_str());
    EXPECT_STREQ(Velmora::version(), "2020-01-03");
    EXPECT_EQ(engine.numMics(), 7);
    EXPECT_EQ(engine.numRefs(), 1);
    EXPECT_EQ(engine.numIns(), 10);
    EXPECT_EQ(engine.numOuts(), 8);
    EXPECT_EQ(engine.inputRate(), 48000);
    EXPECT_EQ(engine.outputRate(), 16000);
    EXPECT_EQ(engine.inputBits(), 24);
    EXPECT_EQ(engine.outputBits(), 16);
    EXPECT_EQ(engine.inFramesPerBlock(), 960);
    EXPECT_EQ(engine.outFramesPerBlock(), 320);
    EXPECT_EQ(engine.inSamplesPerBlock(), 9600);
    EXPECT_EQ(engine.outSamplesPerBlock(), 2560);
    EXPECT_EQ(engine.inBytesPerBlock(), 28800);
    EXPECT_EQ(engine.outBytesPerBlock(), 5120);
    EXPECT_EQ(engine.delay(), 0);
    EXPECT_EQ(engine.direction(0), 0.0f);
}

// Output- and channel-indexed controls refuse an index out of range instead of reaching a stage
// that asserts on it (the dominant-channel post-filter does), and still reach the stages with a
// good one.
TEST(Velmora, RefusesOutputIndicesOutOfRange) {
    TempDir dir;
    Velmora engine(writeConf(dir, "init_time = 0\npf_algorithm = 3\nnumouts = 2\n").c_str());
    const std::string tooHigh = "velmora, Velmora: Invalid output: 2, allowed 0 to 1";
    const float count = 10.0f;
    EXPECT_EQ(test::errorOf([&] { engine.lock(2, &count); }), tooHigh);
    EXPECT_EQ(test::errorOf([&] { engine.unlock(-1); }),
              "velmora, Velmora: Invalid output: -1, allowed 0 to 1");
    EXPECT_EQ(test::errorOf([&] { engine.look(2); }), tooHigh);
    EXPECT_EQ(test::errorOf([&] { engine.setLook(2, 30.0f); }), tooHigh);
    EXPECT_EQ(test::errorOf([&] { engine.direction(2); }), tooHigh);
    EXPECT_EQ(test::errorOf([&] { engine.vadValue(2); }), tooHigh);
    EXPECT_EQ(test::errorOf([&] { engine.volume(-1); }),
              "velmora, Velmora: Invalid volume channel: -1, allowed 0 to 7");
    EXPECT_EQ(test::errorOf([&] {
                  engine.lock(1, nullptr);
                  engine.unlock(1);
              }),
              "");
}

// Runs one float block through an engine built from `body`; the input channel c of frame f
// holds 100 * f + c + 1 (scaled to stay inside [-1, 1]).
std::vector<float> runBlock(const std::string& body, int numIns, int blocks = 1) {
    TempDir dir;
    Velmora engine(writeConf(dir, body).c_str());
    EXPECT_EQ(engine.numIns(), numIns);
    std::vector<float> in(engine.inSamplesPerBlock());
    for (int f = 0; f < engine.inFramesPerBlock(); ++f) {
        for (int c = 0; c < numIns; ++c) in[f * numIns + c] = (100.0f * f + c + 1) / 65536.0f;
    }
    std::vector<float> out(engine.outSamplesPerBlock());
    for (int b = 0; b < blocks; ++b) engine.process(in.data(), out.data());
    return out;
}

TEST(Velmora, ReordersAndMergesChannels) {
    // Reversed order: output channel j is input channel 7 - j.
    std::vector<float> out = runBlock(std::string(kBypass) + "chorder = 7,6,5,4,3,2,1,0\n", 8);
    for (int f = 0; f < 160; ++f) {
        for (int j = 0; j < 8; ++j) ASSERT_EQ(out[f * 8 + j], (100.0f * f + 8 - j) / 65536.0f);
    }
    // Ten input channels, the two not named are ignored.
    out = runBlock(std::string(kBypass) + "numins = 10\nchorder = 9,0,1,2,3,4,5,8\n", 10);
    const int picked[8] = {9, 0, 1, 2, 3, 4, 5, 8};
    for (int f = 0; f < 160; ++f) {
        for (int j = 0; j < 8; ++j)
            ASSERT_EQ(out[f * 8 + j], (100.0f * f + picked[j] + 1) / 65536.0f);
    }
    // Six microphones and three merged references: (6 + 7) and 8 alone.
    out = runBlock(std::string(kBypass) + "nummics = 6\nnumrefs = 3\naec_merge_refs = 1\n", 9);
    for (int f = 0; f < 160; ++f) {
        const float* frame = &out[f * 8];
        for (int j = 0; j < 6; ++j) ASSERT_EQ(frame[j], (100.0f * f + j + 1) / 65536.0f);
        ASSERT_EQ(frame[6], (100.0f * f + 7) / 65536.0f + (100.0f * f + 8) / 65536.0f);
        ASSERT_EQ(frame[7], (100.0f * f + 9) / 65536.0f);
    }
    // One reference with merging on: nothing to merge.
    out = runBlock(std::string(kBypass) + "aec_merge_refs = 1\n", 8);
    EXPECT_EQ(out[7], 8 / 65536.0f);
}

TEST(Velmora, FadesTheInputInDuringInitTime) {
    TempDir dir;
    Velmora engine(writeConf(dir, std::string(kBypass) + "init_time = 0.02\n").c_str());
    std::vector<float> in(engine.inSamplesPerBlock(), 0.5f), out(engine.outSamplesPerBlock());
    const float expected[4] = {0.5f * 0.01f, 0.5f * static_cast<float>(0.01 + 0.99 * 0.5), 0.5f,
                               0.5f};
    for (float gain : expected) {
        engine.process(in.data(), out.data());
        EXPECT_FLOAT_EQ(out[0], gain);
        EXPECT_FLOAT_EQ(out.back(), gain);
    }
}

TEST(Velmora, ConvertsIntegerBlocksAtTheExtremes) {
    TempDir dir;
    Velmora engine(writeConf(dir, std::string(kBypass) + "nbitsout = 24\n").c_str());
    std::vector<int32_t> samples(engine.inSamplesPerBlock(), 0);
    samples[0] = -32768;
    samples[1] = 32767;
    samples[2] = 1;
    std::string in = test::pcmBytes(samples, 16);
    std::string out(engine.outBytesPerBlock(), '\0');
    engine.process(reinterpret_cast<const unsigned char*>(in.data()),
                   reinterpret_cast<unsigned char*>(&out[0]));
    auto at24 = [&](int i) {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(out.data()) + 3 * i;
        return static_cast<int32_t>(static_cast<uint32_t>(b[0] << 8 | b[1] << 16 | b[2] << 24)) >>
               8;
    };
    EXPECT_EQ(at24(0), -8388608);
    EXPECT_EQ(at24(1), 32767 * 256);
    EXPECT_EQ(at24(2), 256);
    EXPECT_EQ(at24(3), 0);
    // The null output is allowed on the integer path too.
    engine.process(reinterpret_cast<const unsigned char*>(in.data()), nullptr);
}

TEST(Velmora, CopiesBlocksToDumpFiles) {
    TempDir dir;
    std::string conf = std::string(kBypass) + "fe_in_path = " + dir.file("in.raw") +
                       "\nfe_out_path = " + dir.file("out.wav") + "\n";
    std::vector<float> in(160 * 8);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i % 200) / 256.0f;
    {
        Velmora engine(writeConf(dir, conf).c_str());
        std::vector<float> out(engine.outSamplesPerBlock());
        engine.process(in.data(), out.data());
        engine.process(in.data(), out.data());
    }
    std::string raw = test::readFile(dir.file("in.raw"));
    ASSERT_EQ(raw.size(), 2u * 160 * 8 * 2);
    std::string wav = test::readFile(dir.file("out.wav"));
    ASSERT_EQ(wav.size(), 44u + 2 * 160 * 8 * 2);
    EXPECT_EQ(wav.substr(44), raw);
}

TEST(Velmora, OpensFilesByExtension) {
    TempDir dir;
    Velmora engine(writeConf(dir, kBypass).c_str());
    std::string data = test::pcmBytes(std::vector<int32_t>(8 * 10, 5), 16);
    test::writeFile(dir.file("A.WAV"), test::wavBytes(data, 8, 16000, 16));
    std::unique_ptr<sio::SignalSource> wav(engine.openSource(dir.file("A.WAV").c_str()));
    EXPECT_EQ(wav->numChannels(), 8);
    test::writeFile(dir.file("b.wav"), test::wavBytes(data, 2, 16000, 16));
    try {
        delete engine.openSource(dir.file("b.wav").c_str());
        FAIL() << "channel mismatch accepted";
    } catch (const char* text) {
        EXPECT_STREQ(text, "velmora, Velmora: No. of input channels not match: 2, 8");
    }
    try {
        engine.saveState(dir.file("missing/dir/state").c_str());
        FAIL();
    } catch (const char* text) {
        EXPECT_EQ(std::string(text),
                  "velmora, Velmora: Cannot open output file: " + dir.file("missing/dir/state"));
    }
    try {
        engine.loadState(dir.file("nothing").c_str());
        FAIL();
    } catch (const char* text) {
        EXPECT_EQ(std::string(text),
                  "velmora, Velmora: Cannot open input file: " + dir.file("nothing"));
    }
}

}  // namespace
}  // namespace velmora
