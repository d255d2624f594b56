// Scene simulator: geometry of the direct path, reverberation time of the responses, the
// components of a recording, the reference lead, the noise field and reproducibility.

#include "scene/Scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <string>

#include "common/TestUtil.h"

namespace velmora::scene {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kC = 340.0;

std::vector<float> whiteNoise(int n, unsigned seed, float amplitude = 0.1f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-amplitude, amplitude);
    std::vector<float> x(n);
    for (float& v : x) v = u(rng);
    return x;
}

std::vector<float> channel(const std::vector<float>& x, int channels, int ch) {
    std::vector<float> out(x.size() / channels);
    for (size_t f = 0; f < out.size(); ++f) out[f] = x[f * channels + ch];
    return out;
}

double dist(const std::array<float, 3>& a, const std::array<float, 3>& b) {
    return std::sqrt(std::pow(a[0] - b[0], 2.0) + std::pow(a[1] - b[1], 2.0) +
                     std::pow(a[2] - b[2], 2.0));
}

std::array<float, 3> position(const Scene& sc, const Source& s) {
    const double az = s.azimuth * kPi / 180.0, el = s.elevation * kPi / 180.0;
    return {static_cast<float>(sc.arrayCentre[0] + s.distance * std::cos(el) * std::cos(az)),
            static_cast<float>(sc.arrayCentre[1] + s.distance * std::cos(el) * std::sin(az)),
            static_cast<float>(sc.arrayCentre[2] + s.distance * std::sin(el))};
}

