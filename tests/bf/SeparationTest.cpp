// Blind separation of two simultaneous talkers in simulated rooms through the engine: SIR
// improvement and SI-SDR of the best outputs after 5 s, the directions PostSRP finds for them,
// the selectors' refusals, hostile input and allocation-free blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
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
    std::printf("%-28s SIR gain %6.2f / %6.2f dB, SI-SDR %6.2f / %6.2f dB (outputs %d, %d)\n",
                what, s.sirGainA, s.sirGainB, s.siSdrA, s.siSdrB, s.outA, s.outB);
}

}  // namespace

// Two microphones 5 cm apart, talkers 60 and 150 degrees apart, RT60 0.2 s: every stereo
// separator improves the SIR of both talkers by at least 6 dB.
TEST(Separation, StereoMembersSeparateTwoTalkers) {
    for (float apart : {60.0f, 150.0f}) {
        const test::TwoTalkerScene t = test::twoTalkers(kPair, 0.2f, 90.0f - apart, 90.0f);
        const struct {
            int bf;
            float level;
            const char* name;
        } members[] = {{402, 0.0f, "402 mode 0"}, {402, 2.0f, "402 mode 2"},
                       {403, 0.0f, "403"},        {500, 0.0f, "500 mode 0"},
                       {500, 1.0f, "500 mode 1"}, {500, 2.0f, "500 mode 2"}};
        for (const auto& m : members) {
            const test::Separation s = separate(t, m.bf, m.level, 2);
            char name[64];
            std::snprintf(name, sizeof name, "%s, %.0f deg apart", m.name, apart);
            report(name, s);
            EXPECT_GE(s.sirGainA, 6.0) << name;
            EXPECT_GE(s.sirGainB, 6.0) << name;
        }
    }
}
