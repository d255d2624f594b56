// The default chain on a simulated room whose loudspeaker reference leads its echo by 40 ms, with
// the reference delay estimator in front of the echo canceller.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/Velmora.h"
#include "common/TestUtil.h"
#include "scene/Scene.h"

namespace velmora {
namespace {

// ERLE of `out` against microphone 0 of the mixture from `fromSeconds` on, the output shifted
// back by the engine's delay.
double erleFrom(const scene::Recording& rec, const std::vector<float>& out, int delay,
                double fromSeconds) {
    const int channels = rec.numMics + rec.numRefs;
    std::vector<float> mic, res;
    for (int f = static_cast<int>(fromSeconds * 16000); f + delay < static_cast<int>(out.size());
         ++f) {
        mic.push_back(rec.mixture[static_cast<size_t>(f) * channels]);
        res.push_back(out[f + delay]);
    }
    return scene::erleDb(mic, res);
}

std::vector<float> runEngine(const std::string& conf, const scene::Recording& rec, int* delay) {
    Velmora engine(conf.c_str());
    *delay = engine.delay();
    const int in = engine.inSamplesPerBlock();
    std::vector<float> out, block(engine.outSamplesPerBlock());
    for (size_t pos = 0; pos + in <= rec.mixture.size(); pos += in) {
        engine.process(rec.mixture.data() + pos, block.data());
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

TEST(LeadingReference, DelayEstimatorRealignsTheReferenceForTheCanceller) {
    const std::string data = test::testdataDir();
    std::vector<float> farEnd =
        scene::readMonoWav(data + "/speech/cmu_arctic_us_aew_a0001.wav", 16000);
    const std::vector<float> more =
        scene::readMonoWav(data + "/speech/cmu_arctic_us_aew_a0002.wav", 16000);
    farEnd.insert(farEnd.end(), more.begin(), more.end());

    scene::Scene sc;
    sc.frames = static_cast<int>(farEnd.size());
    sc.room.rt60 = 0.25f;
    sc.mics = scene::Scene::defaultArray();
    sc.hasLoudspeaker = true;
    sc.loudspeaker.signal = farEnd;
    sc.loudspeaker.azimuth = -120.0f;
    sc.loudspeaker.distance = 0.5f;
    sc.referenceLeadFrames = 640;  // 40 ms
    sc.noiseSnrDb = 40.0f;
    const scene::Recording rec = scene::simulate(sc);

    test::TempDir dir;
    const std::string base = "init_time = 0\nagc_algorithm = 0\naec_tde_maxoffset = 0.1\n";
    test::writeFile(dir.file("tde.conf"), base + "aec_tde_active = 1\n");
    test::writeFile(dir.file("plain.conf"), base);
    int delay = 0;
    const std::vector<float> aligned = runEngine(dir.file("tde.conf"), rec, &delay);
    const std::vector<float> plain = runEngine(dir.file("plain.conf"), rec, &delay);
    test::writeFile(dir.file("fixed.conf"),
                    base + "aec_tde_active = 1\naec_tde_refoffset = -0.04\n");
    const std::vector<float> fixed = runEngine(dir.file("fixed.conf"), rec, &delay);
    const double erleEstimated = erleFrom(rec, aligned, delay, 3.0);
    const double erlePlain = erleFrom(rec, plain, delay, 3.0);
    const double erleFixed = erleFrom(rec, fixed, delay, 3.0);
    std::printf(
        "reference leading by 40 ms, ERLE after 3 s: %.1f dB with the estimated delay, "
        "%.1f dB with the fixed 40 ms offset, %.1f dB without alignment\n",
        erleEstimated, erleFixed, erlePlain);
    EXPECT_GT(erleEstimated, 12.0);
    // Aligned from the start, the canceller gets back the part of its filter the lead wastes.
    EXPECT_GT(erleFixed, erlePlain);
}

}  // namespace
}  // namespace velmora
