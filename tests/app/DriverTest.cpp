// End-to-end tests of the command-line tool: argument forms, exit statuses, and the two jobs
// on real files, with mode 3 and the bypass item so that every byte can be checked.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "app/AudioFiles.h"
#include "common/TestUtil.h"

namespace velmora::test {
namespace {

const char* kBypass = "mode = 3\ninit_time = 0\nhpf_power = 0\ntest_items = 0\nnumouts = 8\n";

struct Job {
    TempDir dir;
    std::string conf(const std::string& body, const std::string& name = "job.conf") {
        std::string path = dir.file(name);
        writeFile(path, body);
        return path;
    }
};

int countLines(const std::string& text, const std::string& prefix) {
    std::istringstream in(text);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += line.rfind(prefix, 0) == 0;
    return n;
}

TEST(Driver, WrongArgumentCountPrintsUsage) {
    RunResult r = runTool({});
    EXPECT_EQ(r.status, 159);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Version: 2020-01-03\n\nUsage:\n1. Run demo: Velmora -d\n"
              "2. Show algorithm delay: Velmora <config file path>\n"
              "3. Sound source localization: Velmora <config file path> <input pcm or wav> [-t]\n"
              "4. Speech enhancement: Velmora <config file path> <input pcm or wav> <output (pcm, "
              "wav, txt, ark)> [-t]\n\nOptions:\n-d: Run demo.\n"
              "-t: Print RTF and execution time (ms).\n");
    EXPECT_EQ(runTool({"a", "b", "c", "d"}).status, 159);
    EXPECT_EQ(runTool({"-t", "-t"}).status, 159);
}

TEST(Driver, ConfigurationAloneShowsListingAndDelay) {
    Job job;
    RunResult r = runTool({job.conf(kBypass)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# Common Parameters:\n"), std::string::npos);
    EXPECT_NE(r.out.find("mode = 3\n"), std::string::npos);
    EXPECT_NE(r.out.find("\ndelay = 0 (0.000000 ms)\n"), std::string::npos);

    RunResult timed = runTool({"-t", job.conf(kBypass)});
    EXPECT_EQ(timed.status, 0);
    EXPECT_EQ(countLines(timed.out, "Total time spent (ms): "), 1);

    RunResult refused = runTool({job.conf("mode = 3\nnumouts = 1\n")});
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.err, "velmora, TestBypass: No. of outputs not match: 1, 8\n");
    RunResult missing = runTool({job.dir.file("none.conf")});
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.err,
              "velmora, Params: Cannot open conf file: " + job.dir.file("none.conf") + "\n");
}

TEST(Driver, DemoFormPrintsTheDefaultConfiguration) {
    RunResult r = runTool({"-d"}, VELMORA_SOURCE_DIR);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("aec_algorithm = 201\n"), std::string::npos);
    EXPECT_NE(r.out.find("train_ark_batch_size = 10.000000\n"), std::string::npos);
    TempDir empty;
    RunResult none = runTool({"-d", "-t"}, empty.path());
    EXPECT_EQ(none.status, 255);
    EXPECT_EQ(none.err, "velmora, Params: Cannot open conf file: conf/default.conf\n");
    // The one-argument forms still print the timing summary.
    EXPECT_EQ(countLines(none.out, "Total time spent (ms): "), 1);
}

TEST(Driver, LocalisationPrintsDirectionsPerBlockOrAtTheEnd) {
    Job job;
    std::string conf = job.conf(kBypass);
    std::string input = job.dir.file("in.raw");
    writeFile(input, pcmBytes(std::vector<int32_t>(8 * 160 * 3 + 8 * 50, 7), 16));
    RunResult once = runTool({conf, input});
    EXPECT_EQ(once.status, 0) << once.err;
    EXPECT_EQ(once.out,
              "0.000000 0.000000 0.000000 0.000000 0.000000 0.000000 0.000000 0.000000\n");
    // "-t" anywhere gives the same run, with timing lines.
    for (auto args : {std::vector<std::string>{"-t", conf, input},
                      std::vector<std::string>{conf, "-t", input, "-t"}}) {
        RunResult timed = runTool(args);
        EXPECT_EQ(timed.status, 0);
        EXPECT_EQ(countLines(timed.out, "RTF: "), 3);
        EXPECT_EQ(countLines(timed.out, "0.000000 "), 1);
        EXPECT_EQ(countLines(timed.out, "Time spent for process (ms): "), 1);
        EXPECT_EQ(countLines(timed.out, "Total time spent (ms): "), 1);
    }
    RunResult perBlock =
        runTool({job.conf(std::string(kBypass) + "ssl_forget = 0.9\n", "perblock.conf"), input});
    EXPECT_EQ(countLines(perBlock.out, "0.000000 "), 3);

    // Shorter than one block: no block, one line, and only the total time.
    writeFile(input, pcmBytes(std::vector<int32_t>(8 * 100, 7), 16));
    RunResult tiny = runTool({conf, input, "-t"});
    EXPECT_EQ(countLines(tiny.out, "0.000000 "), 1);
    EXPECT_EQ(countLines(tiny.out, "Time spent for process"), 0);
    EXPECT_EQ(countLines(tiny.out, "Total time spent (ms): "), 1);
}

