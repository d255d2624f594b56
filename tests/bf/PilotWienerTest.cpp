// The detector-steered Wiener beamformers on a simulated room: a target talker in the look
// direction and an interfering talker elsewhere speaking at once, or a diffuse noise.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "bf/PMWF.h"
#include "bf/SeparationScenes.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"
#include "common/TestUtil.h"

using velmora::Params;
using velmora::Velmora;
namespace test = velmora::test;

namespace {

// SIR improvement of output 0 for talker A (the target, in the look direction) after 5 s.
// The detector's least state separation is raised from 3 to 10: its feature's spread on these
// scenes (standard deviation 10 to 15) kept the pilot between 0.4 and 0.9. `causalLength` is
// bf_power.
double targetSirGain(const test::TwoTalkerScene& t, int bf, int causalLength = 0) {
    Params p = test::separationParams(t, 1, bf);
    p.vad_algorithm = 1;
    p.vad_minsnr = 10.0f;
    p.bf_look = t.azimuthA;
    p.bf_power = causalLength;
    Velmora engine(p);
    const auto outs = test::runEngine(engine, t, 1, [](int) {});
    const int from = 5 * test::kFs;
    const test::OutputQuality q = test::qualityOf(outs[0], t, from);
    const double gain = q.sirA - test::inputSir(t, from);
    std::printf("bf %d, %d mics: target SIR gain %.2f dB, SI-SDR %.2f dB\n", bf, t.numMics, gain,
                q.siSdrA);
    return gain;
}

}  // namespace

// PilotPMWF on the default 7-microphone array and StereoPilotPMWF on a 5 cm pair, steered by
// the spatial detector at the target (0 degrees), against a talker at 90 degrees speaking at
// once: the target's SIR improves (8.0 and 5.2 dB measured). PilotPMWF runs with a causal length
// of 4 blocks (the default 16 gives 5.9 dB: its pilot energy rings span several words of both
// talkers); in a more reverberant room the default does better, so 4 is a setting for dry rooms.
TEST(PilotWiener, TargetTalkerAgainstInterferer) {
    const test::TwoTalkerScene seven =
        test::twoTalkers(velmora::scene::Scene::defaultArray(), 0.2f, 0.0f, 90.0f);
    EXPECT_GE(targetSirGain(seven, 302, 4), 6.0);
    const test::TwoTalkerScene pair =
        test::twoTalkers({{0.0f, -0.025f, 0.0f}, {0.0f, 0.025f, 0.0f}}, 0.2f, 0.0f, 90.0f);
    EXPECT_GE(targetSirGain(pair, 200), 3.0);
}

// PilotPMWF with the target in diffuse noise at 0 dB SNR on the default array: the target's SIR
// against the noise improves (5.3 dB measured).
TEST(PilotWiener, TargetTalkerInDiffuseNoise) {
    const test::TwoTalkerScene noisy = test::twoTalkers(velmora::scene::Scene::defaultArray(), 0.2f,
                                                        0.0f, 90.0f, 10 * test::kFs, 0.0f);
    EXPECT_GE(targetSirGain(noisy, 302), 4.0);
}

// PilotIVA steered by the spatial detector at the target puts the target talker on output 0
// (5.1 and 3.0 dB measured on 7 and 2 microphones).
TEST(PilotWiener, PilotIVAPutsTargetOnOutputZero) {
    const test::TwoTalkerScene seven =
        test::twoTalkers(velmora::scene::Scene::defaultArray(), 0.2f, 0.0f, 90.0f);
    EXPECT_GE(targetSirGain(seven, 501), 4.0);
    const test::TwoTalkerScene pair =
        test::twoTalkers({{0.0f, -0.025f, 0.0f}, {0.0f, 0.025f, 0.0f}}, 0.2f, 0.0f, 90.0f);
    EXPECT_GE(targetSirGain(pair, 501), 2.0);
}

// A candidate filter whose output would exceed 30 times the reference microphone's power in a
// bin leaves that bin's previous filter in place; a later acceptable one replaces it.
TEST(PilotWiener, AcceptanceKeepsFiltersBounded) {
    using velmora::blas::Complex;
    velmora::bf::PMWF core(2, 1, 1, 0.5f, 0.0f);
    velmora::blas::Vector target(1), interf(1);
    velmora::blas::ComplexMatrix x(2, 1);
    // Target along (1, 1), interference along (1, -1): the filter passes (1, 1) and nulls (1, -1).
    for (int i = 0; i < 50; ++i) {
        const bool t = i % 2 == 0;
        target.data()[0] = t ? 1.0f : 0.0f;
        interf.data()[0] = t ? 0.0f : 1.0f;
        x.data()[0][0] = Complex(1.0f, 0.0f);
        x.data()[1][0] = Complex(t ? 1.0f : -1.0f, 0.0f);
        core.process(&target, &interf, &x, nullptr);
    }
    const Complex w0 = core.filters()->get(0, 0, 0), w1 = core.filters()->get(0, 1, 0);
    EXPECT_NEAR(std::abs(w0 + w1), 1.0f, 0.05f);  // target passes at unit gain (mic 0 reference)
    EXPECT_LT(std::abs(w0 - w1), 0.05f);          // interference nulled
    // A snapshot with a silent reference microphone: any non-zero output exceeds 30 |x0|^2, so
    // the filter stays.
    x.data()[0][0] = Complex(0.0f, 0.0f);
    x.data()[1][0] = Complex(1.0f, 0.0f);
    core.process(&target, &interf, &x, nullptr);
    EXPECT_EQ(core.filters()->get(0, 0, 0), w0);
    EXPECT_EQ(core.filters()->get(0, 1, 0), w1);
}
