// Subband SRP-PHAT localiser: construction checks and band geometry, exact plane waves, the
// lower-index tie rule, reset and the detector that never fires, allocation-free blocks, and
// simulated talkers in reverberant rooms and the real 8-microphone recording through the
// facade.
#include "ssl/SubbandSRP.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "blas/ComplexMatrix.h"
#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "scene/Scene.h"
#include "sio/WavSource.h"
#include "ssl/Angle.h"
#include "ssl/Array.h"
#include "ssl/DOASpectrum.h"
#include "ssl/SimulatedScenes.h"
#include "vad/VADBypass.h"

using velmora::Params;
using velmora::Velmora;
using velmora::blas::Complex;
using velmora::blas::ComplexMatrix;
using velmora::ssl::Array;
using velmora::ssl::SubbandSRP;
using velmora::vad::VADBypass;
namespace test = velmora::test;
namespace scene = velmora::scene;

namespace {

// A detector that reports one fixed probability everywhere.
class ConstantVAD : public velmora::vad::VADInterface {
  public:
    ConstantVAD(int nummics, int numouts, int numbins, float p)
        : m_(nummics), o_(numouts), k_(numbins), p_(p) {}
    int numMics() const override { return m_; }
    int numOuts() const override { return o_; }
    int numBins() const override { return k_; }
    int delay() const override { return 0; }
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void process(const ComplexMatrix*) override {}
    float speechProbability(int, int) const override { return p_; }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    int m_, o_, k_;
    float p_;
};

Params arrayParams(const std::vector<std::array<float, 3>>& mics) {
    Params p;
    p.nummics = static_cast<int>(mics.size());
    for (int m = 0; m < p.nummics; ++m) p.setMicCoordinate(m, mics[m][0], mics[m][1], mics[m][2]);
    p.ssl_algorithm = 1;
    return p;
}

// A block whose every bin holds a random-phase source arriving from `azimuth` as a plane wave.
void planeWaveBlock(const Params& p, float azimuth, unsigned seed, ComplexMatrix* block) {
    Array array(p.nummics);
    for (int m = 0; m < p.nummics; ++m) {
        float x, y, z;
        p.getMicCoordinate(m, &x, &y, &z);
        array.setPosition(m, x, y, z);
    }
    std::vector<Complex> sv(p.nummics);
    const int K = block->numColumns();
    for (int k = 0; k < K; ++k) {
        seed = seed * 1103515245u + 12345u;
        const float phase = static_cast<float>(seed >> 8) / 16777216.0f * 6.2831853f;
        array.steeringVector(azimuth, 0.0f, k * 16000.0f / (2.0f * K), sv.data());
        for (int m = 0; m < p.nummics; ++m)
            block->set(m, k, sv[m] * Complex(std::cos(phase), std::sin(phase)));
    }
}

}  // namespace

TEST(SubbandSRPTest, BandGeometryAndScanRange) {
    Params p;
    p.ssl_f_low = 100;
    p.ssl_f_high = 7900;
    VADBypass vad(p.nummics, p.numouts, 160);
    SubbandSRP srp(&p, &vad);
    EXPECT_EQ(srp.binLow(), 2);
    EXPECT_EQ(srp.binHigh(), 158);
    EXPECT_EQ(srp.numScans(), 36);
    EXPECT_EQ(srp.numMics(), 7);
    EXPECT_EQ(srp.numOuts(), 1);
    EXPECT_EQ(srp.numBins(), 160);
    int low, high;
    srp.spectrum()->scanRange(&low, &high);
    EXPECT_EQ(low, 0);
    EXPECT_EQ(high, 35);

    p.ssl_halfscan = true;
    p.ssl_f_high = 8000;  // the half rate is the last bin
    SubbandSRP half(&p, &vad);
    half.spectrum()->scanRange(&low, &high);
    EXPECT_EQ(low, 9);
    EXPECT_EQ(high, 27);
    EXPECT_EQ(half.binHigh(), 159);

    // A plane wave from behind is outside the half range: the answer stays within -90..90.
    ComplexMatrix block(7, 160);
    planeWaveBlock(p, 150.0f, 1, &block);
    half.process(&block);
    const float az = half.direction(0, nullptr, nullptr);
    EXPECT_GE(az, -90.0f);
    EXPECT_LE(az, 90.0f);
}

