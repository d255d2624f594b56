#include "mode/VolumeCalculator.h"

#include <gtest/gtest.h>

#include "common/TestUtil.h"

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "Params.h"
#include "common/AllocCounter.h"

using velmora::Params;
using velmora::mode::VolumeCalculator;

using velmora::test::errorOf;

namespace {

// Two microphones and one reference; numouts outputs.
Params config(int type, int position, int numouts = 1) {
    Params p;
    p.nummics = 2;
    p.numrefs = 1;
    p.numouts = numouts;
    p.volume_type = type;
    p.volume_position = position;
    p.agc_algorithm = 0;
    return p;
}

// Frame-major block: channel c of frame f is fn(c, f).
std::vector<float> block(int nc, int frames, const std::function<float(int, int)>& fn) {
    std::vector<float> x(static_cast<size_t>(nc) * frames);
    for (int f = 0; f < frames; f++)
        for (int c = 0; c < nc; c++) x[static_cast<size_t>(f) * nc + c] = fn(c, f);
    return x;
}

TEST(VolumeCalculator, MeasuresOnTheMicrophoneChannels) {
    const int frames = 160;
    // Channel 0: full-scale square wave; channel 1: 0.5 sine; reference: loud, never metered.
    auto x = block(3, frames, [](int c, int f) {
        if (c == 0) return (f % 2) ? 1.0f : -1.0f;
        if (c == 1) return 0.5f * std::sin(0.3f * f);
        return 0.9f;
    });
    float sumsq = 0.0f, peak = 0.0f;
    for (int f = 0; f < frames; f++) {
        const float v = x[static_cast<size_t>(f) * 3 + 1];
        sumsq += v * v;
        peak = std::max(peak, std::fabs(v));
    }
    const float rms1 = std::sqrt(sumsq / frames);

    const float expect0[5] = {0.0f, 1.0f, 1.0f, 100.0f, 100.0f};
    const float expect1[5] = {0.0f, rms1, peak, 100.0f * rms1, 100.0f * peak};
    for (int type = 0; type <= 4; type++) {
        Params p = config(type, 0);
        VolumeCalculator vc(&p, frames);
        velmora::test::AllocCounter count;
        vc.process(x.data());
        EXPECT_EQ(count.allocations(), 0);
        EXPECT_FLOAT_EQ(vc.volume(0), expect0[type]) << "type " << type;
        EXPECT_FLOAT_EQ(vc.volume(1), expect1[type]) << "type " << type;
        EXPECT_EQ(vc.volume(2), 0.0f) << "the reference is not metered";
    }
}

TEST(VolumeCalculator, OutputsBeforeAndAfterGainControl) {
    const int frames = 80;
    auto x = block(1, frames, [](int, int f) { return (f % 2) ? 0.7f : -0.7f; });
    Params p = config(4, 1);
    p.agc_algorithm = 1;
    p.agc_level = 4;
    VolumeCalculator before(&p, frames);
    before.process(x.data());
    EXPECT_FLOAT_EQ(before.volume(0), 70.0f);  // before gain control full scale is 1.0

    p.volume_position = 2;
    VolumeCalculator after(&p, frames);
    after.process(x.data());
    EXPECT_FLOAT_EQ(after.volume(0), 100.0f);  // 0.7 is above the -4 dB target 0.631
    auto y = block(1, frames, [](int, int f) { return (f % 2) ? 0.3f : -0.3f; });
    after.process(y.data());
    EXPECT_NEAR(after.volume(0), 100.0f * 0.3f / 0.630957f, 1e-3f);

    p.agc_algorithm = 0;  // without gain control the reference stays 1.0
    VolumeCalculator plain(&p, frames);
    plain.process(y.data());
    EXPECT_FLOAT_EQ(plain.volume(0), 30.0f);
}

TEST(VolumeCalculator, MoreOutputsThanInputChannels) {
    const int frames = 16;
    Params p = config(2, 1, 5);  // five outputs, three input channels
    VolumeCalculator vc(&p, frames);
    auto x = block(5, frames, [](int c, int) { return 0.1f * (c + 1); });
    vc.process(x.data());
    for (int c = 0; c < 5; c++) EXPECT_FLOAT_EQ(vc.volume(c), 0.1f * (c + 1));
    EXPECT_DEATH(vc.volume(5), "n >= 0 && n < pp->params->nummics \\+ pp->params->numrefs");
}

TEST(VolumeCalculator, UnmeteredEntriesAndIndexRange) {
    Params p = config(1, 1);
    VolumeCalculator vc(&p, 4);
    EXPECT_EQ(vc.volume(0), 0.0f);  // before the first block
    auto x = block(1, 4, [](int, int) { return 0.5f; });
    vc.process(x.data());
    EXPECT_FLOAT_EQ(vc.volume(0), 0.5f);
    EXPECT_EQ(vc.volume(2), 0.0f);  // accepted up to nummics + numrefs - 1
    EXPECT_DEATH(vc.volume(3), "n >= 0 && n < pp->params->nummics \\+ pp->params->numrefs");
    EXPECT_DEATH(vc.volume(-1), "n >= 0 && n < pp->params->nummics \\+ pp->params->numrefs");
}

TEST(VolumeCalculator, RefusesUnknownTypeAndPosition) {
    Params p = config(5, 0);
    EXPECT_EQ(errorOf([&] { VolumeCalculator v(&p, 160); }),
              "velmora, VolumeCalculator: Unknown volume type: 5");
    p.volume_position = 3;  // the type is checked first
    EXPECT_EQ(errorOf([&] { VolumeCalculator v(&p, 160); }),
              "velmora, VolumeCalculator: Unknown volume type: 5");
    p.volume_type = -1;
    EXPECT_EQ(errorOf([&] { VolumeCalculator v(&p, 160); }),
              "velmora, VolumeCalculator: Unknown volume type: -1");
    p.volume_type = 0;
    EXPECT_EQ(errorOf([&] { VolumeCalculator v(&p, 160); }),
              "velmora, VolumeCalculator: Unknown volume position: 3");
    p.volume_position = 0;
    EXPECT_DEATH(VolumeCalculator(&p, 0), "blocksize > 0");
}

}  // namespace