// Reverberation time from Schroeder's backward integral, line fitted from -5 to -25 dB (T20).
double schroederRt60(const std::vector<float>& h, int fs) {
    std::vector<double> edc(h.size() + 1, 0.0);
    for (size_t i = h.size(); i-- > 0;) edc[i] = edc[i + 1] + static_cast<double>(h[i]) * h[i];
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    int n = 0;
    for (size_t i = 0; i < h.size(); ++i) {
        const double db = 10.0 * std::log10(edc[i] / edc[0]);
        if (db > -5.0 || db < -25.0) continue;
        const double t = static_cast<double>(i) / fs;
        sx += t, sy += db, sxx += t * t, sxy += t * db;
        ++n;
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    return -60.0 / slope;
}

TEST(SceneTest, DirectPathDelayAndLevelFollowGeometry) {
    Scene sc;
    sc.room.rt60 = 0.0f;
    sc.frames = 4096;
    sc.mics = {{0.0f, 0.0f, 0.0f}, {0.3f, 0.2f, 0.05f}, {-0.4f, 0.1f, -0.2f}};
    Source talker;
    talker.signal = {1.0f};
    talker.azimuth = 30.0f;
    talker.elevation = 10.0f;
    talker.distance = 1.5f;
    talker.startFrame = 100;
    sc.talkers = {talker};
    const Recording rec = simulate(sc);
    ASSERT_EQ(rec.nearEnd.size(), 3u * 4096u);
    const auto src = position(sc, talker);
    for (int m = 0; m < 3; ++m) {
        const std::array<float, 3> mic{sc.arrayCentre[0] + sc.mics[m][0],
                                       sc.arrayCentre[1] + sc.mics[m][1],
                                       sc.arrayCentre[2] + sc.mics[m][2]};
        const double r = dist(src, mic);
        const double delay = talker.startFrame + r / kC * sc.fs;
        const std::vector<float> h = channel(rec.nearEnd, 3, m);
        // In the pass band the response is (1/r) e^(-j w delay): compare it at three frequencies.
        for (double f : {250.0, 1000.0, 3000.0}) {
            const double w = 2.0 * kPi * f / sc.fs;
            std::complex<double> H = 0.0;
            for (size_t n = 0; n < h.size(); ++n)
                H += static_cast<double>(h[n]) * std::polar(1.0, -w * n);
            const std::complex<double> aligned = H * std::polar(1.0, w * delay);
            EXPECT_NEAR(aligned.real(), 1.0 / r, 0.01 / r) << "mic " << m << " at " << f << " Hz";
            EXPECT_NEAR(aligned.imag(), 0.0, 0.01 / r) << "mic " << m << " at " << f << " Hz";
        }
        // Anechoic: the early part is the whole response.
        for (int n = 0; n < sc.frames; ++n)
            ASSERT_EQ(rec.nearEarly[n * 3 + m], rec.nearEnd[n * 3 + m]);
    }
}

TEST(SceneTest, MeasuredReverberationTimeMatchesRequest) {
    const int fs = 16000;
    for (float rt60 : {0.25f, 0.6f}) {
        Room room;
        room.rt60 = rt60;
        const std::vector<float> h = roomImpulseResponse(
            room, {1.5f, 1.2f, 1.4f}, {3.4f, 2.7f, 1.1f}, fs, static_cast<int>(1.5f * rt60 * fs));
        const double measured = schroederRt60(h, fs);
        EXPECT_NEAR(measured, rt60, 0.25 * rt60) << "requested " << rt60 << " s";
    }
    // A longer reverberation time means a longer decay, with the same direct path.
    Room dry, wet;
    dry.rt60 = 0.2f;
    wet.rt60 = 0.5f;
    const auto hd = roomImpulseResponse(dry, {1, 1, 1}, {3, 3, 1.5f}, fs, 8000);
    const auto hw = roomImpulseResponse(wet, {1, 1, 1}, {3, 3, 1.5f}, fs, 8000);
    EXPECT_LT(schroederRt60(hd, fs), schroederRt60(hw, fs));
    const int direct = static_cast<int>(std::sqrt(4.0 + 4.0 + 0.25) / kC * fs);
    EXPECT_FLOAT_EQ(hd[direct], hw[direct]);
}

Scene echoScene() {
    Scene sc;
    sc.room.rt60 = 0.25f;
    sc.frames = 24000;
    sc.mics = Scene::defaultArray();
    Source talker;
    talker.signal = whiteNoise(8000, 3);
    talker.azimuth = 60.0f;
    talker.distance = 1.0f;
    talker.startFrame = 12000;
    sc.talkers = {talker};
    sc.hasLoudspeaker = true;
    sc.loudspeaker.signal = whiteNoise(16000, 4);
    sc.loudspeaker.azimuth = -90.0f;
    sc.loudspeaker.distance = 0.4f;
    sc.loudspeaker.gain = 0.5f;
    sc.loudspeaker.startFrame = 1600;
    sc.referenceLeadFrames = 480;
    sc.noiseSnrDb = 20.0f;
    sc.seed = 11;
    return sc;
}

TEST(SceneTest, MixtureIsTheSumOfItsComponentsAndTheReferenceLeads) {
    const Scene sc = echoScene();
    const Recording rec = simulate(sc);
    ASSERT_EQ(rec.numMics, 7);
    ASSERT_EQ(rec.numRefs, 1);
    ASSERT_EQ(rec.mixture.size(), 8u * sc.frames);
    for (int f = 0; f < sc.frames; ++f) {
        for (int m = 0; m < 7; ++m) {
            const size_t i = static_cast<size_t>(f) * 7 + m;
            ASSERT_NEAR(rec.mixture[f * 8 + m], rec.nearEnd[i] + rec.echo[i] + rec.noise[i], 1e-7f);
        }
        const int k = f - sc.loudspeaker.startFrame;
        const float expected = k >= 0 && k < 16000 ? 0.5f * sc.loudspeaker.signal[k] : 0.0f;
        ASSERT_EQ(rec.mixture[f * 8 + 7], expected);
        ASSERT_EQ(rec.reference[f], expected);
    }
    // The echo at mic 0 follows the reference by the lead plus the direct-path travel time.
    const std::vector<float> echo0 = channel(rec.echo, 7, 0);
    int bestLag = -1;
    double best = 0.0;
    for (int lag = 0; lag < 1200; ++lag) {
        double c = 0.0;
        for (int f = 0; f + lag < sc.frames; ++f) c += rec.reference[f] * echo0[f + lag];
        if (c > best) best = c, bestLag = lag;
    }
    const auto mic0 =
        std::array<float, 3>{sc.arrayCentre[0] + sc.mics[0][0], sc.arrayCentre[1] + sc.mics[0][1],
                             sc.arrayCentre[2] + sc.mics[0][2]};
    const double travel = dist(position(sc, sc.loudspeaker), mic0) / kC * sc.fs;
    EXPECT_NEAR(bestLag, sc.referenceLeadFrames + travel, 1.0);
    // Nothing of the echo arrives before the lead.
    for (int f = 0; f < sc.loudspeaker.startFrame + sc.referenceLeadFrames; ++f)
        ASSERT_NEAR(echo0[f], 0.0f, 1e-6f);
}

TEST(SceneTest, NoiseHasTheRequestedSnrAndDiffuseCoherence) {
    Scene sc;
    sc.room.rt60 = 0.3f;
    sc.frames = 32000;
    sc.mics = {{0, 0, 0}, {0.01f, 0, 0}, {1.0f, 0, 0}};
    // Speech-like on/off talker: 0.25 s bursts with 0.25 s pauses.
    Source talker;
    talker.signal = whiteNoise(28000, 5);
    for (size_t i = 0; i < talker.signal.size(); ++i)
        if ((i / 4000) % 2 == 1) talker.signal[i] = 0.0f;
    talker.distance = 1.2f;
    talker.azimuth = 120.0f;
    sc.talkers = {talker};
    sc.noiseSnrDb = 7.0f;
    const Recording rec = simulate(sc);
    for (int f = 2000; f < 28000; f += 4000) EXPECT_EQ(rec.talkerActive[f], (f / 4000) % 2 == 0);
    double speech = 0.0, noise = 0.0;
    int active = 0;
    for (int f = 0; f < sc.frames; ++f) {
        noise += std::pow(rec.noise[f * 3], 2.0);
        if (rec.talkerActive[f]) speech += std::pow(rec.nearEnd[f * 3], 2.0), ++active;
    }
    ASSERT_GT(active, 0);
    EXPECT_NEAR(10.0 * std::log10((speech / active) / (noise / sc.frames)), 7.0, 0.01);

    // Diffuse field: nearly identical at 1 cm, nearly uncorrelated at 1 m.
    auto correlation = [&](int a, int b) {
        double ab = 0, aa = 0, bb = 0;
        for (int f = 0; f < sc.frames; ++f) {
            const double x = rec.noise[f * 3 + a], y = rec.noise[f * 3 + b];
            ab += x * y, aa += x * x, bb += y * y;
        }
        return ab / std::sqrt(aa * bb);
    };
    EXPECT_GT(correlation(0, 1), 0.9);
    EXPECT_LT(std::fabs(correlation(0, 2)), 0.3);
    // The early part carries less energy than the whole reverberant response.
    double early = 0.0, full = 0.0;
    for (size_t i = 0; i < rec.nearEnd.size(); ++i)
        early += std::pow(rec.nearEarly[i], 2.0), full += std::pow(rec.nearEnd[i], 2.0);
    EXPECT_LT(early, 0.95 * full);
    EXPECT_GT(early, 0.2 * full);
}

TEST(SceneTest, FixedSeedReproducesTheRecording) {
    Scene sc = echoScene();
    sc.frames = 8000;
    const Recording a = simulate(sc);
    const Recording b = simulate(sc);
    EXPECT_EQ(a.mixture, b.mixture);
    sc.seed = 12;
    const Recording c = simulate(sc);
    EXPECT_NE(a.noise, c.noise);
    EXPECT_EQ(a.echo, c.echo);
}

TEST(SceneTest, RefusesBadScenes) {
    Scene sc = echoScene();
    sc.frames = 1000;
    sc.talkers[0].distance = 10.0f;  // far beyond the 5 x 4 x 3 m room
    try {
        simulate(sc);
        FAIL() << "a talker outside the room was accepted";
    } catch (const char* e) {
        EXPECT_NE(std::string(e).find("outside the"), std::string::npos) << e;
    }
    sc = echoScene();
    sc.mics.clear();
    EXPECT_THROW(simulate(sc), const char*);
    sc = echoScene();
    sc.room.rt60 = -1.0f;
    EXPECT_THROW(simulate(sc), const char*);
}

TEST(SceneTest, WavFilesAndMeasures) {
    test::TempDir dir;
    const std::vector<float> stereo = {0.5f, -0.25f, 0.0f, 0.125f, -1.0f, 0.75f};
    writeWav(dir.file("s.wav"), stereo, 2, 16000);
    int channels = 0;
    const std::vector<float> back = readWav(dir.file("s.wav"), 16000, &channels);
    EXPECT_EQ(channels, 2);
    ASSERT_EQ(back.size(), stereo.size());
    for (size_t i = 0; i < back.size(); ++i) EXPECT_NEAR(back[i], stereo[i], 1.0 / 32768);
    EXPECT_THROW(readMonoWav(dir.file("s.wav"), 16000), const char*);         // two channels
    EXPECT_THROW(readWav(dir.file("s.wav"), 48000, &channels), const char*);  // wrong rate

    const std::vector<float> t = whiteNoise(16000, 7);
    std::vector<float> scaledDown(t.size()), noisy(t.size());
    const std::vector<float> e = whiteNoise(16000, 8);
    for (size_t i = 0; i < t.size(); ++i)
        scaledDown[i] = 0.1f * t[i], noisy[i] = 3.0f * (t[i] + 0.1f * e[i]);
    EXPECT_NEAR(erleDb(t, scaledDown), 20.0, 1e-3);
    EXPECT_GT(siSdrDb(scaledDown, t), 100.0);   // scale does not count
    EXPECT_NEAR(siSdrDb(noisy, t), 20.0, 0.3);  // 1 % residue energy
}

}  // namespace
}  // namespace velmora::scene
