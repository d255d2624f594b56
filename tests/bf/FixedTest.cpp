// Fixed beamformer: beam-file loading and its errors, nearest-beam selection, the pass-through
// without a file, delay-and-sum beams (written here and by tools/make_beams.py) steered at
// simulated plane waves, and allocation-free processing.
#include "bf/Fixed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"
#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "ssl/Array.h"

using velmora::bf::Fixed;
using velmora::blas::Complex;
using velmora::blas::ComplexMatrix;
using velmora::blas::ComplexTensor3;
using velmora::blas::Vector;
using velmora::ssl::Array;
using velmora::test::TempDir;

namespace {

constexpr float kFs = 16000.0f;
const float kMics[7][3] = {
    {0.0425f, 0.0f, 0.0f},  {0.02125f, 0.036806f, 0.0f},   {-0.02125f, 0.036806f, 0.0f},
    {-0.0425f, 0.0f, 0.0f}, {-0.02125f, -0.036806f, 0.0f}, {0.02125f, -0.036806f, 0.0f},
    {0.0f, 0.0f, 0.0f},
};

// The text of the error raised by building a Fixed from `path`, "" when none is raised.
std::string loadError(const std::string& path, int nummics, int numbins) {
    try {
        Fixed f(nummics, 0, numbins, path.c_str());
    } catch (const char* e) {
        return e;
    }
    return "";
}

// Beam b's weight for microphone m in bin k is (b + 1) + j (m + 1) / (k + 1): easy to recognise.
void writeMarkedBeams(const std::string& path, const std::vector<float>& angles, int nummics,
                      int numbins) {
    const int B = static_cast<int>(angles.size());
    Vector a(B);
    ComplexTensor3 w(B, nummics, numbins);
    for (int b = 0; b < B; ++b) {
        a.set(b, angles[b]);
        for (int m = 0; m < nummics; ++m)
            for (int k = 0; k < numbins; ++k)
                w.set(b, m, k, Complex(b + 1.0f, (m + 1.0f) / (k + 1.0f)));
    }
    Fixed::writeBeamFile(path.c_str(), &a, &w);
}

std::string le32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
    return s;
}

// Delay-and-sum beams for the default 7-microphone geometry: w = a / M with a the array's
// steering vector at the centre frequency of each bin.
void writeDelayAndSum(const std::string& path, const Array& array, const std::vector<float>& az,
                      int numbins) {
    const int B = static_cast<int>(az.size()), M = array.numElements();
    Vector angles(B);
    ComplexTensor3 w(B, M, numbins);
    std::vector<Complex> sv(M);
    for (int b = 0; b < B; ++b) {
        angles.set(b, az[b]);
        for (int k = 0; k < numbins; ++k) {
            array.steeringVector(az[b], 0.0f, k * kFs / (2.0f * numbins), sv.data());
            for (int m = 0; m < M; ++m) w.set(b, m, k, sv[m] / static_cast<float>(M));
        }
    }
    Fixed::writeBeamFile(path.c_str(), &angles, &w);
}

std::unique_ptr<Array> defaultArray() {
    auto a = std::make_unique<Array>(7);
    for (int m = 0; m < 7; ++m) a->setPosition(m, kMics[m][0], kMics[m][1], kMics[m][2]);
    return a;
}

// A plane wave from `azimuth` carrying source spectrum s: x[m][k] = a_m(azimuth, f_k) s[k].
void planeWave(const Array& array, float azimuth, const std::vector<Complex>& s, ComplexMatrix* x) {
    const int K = x->numColumns(), M = x->numRows();
    std::vector<Complex> sv(M);
    for (int k = 0; k < K; ++k) {
        array.steeringVector(azimuth, 0.0f, k * kFs / (2.0f * K), sv.data());
        for (int m = 0; m < M; ++m) x->set(m, k, sv[m] * s[k]);
    }
}

