// Hostile settings through the command-line tool: every stage turned on, one key changed at a
// time. A value a stage cannot work with must end in the engine's refusal (status 255, a message
// naming the key), never in an abort, a crash or a run that does not end.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/AudioFiles.h"
#include "common/TestUtil.h"

namespace velmora::test {
namespace {

// Every stage that can run on the default array, on a short raw input.
const char* kAllStages =
    "init_time = 0\naec_algorithm = 201\naec_tde_active = 1\ndr_algorithm = 1\n"
    "vad_algorithm = 1\nssl_algorithm = 1\nns_algorithm = 1\npf_algorithm = 4\n"
    "agc_algorithm = 3\n";

struct Fixture {
    TempDir dir;
    std::string input = dir.file("in.raw");
    Fixture() { writeFile(input, pcmBytes(randomSamples(8 * 800, 16, 7), 16)); }

    RunResult run(const std::string& lines) {
        const std::string conf = dir.file("c.conf");
        writeFile(conf, std::string(kAllStages) + lines);
        return runTool({conf, input, dir.file("out.raw")});
    }
};

// Values that must be refused, with the text the refusal must contain (the key, or the fixed
// message that the engine has always given for that key).
struct Refusal {
    const char* lines;
    const char* text;
};

const Refusal kRefusals[] = {
    {"nummics = 0\n", "Illegal no. of mic channels"},
    {"nummics = 101\n", "nummics"},
    {"nummics = 2147483647\n", "nummics"},
    {"numrefs = -1\n", "Illegal no. of reference channels"},
    {"numrefs = 2147483647\n", "numrefs"},
    {"numpilots = 101\n", "numpilots"},
    {"numouts = 0\n", "Illegal no. of output channels"},
    {"numouts = 2147483647\n", "numouts"},
    {"vad_algorithm = 0\nssl_algorithm = 0\nbf_algorithm = 0\nnumouts = 8\n", "numouts"},
    {"fsin = 44100\n", "Unsupported input sampling rate"},
    {"nbitsin = 8\n", "Unsupported bits per sample"},
    {"block_size = nan\n", "block size"},
    {"mode = 99\n", "Unknown mode"},
    {"init_time = -1\n", "init_time"},
    {"init_time = 1e30\n", "init_time"},
    {"hpf_power = -1\n", "hpf_power"},
    {"hpf_power = 2147483647\n", "hpf_power"},
    {"aec_power = -1\n", "aec_power"},
    {"aec_power = 2147483647\n", "aec_power"},
    {"aec_level = nan\n", "aec_level"},
    {"aec_tde_maxoffset = -1\n", "aec_tde_maxoffset"},
    {"aec_tde_maxoffset = inf\n", "aec_tde_maxoffset"},
    {"aec_tde_refoffset = 1e30\n", "aec_tde_refoffset"},
    {"dr_power = -1\n", "dr_power"},
    {"dr_power = 2147483647\n", "dr_power"},
    {"dr_level = inf\n", "dr_level"},
    {"bf_look = nan\n", "bf_look"},
    {"bf_look = 270\n", "bf_look"},
    {"bf_level = -inf\n", "bf_level"},
    {"ns_power = -1\n", "ns_power"},
    {"ns_power = 100\n", "ns_power"},
    {"ns_level = -1\n", "ns_level"},
    {"ns_level = nan\n", "ns_level"},
    {"ns_level = 1e30\n", "ns_level"},
    {"agc_gain = -1\n", "agc_gain"},
    {"agc_gain = 1e30\n", "agc_gain"},
    {"agc_level = -1\n", "agc_level"},
    {"agc_power = 2147483647\n", "agc_power"},
    {"pf_level = -1\n", "pf_level"},
    {"pf_level = nan\n", "pf_level"},
    {"pf_algorithm = 1\npf_level = 2\n", "pf_level"},
    {"pf_algorithm = 3\npf_wait = 1e30\n", "pf_wait"},
    {"pf_algorithm = 2\npf_timeout = -1\n", "pf_timeout"},
    {"pf_algorithm = 2\npf_res_floor = 1e30\n", "pf_res_floor"},
    {"pf_speech_minsnr = inf\n", "pf_speech_minsnr"},
    {"volume_type = 99\n", "volume type"},
    {"volume_position = -1\n", "volume position"},
    {"ssl_numscans = 0\n", "ssl_numscans"},
    {"ssl_numscans = abc\n", "ssl_numscans"},
    {"ssl_numscans = 2147483647\n", "ssl_numscans"},
    {"ssl_elevation = 91\n", "ssl_elevation"},
    {"ssl_forget = -1\n", "ssl_forget"},
    {"ssl_forget = 1.5\n", "ssl_forget"},
    {"ssl_f_low = -1\n", "ssl_f_low"},
    {"ssl_f_low = 7900\n", "ssl_f_low"},
    {"ssl_f_high = 0\n", "ssl_f_high"},
    {"ssl_f_high = 9000\n", "ssl_f_high"},
    {"vad_forget = 2\n", "vad_forget"},
    {"vad_target_radius = 0\n", "vad_target_radius"},
    {"vad_minsnr = nan\n", "vad_minsnr"},
    {"vad_noise_minvar = inf\n", "vad_noise_minvar"},
    {"test_max_similarity = nan\n", "test_max_similarity"},
    // Geometry the spatial stages cannot use: all at one point, two coincident microphones, a
    // non-finite coordinate, a 1 nm array, a 0.5 mm array.
    {"miccoor = \n0 0 0\n0 0 0\n0 0 0\n0 0 0\n0 0 0\n0 0 0\n0 0 0\n", "Mics 0 and 1 coincide"},
    {"miccoor = \n0.04 0 0\n0 0.04 0\n-0.04 0 0\n0 -0.04 0\n0.03 0.03 0\n0 0 0\n0.04 0 0\n",
     "Mics 0 and 6 coincide"},
    {"miccoor = \n0.04 0 0\n0 0.04 0\nnan 0 0\n0 -0.04 0\n0.03 0.03 0\n0 0 0\n0.01 0 0\n",
     "miccoor of mic 2"},
    {"miccoor = \n1e-9 0 0\n0 1e-9 0\n-1e-9 0 0\n0 -1e-9 0\n0 0 1e-9\n0 0 0\n0 0 -1e-9\n",
     "coincide"},
    {"miccoor = \n0.00025 0 0\n0 0.00025 0\n-0.00025 0 0\n0 -0.00025 0\n0 0 0.00025\n0 0 0\n"
     "0 0 -0.00025\n",
     "aperture"},
    {"train_repeat = 2147483647\n", "train_repeat"},
    {"train_input_offset = 1e30\n", "train_input_offset"},
    {"train_input_len = -1\n", "train_input_len"},
    {"train_ark_batch_size = inf\n", "train_ark_batch_size"},
};

TEST(ConfigRefusal, EveryUnworkableValueIsRefusedNamingTheKey) {
    Fixture f;
    const RunResult good = f.run("");
    ASSERT_EQ(good.status, 0) << good.err;
    for (const Refusal& r : kRefusals) {
        const RunResult out = f.run(r.lines);
        EXPECT_EQ(out.status, 255) << r.lines << out.err;
        EXPECT_NE(out.err.find("velmora, "), std::string::npos) << r.lines << out.err;
        EXPECT_NE(out.err.find(r.text), std::string::npos) << r.lines << out.err;
    }
}

// Every scalar key with the values a slip of the keyboard gives: the run succeeds or is refused,
// and nothing else happens.
TEST(ConfigRefusal, NoValueOfAnyKeyEndsInAnythingButARunOrARefusal) {
    const char* keys[] = {"fsin",
                          "fsout",
                          "nbitsin",
                          "nbitsout",
                          "block_size",
                          "nummics",
                          "numrefs",
                          "numpilots",
                          "pilots_as_audio",
                          "numins",
                          "numouts",
                          "mode",
                          "init_time",
                          "hpf_power",
                          "aec_power",
                          "aec_level",
                          "aec_merge_refs",
                          "aec_tde_maxoffset",
                          "aec_tde_refoffset",
                          "dr_power",
                          "dr_level",
                          "bf_algorithm",
                          "bf_power",
                          "bf_level",
                          "bf_look",
                          "bf_islocked",
                          "ns_power",
                          "ns_level",
                          "pf_algorithm",
                          "pf_res_floor",
                          "pf_speech_minsnr",
                          "pf_level",
                          "pf_wait",
                          "pf_timeout",
                          "agc_algorithm",
                          "agc_gain",
                          "agc_level",
                          "agc_power",
                          "volume_type",
                          "volume_position",
                          "ssl_numscans",
                          "ssl_halfscan",
                          "ssl_elevation",
                          "ssl_forget",
                          "ssl_f_low",
                          "ssl_f_high",
                          "vad_algorithm",
                          "vad_forget",
                          "vad_target_radius",
                          "vad_minsnr",
                          "vad_target_minvar",
                          "vad_noise_minvar",
                          "train_repeat",
                          "train_input_offset",
                          "train_input_len",
                          "train_out_pooling",
                          "train_ark_batch_size"};
    const char* values[] = {"-1", "0", "2147483647", "1e30", "nan", "x"};
    Fixture f;
    for (const char* key : keys) {
        for (const char* value : values) {
            const std::string line = std::string(key) + " = " + value + "\n";
            const RunResult out = f.run(line);
            if (out.status == 0) continue;
            EXPECT_TRUE(out.status == 255 || out.status == 159) << line << out.err;
            EXPECT_EQ(out.err.find("assertion"), std::string::npos) << line << out.err;
            EXPECT_NE(out.err.find("velmora, "), std::string::npos) << line << out.err;
        }
    }
}

}  // namespace
}  // namespace velmora::test