TEST(Driver, OpenFailuresEndWithStatus159) {
    Job job;
    std::string conf = job.conf(kBypass);
    std::string missing = job.dir.file("missing.wav");
    RunResult loc = runTool({conf, missing});
    EXPECT_EQ(loc.status, 159);
    EXPECT_EQ(loc.err, "Cannot open input file: " + missing +
                           ", velmora, WavSource: Cannot open input file: " + missing + "\n");
    RunResult enh = runTool({conf, missing, job.dir.file("o.wav")});
    EXPECT_EQ(enh.status, 159);
    EXPECT_EQ(enh.err, "Cannot open input file: " + missing +
                           ", velmora, WavSource: Cannot open input file: " + missing + ".\n");

    std::string input = job.dir.file("in.raw");
    writeFile(input, pcmBytes(std::vector<int32_t>(8 * 160, 1), 16));
    std::string badOut = job.dir.file("no/such/dir/o.raw");
    RunResult out = runTool({conf, input, badOut});
    EXPECT_EQ(out.status, 159);
    EXPECT_EQ(out.err, "Cannot open output file: " + badOut +
                           ", velmora, PCMSink: Cannot open output file: " + badOut + ".\n");

    // A write that fails (a full disk) is not reported as success.
    RunResult full = runTool({conf, input, "/dev/full"});
    EXPECT_EQ(full.status, 159);
    EXPECT_EQ(full.err, "Cannot write output file: /dev/full.\n");

    // Malformed WAV files are refused with a reason, never read as audio.
    std::string data = pcmBytes(std::vector<int32_t>(8 * 320, 3), 16);
    std::string wav = wavBytes(data, 8, 16000, 16);
    const std::vector<std::string> broken = {
        wav.substr(0, 30),                            // header cut short
        std::string("RIFX") + wav.substr(4),          // not RIFF
        wav.substr(0, 36) + "junk" + wav.substr(40),  // no data chunk
        wavBytes(data, 0, 16000, 16),                 // zero channels
        wavBytes(data, 8, 16000, 12),                 // unsupported depth
    };
    for (size_t i = 0; i < broken.size(); ++i) {
        std::string path = job.dir.file("broken" + std::to_string(i) + ".wav");
        writeFile(path, broken[i]);
        RunResult r = runTool({conf, path, job.dir.file("o.raw")});
        EXPECT_EQ(r.status, 159) << i;
        // The depth is refused by the sample reader inside the WAV reader.
        const std::string tag = i == 4 ? "PCMSource" : "WavSource";
        EXPECT_EQ(r.err.rfind("Cannot open input file: " + path + ", velmora, " + tag + ": ", 0),
                  0u)
            << i << ": " << r.err;
    }
}

// The enhancement job with the bypass item: the output is the input, byte for byte.
TEST(Driver, EnhancementCopiesRecordingsBitExactly) {
    Job job;
    for (int bits : {16, 24}) {
        SCOPED_TRACE(bits);
        std::vector<int32_t> samples = randomSamples(8 * 160 * 25, bits, 7u + bits);
        std::string data = pcmBytes(samples, bits);
        std::string conf = job.conf(std::string(kBypass) + "nbitsin = " + std::to_string(bits) +
                                    "\nnbitsout = " + std::to_string(bits) + "\n");
        std::string wavIn = job.dir.file("in.wav"), wavOut = job.dir.file("out.wav");
        writeFile(wavIn, wavBytes(data, 8, 16000, bits));
        RunResult r = runTool({conf, wavIn, wavOut});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readFile(wavOut), readFile(wavIn));

        std::string rawIn = job.dir.file("in.pcm"), rawOut = job.dir.file("out.pcm");
        // A trailing partial block is not processed.
        writeFile(rawIn, data + data.substr(0, 8 * 50 * bits / 8));
        r = runTool({conf, rawIn, rawOut});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readFile(rawOut), data);
        // A path shorter than four characters has no extension: raw in, raw out.
        writeFile(job.dir.file("i"), data);
        r = runTool({conf, "i", "o"}, job.dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readFile(job.dir.file("o")), data);
    }
}

