// Blind separation of two simultaneous talkers in simulated rooms through the engine: SIR
// improvement and SI-SDR of the best outputs after 5 s, the directions PostSRP finds for them,
// the selectors' refusals, hostile input and allocation-free blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "bf/SeparationScenes.h"
#include "common/TestUtil.h"
#include "ssl/Angle.h"

using velmora::Params;
using velmora::Velmora;
namespace test = velmora::test;

namespace {

const std::vector<std::array<float, 3>> kPair = {{-0.025f, 0.0f, 0.0f}, {0.025f, 0.0f, 0.0f}};
constexpr int kFrom = 5 * test::kFs;  // quality is measured after the first 5 s

test::Separation separate(const test::TwoTalkerScene& t, int bf, float level, int numouts,
                          std::vector<float>* directions = nullptr) {
    Params p = test::separationParams(t, numouts, bf, directions ? 100 : 0);
    p.bf_level = level;
    Velmora engine(p);
    const auto outs = test::runEngine(engine, t, numouts, [](int) {});
    if (directions)
        for (int o = 0; o < numouts; ++o) directions->push_back(engine.direction(o));
    return test::separationOf(outs, t, kFrom);
}

void report(const char* what, const test::Separation& s) {
    std::printf("%-28s SIR gain %6.2f / %6.2f dB, SI-SDR %6.2f / %6.2f dB (outputs %d, %d)\n", what,
                s.sirGainA, s.sirGainB, s.siSdrA, s.siSdrB, s.outA, s.outB);
}

}  // namespace

struct Member {
    int bf;
    float level;
    const char* name;
    double floor60, floor150;  // least SIR improvement of either talker, 60 and 150 degrees apart
};
// SIR improvements are plain energy ratios against the input's, so a pass-through gains 0 dB.
// Measured (60 / 150 degrees, worse talker): 401 10.1 / 8.5, 402 mode 0 11.0 / 7.9, 403 7.6 / 6.3,
// 500 mode 0 6.8 / 7.2, 500 mode 2 10.1 / 7.2 dB; the floors keep about 1 dB of margin (401
// about 0.5 dB).
const Member kStereoMembers[] = {
    {0, 0.0f, "pass-through", 0.0, 0.0},  {401, 0.0f, "401", 9.5, 8.0},
    {402, 0.0f, "402 mode 0", 10.0, 7.0}, {403, 0.0f, "403", 6.5, 5.5},
    {500, 0.0f, "500 mode 0", 6.0, 6.0},  {500, 2.0f, "500 mode 2", 6.0, 6.0}};

// Two microphones 5 cm apart, talkers 60 and 150 degrees apart, RT60 0.2 s: the stereo
// separators improve the SIR of both talkers; a pass-through leaves it as it is.
TEST(Separation, StereoMembersSeparateTwoTalkers) {
    for (float apart : {60.0f, 150.0f}) {
        const test::TwoTalkerScene t = test::twoTalkers(kPair, 0.2f, 90.0f - apart, 90.0f);
        for (const Member& m : kStereoMembers) {
            const test::Separation s = separate(t, m.bf, m.level, 2);
            const std::string name =
                std::string(m.name) + ", " + std::to_string(static_cast<int>(apart)) + " deg";
            report(name.c_str(), s);
            if (m.bf == 0) {
                EXPECT_NEAR(s.sirGainA, 0.0, 1.0);  // either microphone may serve a talker
                EXPECT_NEAR(s.sirGainB, 0.0, 1.0);
                continue;
            }
            const double floorDb = apart == 60.0f ? m.floor60 : m.floor150;
            EXPECT_GE(s.sirGainA, floorDb) << name;
            EXPECT_GE(s.sirGainB, floorDb) << name;
        }
    }
}

