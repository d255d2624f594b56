// The separators on hostile input (silence, one talker, digital clipping, non-finite and absurd
// bins), without allocation per block, and the selectors' refusals of settings they cannot use.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "bf/PilotIVA.h"
#include "bf/PilotPMWF.h"
#include "bf/SeparationScenes.h"
#include "bf/StereoIVA.h"
#include "bf/SubbandAuxIVA2.h"
#include "bf/TwoLevelIVA.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "ssl/PostSRP.h"
#include "vad/VADBypass.h"

using velmora::Params;
using velmora::Velmora;
using velmora::blas::Complex;
using velmora::blas::ComplexMatrix;
namespace test = velmora::test;

namespace {

const std::vector<std::array<float, 3>> kPair = {{-0.025f, 0.0f, 0.0f}, {0.025f, 0.0f, 0.0f}};

struct Config {
    int bf;
    float level;
    int mics;
};
const Config kConfigs[] = {{401, 0.0f, 2}, {402, 0.0f, 2}, {402, 1.0f, 2}, {402, 2.0f, 2},
                           {402, 3.0f, 2}, {403, 0.0f, 2}, {500, 0.0f, 2}, {500, 1.0f, 2},
                           {500, 2.0f, 3}, {200, 0.0f, 2}, {302, 0.0f, 3}, {501, 0.0f, 3}};

// The Wiener beamformers and PilotIVA extract one target steered by the spatial detector.
bool isWiener(int bf) {
    return bf == 200 || bf == 302 || bf == 501;
}

std::vector<std::array<float, 3>> arrayOf(int mics) {
    if (mics == 1) return {{0.0f, 0.0f, 0.0f}};
    if (mics == 2) return kPair;
    return {{-0.03f, 0.0f, 0.0f}, {0.03f, 0.0f, 0.0f}, {0.0f, 0.04f, 0.0f}};
}

// Runs `frames` (frame-major, mics channels) through the engine; true when every output
// sample is finite.
bool allFinite(const Config& c, const std::vector<float>& frames) {
    const int outs = isWiener(c.bf) ? 1 : c.mics;
    Params p = test::separationParams(arrayOf(c.mics), outs, c.bf, 100);
    p.bf_level = c.level;
    if (isWiener(c.bf)) p.vad_algorithm = 1;
    Velmora engine(p);
    std::vector<float> out(static_cast<size_t>(test::kBlock) * outs);
    bool finite = true;
    const int blocks = static_cast<int>(frames.size()) / c.mics / test::kBlock;
    for (int b = 0; b < blocks; ++b) {
        engine.process(frames.data() + static_cast<size_t>(b) * test::kBlock * c.mics, out.data());
        for (float v : out) finite &= std::isfinite(v);
    }
    for (int o = 0; o < outs; ++o) finite &= std::isfinite(engine.direction(o));
    return finite;
}

}  // namespace

// Silence, one talker alone and a talker clipped hard at full scale leave every separator's
// output (and PostSRP's directions) finite.
TEST(SeparatorRobustness, SilenceOneTalkerAndClippingStayFinite) {
    const int frames = 3 * test::kFs / 2;  // every bin is refreshed about 9 times
    const std::vector<float> speech = test::speechOf({"cmu_arctic_us_aew_a0001"}, frames);
    for (const Config& c : kConfigs) {
        const std::vector<float> silence(static_cast<size_t>(frames) * c.mics, 0.0f);
        std::vector<float> one(silence.size()), clipped(silence.size());
        for (int f = 0; f < frames; ++f)
            for (int m = 0; m < c.mics; ++m) {
                // a plane wave arriving along the first microphone pair, one sample apart
                const float v = speech[std::max(f - m, 0)];
                one[static_cast<size_t>(f) * c.mics + m] = v;
                clipped[static_cast<size_t>(f) * c.mics + m] =
                    std::max(-1.0f, std::min(1.0f, 30.0f * v));
            }
        EXPECT_TRUE(allFinite(c, silence)) << c.bf << " mode " << c.level << ": silence";
        EXPECT_TRUE(allFinite(c, one)) << c.bf << " mode " << c.level << ": one talker";
        EXPECT_TRUE(allFinite(c, clipped)) << c.bf << " mode " << c.level << ": clipped";
    }
}