TEST(Driver, EnhancementKeeps32BitSamplesToSinglePrecision) {
    Job job;
    std::vector<int32_t> samples = randomSamples(8 * 160 * 4, 32, 3);
    std::string conf = job.conf(std::string(kBypass) + "nbitsin = 32\nnbitsout = 32\n");
    writeFile(job.dir.file("in.raw"), pcmBytes(samples, 32));
    ASSERT_EQ(runTool({conf, job.dir.file("in.raw"), job.dir.file("out.raw")}).status, 0);
    std::string out = readFile(job.dir.file("out.raw"));
    ASSERT_EQ(out.size(), samples.size() * 4);
    for (size_t i = 0; i < samples.size(); ++i) {
        int32_t v;
        std::memcpy(&v, out.data() + 4 * i, 4);
        // 24 mantissa bits: within one part in 2^24 of full scale, plus rounding.
        ASSERT_LE(std::fabs(static_cast<double>(v) - samples[i]), 2147483648.0 / (1 << 23)) << i;
    }
}

float readFloat(const std::string& bytes, size_t offset) {
    float f;
    std::memcpy(&f, bytes.data() + offset, 4);
    return f;
}
int32_t readInt(const std::string& bytes, size_t offset) {
    int32_t v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

TEST(Driver, EnhancementWritesTextAndArchiveLayouts) {
    Job job;
    const int frames = 160 * 3;
    std::vector<int32_t> samples(8 * frames);
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < 8; ++c) samples[8 * f + c] = (c + 1) * 1024 * (f % 2 ? -1 : 1);
    }
    writeFile(job.dir.file("in.raw"), pcmBytes(samples, 16));
    // Two blocks of 10 ms per archive entry.
    std::string conf = job.conf(std::string(kBypass) + "train_ark_batch_size = 0.02\n");
    ASSERT_EQ(runTool({conf, job.dir.file("in.raw"), job.dir.file("feats.TXT")}).status, 0);
    std::string text = readFile(job.dir.file("feats.TXT"));
    EXPECT_EQ(countLines(text, ""), frames);
    EXPECT_EQ(text.substr(0, text.find('\n') + 1),
              "0.03125 0.0625 0.09375 0.125 0.15625 0.1875 0.21875 0.25\n");

    ASSERT_EQ(runTool({conf, job.dir.file("in.raw"), job.dir.file("feats.ark")}).status, 0);
    std::string ark = readFile(job.dir.file("feats.ark"));
    // Entry 0 (blocks 0, 1) and entry 1 (block 2 and a zero row), each 2 rows x 8 * 160.
    const size_t entry = std::strlen("feats_0") + 6 + 1 + 4 + 1 + 4 + 2 * 8 * 160 * 4;
    ASSERT_EQ(ark.size(), 2 * entry);
    EXPECT_EQ(ark.substr(0, 13), std::string("feats_0 \0BFM ", 13));
    EXPECT_EQ(ark[13], 4);
    EXPECT_EQ(readInt(ark, 14), 2);
    EXPECT_EQ(ark[18], 4);
    EXPECT_EQ(readInt(ark, 19), 8 * 160);
    // Row 0 holds block 0 channel by channel: 160 samples of channel 0, then channel 1, ...
    EXPECT_EQ(readFloat(ark, 23), 0.03125f);
    EXPECT_EQ(readFloat(ark, 23 + 4), -0.03125f);
    EXPECT_EQ(readFloat(ark, 23 + 160 * 4), 0.0625f);
    EXPECT_EQ(ark.substr(entry, 7), "feats_1");
    EXPECT_EQ(readFloat(ark, entry + 23 + 8 * 160 * 4), 0.0f);  // the unfilled row
}

