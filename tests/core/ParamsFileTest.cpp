#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Params.h"
#include "common/TestUtil.h"

namespace velmora {
namespace {

std::string printed(const Params& p) {
    testing::internal::CaptureStdout();
    p.print();
    return testing::internal::GetCapturedStdout();
}

// Reads `text` as a configuration file.
Params parse(const std::string& text) {
    test::TempDir dir;
    const std::string path = dir.file("test.conf");
    test::writeFile(path, text);
    return Params(path.c_str());
}

std::string parseError(const std::string& text) {
    try {
        parse(text);
    } catch (const char* e) {
        return e;
    }
    return "<no error>";
}

std::string repeatJoined(const std::string& item, int n) {
    std::string s;
    for (int k = 0; k < n; ++k) s += (k ? "," : "") + item;
    return s;
}

// Every field the listing does not show completely, and the strings.
void expectSameFields(const Params& a, const Params& b) {
    EXPECT_EQ(printed(a), printed(b));
    EXPECT_EQ(std::memcmp(a.chorder, b.chorder, sizeof a.chorder), 0);
    EXPECT_EQ(std::memcmp(a.miccoor, b.miccoor, sizeof a.miccoor), 0);
    EXPECT_EQ(std::memcmp(a.test_items, b.test_items, sizeof a.test_items), 0);
    EXPECT_EQ(std::memcmp(a.test_freqdb_lower, b.test_freqdb_lower, sizeof a.test_freqdb_lower), 0);
    EXPECT_EQ(std::memcmp(a.test_freqdb_upper, b.test_freqdb_upper, sizeof a.test_freqdb_upper), 0);
    const char* const sa[] = {a.fe_in_path,    a.fe_out_path,   a.kws_event_path,
                              a.bf_model_base, a.ns_model_base, a.vad_model_base};
    const char* const sb[] = {b.fe_in_path,    b.fe_out_path,   b.kws_event_path,
                              b.bf_model_base, b.ns_model_base, b.vad_model_base};
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(sa[k] == nullptr, sb[k] == nullptr) << k;
        if (sa[k] && sb[k]) {
            EXPECT_STREQ(sa[k], sb[k]);
        }
    }
}

TEST(ParamsFile, CommentsAndBlankLinesGiveTheDefaults) {
    Params p = parse("# only comments\n#fsin = 8000\n\n\r\n#\nx\n");
    expectSameFields(p, Params());
    EXPECT_NE(printed(p).find("\nssl_f_high = 7900\n"), std::string::npos);
}

TEST(ParamsFile, DefaultConfigurationParsesToTheDefaults) {
    const std::string path = std::string(VELMORA_SOURCE_DIR) + "/conf/default.conf";
    Params p(path.c_str());
    expectSameFields(p, Params());
}

// Every scalar key, written with a non-default value, changes its own line of the listing and
// nothing else.
TEST(ParamsFile, EveryKeyReachesItsOwnField) {
    struct Case {
        const char* key;
        const char* value;
        const char* shown;
    };
    const char* const kInt[] = {
        "fsin",          "fsout",         "nbitsin",      "nbitsout",     "nummics",
        "numrefs",       "numpilots",     "numins",       "numouts",      "mode",
        "hpf_power",     "aec_algorithm", "aec_power",    "dr_algorithm", "dr_power",
        "bf_algorithm",  "bf_power",      "ns_algorithm", "ns_power",     "pf_algorithm",
        "agc_algorithm", "agc_level",     "agc_power",    "volume_type",  "volume_position",
        "ssl_algorithm", "ssl_numscans",  "ssl_f_low",    "ssl_f_high",   "vad_algorithm",
        "train_feature", "train_repeat"};
    const char* const kFloat[] = {"block_size",
                                  "init_time",
                                  "aec_level",
                                  "aec_tde_maxoffset",
                                  "aec_tde_refoffset",
                                  "dr_level",
                                  "bf_level",
                                  "bf_look",
                                  "ns_level",
                                  "pf_res_floor",
                                  "pf_speech_minsnr",
                                  "pf_level",
                                  "pf_wait",
                                  "pf_timeout",
                                  "agc_gain",
                                  "ssl_elevation",
                                  "ssl_forget",
                                  "vad_forget",
                                  "vad_target_radius",
                                  "vad_minsnr",
                                  "vad_target_minvar",
                                  "vad_noise_minvar",
                                  "test_saturation_level",
                                  "test_max_saturation_rate",
                                  "test_discontinuity_level",
                                  "test_max_discontinuity_rate",
                                  "test_max_similarity",
                                  "test_max_amp_diff_rate",
                                  "test_freqdb_min_similarity",
                                  "train_input_offset",
                                  "train_input_len",
                                  "train_ark_batch_size"};
    const char* const kBool[] = {"aec_merge_refs", "aec_tde_active",    "bf_islocked",
                                 "ssl_halfscan",   "test_print_detail", "train_out_pooling"};
    const char* const kString[] = {"fe_in_path",    "fe_out_path",   "kws_event_path",
                                   "bf_model_base", "ns_model_base", "vad_model_base"};
    std::vector<Case> cases;
    for (const char* k : kInt) cases.push_back({k, "5", "5"});
    for (const char* k : kFloat) cases.push_back({k, "12.5", "12.500000"});
    for (const char* k : kBool) cases.push_back({k, "7", "1"});
    for (const char* k : kString) cases.push_back({k, "/data/x.bin", "/data/x.bin"});
    cases.push_back({"pilots_as_audio", "0", "0"});

    const std::string defaults = printed(Params());
    for (const Case& c : cases) {
        const std::string key = std::string("\n") + c.key + " = ";
        const size_t at = defaults.find(key);
        ASSERT_NE(at, std::string::npos) << c.key;
        const size_t end = defaults.find('\n', at + 1);
        std::string expected = defaults;
        expected.replace(at, end - at, key + c.shown);
        // nummics also sets how many coordinate rows and chorder entries are listed.
        if (std::string(c.key) == "nummics" || std::string(c.key) == "numrefs" ||
            std::string(c.key) == "numpilots")
            continue;
        EXPECT_EQ(printed(parse(std::string(c.key) + " = " + c.value + "\n")), expected) << c.key;
    }

    Params counts = parse("nummics = 5\nnumrefs = 2\nnumpilots = 3\n");
    EXPECT_EQ(counts.nummics, 5);
    EXPECT_EQ(counts.numrefs, 2);
    EXPECT_EQ(counts.numpilots, 3);
    EXPECT_NE(printed(counts).find("\nchorder = 0,1,2,3,4,5,6,7,8,9\nnumouts"), std::string::npos);
}

TEST(ParamsFile, KeysAndValuesAreScannedWordByWord) {
    Params p = parse(
        "mode_x = 2\n"         // the first name that begins the key wins
        "nummics_extra = 3\n"  //
        "fsin=8000\n"          // one word: key without a value
        "unknown_key = 12\n"   // ignored
        "  nbitsin   =  24  trailing words\n"
        "nbitsout 32\n"      // no equals sign: empty value
        "numouts = 12abc\n"  // numeric prefix as atoi reads it
        "aec_power = abc\n"  // not a number
        "hpf_power = 99999999999999\n"
        "init_time = 1e-3\r\n"
        "pilots_as_audio = -4\n"
        "numins =\n"             // empty numins keeps its value
        "bf_model_base = a b\n"  // values stop at white space
        "agc_gain = 0.5");       // last line without a newline
    EXPECT_EQ(p.mode, 2);
    EXPECT_EQ(p.nummics, 3);
    EXPECT_EQ(p.fsin, 0);
    EXPECT_EQ(p.nbitsin, 24);
    EXPECT_EQ(p.nbitsout, 0);
    EXPECT_EQ(p.numouts, 12);
    EXPECT_EQ(p.aec_power, 0);
    EXPECT_EQ(p.hpf_power, 2147483647);
    EXPECT_FLOAT_EQ(p.init_time, 0.001f);
    EXPECT_TRUE(p.pilots_as_audio);
    EXPECT_EQ(p.numins, 0);
    EXPECT_STREQ(p.bf_model_base, "a");
    EXPECT_TRUE(p.own_bf_model_base);
    EXPECT_EQ(p.agc_gain, 0.5f);

    Params q = parse("numins = 12\nnumins = \nfe_in_path = a\nfe_in_path = b\n");
    EXPECT_EQ(q.numins, 12);
    EXPECT_STREQ(q.fe_in_path, "b");
}

TEST(ParamsFile, MicCoordinateBlock) {
    // The block reads as many lines as nummics holds when it opens; comment lines do not count,
    // an empty line is a microphone at the origin, unreadable numbers stay 0.
    Params p = parse(
        "nummics = 4\n"
        "miccoor = \n"
        "# first\n"
        "0.1 0.2 0.3\n"
        "\n"
        "1.5\n"
        "x 2 3\n"
        "0.9 0.9 0.9\n"
        "nummics = 6\n");
    EXPECT_EQ(p.nummics, 6);
    const float expected[6][3] = {
        {0.1f, 0.2f, 0.3f},       {0, 0, 0}, {1.5f, 0, 0}, {0, 0, 0}, {-0.02125f, -0.036806f, 0},
        {0.02125f, -0.036806f, 0}};
    for (int m = 0; m < 6; ++m)
        for (int c = 0; c < 3; ++c) EXPECT_FLOAT_EQ(p.miccoor[m][c], expected[m][c]) << m;

    // "miccoor =" without the trailing blank opens no block: nothing changes.
    Params q = parse("miccoor =\n1 2 3\n4 5 6\n");
    expectSameFields(q, Params());

    EXPECT_EQ(parseError("nummics = 2\nmiccoor = \n1 2 3\n# 4 5 6\n"),
              "velmora, Params: Failed to read mic coordinates");
    std::string many = "nummics = 101\nmiccoor = \n";
    for (int m = 0; m < 101; ++m) many += "1 1 1\n";
    EXPECT_EQ(parseError(many), "velmora, Params: Mic index out of bounds: 100");
    Params none = parse("nummics = 0\nmiccoor = \nfsin = 8000\n");
    EXPECT_EQ(none.fsin, 8000);
}

TEST(ParamsFile, EmptySslFHighFollowsTheOutputRateSoFar) {
    EXPECT_EQ(parse("fsout = 32000\nssl_f_high = \n").ssl_f_high, 15900);
    EXPECT_EQ(parse("ssl_f_high =\nfsout = 48000\n").ssl_f_high, 7900);
    EXPECT_EQ(parse("fsout = 8001\nssl_f_high\n").ssl_f_high, 3900);
}

TEST(ParamsFile, ChannelOrder) {
    Params p = parse("chorder = 6,5,4,3,2,1,0,7\n");
    const int eight[] = {6, 5, 4, 3, 2, 1, 0, 7, 8, 9};
    for (int k = 0; k < 10; ++k) EXPECT_EQ(p.chorder[k], eight[k]) << k;

    // Entries beyond the channel count are never looked at.
    Params ninth = parse("chorder = 6,5,4,3,2,1,0,7,500\n");
    EXPECT_EQ(ninth.chorder[7], 7);
    EXPECT_EQ(ninth.chorder[8], 8);

    EXPECT_EQ(parseError("chorder = 6,5,4\n"),
              "velmora, Params: Failed to parse channel order: 6,5,4");
    EXPECT_EQ(parseError("chorder = 0,1,2,3,4,5,6,8\n"),
              "velmora, Params: Channel index out of bounds: 8, 8");
    EXPECT_EQ(parseError("chorder = 0,1,2,-3,4,5,6,7\n"),
              "velmora, Params: Channel index out of bounds: -3, 8");
    EXPECT_EQ(parseError("chorder = 0,1,2,,3,4,5,6\n"),
              "velmora, Params: Failed to parse channel order: 0,1,2,,3,4,5,6");
    EXPECT_EQ(parseError("nummics = 60\nnumrefs = 50\nchorder = 0\n"),
              "velmora, Params: No. of input channels out of bounds: 110, 100");
    EXPECT_EQ(parseError("nummics = 0\nnumrefs = 0\nchorder = 0\n"),
              "velmora, Params: No. of input channels out of bounds: 0, 100");
    EXPECT_EQ(parseError("nummics = 2147483647\nnumrefs = 2147483647\nchorder = 0\n"),
              "velmora, Params: No. of input channels out of bounds: 2147483647, 100");

    // numins widens the bound; pilots count only when carried as audio.
    Params wide = parse("numins = 12\nchorder = 11,10,9,8,7,6,5,4\n");
    EXPECT_EQ(wide.chorder[0], 11);
    EXPECT_EQ(parseError("numpilots = 2\nchorder = 0,1,2,3,4,5,6,7\n"),
              "velmora, Params: Failed to parse channel order: 0,1,2,3,4,5,6,7");
    Params pilots = parse("numpilots = 2\npilots_as_audio = 0\nchorder = 7,6,5,4,3,2,1,0\n");
    EXPECT_EQ(pilots.chorder[0], 7);
    EXPECT_EQ(pilots.chorder[8], 8);

    Params kept = parse("chorder = 1,0,2,3,4,5,6,7\nchorder = \n");
    EXPECT_EQ(kept.chorder[0], 1);
}

TEST(ParamsFile, TestItems) {
    auto shown = [](const Params& p) {
        const std::string out = printed(p);
        const size_t at = out.find("\ntest_items = ");
        return out.substr(at + 1, out.find('\n', at + 1) - at - 1);
    };
    Params emptied = parse("test_items = \n");
    EXPECT_EQ(emptied.test_items[0], -1);
    EXPECT_EQ(shown(emptied), "test_items = ");
    EXPECT_EQ(shown(parse("test_items = 1,2,3\n")), "test_items = 1,2,3");
    EXPECT_EQ(shown(parse("test_items = 5,-1,7\n")), "test_items = 5");
    // A later, shorter list overwrites only its own entries.
    EXPECT_EQ(shown(parse("test_items = 1,2,3\ntest_items = 4\n")), "test_items = 4,2,3");
    EXPECT_EQ(shown(parse("test_items = 1,2,3\ntest_items = 4,5\n")), "test_items = 4,5,3");
    EXPECT_EQ(parseError("test_items = 1,,2\n"),
              "velmora, Params: Failed to parse test items: 1,,2");
    EXPECT_EQ(parseError("test_items = 1,\n"), "velmora, Params: Failed to parse test items: 1,");

    Params full = parse("test_items = " + repeatJoined("6", 100) + "\n");
    EXPECT_EQ(shown(full), "test_items = " + repeatJoined("6", 100));
    EXPECT_EQ(parseError("test_items = " + repeatJoined("6", 101) + "\n"),
              "velmora, Params: Too many values for test_items: 101, at most 100");
    EXPECT_EQ(parseError("test_items = " + std::string(400, ',') + "\n"),
              "velmora, Params: Too many values for test_items: 401, at most 100");
}

TEST(ParamsFile, FrequencyResponseMasks) {
    Params p = parse("test_freqdb_lower = -1.5,-2\ntest_freqdb_upper = 3\ntest_freqdb_lower =\n");
    EXPECT_EQ(p.test_freqdb_lower[0], -1.5f);
    EXPECT_EQ(p.test_freqdb_lower[1], -2.0f);
    EXPECT_EQ(p.test_freqdb_lower[2], -200.0f);
    EXPECT_EQ(p.test_freqdb_upper[0], 3.0f);
    EXPECT_EQ(p.test_freqdb_upper[1], 200.0f);

    Params full = parse("test_freqdb_upper = " + repeatJoined("1", 160) + "\n");
    EXPECT_EQ(full.test_freqdb_upper[159], 1.0f);
    EXPECT_EQ(parseError("test_freqdb_upper = " + repeatJoined("1", 161) + "\n"),
              "velmora, Params: Too many values for test_freqdb_upper: 161, at most 160");
    EXPECT_EQ(parseError("test_freqdb_lower = " + repeatJoined("-1", 200) + "\n"),
              "velmora, Params: Too many values for test_freqdb_lower: 200, at most 160");
    EXPECT_EQ(parseError("test_freqdb_lower = 1,,2\n"),
              "velmora, Params: Failed to parse frequency response: 1,,2");
}

TEST(ParamsFile, LongLinesAreCutAt999Characters) {
    // The tail of an overlong comment is not read as a line of its own.
    std::string comment = "#" + std::string(998, 'c') + "nummics = 3\n";
    Params p = parse(comment + "fsin = 8000\n");
    EXPECT_EQ(p.nummics, 7);
    EXPECT_EQ(p.fsin, 8000);

    // A value is read up to the cut: 999 characters hold "test_freqdb_upper = " and 979 more,
    // which are 108 items of "-100.250," and a last "-100.25".
    std::string longList = "test_freqdb_upper = " + repeatJoined("-100.250", 300) + "\n";
    Params q = parse(longList + "fsout = 48000\n");
    EXPECT_EQ(q.test_freqdb_upper[0], -100.25f);
    EXPECT_EQ(q.test_freqdb_upper[108], -100.25f);
    EXPECT_EQ(q.test_freqdb_upper[109], 200.0f);
    EXPECT_EQ(q.fsout, 48000);
}

TEST(ParamsFile, FailuresReportAndLeakNothing) {
    EXPECT_EQ(parseError("").substr(0, 3), "<no");
    try {
        Params p("/nonexistent/dir/x.conf");
        FAIL();
    } catch (const char* e) {
        EXPECT_STREQ(e, "velmora, Params: Cannot open conf file: /nonexistent/dir/x.conf");
    }
    // Strings read before the failure are freed with the half-built object (checked by the
    // leak sanitizer).
    EXPECT_EQ(parseError("fe_in_path = a\nvad_model_base = b\nchorder = 1\n"),
              "velmora, Params: Failed to parse channel order: 1");
}

// Random configuration files, from raw bytes to plausible lines with hostile values, must be
// read or refused without touching memory outside the object.
TEST(ParamsFile, HostileInputNeverCorruptsMemory) {
    const char* const keys[] = {"fsin",
                                "fsout",
                                "nummics",
                                "numrefs",
                                "numpilots",
                                "numins",
                                "chorder",
                                "miccoor = ",
                                "test_items",
                                "fe_in_path",
                                "ssl_f_high",
                                "pilots_as_audio",
                                "test_freqdb_lower",
                                "test_freqdb_upper",
                                "block_size",
                                "vad_model_base",
                                "#",
                                "miccoor"};
    const char* const values[] = {"",
                                  "0",
                                  "-1",
                                  "7",
                                  "100",
                                  "101",
                                  "1e40",
                                  "nan",
                                  ",",
                                  ",,,",
                                  "2147483647",
                                  "-2147483648",
                                  "9999999999999999999999",
                                  "0x10",
                                  "1,2,3",
                                  "abc"};
    std::mt19937 rng(20240611u);
    test::TempDir dir;
    const std::string path = dir.file("fuzz.conf");
    std::FILE* sink = std::fopen("/dev/null", "w");
    ASSERT_NE(sink, nullptr);
    int refused = 0, read = 0;
    for (int round = 0; round < 1500; ++round) {
        std::string text;
        const int lines = rng() % 30;
        for (int l = 0; l < lines; ++l) {
            switch (rng() % 4) {
                case 0: {  // raw bytes, NULs included
                    const int n = rng() % 1500;
                    for (int b = 0; b < n; ++b) text += static_cast<char>(rng() & 0xff);
                    break;
                }
                case 1: {  // a list of many items
                    text += keys[rng() % (sizeof keys / sizeof *keys)];
                    text += " = ";
                    const int n = rng() % 300;
                    for (int b = 0; b < n; ++b) {
                        text += values[rng() % (sizeof values / sizeof *values)];
                        text += ',';
                    }
                    break;
                }
                default:
                    text += keys[rng() % (sizeof keys / sizeof *keys)];
                    text += (rng() % 5) ? " = " : "=";
                    text += values[rng() % (sizeof values / sizeof *values)];
                    break;
            }
            if (rng() % 8) text += '\n';
        }
        test::writeFile(path, text);
        try {
            Params p(path.c_str());
            Params copy(p);
            copy = p;
            copy.print(sink);
            ++read;
        } catch (const char* e) {
            EXPECT_EQ(std::strncmp(e, "velmora, Params: ", 17), 0) << e;
            ++refused;
        }
    }
    std::fclose(sink);
    EXPECT_GT(read, 0);
    EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace velmora