TEST(SubbandSRPTest, PlaneWavesOnAndOffTheGrid) {
    Params p;
    p.ssl_numscans = 72;
    VADBypass vad(7, 1, 160);
    for (float truth : {-180.0f, -95.0f, -40.0f, 0.0f, 20.0f, 65.0f, 135.0f, 175.0f}) {
        SubbandSRP srp(&p, &vad);
        ComplexMatrix block(7, 160);
        for (unsigned b = 0; b < 5; ++b) {
            planeWaveBlock(p, truth, 7 + b, &block);
            srp.process(&block);
        }
        int index = -1;
        float value = 0.0f;
        const float az = srp.direction(3, &index, &value);
        EXPECT_EQ(az, srp.spectrum()->angle(index));
        EXPECT_LE(std::fabs(velmora::ssl::angleDifference(az, truth)), 2.5f) << truth;
        // A clean plane wave on the grid reaches the full response: all seven phases aligned
        // in every band bin.
        if (std::fmod(truth, 5.0f) == 0.0f) {
            EXPECT_NEAR(value, 7.0f * static_cast<float>(srp.binHigh() - srp.binLow() + 1), 1.0f);
        }
    }
}

TEST(SubbandSRPTest, MirrorImagesTieToTheLowerIndex) {
    // Two microphones on the y axis cannot tell azimuth a from 180 - a.
    Params p = arrayParams({{0.0f, 0.05f, 0.0f}, {0.0f, -0.05f, 0.0f}});
    VADBypass vad(2, 1, 160);
    SubbandSRP srp(&p, &vad);
    ComplexMatrix block(2, 160);
    planeWaveBlock(p, 150.0f, 3, &block);
    srp.process(&block);
    int index;
    float value;
    EXPECT_FLOAT_EQ(srp.direction(0, &index, &value), 30.0f);
    EXPECT_EQ(index, 21);
    EXPECT_EQ(srp.spectrum()->value(33), value);
}

TEST(SubbandSRPTest, ResetAndSilentDetector) {
    Params p;
    p.vad_algorithm = 1;  // weighted by the detector
    ConstantVAD never(7, 1, 160, 0.0f);
    SubbandSRP srp(&p, &never);
    ComplexMatrix block(7, 160);
    planeWaveBlock(p, 60.0f, 5, &block);
    srp.process(&block);
    // Nothing was accumulated: identities everywhere, every scan equal, the first one wins.
    const float bandBins = static_cast<float>(srp.binHigh() - srp.binLow() + 1);
    int index;
    float value;
    EXPECT_EQ(srp.direction(0, &index, &value), -180.0f);
    EXPECT_EQ(index, 0);
    EXPECT_NEAR(value, bandBins, 1e-3f);

    ConstantVAD always(7, 1, 160, 0.5f);
    SubbandSRP weighted(&p, &always);
    weighted.process(&block);
    EXPECT_FLOAT_EQ(weighted.direction(0, nullptr, nullptr), 60.0f);
    weighted.reset();
    for (int i = 0; i < 36; ++i) EXPECT_EQ(weighted.spectrum()->value(i), 0.0f);
    EXPECT_EQ(weighted.direction(0, &index, nullptr), -180.0f);
    EXPECT_EQ(index, 0);
}