// Blocks of NaN, infinite and absurd bins count as silence: the output stays finite, and the
// separators keep working on the noise that follows (no allocation per block either).
TEST(SeparatorRobustness, NonFiniteBinsAndNoAllocation) {
    const int K = 160;
    std::vector<std::unique_ptr<velmora::bf::BFInterface>> stages;
    stages.emplace_back(new velmora::bf::SubbandAuxIVA2(32, 0));
    stages.emplace_back(new velmora::bf::StereoIVA(K, 0, 0.0f, true));
    stages.emplace_back(new velmora::bf::StereoIVA(K, 0, 2.0f, true));
    stages.emplace_back(new velmora::bf::StereoIVAV4(K, 0, 0.0f, true));
    stages.emplace_back(new velmora::bf::TwoLevelIVA(2, K, 0, 0, true));
    stages.emplace_back(new velmora::bf::TwoLevelIVA(3, K, 0, 2, true));
    velmora::vad::VADBypass pilot2(2, 1, K), pilot3(3, 1, K);
    stages.emplace_back(new velmora::bf::StereoPilotPMWF(0, 0.0f, &pilot2));
    stages.emplace_back(new velmora::bf::PilotPMWF(0, 0.0f, &pilot3));
    stages.emplace_back(new velmora::bf::PilotIVA(0, 1.0f, &pilot3));
    for (auto& stage : stages) {
        const int M = stage->numMics();
        ComplexMatrix in(M, K), out(stage->numOuts(), K);
        unsigned seed = 7;
        auto noise = [&]() {
            seed = seed * 1664525u + 1013904223u;
            return static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
        };
        const float bad[] = {std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(), 1e30f};
        test::AllocCounter count;
        bool finite = true;
        for (int b = 0; b < 400; ++b) {
            for (int m = 0; m < M; ++m)
                for (int k = 0; k < K; ++k) in.data()[m][k] = Complex(noise(), noise());
            if (b >= 100 && b < 130) in.data()[b % M][(b * 7) % K] = Complex(bad[b % 3], 1.0f);
            stage->process(&in, &out);
            for (int m = 0; m < stage->numOuts(); ++m)
                for (int k = 0; k < K; ++k) finite &= std::isfinite(std::norm(out.data()[m][k]));
        }
        EXPECT_EQ(count.allocations(), 0);
        EXPECT_TRUE(finite);
        const velmora::blas::ComplexTensor3* ssl = stage->sslData();
        if (!ssl) continue;
        for (int i = 0; i < ssl->numRows(); ++i)
            for (int j = 0; j < ssl->numColumns(); ++j)
                for (int k = 0; k < K; ++k) finite &= std::isfinite(ssl->norm(i, j, k));
        EXPECT_TRUE(finite) << "sslData";
    }
    // PostSRP behind a separator scans without allocating either.
    Params p = test::separationParams(kPair, 2, 500, 100);
    velmora::bf::TwoLevelIVA bf(2, K, 0, 0, true);
    velmora::ssl::PostSRP srp(&p, &bf);
    ComplexMatrix in(2, K), out(2, K);
    in.fillRandom();
    for (int b = 0; b < 20; ++b) bf.process(&in, &out);
    test::AllocCounter count;
    for (int n = 0; n < 2; ++n) EXPECT_TRUE(std::isfinite(srp.direction(n, nullptr, nullptr)));
    EXPECT_EQ(count.allocations(), 0);
}

// Settings a separator cannot use are refused when the engine is built, naming key and value.
TEST(SeparatorRobustness, SelectorRefusals) {
    auto refusal = [](int bf, int mics, int outs, auto tweak) {
        Params p = test::separationParams(arrayOf(mics), outs, bf);
        tweak(p);
        return test::errorOf([&] { Velmora engine(p); });
    };
    auto none = [](Params&) {};
    EXPECT_NE(refusal(402, 3, 2, none).find("Stereo inputs required: 3"), std::string::npos);
    EXPECT_NE(refusal(403, 2, 1, none).find("Stereo outputs required: 1"), std::string::npos);
    EXPECT_NE(refusal(500, 3, 2, none).find("Equal no. of mics and outputs required: 3, 2"),
              std::string::npos);
    EXPECT_NE(refusal(402, 2, 2, [](Params& p) { p.bf_power = 100000; }).find("bf_power"),
              std::string::npos);
    // 16 microphones separated with 64 taps would hold more than 256 MB of state.
    const std::string big = refusal(500, 16, 16, [](Params& p) {
        p.nummics = 16;
        for (int m = 0; m < 16; ++m) p.setMicCoordinate(m, 0.01f * m, 0.0f, 0.0f);
        p.bf_power = 64;
    });
    EXPECT_NE(big.find("Invalid bf_power: 64, allowed 1 to"), std::string::npos) << big;
    EXPECT_NE(refusal(500, 2, 2, [](Params& p) { p.bf_level = NAN; }).find("bf_level"),
              std::string::npos);
    EXPECT_NE(refusal(403, 2, 2, [](Params& p) { p.bf_level = -1.0f; }).find("bf_level"),
              std::string::npos);
    // PostSRP needs a usable geometry like every spatial stage.
    EXPECT_NE(refusal(402, 2, 2,
                      [](Params& p) {
                          p.ssl_algorithm = 100;
                          p.setMicCoordinate(1, -0.025f, 0.0f, 0.0f);
                      })
                  .find("coincide"),
              std::string::npos);
    // PostSRP behind a beamformer without spatial data reports 0 for every output.
    {
        Params p = test::separationParams(kPair, 2, 0, 100);
        Velmora engine(p);
        std::vector<float> in(static_cast<size_t>(test::kBlock) * 2, 0.1f), out(in.size());
        engine.process(in.data(), out.data());
        EXPECT_EQ(engine.direction(0), 0.0f);
        EXPECT_EQ(engine.direction(1), 0.0f);
    }
    // The multistream pipeline separates its pair with the stereo separators.
    for (int bf : {402, 403}) {
        Params p;
        p.mode = 9;
        p.numouts = 2;
        p.bf_algorithm = bf;
        p.init_time = 0.0f;
        EXPECT_EQ(test::errorOf([&] {
                      Velmora engine(p);
                      std::vector<float> in(static_cast<size_t>(engine.inSamplesPerBlock()), 0.1f);
                      std::vector<float> out(static_cast<size_t>(engine.outSamplesPerBlock()));
                      for (int b = 0; b < 40; ++b) engine.process(in.data(), out.data());
                      for (float v : out) ASSERT_TRUE(std::isfinite(v));
                  }),
                  "")
            << bf;
    }
    // One microphone: the pass-through, whatever the number.
    EXPECT_EQ(refusal(500, 1, 1, none), "");
    EXPECT_NE(refusal(302, 3, 1, none).find("VAD required"), std::string::npos);
    EXPECT_NE(refusal(200, 3, 1, [](Params& p) { p.vad_algorithm = 1; })
                  .find("Stereo inputs required: 3"),
              std::string::npos);
}