std::vector<Complex> sourceSpectrum(int K) {
    std::vector<Complex> s(K);
    for (int k = 0; k < K; ++k) s[k] = Complex(std::cos(0.7f * k) + 0.5f, std::sin(1.3f * k));
    return s;
}

// Checks that a beam steered at `look` passes a wave from there with unit gain in every bin and
// attenuates one from the opposite side between 1.6 and 4 kHz (where the 8.5 cm circle is
// neither too small nor aliased): by more than 8 dB on average and 2 dB in every bin.
void expectDelayAndSumResponse(Fixed* bf, const Array& array, float look) {
    const int K = bf->numBins();
    bf->setLook(0, look);
    EXPECT_FLOAT_EQ(bf->look(0), look);
    const std::vector<Complex> s = sourceSpectrum(K);
    ComplexMatrix x(7, K), y(1, K);
    planeWave(array, look, s, &x);
    bf->process(&x, &y);
    for (int k = 0; k < K; ++k) {
        EXPECT_NEAR(y.real(0, k), s[k].real(), 2e-5) << "bin " << k;
        EXPECT_NEAR(y.imag(0, k), s[k].imag(), 2e-5) << "bin " << k;
    }
    planeWave(array, velmora::ssl::wrapAngle(look + 180.0f), s, &x);
    bf->process(&x, &y);
    double sum = 0.0;
    const int k0 = K / 5, k1 = K / 2;
    for (int k = k0; k < k1; ++k) {
        const double gain = y.norm(0, k) / std::norm(s[k]);
        EXPECT_LT(10.0 * std::log10(gain), -2.0) << "bin " << k;
        sum += gain;
    }
    EXPECT_LT(10.0 * std::log10(sum / (k1 - k0)), -8.0) << "look " << look;
}

TEST(Fixed, LoadErrors) {
    TempDir dir;
    const std::string missing = dir.file("none.bin");
    EXPECT_EQ(loadError(missing, 4, 8), "velmora, Fixed: Cannot load beamformers from: " + missing);
    EXPECT_EQ(loadError(dir.path(), 4, 8),
              "velmora, Fixed: Cannot load beamformers from: " + dir.path());

    const std::string good = dir.file("good.bin");
    writeMarkedBeams(good, {-30.0f, 30.0f}, 4, 8);
    EXPECT_EQ(loadError(good, 4, 8), "");
    // The microphone count is checked first, although the bin count precedes it in the file.
    EXPECT_EQ(loadError(good, 5, 9), "velmora, Fixed: No. of mics not match: 4, 5");
    EXPECT_EQ(loadError(good, 4, 9), "velmora, Fixed: No. of frequency bins not match: 8, 9");

    // Truncated anywhere, or longer than its header says: refused as a whole.
    const std::string bytes = velmora::test::readFile(good);
    const std::string cut = dir.file("cut.bin");
    const std::string cannot = "velmora, Fixed: Cannot load beamformers from: " + cut;
    for (size_t n : {size_t{0}, size_t{3}, size_t{11}, size_t{12}, size_t{17}, bytes.size() - 1}) {
        velmora::test::writeFile(cut, bytes.substr(0, n));
        EXPECT_EQ(loadError(cut, 4, 8), cannot) << n << " bytes";
    }
    velmora::test::writeFile(cut, bytes + std::string(1, '\0'));
    EXPECT_EQ(loadError(cut, 4, 8), cannot);

    // Header claims: no beams, a negative or an enormous beam count.
    for (uint32_t beams : {0u, 0xffffffffu, 0x7fffffffu, 3u}) {
        velmora::test::writeFile(cut, le32(beams) + bytes.substr(4));
        EXPECT_EQ(loadError(cut, 4, 8), cannot) << beams;
    }
    // Angles out of order or not finite; a weight that is not a number.
    std::string bad = bytes;
    std::memcpy(&bad[12], le32(0x42700000u).data(), 4);  // 60 before 30
    velmora::test::writeFile(cut, bad);
    EXPECT_EQ(loadError(cut, 4, 8), cannot);
    bad = bytes;
    std::memcpy(&bad[16], le32(0x7fc00000u).data(), 4);  // NaN angle
    velmora::test::writeFile(cut, bad);
    EXPECT_EQ(loadError(cut, 4, 8), cannot);
    bad = bytes;
    std::memcpy(&bad[bytes.size() - 4], le32(0x7f800000u).data(), 4);  // infinite weight
    velmora::test::writeFile(cut, bad);
    EXPECT_EQ(loadError(cut, 4, 8), cannot);

    // Garbage: some message, never a crash.
    std::string junk(5000, '\0');
    uint32_t state = 12345;
    for (char& c : junk) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 16);
    velmora::test::writeFile(cut, junk);
    EXPECT_NE(loadError(cut, 4, 8).find("velmora, Fixed: "), std::string::npos);
}