TEST(SubbandSRPTest, ForgettingTracksAMovingSource) {
    Params p;
    p.ssl_forget = 0.8f;
    VADBypass vad(7, 1, 160);
    SubbandSRP tracking(&p, &vad);
    p.ssl_forget = 1.0f;
    SubbandSRP whole(&p, &vad);
    ComplexMatrix block(7, 160);
    for (unsigned b = 0; b < 40; ++b) {
        planeWaveBlock(p, b < 30 ? -60.0f : 100.0f, b, &block);
        tracking.process(&block);
        whole.process(&block);
    }
    EXPECT_FLOAT_EQ(tracking.direction(0, nullptr, nullptr), 100.0f);
    EXPECT_FLOAT_EQ(whole.direction(0, nullptr, nullptr), -60.0f);

    // A block with a NaN is left out instead of spoiling the statistics for good.
    block.set(4, 50, Complex(std::nanf(""), 0.0f));
    whole.process(&block);
    tracking.process(&block);
    float value;
    EXPECT_FLOAT_EQ(whole.direction(0, nullptr, &value), -60.0f);
    EXPECT_TRUE(std::isfinite(value));
    EXPECT_FLOAT_EQ(tracking.direction(0, nullptr, &value), 100.0f);
    EXPECT_TRUE(std::isfinite(value));
}

TEST(SubbandSRPTest, RefusesAScanTableBeyondAnyUse) {
    Params p;
    VADBypass vad(7, 1, 160);
    p.ssl_numscans = 3601;
    try {
        SubbandSRP huge(&p, &vad);
        ADD_FAILURE() << "accepted";
    } catch (const char* e) {
        EXPECT_STREQ(e, "velmora, SubbandSRP: Too many scans: 3601 (at most 3600)");
    }
}

TEST(SubbandSRPTest, BlocksAndScansAllocateNothing) {
    Params p;
    p.ssl_numscans = 360;
    ConstantVAD vad(7, 1, 160, 0.7f);
    p.vad_algorithm = 1;
    SubbandSRP srp(&p, &vad);
    ComplexMatrix block(7, 160);
    planeWaveBlock(p, 10.0f, 2, &block);
    test::AllocCounter count;
    for (int b = 0; b < 10; ++b) {
        srp.process(&block);
        srp.direction(0, nullptr, nullptr);
    }
    srp.reset();
    EXPECT_EQ(count.allocations(), 0);
}

TEST(SubbandSRPDeathTest, RefusesBadSettings) {
    VADBypass vad(7, 1, 160);
    Params p;
    p.nummics = 1;
    EXPECT_DEATH(SubbandSRP(&p, &vad), "params->nummics > 1");
    p = Params();
    p.ssl_numscans = 0;
    EXPECT_DEATH(SubbandSRP(&p, &vad), "params->ssl_numscans > 0");
    p = Params();
    p.ssl_elevation = 95.0f;
    EXPECT_DEATH(SubbandSRP(&p, &vad),
                 "params->ssl_elevation >= -90.0 && params->ssl_elevation <= 90.0");
    p = Params();
    p.ssl_f_high = 8100;
    EXPECT_DEATH(SubbandSRP(&p, &vad),
                 "params->ssl_f_low >= 0.0 && params->ssl_f_high >= 0.0 && "
                 "params->ssl_f_high <= params->fsout / 2.0");
    p = Params();
    p.ssl_f_low = 4000;
    p.ssl_f_high = 4000;
    EXPECT_DEATH(SubbandSRP(&p, &vad), "params->ssl_f_low < params->ssl_f_high");
    p = Params();
    p.numouts = 2;
    EXPECT_DEATH(SubbandSRP(&p, &vad), "params->numouts == vad->numOuts\\(\\)");
    p = Params();
    p.ssl_forget = 1.5f;
    EXPECT_DEATH(SubbandSRP(&p, &vad), "ssl_forget");
    p = Params();
    SubbandSRP srp(&p, &vad);
    ComplexMatrix wrong(7, 320);
    EXPECT_DEATH(srp.process(&wrong),
                 "data->numRows\\(\\) == numMics\\(\\) && data->numColumns\\(\\) == numBins\\(\\)");
}

// ---- Simulated rooms through the facade ----------------------------------------------------

