#include "mode/TestMode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Params.h"
#include "mode/Decimator.h"
#include "mode/HPF.h"
#include "mode/TestBypass.h"

using velmora::Params;
using velmora::mode::Decimator;
using velmora::mode::HPF;
using velmora::mode::TestBypass;
using velmora::mode::TestMode;

namespace {

const std::string kSeparator = "\n----------------------------------------------\n\n";

// Three microphones, two references, 10 ms at 16 kHz, no high-pass, the given items.
Params smallParams(std::vector<int> items, int numouts) {
    Params p;
    p.mode = 3;
    p.nummics = 3;
    p.numrefs = 2;
    p.numouts = numouts;
    p.hpf_power = 0;
    for (int k = 0; k < velmora::kMaxTestItems; ++k)
        p.test_items[k] = k < static_cast<int>(items.size()) ? items[k] : -1;
    return p;
}

// A sawtooth-like test signal; `shift` gives a different block of the same shape.
std::vector<float> ramp(size_t n, size_t shift = 0) {
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = static_cast<float>((i + shift) % 97) / 97.0f - 0.5f;
    return x;
}

std::string constructError(const Params& p) {
    try {
        TestMode m(&p);
    } catch (const char* e) {
        return e;
    }
    return "";
}

TEST(TestMode, BypassKindsCopyTheirChannels) {
    const int frames = 160, nc = 5;
    const struct { int kind, first, count; } cases[] = {{0, 0, 5}, {1, 0, 3}, {2, 3, 2}};
    for (const auto& c : cases) {
        Params p = smallParams({c.kind}, c.count);
        TestMode m(&p);
        EXPECT_EQ(m.inFramesPerBlock(), frames);
        EXPECT_EQ(m.outFramesPerBlock(), frames);
        EXPECT_EQ(m.numOuts(), c.count);
        const std::vector<float> x = ramp(static_cast<size_t>(frames) * nc);
        std::vector<float> in = x, out(static_cast<size_t>(frames) * c.count, -9.0f);
        m.process(in.data(), out.data());
        for (int f = 0; f < frames; ++f)
            for (int j = 0; j < c.count; ++j)
                ASSERT_EQ(out[f * c.count + j], x[f * nc + c.first + j]) << c.kind << " " << f;
        // A null output is allowed and leaves everything alone.
        m.process(in.data(), nullptr);
        EXPECT_EQ(in, x);
    }
}

// With the default power the output is the high-passed input; the caller's block, which
// the other items also measure, stays unfiltered.
TEST(TestMode, BypassFiltersWithoutTouchingTheBlock) {
    Params p = smallParams({0}, 5);
    p.hpf_power = 4;
    TestMode m(&p);
    HPF ref(5, 4);
    for (int block = 0; block < 3; ++block) {
        std::vector<float> in = ramp(160 * 5, 11 * block), expect(160 * 5), out(160 * 5);
        const std::vector<float> before = in;
        ref.process(before.data(), expect.data(), 160);
        m.process(in.data(), out.data());
        EXPECT_EQ(out, expect);
        EXPECT_EQ(in, before);
    }
}

// With aec_tde_active a fixed aec_tde_refoffset delays the microphones (positive) or the
// references (negative) of the filtered block; inactive, the offset is ignored.
TEST(TestMode, BypassAlignsWithTheDelayEstimator) {
    const int frames = 160, nc = 5, blocks = 4;
    const struct {
        bool active;
        float refoffset;
        int kind, micDelay, refDelay;
    } cases[] = {{true, 0.01f, 0, 160, 0}, {true, -0.01f, 0, 0, 160}, {true, -0.02f, 2, 0, 320},
                 {true, 0.005f, 1, 80, 0}, {false, 0.01f, 0, 0, 0},   {true, 0.0f, 0, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refoffset);
        const int count = c.kind == 0 ? nc : c.kind == 1 ? 3 : 2;
        const int first = c.kind == 2 ? 3 : 0;
        Params p = smallParams({c.kind}, count);
        p.hpf_power = 4;
        p.aec_tde_active = c.active;
        p.aec_tde_refoffset = c.refoffset;
        TestMode m(&p);
        HPF hpf(nc, 4);
        const std::vector<float> x = ramp(static_cast<size_t>(frames) * nc * blocks);
        std::vector<float> filtered(x.size()), out(static_cast<size_t>(frames) * count * blocks);
        hpf.process(x.data(), filtered.data(), frames * blocks);
        for (int b = 0; b < blocks; ++b) {
            std::vector<float> in(x.begin() + b * frames * nc, x.begin() + (b + 1) * frames * nc);
            m.process(in.data(), out.data() + b * frames * count);
        }
        for (int f = 0; f < frames * blocks; ++f) {
            for (int j = 0; j < count; ++j) {
                const int ch = first + j;
                const int d = ch < 3 ? c.micDelay : c.refDelay;
                const float expect = f >= d ? filtered[(f - d) * nc + ch] : 0.0f;
                ASSERT_EQ(out[f * count + j], expect) << "frame " << f << " channel " << ch;
            }
        }
    }
}

TEST(TestMode, DecimatesBeforeTheItemsAt48k) {
    Params p = smallParams({0}, 5);
    p.fsin = 48000;
    TestMode m(&p);
    ASSERT_EQ(m.inFramesPerBlock(), 480);
    ASSERT_EQ(m.outFramesPerBlock(), 160);
    Decimator ref(5, 48000);
    for (int block = 0; block < 2; ++block) {
        std::vector<float> in = ramp(480 * 5, 3 * block);
        std::vector<float> expect(160 * 5), out(160 * 5);
        ref.process(in.data(), expect.data(), 480);
        m.process(in.data(), out.data());
        EXPECT_EQ(out, expect);
    }
}

TEST(TestMode, ConstructionErrors) {
    Params defaults;
    defaults.mode = 3;  // one item, 0: all 8 channels, but one output
    EXPECT_EQ(constructError(defaults), "velmora, TestBypass: No. of outputs not match: 1, 8");
    EXPECT_EQ(constructError(smallParams({1}, 2)),
              "velmora, TestBypass: No. of outputs not match: 2, 3");
    EXPECT_EQ(constructError(smallParams({2}, 3)),
              "velmora, TestBypass: No. of outputs not match: 3, 2");
    EXPECT_EQ(constructError(smallParams({0, 7}, 5)), "velmora, TestMode: Unknown test item: 7");
    EXPECT_EQ(constructError(smallParams({106}, 5)), "velmora, TestMode: Unknown test item: 106");
    EXPECT_EQ(constructError(smallParams({201}, 5)), "velmora, TestMode: Unknown test item: 201");
    Params range = smallParams({0}, 5);
    range.aec_tde_active = true;
    range.aec_tde_maxoffset = 1e6f;  // more than 65 s of search range
    EXPECT_EQ(constructError(range),
              "velmora, TDE: Invalid aec_tde_maxoffset: 1e+06, allowed 0 to 10");
    Params badRate = smallParams({0}, 5);
    badRate.fsin = 8000;
    EXPECT_EQ(constructError(badRate),
              "velmora, Decimator: Unsupported input sampling rate: 8000, required: 16000, "
              "32000, or 48000");
    Params p = smallParams({}, 5);
    try {
        TestBypass b(&p, 3);
        FAIL();
    } catch (const char* e) {
        EXPECT_STREQ(e, "velmora, TestBypass: Unknown bypass item: 3");
    }
}

// Reports come out at destruction, with one separator line between consecutive reports.
TEST(TestMode, ReportSeparators) {
    const struct {
        std::vector<int> items;
        size_t separators;
    } cases[] = {{{}, 0}, {{0}, 0}, {{0, 0}, 1}, {{0, 0, 0}, 2}, {std::vector<int>(100, 0), 99}};
    for (const auto& c : cases) {
        Params p = smallParams(c.items, 5);
        testing::internal::CaptureStdout();
        {
            TestMode m(&p);
            std::vector<float> in = ramp(160 * 5), out(160 * 5);
            m.process(in.data(), out.data());
        }
        std::string expect;
        for (size_t k = 0; k < c.separators; ++k) expect += kSeparator;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expect) << c.items.size();
    }
    // A failed construction prints no reports.
    Params bad = smallParams({0, 0, 9}, 5);
    testing::internal::CaptureStdout();
    EXPECT_NE(constructError(bad), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(TestMode, NeutralAnswers) {
    Params p = smallParams({0}, 5);
    TestMode m(&p);
    EXPECT_EQ(m.numMics(), 3);
    EXPECT_EQ(m.numRefs(), 2);
    EXPECT_EQ(m.delay(), 0);
    EXPECT_EQ(m.look(0), 0.0f);
    EXPECT_EQ(m.direction(0), 0.0f);
    EXPECT_EQ(m.volume(0), 0.0f);
    EXPECT_EQ(m.vadValue(0), 0.0f);
}

}  // namespace