TEST(Fixed, SetLookPicksTheNearestBeam) {
    TempDir dir;
    const std::string path = dir.file("three.bin");
    writeMarkedBeams(path, {-60.0f, 0.0f, 60.0f}, 2, 4);
    Fixed f(2, 2, 4, path.c_str());
    EXPECT_EQ(f.numBeams(), 3);
    EXPECT_EQ(f.numOuts(), 2);
    const std::pair<float, int> cases[] = {
        {25.0f, 1},   {31.0f, 2},   {-25.0f, 1},    // the nearer neighbour
        {30.0f, 1},   {-30.0f, 0},  {180.0f, 0},    // ties: the lower index
        {60.0f, 2},   {-60.0f, 0},  {0.0f, 1},      // exact matches
        {170.0f, 2},  {-170.0f, 0},                 // past either end
        {-300.0f, 2}, {420.0f, 2},  {-389.0f, 1}};  // wrapped first
    for (const auto& c : cases) {
        f.setLook(1, c.first);
        EXPECT_EQ(f.beamIndex(1), c.second) << c.first;
        EXPECT_EQ(f.beamIndex(0), 0) << "output 0 keeps its beam";
    }
    f.setLook(1, NAN);
    EXPECT_EQ(f.beamIndex(1), 1) << "a non-finite azimuth changes nothing";

    // Beams near both ends of the circle: the wrap-around neighbour is the nearer one.
    const std::string ends = dir.file("ends.bin");
    writeMarkedBeams(ends, {-170.0f, 0.0f, 100.0f}, 2, 4);
    Fixed g(2, 1, 4, ends.c_str());
    g.setLook(0, 170.0f);
    EXPECT_FLOAT_EQ(g.look(0), -170.0f);
    g.setLook(0, 140.0f);
    EXPECT_FLOAT_EQ(g.look(0), 100.0f);
    g.setLook(0, 135.0f);  // 35 from 100 and 55 from -170
    EXPECT_FLOAT_EQ(g.look(0), 100.0f);
    g.setLook(0, 145.0f);  // 45 either way: the lower index
    EXPECT_FLOAT_EQ(g.look(0), -170.0f);

    // A single beam takes every direction.
    const std::string one = dir.file("one.bin");
    writeMarkedBeams(one, {45.0f}, 2, 4);
    Fixed h(2, 1, 4, one.c_str());
    h.setLook(0, -135.0f);
    EXPECT_FLOAT_EQ(h.look(0), 45.0f);
}