// The figures of the quality report: both rooms, 60 and 150 degrees apart, every mode (run by
// hand with --gtest_also_run_disabled_tests; about a minute). With VELMORA_SEPARATION_DIR set,
// each mixture is written there as mix_<rt60 ms>_<degrees>.wav, and a batch separation of it
// found there as batch_<rt60 ms>_<degrees>.wav (tools/batch_auxiva.py) is measured alike.
TEST(Separation, DISABLED_Figures) {
    const char* dir = std::getenv("VELMORA_SEPARATION_DIR");
    for (float rt60 : {0.2f, 0.4f})
        for (float apart : {60.0f, 150.0f}) {
            const test::TwoTalkerScene t = test::twoTalkers(kPair, rt60, 90.0f - apart, 90.0f);
            const std::string tag = std::to_string(static_cast<int>(rt60 * 1000.0f + 0.5f)) + "_" +
                                    std::to_string(static_cast<int>(apart));
            if (dir) {
                velmora::scene::writeWav(std::string(dir) + "/mix_" + tag + ".wav", t.mixture, 2,
                                         test::kFs);
                const std::string batch = std::string(dir) + "/batch_" + tag + ".wav";
                if (std::FILE* f = std::fopen(batch.c_str(), "rb")) {
                    std::fclose(f);
                    int channels = 0;
                    const std::vector<float> y =
                        velmora::scene::readWav(batch, test::kFs, &channels);
                    // through the same front end as the references
                    const std::vector<float> seen = test::frontEnd(y, kPair);
                    std::vector<std::vector<float>> outs(2, std::vector<float>(seen.size() / 2));
                    for (size_t i = 0; i < outs[0].size(); ++i)
                        for (int o = 0; o < 2; ++o) outs[o][i] = seen[2 * i + o];
                    char name[96];
                    std::snprintf(name, sizeof name, "RT60 %.1f, %3.0f deg, batch AuxIVA", rt60,
                                  apart);
                    report(name, test::separationOf(outs, t, kFrom));
                }
            }
            const Member all[] = {{401, 0.0f, "401", 0, 0},        {402, 0.0f, "402 mode 0", 0, 0},
                                  {402, 1.0f, "402 mode 1", 0, 0}, {402, 2.0f, "402 mode 2", 0, 0},
                                  {403, 0.0f, "403", 0, 0},        {500, 0.0f, "500 mode 0", 0, 0},
                                  {500, 1.0f, "500 mode 1", 0, 0}, {500, 2.0f, "500 mode 2", 0, 0}};
            for (const Member& m : all) {
                char name[96];
                std::snprintf(name, sizeof name, "RT60 %.1f, %3.0f deg, %s", rt60, apart, m.name);
                report(name, separate(t, m.bf, m.level, 2));
            }
        }
}

// The default 7-microphone array with TwoLevelIVA (7 outputs) in its default mode 0 and in the
// two-level mode 2, with PostSRP behind it: the two outputs carrying the talkers improve their
// SIR (mode 2 by at least 6 dB; mode 0, whose one full-band weight per source spreads a talker
// over several of the seven outputs, 4.3 / 7.0 dB measured, by 4 dB), and their directions are
// within 15 degrees of the truth.
TEST(Separation, SevenMicsSeparateAndLocalise) {
    const test::TwoTalkerScene t =
        test::twoTalkers(velmora::scene::Scene::defaultArray(), 0.2f, 30.0f, 150.0f);
    for (float level : {0.0f, 2.0f}) {
        const double floorDb = level == 2.0f ? 6.0 : 4.0;
        std::vector<float> dirs;
        const test::Separation s = separate(t, 500, level, t.numMics, &dirs);
        const std::string name = "500 mode " + std::to_string(static_cast<int>(level));
        report((name + ", 7 mics, RT60 0.2 s").c_str(), s);
        std::printf(
            "PostSRP: output %d -> %.1f deg (A at %.0f), output %d -> %.1f deg (B at %.0f)\n",
            s.outA, dirs[s.outA], t.azimuthA, s.outB, dirs[s.outB], t.azimuthB);
        EXPECT_GE(s.sirGainA, floorDb) << name;
        EXPECT_GE(s.sirGainB, floorDb) << name;
        EXPECT_LE(std::fabs(velmora::ssl::angleDifference(dirs[s.outA], t.azimuthA)), 15.0f)
            << name;
        EXPECT_LE(std::fabs(velmora::ssl::angleDifference(dirs[s.outB], t.azimuthB)), 15.0f)
            << name;
    }
}

// The multistream pipeline (mode 9) separates the two talkers on its outermost pair of the
// default array (microphones 0 and 6) with the stereo separators (9.3 / 13.9 dB measured for
// 402, 15.0 / 17.4 dB for 403).
TEST(Separation, MultistreamPipelineSeparatesOnTheOutermostPair) {
    const test::TwoTalkerScene t =
        test::twoTalkers(velmora::scene::Scene::defaultArray(), 0.2f, 30.0f, 150.0f);
    for (int bf : {402, 403}) {
        Params p = test::separationParams(t, 2, bf);
        p.mode = 9;
        Velmora engine(p);
        const auto outs = test::runEngine(engine, t, 2, [](int) {});
        const test::Separation s = test::separationOf(outs, t, kFrom);
        report(bf == 402 ? "mode 9, 402" : "mode 9, 403", s);
        const double floorDb = bf == 402 ? 8.0 : 14.0;
        EXPECT_GE(s.sirGainA, floorDb) << bf;
        EXPECT_GE(s.sirGainB, floorDb) << bf;
    }
}