TEST(Driver, EnhancementHonoursTrainingSettings) {
    Job job;
    const int blocks = 12;
    std::vector<int32_t> samples(8 * 160 * blocks);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int32_t>(i / 8 % 30000);
    std::string data = pcmBytes(samples, 16);
    writeFile(job.dir.file("in.raw"), data);
    const size_t frameBytes = 8 * 2;

    // 0.05 s per pass at 10 ms blocks: exactly five blocks, after an offset of 0.02 s.
    std::string conf =
        job.conf(std::string(kBypass) +
                 "train_input_len = 0.05\ntrain_input_offset = 0.02\ntrain_repeat = 3\n");
    RunResult r = runTool({conf, job.dir.file("in.raw"), job.dir.file("out.raw"), "-t"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(job.dir.file("out.raw")),
              data.substr(320 * frameBytes, 5 * 160 * frameBytes));
    // Three passes of five blocks are timed, but only the main pass counts as processed input.
    EXPECT_EQ(countLines(r.out, "RTF: "), 5);

    // Pooling keeps the loudest channel only: here channel 7, which carries a louder copy.
    for (int f = 0; f < 160 * blocks; ++f) samples[8 * f + 7] = 2 * samples[8 * f + 0] - 30000;
    writeFile(job.dir.file("in.raw"), pcmBytes(samples, 16));
    conf = job.conf(std::string(kBypass) + "train_out_pooling = 1\n");
    r = runTool({conf, job.dir.file("in.raw"), job.dir.file("pooled.wav")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string pooled = readFile(job.dir.file("pooled.wav"));
    ASSERT_EQ(pooled.size(), 44u + 160 * blocks * 2);
    EXPECT_EQ(readInt(pooled, 22) & 0xFFFF, 1);  // one channel
    for (int f = 0; f < 160 * blocks; ++f) {
        int16_t v;
        std::memcpy(&v, pooled.data() + 44 + 2 * f, 2);
        ASSERT_EQ(v, samples[8 * f + 7]) << f;
    }
}

TEST(Driver, EnhancementDecimatesHigherInputRates) {
    Job job;
    for (int rate : {32000, 48000}) {
        SCOPED_TRACE(rate);
        const int factor = rate / 16000;
        const int frames = 160 * factor * 20;
        std::vector<int32_t> samples(8 * frames);
        for (int f = 0; f < frames; ++f) {
            const int32_t v =
                static_cast<int32_t>(std::lround(8000 * std::sin(2 * M_PI * 500.0 * f / rate)));
            for (int c = 0; c < 8; ++c) samples[8 * f + c] = v;
        }
        writeFile(job.dir.file("in.wav"), wavBytes(pcmBytes(samples, 16), 8, rate, 16));
        std::string conf = job.conf(std::string(kBypass) + "fsin = " + std::to_string(rate) + "\n");
        RunResult r = runTool({conf, job.dir.file("in.wav"), job.dir.file("out.wav")});
        ASSERT_EQ(r.status, 0) << r.err;
        std::string out = readFile(job.dir.file("out.wav"));
        ASSERT_EQ(out.size(), 44u + 8 * 2 * frames / factor);
        EXPECT_EQ(readInt(out, 24), 16000);
        // After the filter's start-up, the 500 Hz tone comes through at 16 kHz: compare with the
        // ideal tone delayed by the filter's 15 input samples.
        double maxErr = 0;
        for (int f = 100; f < frames / factor; ++f) {
            int16_t v;
            std::memcpy(&v, out.data() + 44 + 16 * f, 2);
            const int n = f * factor + factor - 1 - 15;
            maxErr = std::max(maxErr, std::fabs(v - 8000 * std::sin(2 * M_PI * 500.0 * n / rate)));
        }
        EXPECT_LT(maxErr, 80.0);
    }
}

}  // namespace
}  // namespace velmora::test

namespace velmora::test {
namespace {

// The general pipeline's localisation run with the pass-through localiser: 0.0 per output, once
// at the end or once per block.
TEST(Driver, GeneralPipelineLocalisationRun) {
    Job job;
    const std::string base = "aec_algorithm = 0\nagc_algorithm = 0\nnumouts = 2\n";
    std::string input = job.dir.file("in.wav");
    writeFile(input, wavBytes(pcmBytes(randomSamples(8 * 160 * 4, 16, 9), 16), 8, 16000, 16));
    RunResult once = runTool({job.conf(base), input});
    EXPECT_EQ(once.status, 0) << once.err;
    EXPECT_EQ(once.out, "0.000000 0.000000\n");
    RunResult perBlock = runTool({job.conf(base + "ssl_forget = 0.5\n"), input});
    EXPECT_EQ(perBlock.out,
              "0.000000 0.000000\n0.000000 0.000000\n0.000000 0.000000\n"
              "0.000000 0.000000\n");
    // The enhancement run compensates the bank's delay: as many blocks out as in.
    RunResult enhanced = runTool({job.conf(base), input, job.dir.file("out.wav")});
    EXPECT_EQ(enhanced.status, 0) << enhanced.err;
    EXPECT_EQ(readFile(job.dir.file("out.wav")).size(), 44u + 4 * 160 * 2 * 2);
}

}  // namespace
}  // namespace velmora::test