TEST(Fixed, OutputsApplyTheirBeamsConjugated) {
    TempDir dir;
    const std::string path = dir.file("marked.bin");
    writeMarkedBeams(path, {-90.0f, 0.0f, 90.0f}, 2, 3);
    // Outputs default to beam min(o, B - 1); numouts 0 gives one output per beam.
    Fixed all(2, 0, 3, path.c_str());
    EXPECT_EQ(all.numOuts(), 3);
    Fixed f(2, 5, 3, path.c_str());
    const float expectLook[] = {-90.0f, 0.0f, 90.0f, 90.0f, 90.0f};
    for (int o = 0; o < 5; ++o) EXPECT_FLOAT_EQ(f.look(o), expectLook[o]);
    EXPECT_EQ(f.delay(), 0);
    EXPECT_EQ(f.sslData(), nullptr);

    // x[m][k] = m + 1 + j: y[o][k] = sum_m conj(w_b,k,m) x[m][k] with b the beam of output o.
    ComplexMatrix x(2, 3), y(5, 3);
    for (int m = 0; m < 2; ++m)
        for (int k = 0; k < 3; ++k) x.set(m, k, Complex(m + 1.0f, 1.0f));
    f.setLook(4, -80.0f);
    f.process(&x, &y);
    const int beamOf[] = {0, 1, 2, 2, 0};
    for (int o = 0; o < 5; ++o)
        for (int k = 0; k < 3; ++k) {
            Complex want(0.0f, 0.0f);
            for (int m = 0; m < 2; ++m)
                want += std::conj(Complex(beamOf[o] + 1.0f, (m + 1.0f) / (k + 1.0f))) * x.get(m, k);
            EXPECT_NEAR(y.real(o, k), want.real(), 1e-5) << o << "," << k;
            EXPECT_NEAR(y.imag(o, k), want.imag(), 1e-5) << o << "," << k;
        }

    // The same block in place (one output per microphone) gives the same result.
    Fixed sq(2, 2, 3, path.c_str());
    ComplexMatrix z(2, 3), ref(2, 3);
    z.copy(&x);
    sq.process(&x, &ref);
    sq.process(&z, &z);
    for (int o = 0; o < 2; ++o)
        for (int k = 0; k < 3; ++k) EXPECT_EQ(z.get(o, k), ref.get(o, k));
}

TEST(Fixed, PassThroughWithoutBeamFile) {
    Fixed f(7, 0, 5, nullptr);
    EXPECT_EQ(f.numOuts(), 7);
    EXPECT_EQ(f.numBeams(), 0);
    ComplexMatrix x(7, 5), y(7, 5);
    x.fillRandom();
    f.setLook(3, 90.0f);
    EXPECT_EQ(f.look(3), 0.0f);
    f.process(&x, &y);
    for (int m = 0; m < 7; ++m)
        for (int k = 0; k < 5; ++k) EXPECT_EQ(y.get(m, k), x.get(m, k));

    Fixed fewer(4, 2, 5, "");
    ComplexMatrix x4(4, 5), y2(2, 5);
    x4.fillRandom();
    fewer.process(&x4, &y2);
    for (int m = 0; m < 2; ++m)
        for (int k = 0; k < 5; ++k) EXPECT_EQ(y2.get(m, k), x4.get(m, k));

    Fixed more(2, 3, 5, nullptr);
    ComplexMatrix x2(2, 5), y3(3, 5);
    x2.fillRandom();
    y3.fill(7.0f, 7.0f);
    more.process(&x2, &y3);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(y3.get(0, k), x2.get(0, k));
        EXPECT_EQ(y3.get(1, k), x2.get(1, k));
        EXPECT_EQ(y3.get(2, k), Complex(0.0f, 0.0f));
    }
}

TEST(Fixed, DelayAndSumPassesTheLookDirection) {
    TempDir dir;
    const std::string path = dir.file("das.bin");
    auto array = defaultArray();
    std::vector<float> az;
    for (int i = 0; i < 12; ++i) az.push_back(-180.0f + 30.0f * i);
    writeDelayAndSum(path, *array, az, 160);
    Fixed bf(7, 1, 160, path.c_str());
    for (float look : {60.0f, -150.0f, 0.0f}) expectDelayAndSumResponse(&bf, *array, look);
}