TEST(SubbandSRPTest, SimulatedTalkersInReverberantRooms) {
    const std::vector<float> speech = test::loadSpeech("cmu_arctic_us_aew_a0001.wav");
    ASSERT_FALSE(speech.empty()) << "speech recordings missing from tests/data";
    const int frames = static_cast<int>(speech.size());
    int wholeWithinStep = 0, cases = 0;
    double trackedShare = 1.0;
    for (float rt60 : {0.2f, 0.4f, 0.6f}) {
        for (float az : {-135.0f, -47.0f, 0.0f, 33.0f, 90.0f, 164.0f}) {
            scene::Scene sc = test::room(rt60, frames);
            sc.talkers.push_back(test::talker(speech, az, 1.2f));
            sc.noiseSnrDb = 30.0f;
            sc.seed = static_cast<uint32_t>(az + 1000);
            const scene::Recording rec = scene::simulate(sc);

            Velmora whole(test::engineParams(0, 1.0f));
            test::runBlocks(whole, rec, [](int) {});
            const float est = whole.direction(0);
            const float err = std::fabs(velmora::ssl::angleDifference(est, az));
            EXPECT_LE(err, 10.0f) << "rt60 " << rt60 << " azimuth " << az << " estimate " << est;
            wholeWithinStep += err <= 10.0f;

            Velmora tracking(test::engineParams(0, 0.9f));
            int speechBlocks = 0, good = 0;
            test::runBlocks(tracking, rec, [&](int b) {
                if (b < 2 || !test::blockActive(rec.talkerActive, b) ||
                    !test::blockActive(rec.talkerActive, b - 2))
                    return;
                ++speechBlocks;
                good +=
                    std::fabs(velmora::ssl::angleDifference(tracking.direction(0), az)) <= 20.0f;
            });
            const double share = speechBlocks ? static_cast<double>(good) / speechBlocks : 0.0;
            EXPECT_GE(share, 0.8) << "rt60 " << rt60 << " azimuth " << az;
            trackedShare = std::min(trackedShare, share);
            ++cases;
            std::printf("rt60 %.1f azimuth %6.1f: whole-file %6.1f, per-block within 20 deg %.3f\n",
                        rt60, az, est, share);
        }
    }
    std::printf("whole-file within one step: %d of %d; worst per-block share %.3f\n",
                wholeWithinStep, cases, trackedShare);
}

TEST(SubbandSRPTest, DetectorWeightingFindsATalkerInLouderNoise) {
    const std::vector<float> a = test::loadSpeech("cmu_arctic_us_aew_a0002.wav");
    const std::vector<float> b = test::loadSpeech("cmu_arctic_us_axb_a0006.wav");
    ASSERT_FALSE(a.empty()) << "speech recordings missing from tests/data";
    const std::vector<float> speech = test::withPauses({a, b}, 16000);
    const float az = 47.0f;
    scene::Scene sc = test::room(0.4f, static_cast<int>(speech.size()) + 8000);
    sc.talkers.push_back(test::talker(speech, az, 1.5f));
    sc.noiseSnrDb = -5.0f;
    const scene::Recording rec = scene::simulate(sc);

    Params p = test::engineParams(1, 1.0f);
    p.bf_look = 50.0f;  // the detector looks near the talker
    Velmora weighted(p);
    test::runBlocks(weighted, rec, [](int) {});
    Velmora plain(test::engineParams(0, 1.0f));
    test::runBlocks(plain, rec, [](int) {});
    const float w = weighted.direction(0), u = plain.direction(0);
    std::printf("talker at %.0f in noise 5 dB louder: weighted %.1f, unweighted %.1f\n", az, w, u);
    EXPECT_LE(std::fabs(velmora::ssl::angleDifference(w, az)), 10.0f) << w;
}

