#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Params.h"

namespace velmora {
namespace {

std::string printed(const Params& p) {
    testing::internal::CaptureStdout();
    p.print();
    return testing::internal::GetCapturedStdout();
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

std::string repeatJoined(const std::string& item, int n) {
    std::string s;
    for (int k = 0; k < n; ++k) s += (k ? "," : "") + item;
    return s;
}

// The listing of the defaults, written out line by line from the listing format.
std::string defaultListing() {
    return joinLines({
        "#",
        "# Common Parameters:",
        "#",
        "fsin = 16000",
        "fsout = 16000",
        "nbitsin = 16",
        "nbitsout = 16",
        "block_size = 0.010000",
        "nummics = 7",
        "numrefs = 1",
        "numpilots = 0",
        "pilots_as_audio = 1",
        "numins = 0",
        "chorder = 0,1,2,3,4,5,6,7",
        "numouts = 1",
        "fe_in_path = ",
        "fe_out_path = ",
        "kws_event_path = ",
        "miccoor = ",
        "0.042500 0.000000 0.000000",
        "0.021250 0.036806 0.000000",
        "-0.021250 0.036806 0.000000",
        "-0.042500 0.000000 0.000000",
        "-0.021250 -0.036806 0.000000",
        "0.021250 -0.036806 0.000000",
        "0.000000 0.000000 0.000000",
        "mode = 4",
        "init_time = 3.000000",
        "hpf_power = 4",
        "",
        "#",
        "# AEC Parameters:",
        "#",
        "aec_algorithm = 201",
        "aec_power = 0",
        "aec_level = 0.000000",
        "aec_merge_refs = 0",
        "aec_tde_active = 0",
        "aec_tde_maxoffset = 0.000000",
        "aec_tde_refoffset = 0.000000",
        "",
        "#",
        "# DR Parameters:",
        "#",
        "dr_algorithm = 0",
        "dr_power = 0",
        "dr_level = 0.000000",
        "",
        "#",
        "# BF Parameters:",
        "#",
        "bf_algorithm = 0",
        "bf_power = 0",
        "bf_level = 0.000000",
        "bf_look = 0.000000",
        "bf_islocked = 0",
        "bf_model_base = ",
        "",
        "#",
        "# NS Parameters:",
        "#",
        "ns_algorithm = 0",
        "ns_power = 0",
        "ns_level = 0.100000",
        "ns_model_base = ",
        "",
        "#",
        "# PF Parameters:",
        "#",
        "pf_algorithm = 0",
        "pf_res_floor = -20.000000",
        "pf_speech_minsnr = -5.000000",
        "pf_level = 0.300000",
        "pf_wait = 2.000000",
        "pf_timeout = 1.000000",
        "",
        "#",
        "# AGC Parameters:",
        "#",
        "agc_algorithm = 1",
        "agc_gain = 1.000000",
        "agc_level = 4",
        "agc_power = 3",
        "",
        "#",
        "# Volume Parameters:",
        "#",
        "volume_type = 0",
        "volume_position = 0",
        "",
        "#",
        "# SSL Parameters:",
        "#",
        "ssl_algorithm = 0",
        "ssl_numscans = 36",
        "ssl_halfscan = 0",
        "ssl_elevation = 0.000000",
        "ssl_forget = 1.000000",
        "ssl_f_low = 100",
        "ssl_f_high = 7900",
        "",
        "#",
        "# VAD Parameters:",
        "#",
        "vad_algorithm = 0",
        "vad_forget = 0.000000",
        "vad_target_radius = 20.000000",
        "vad_minsnr = 0.000000",
        "vad_target_minvar = 0.000000",
        "vad_noise_minvar = 0.000000",
        "vad_model_base = ",
        "",
        "#",
        "# Test Mode Parameters:",
        "#",
        "test_items = 0",
        "test_print_detail = 0",
        "test_saturation_level = 0.990000",
        "test_max_saturation_rate = 0.010000",
        "test_discontinuity_level = 3.000000",
        "test_max_discontinuity_rate = 0.010000",
        "test_max_similarity = 0.990000",
        "test_max_amp_diff_rate = 0.030000",
        "test_freqdb_min_similarity = 0.900000",
        "test_freqdb_lower = " + repeatJoined("-200.000000", 160),
        "test_freqdb_upper = " + repeatJoined("200.000000", 160),
        "",
        "#",
        "# Model Training Parameters:",
        "#",
        "train_feature = 0",
        "train_repeat = 1",
        "train_input_offset = 0.000000",
        "train_input_len = 0.000000",
        "train_out_pooling = 0",
        "train_ark_batch_size = 10.000000",
    });
}

TEST(Params, DefaultsPrintTheExactListing) {
    Params p;
    EXPECT_EQ(printed(p), defaultListing());
}

TEST(Params, DefaultsBeyondTheListedEntries) {
    Params p;
    for (int k = 0; k < kMaxChannels; ++k) EXPECT_EQ(p.chorder[k], k);
    for (int m = 7; m < kMaxChannels; ++m)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(p.miccoor[m][c], 0.0f) << m;
    EXPECT_EQ(p.test_items[0], 0);
    EXPECT_LT(p.test_items[1], 0);
    EXPECT_EQ(p.fe_in_path, nullptr);
    EXPECT_FALSE(p.own_fe_in_path || p.own_fe_out_path || p.own_bf_model_base ||
                 p.own_ns_model_base || p.own_vad_model_base);
    EXPECT_EQ(sizeof(p.pilots_as_audio), 1u);
}

TEST(Params, PrintShowsSetStringsAndClampsHostileCounts) {
    Params p;
    p.setString(&p.fe_in_path, "in.raw");
    p.setString(&p.vad_model_base, "models/vad");
    p.test_items[0] = 3;
    p.test_items[1] = 1;
    p.test_items[2] = -1;
    std::string out = printed(p);
    EXPECT_NE(out.find("\nfe_in_path = in.raw\n"), std::string::npos);
    EXPECT_NE(out.find("\nvad_model_base = models/vad\n"), std::string::npos);
    EXPECT_NE(out.find("\ntest_items = 3,1\n"), std::string::npos);

    // Counts beyond the arrays never print more than the arrays hold.
    p.nummics = 500;
    p.numrefs = 500;
    for (int k = 0; k < kMaxTestItems; ++k) p.test_items[k] = 1;
    out = printed(p);
    EXPECT_NE(out.find("\nchorder = 0,1,2"), std::string::npos);
    EXPECT_NE(out.find(",99\nnumouts"), std::string::npos);
    EXPECT_NE(out.find("\ntest_items = " + repeatJoined("1", 100) + "\n"), std::string::npos);
}

TEST(Params, CopiesAreDeepAndIndependent) {
    Params a;
    a.setString(&a.fe_in_path, "in.raw");
    a.setString(&a.ns_model_base, "ns");
    a.nummics = 3;
    a.chorder[2] = 40;
    a.setMicCoordinate(1, 1.0f, 2.0f, 3.0f);
    a.test_freqdb_upper[159] = 7.0f;

    Params b(a);
    EXPECT_EQ(printed(b), printed(a));
    ASSERT_NE(b.fe_in_path, nullptr);
    EXPECT_NE(b.fe_in_path, a.fe_in_path);
    EXPECT_STREQ(b.fe_in_path, "in.raw");
    EXPECT_TRUE(b.own_fe_in_path && b.own_ns_model_base);
    EXPECT_FALSE(b.own_fe_out_path || b.own_bf_model_base || b.own_vad_model_base);
    EXPECT_EQ(b.fe_out_path, nullptr);
    EXPECT_EQ(b.test_freqdb_upper[159], 7.0f);

    const std::string before = printed(b);
    a.setString(&a.fe_in_path, "other.raw");
    a.setString(&a.ns_model_base, nullptr);
    a.chorder[2] = 1;
    a.setMicCoordinate(1, 9.0f, 9.0f, 9.0f);
    EXPECT_EQ(printed(b), before);

    // Assignment over an object that owns strings of its own.
    Params c;
    c.setString(&c.bf_model_base, "bf");
    c = b;
    EXPECT_EQ(printed(c), before);
    EXPECT_EQ(c.bf_model_base, nullptr);
    EXPECT_FALSE(c.own_bf_model_base);
    EXPECT_NE(c.ns_model_base, b.ns_model_base);
    b.setString(&b.ns_model_base, "changed");
    EXPECT_STREQ(c.ns_model_base, "ns");

    Params& alias = c;
    c = alias;
    EXPECT_EQ(printed(c), before);

    // A string the object does not own is copied, but never freed by its holder.
    static char external[] = "external";
    Params d;
    d.fe_out_path = external;
    Params e(d);
    EXPECT_NE(e.fe_out_path, external);
    EXPECT_STREQ(e.fe_out_path, "external");
    EXPECT_TRUE(e.own_fe_out_path);
}

std::string errorOf(void (*fn)(Params&), Params& p) {
    try {
        fn(p);
    } catch (const char* e) {
        return e;
    }
    return "<no error>";
}

TEST(Params, MicCoordinateAccessIsBounded) {
    Params p;
    float x = -1, y = -1, z = -1;
    p.getMicCoordinate(1, &x, &y, &z);
    EXPECT_FLOAT_EQ(x, 0.02125f);
    EXPECT_FLOAT_EQ(y, 0.036806f);
    EXPECT_EQ(z, 0.0f);
    p.setMicCoordinate(6, 1.0f, 2.0f, 3.0f);
    p.getMicCoordinate(6, &x, &y, &z);
    EXPECT_EQ(x + y + z, 6.0f);

    EXPECT_EQ(errorOf([](Params& q) { q.setMicCoordinate(7, 0, 0, 0); }, p),
              "velmora, Params: Mic index out of bounds: 7");
    EXPECT_EQ(errorOf([](Params& q) { q.getMicCoordinate(-1, nullptr, nullptr, nullptr); }, p),
              "velmora, Params: Mic index out of bounds: -1");
    p.nummics = 150;
    p.setMicCoordinate(99, 1, 1, 1);
    EXPECT_EQ(errorOf([](Params& q) { q.setMicCoordinate(100, 0, 0, 0); }, p),
              "velmora, Params: Mic index out of bounds: 100");
}

TEST(Params, SetChannelOrderStoresInputCountAndIndices) {
    Params p;
    p.setChannelOrder(10, 9, 8, 7, 6, 5, 4, 3, 2);
    EXPECT_EQ(p.numins, 10);
    const int expected[] = {9, 8, 7, 6, 5, 4, 3, 2, 8, 9};
    for (int k = 0; k < 10; ++k) EXPECT_EQ(p.chorder[k], expected[k]) << k;

    EXPECT_EQ(errorOf([](Params& q) { q.setChannelOrder(6, 0, 1, 2, 3, 4, 5); }, p),
              "velmora, Params: No. of input channels out of bounds: 6, 8");
    EXPECT_EQ(p.numins, 10);

    // More channels than chorder holds are refused instead of written past its end.
    p.nummics = 99;
    p.numrefs = 2;
    EXPECT_EQ(errorOf([](Params& q) { q.setChannelOrder(101, 0); }, p),
              "velmora, Params: No. of input channels out of bounds: 101, 100");
}

TEST(ParamsDeathTest, SetChannelOrderAssertsIndexRange) {
    Params p;
    EXPECT_DEATH(p.setChannelOrder(8, 0, 1, 2, 3, 4, 5, 6, 8), "chidx >= 0 && chidx < numins");
    EXPECT_DEATH(p.setChannelOrder(8, 0, 1, 2, -1, 4, 5, 6, 7), "chidx >= 0 && chidx < numins");
}

}  // namespace
}  // namespace velmora