// Runs tools/make_beams.py with a python3 that has numpy, if there is one.
TEST(Fixed, BeamsFromTheToolMatch) {
    std::string python;
    for (const char* candidate : {"python3", "/usr/bin/python3"}) {
        const std::string probe = std::string(candidate) + " -c 'import numpy' >/dev/null 2>&1";
        if (std::system(probe.c_str()) == 0) {
            python = candidate;
            break;
        }
    }
    ASSERT_FALSE(python.empty()) << "no python3 with numpy (make test installs python3-numpy)";

    TempDir dir;
    const std::string conf = dir.file("array.conf");
    // The default circle, given through a configuration file as the engine reads it.
    std::string text = "nummics = 7\nmiccoor = \n# the 7-mic circle\n";
    for (const auto& p : kMics)
        text +=
            std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) + "\n";
    velmora::test::writeFile(conf, text);
    const std::string tool = std::string(VELMORA_SOURCE_DIR) + "/tools/make_beams.py";
    const std::string out = dir.file("tool.bin");
    const std::string cmd = python + " '" + tool + "' --config '" + conf +
                            "' --azimuths 60,-150,0,120 --bins 160 '" + out + "' >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;

    Fixed bf(7, 1, 160, out.c_str());
    EXPECT_EQ(bf.numBeams(), 4);
    auto array = defaultArray();
    for (float look : {60.0f, -150.0f, 120.0f}) expectDelayAndSumResponse(&bf, *array, look);

    // The tool and the C++ writer give the same file up to float rounding.
    const std::string mine = dir.file("mine.bin");
    writeDelayAndSum(mine, *array, {-150.0f, 0.0f, 60.0f, 120.0f}, 160);
    const std::string a = velmora::test::readFile(out), b = velmora::test::readFile(mine);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(a.substr(0, 28), b.substr(0, 28));  // header and angles
    float maxDiff = 0.0f;
    for (size_t i = 28; i + 4 <= a.size(); i += 4) {
        float fa, fb;
        std::memcpy(&fa, &a[i], 4);
        std::memcpy(&fb, &b[i], 4);
        maxDiff = std::max(maxDiff, std::fabs(fa - fb));
    }
    EXPECT_LT(maxDiff, 1e-6f);
}

TEST(Fixed, ProcessDoesNotAllocate) {
    TempDir dir;
    const std::string path = dir.file("das.bin");
    auto array = defaultArray();
    writeDelayAndSum(path, *array, {-90.0f, 0.0f, 90.0f}, 160);
    Fixed beams(7, 2, 160, path.c_str());
    Fixed pass(7, 0, 160, nullptr);
    ComplexMatrix x(7, 160), y2(2, 160), y7(7, 160);
    x.fillRandom();
    velmora::test::AllocCounter count;
    for (int i = 0; i < 10; ++i) {
        beams.setLook(i % 2, 30.0f * i);
        beams.process(&x, &y2);
        pass.process(&x, &y7);
        pass.process(&y7, &y7);
    }
    EXPECT_EQ(count.allocations(), 0);
}

TEST(FixedDeath, AssertionTexts) {
    EXPECT_DEATH(Fixed(0, 0, 4, nullptr), "nummics > 0");
    EXPECT_DEATH(Fixed(2, -1, 4, nullptr), "numouts >= 0");
    EXPECT_DEATH(Fixed(2, 0, 0, nullptr), "numbins > 0");
    Fixed f(2, 0, 4, nullptr);
    EXPECT_DEATH(f.look(2), "n >= 0 && n < numOuts\\(\\)");
    EXPECT_DEATH(f.setLook(-1, 0.0f), "n >= 0 && n < numOuts\\(\\)");
    ComplexMatrix good(2, 4), wrongIn(3, 4), wrongOut(2, 5);
    EXPECT_DEATH(f.process(&wrongIn, &good),
                 "datain->numRows\\(\\) == numMics\\(\\) && datain->numColumns\\(\\) == "
                 "numBins\\(\\)");
    EXPECT_DEATH(f.process(&good, &wrongOut),
                 "dataout->numRows\\(\\) == numOuts\\(\\) && dataout->numColumns\\(\\) == "
                 "numBins\\(\\)");
}

}  // namespace