TEST(SubbandSRPTest, RealEightMicrophoneRecording) {
    const std::string dir = test::testdataDir();
    // Circular array, radius 0.10 m, 8 microphones 45 degrees apart in channel order.
    auto params = [](float forget, int scans) {
        Params p = test::engineParams(0, forget);
        p.nummics = 8;
        for (int m = 0; m < 8; ++m) {
            const double a = m * M_PI / 4.0;
            p.setMicCoordinate(m, static_cast<float>(0.1 * std::cos(a)),
                               static_cast<float>(0.1 * std::sin(a)), 0.0f);
        }
        p.ssl_numscans = scans;
        return p;
    };
    velmora::sio::WavSource wav((dir + "/array/ami_array1_8ch.wav").c_str());
    ASSERT_EQ(wav.numChannels(), 8);
    std::vector<float> frames;
    std::vector<float> frame(8);
    while (wav.readFrames(frame.data(), 1) == 1)
        frames.insert(frames.end(), frame.begin(), frame.end());
    const int blocks = static_cast<int>(frames.size() / 8) / test::kSimBlock;
    ASSERT_GT(blocks, 300);

    // Whole-file estimates on the 10- and 1-degree grids, and of each half of the file.
    auto wholeFile = [&](int scans, int from, int to) {
        Velmora engine(params(1.0f, scans));
        std::vector<float> out(engine.outSamplesPerBlock());
        for (int b = from; b < to; ++b)
            engine.process(frames.data() + static_cast<size_t>(b) * test::kSimBlock * 8,
                           out.data());
        return engine.direction(0);
    };
    const float coarse = wholeFile(36, 0, blocks), fine = wholeFile(360, 0, blocks);
    const float first = wholeFile(360, 0, blocks / 2), second = wholeFile(360, blocks / 2, blocks);
    // Per-block tracking with forgetting: the share of loud blocks (within 20 dB of the loudest)
    // near the whole-file answer.
    std::vector<double> energy(blocks, 0.0);
    for (int b = 0; b < blocks; ++b)
        for (int i = 0; i < test::kSimBlock * 8; ++i) {
            const float v = frames[static_cast<size_t>(b) * test::kSimBlock * 8 + i];
            energy[b] += v * v;
        }
    const double loudest = *std::max_element(energy.begin(), energy.end());
    Velmora tracking(params(0.9f, 36));
    std::vector<float> out(tracking.outSamplesPerBlock());
    int loud = 0, near = 0;
    for (int b = 0; b < blocks; ++b) {
        tracking.process(frames.data() + static_cast<size_t>(b) * test::kSimBlock * 8, out.data());
        if (energy[b] < loudest * 0.01) continue;
        ++loud;
        near += std::fabs(velmora::ssl::angleDifference(tracking.direction(0), fine)) <= 20.0f;
    }
    std::printf(
        "8-microphone recording: whole file %.1f (36 scans), %.1f (360 scans); halves %.1f, "
        "%.1f; per-block within 20 degrees of it in %d of %d loud blocks\n",
        coarse, fine, first, second, near, loud);
    EXPECT_LE(std::fabs(velmora::ssl::angleDifference(coarse, fine)), 5.0f);
    EXPECT_LE(std::fabs(velmora::ssl::angleDifference(first, fine)), 10.0f);
    EXPECT_LE(std::fabs(velmora::ssl::angleDifference(second, fine)), 10.0f);
    EXPECT_GE(near, loud * 7 / 10);

    // The localisation run of the tool prints the same whole-file estimate.
    test::TempDir tmp;
    std::string conf =
        "nummics = 8\nnumrefs = 0\naec_algorithm = 0\nagc_algorithm = 0\ninit_time = 0\n"
        "ssl_algorithm = 1\nssl_numscans = 360\nmiccoor = \n";
    for (int m = 0; m < 8; ++m) {
        char line[64];
        std::snprintf(line, sizeof line, "%f %f 0\n", 0.1 * std::cos(m * M_PI / 4.0),
                      0.1 * std::sin(m * M_PI / 4.0));
        conf += line;
    }
    test::writeFile(tmp.file("array.conf"), conf);
    const test::RunResult run =
        test::runTool({tmp.file("array.conf"), dir + "/array/ami_array1_8ch.wav"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(std::stof(run.out), fine) << run.out;
}
