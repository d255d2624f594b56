// Polyphase filter banks: construction errors, the prototype tables, end-to-end behaviour of
// analysis followed by synthesis (gain per position, reconstruction SNR on noise and speech,
// stop band), impulse responses, state round trips, interleaved forms and allocation freedom.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "blas/ComplexMatrix.h"
#include "blas/Matrix.h"
#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "transform/PPFBankAnalyzer.h"
#include "transform/PPFBankSynthesizer.h"
#include "transform/PPFPrototypes.h"

using velmora::blas::ComplexMatrix;
using velmora::blas::Matrix;
using velmora::transform::kPPFBlockSize;
using velmora::transform::kPPFDelay;
using velmora::transform::kPPFNumBlocks;
using velmora::transform::kPPFNumTypes;
using velmora::transform::PPFBankAnalyzer;
using velmora::transform::PPFBankSynthesizer;
using velmora::transform::ppfPrototype;
using velmora::transform::ppfPrototypeLength;
using velmora::transform::PPFWindowType;

namespace {

// Allowed end-to-end gain range and largest-coefficient position per window type.
const double kGainLo[kPPFNumTypes] = {0.9478, 0.9943, 1.0, 0.9165, 0.9945, 0.9092, 0.9174};
const double kGainHi[kPPFNumTypes] = {1.0208, 0.9964, 1.0, 0.9879, 0.9994, 0.9679, 0.9892};
const int kPeak[kPPFNumTypes] = {208, 358, 639, 418, 734, 660, 835};

// Floors on the reconstruction SNR against the delayed main term (white noise and speech) and on
// the stop-band attenuation; the designed tables clear them by 3 dB or more.
const double kSnrFloor[kPPFNumTypes] = {52.0, 52.0, 100.0, 52.0, 52.0, 52.0, 52.0};
const double kStopFloor[kPPFNumTypes] = {35.0, 35.0, 35.0, 35.0, 35.0, 35.0, 35.0};

std::string thrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const char* msg) {
        return msg;
    }
    return "";
}

// Runs `x` (channels x samples, each a multiple of the block size long) through analysis and
// synthesis of one window type, with the spectra passed unchanged.
std::vector<std::vector<double>> runBank(int type, const std::vector<std::vector<double>>& x) {
    const int nch = static_cast<int>(x.size());
    PPFBankAnalyzer ana(nch, PPFWindowType{type});
    PPFBankSynthesizer syn(nch, PPFWindowType{type});
    const int B = ana.blockSize();
    const int nblocks = static_cast<int>(x[0].size()) / B;
    Matrix in(nch, B), out(nch, B);
    ComplexMatrix spec(nch, B);
    std::vector<std::vector<double>> y(nch, std::vector<double>(nblocks * B));
    for (int b = 0; b < nblocks; b++) {
        for (int c = 0; c < nch; c++)
            for (int i = 0; i < B; i++) in.set(c, i, static_cast<float>(x[c][b * B + i]));
        ana.analyze(&in, &spec);
        syn.synthesize(&spec, &out);
        for (int c = 0; c < nch; c++)
            for (int i = 0; i < B; i++) y[c][b * B + i] = out.get(c, i);
    }
    return y;
}

// Gain of the delayed main term per position r within the block: channel r carries a unit
// impulse at position r, and its output sample r + delay is the gain.
std::vector<double> positionGains(int type) {
    const int B = kPPFBlockSize[type], D = kPPFDelay[type];
    const int len = (D / B + 2) * B;
    std::vector<std::vector<double>> x(B, std::vector<double>(len, 0.0));
    for (int r = 0; r < B; r++) x[r][r] = 1.0;
    auto y = runBank(type, x);
    std::vector<double> g(B);
    for (int r = 0; r < B; r++) g[r] = y[r][r + D];
    return g;
}

// SNR of the bank output against the delayed main term: the input delayed by delay(),
// pre-emphasised, weighted by the position gain and de-emphasised again. Also returns the SNR
// against the plain delayed input.
void reconstructionSnr(int type, const std::vector<double>& x, const std::vector<double>& g,
                       double* snrMain, double* snrDelay) {
    const int B = kPPFBlockSize[type], D = kPPFDelay[type];
    const int n = static_cast<int>(x.size()) / B * B;
    std::vector<std::vector<double>> in(1, std::vector<double>(x.begin(), x.begin() + n));
    const std::vector<double> y = runBank(type, in)[0];
    double sig = 0, err = 0, sigD = 0, errD = 0, prevIn = 0, ref = 0;
    const int skip = 2 * kPPFNumBlocks[type] * B;  // leave the start-up transient out
    for (int t = 0; t < n; t++) {
        const double xd = t >= D ? x[t - D] : 0.0;
        ref = g[t % B] * (xd - 0.9 * prevIn) + 0.9 * ref;
        prevIn = xd;
        if (t < skip) continue;
        sig += ref * ref;
        err += (y[t] - ref) * (y[t] - ref);
        sigD += xd * xd;
        errD += (y[t] - xd) * (y[t] - xd);
    }
    *snrMain = 10 * std::log10(sig / err);
    *snrDelay = 10 * std::log10(sigD / errD);
}

// Attenuation of the prototype beyond 1.5 bin spacings (1.5 pi / B rad) relative to DC, in dB.
double stopbandDb(int type) {
    const float* h = ppfPrototype(type);
    const int L = ppfPrototypeLength(type), B = kPPFBlockSize[type];
    const double pi = 3.14159265358979323846;
    auto mag = [&](double w) {
        std::complex<double> acc = 0, rot = std::polar(1.0, -w), z = 1.0;
        for (int i = 0; i < L; i++) {
            acc += static_cast<double>(h[i]) * z;
            z *= rot;
            if ((i & 255) == 255) z /= std::abs(z);
        }
        return std::abs(acc);
    };
    const double ws = 1.5 * pi / B;
    const int grid = 4 * L;
    double peak = 0;
    for (int k = 0; k <= grid; k++) peak = std::max(peak, mag(ws + (pi - ws) * k / grid));
    return 20 * std::log10(mag(0.0) / peak);
}

std::vector<double> whiteNoise(int n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> d(0.0, 0.1);
    std::vector<double> x(n);
    for (auto& v : x) v = d(gen);
    return x;
}

// Samples of a 16-bit mono PCM WAVE file scaled to [-1, 1); empty when unreadable.
std::vector<double> readWav16(const std::string& path) {
    const std::string bytes = velmora::test::readFile(path);
    std::vector<double> x;
    size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        uint32_t len;
        std::memcpy(&len, bytes.data() + pos + 4, 4);
        if (bytes.compare(pos, 4, "data") == 0) {
            const size_t end = std::min(bytes.size(), pos + 8 + len);
            for (size_t i = pos + 8; i + 1 < end; i += 2) {
                int16_t s;
                std::memcpy(&s, bytes.data() + i, 2);
                x.push_back(s / 32768.0);
            }
            break;
        }
        pos += 8 + len + (len & 1);
    }
    return x;
}

}  // namespace

TEST(PPFBankTest, ConstructionErrorsAndDimensions) {
    EXPECT_EQ(thrownText([] { PPFBankAnalyzer a(4, 256); }),
              "velmora, PPFBankAnalyzer: Unsupported block size: 256");
    EXPECT_EQ(thrownText([] { PPFBankSynthesizer s(4, 256); }),
              "velmora, PPFBankSynthesizer: Unsupported block size: 256");
    EXPECT_EQ(thrownText([] { PPFBankSynthesizer s(1, PPFWindowType{7}); }),
              "velmora, PPFBankSynthesizer: Unknown window type: 7");
    EXPECT_EQ(thrownText([] { PPFBankAnalyzer a(1, PPFWindowType{-1}); }),
              "velmora, PPFBankAnalyzer: Unknown window type: -1");
    EXPECT_DEATH(PPFBankAnalyzer(0, PPFWindowType{0}), "numchs > 0");
    EXPECT_DEATH(PPFBankSynthesizer(0, 160), "numchs > 0");

    const int sizes[4] = {160, 320, 480, 640}, types[4] = {0, 3, 5, 6};
    for (int i = 0; i < 4; i++) {
        PPFBankAnalyzer a(2, sizes[i]);
        PPFBankSynthesizer s(2, sizes[i]);
        EXPECT_EQ(a.windowType(), types[i]);
        EXPECT_EQ(s.windowType(), types[i]);
        EXPECT_EQ(a.numBins(), sizes[i]);
        EXPECT_EQ(s.blockSize(), sizes[i]);
        EXPECT_EQ(s.delay(), sizes[i]);
    }
    const int delays[kPPFNumTypes] = {160, 480, 960, 320, 960, 480, 640};
    for (int t = 0; t < kPPFNumTypes; t++)
        EXPECT_EQ(PPFBankSynthesizer(1, PPFWindowType{t}).delay(), delays[t]) << "type " << t;
}

TEST(PPFBankTest, BinMapping) {
    PPFBankAnalyzer a(1, 160);
    EXPECT_EQ(a.freqToBin(16000, 8000), 159);
    EXPECT_EQ(a.freqToBin(16000, 50), 1);
    EXPECT_EQ(a.freqToBin(16000, 0), 0);
    EXPECT_FLOAT_EQ(a.binToFreq(16000, 80), 4000.0f);
    EXPECT_DEATH(a.freqToBin(16000, 8001), "f >= 0.0 && f <= fs / 2.0");
    EXPECT_DEATH(a.binToFreq(16000, 160), "fi >= 0 && fi < numBins\\(\\)");
}

TEST(PPFBankTest, PrototypeTables) {
    for (int t = 0; t < kPPFNumTypes; t++) {
        const float* h = ppfPrototype(t);
        const int L = ppfPrototypeLength(t);
        EXPECT_EQ(L, kPPFBlockSize[t] * kPPFNumBlocks[t]);
        EXPECT_EQ(std::max_element(h, h + L) - h, kPeak[t]) << "type " << t;
    }
    const float* h2 = ppfPrototype(2);
    double energy = 0;
    for (int i = 0; i < 1280; i++) {
        EXPECT_EQ(h2[i], h2[1279 - i]) << i;
        energy += static_cast<double>(h2[i]) * h2[i];
    }
    EXPECT_NEAR(energy, 320.0, 1e-3);
}

TEST(PPFBankTest, ShapeAssertions) {
    PPFBankAnalyzer a(2, 160);
    PPFBankSynthesizer s(2, 160);
    Matrix in(2, 160), wrongIn(3, 160), out(2, 160);
    ComplexMatrix spec(2, 160), wrongSpec(2, 161);
    EXPECT_DEATH(a.analyze(&wrongIn, &spec),
                 "input->numRows\\(\\) == numChannels\\(\\) && input->numColumns\\(\\) == "
                 "blockSize\\(\\)");
    EXPECT_DEATH(a.analyze(&in, &wrongSpec),
                 "output->numRows\\(\\) == numChannels\\(\\) && output->numColumns\\(\\) == "
                 "numBins\\(\\)");
    EXPECT_DEATH(s.synthesize(&wrongSpec, &out),
                 "input->numRows\\(\\) == numChannels\\(\\) && input->numColumns\\(\\) == "
                 "numBins\\(\\)");
    EXPECT_DEATH(s.synthesize(&spec, &wrongIn),
                 "output->numRows\\(\\) == numChannels\\(\\) && output->numColumns\\(\\) == "
                 "blockSize\\(\\)");
}

// Silence gives zero spectra; a cosine at the centre of bin k peaks in bin k.
TEST(PPFBankTest, SpectraOfSilenceAndCosine) {
    for (int t : {0, 2, 5}) {
        const int B = kPPFBlockSize[t], k = B / 4 + 3;
        PPFBankAnalyzer a(2, PPFWindowType{t});
        Matrix in(2, B);
        ComplexMatrix spec(2, B);
        for (int b = 0; b < 8; b++) {
            for (int i = 0; i < B; i++)
                in.set(1, i, static_cast<float>(std::cos(3.14159265358979 * k * (b * B + i) / B)));
            a.analyze(&in, &spec);
        }
        int best = 0;
        for (int j = 0; j < B; j++) {
            EXPECT_EQ(spec.get(0, j), std::complex<float>(0.0f, 0.0f));
            if (std::abs(spec.get(1, j)) > std::abs(spec.get(1, best))) best = j;
        }
        EXPECT_EQ(best, k) << "type " << t;
    }
}

TEST(PPFBankTest, ImpulseResponses) {
    // type 0: the impulse at 5 comes out at 165, followed only by the emphasis pair's residue
    std::vector<std::vector<double>> x(1, std::vector<double>(6 * 160, 0.0));
    x[0][5] = 1.0;
    auto y = runBank(0, x)[0];
    const int dominant = static_cast<int>(
        std::max_element(y.begin(), y.end(),
                         [](double a, double b) { return std::fabs(a) < std::fabs(b); }) -
        y.begin());
    EXPECT_EQ(dominant, 165);
    EXPECT_GT(y[165], kGainLo[0]);
    EXPECT_LT(y[165], kGainHi[0]);
    for (int n = 166; n < 200; n++) EXPECT_LT(std::fabs(y[n]), 0.05) << n;

    // type 2: the impulse itself, 960 samples later
    std::vector<std::vector<double>> x2(1, std::vector<double>(8 * 320, 0.0));
    x2[0][5] = 1.0;
    auto y2 = runBank(2, x2)[0];
    for (size_t n = 0; n < y2.size(); n++) EXPECT_NEAR(y2[n], n == 965 ? 1.0 : 0.0, 1e-4) << n;
}

// Per type: the gain of the delayed main term stays in its range, and the reconstruction SNR on
// white noise and the stop-band attenuation stay above their floors.
TEST(PPFBankTest, EndToEndPerType) {
    for (int t = 0; t < kPPFNumTypes; t++) {
        const std::vector<double> g = positionGains(t);
        const double gmin = *std::min_element(g.begin(), g.end());
        const double gmax = *std::max_element(g.begin(), g.end());
        if (t == 2) {
            EXPECT_NEAR(gmin, 1.0, 1e-5);
            EXPECT_NEAR(gmax, 1.0, 1e-5);
        } else {
            EXPECT_GE(gmin, kGainLo[t]) << "type " << t;
            EXPECT_LE(gmax, kGainHi[t]) << "type " << t;
        }
        double white, whiteDelay;
        reconstructionSnr(t, whiteNoise(40 * kPPFBlockSize[t], 11 + t), g, &white, &whiteDelay);
        EXPECT_GE(white, kSnrFloor[t]) << "type " << t;
        const double stop = stopbandDb(t);
        EXPECT_GE(stop, kStopFloor[t]) << "type " << t;
        std::printf(
            "type %d: SNR white %.1f dB, stopband %.1f dB, gain %.4f..%.4f "
            "(SNR against the plain delay %.1f dB)\n",
            t, white, stop, gmin, gmax, whiteDelay);
        RecordProperty("type" + std::to_string(t) + "_snr_white", std::to_string(white));
        RecordProperty("type" + std::to_string(t) + "_stopband", std::to_string(stop));
    }
}

TEST(PPFBankTest, SpeechReconstruction) {
    const std::string dir = velmora::test::testdataDir();
    const std::vector<double> speech = readWav16(dir + "/speech/cmu_arctic_us_aew_a0001.wav");
    ASSERT_GT(speech.size(), 16000u);
    for (int t = 0; t < kPPFNumTypes; t++) {
        double sp, spDelay;
        reconstructionSnr(t, speech, positionGains(t), &sp, &spDelay);
        EXPECT_GE(sp, kSnrFloor[t]) << "type " << t;
        std::printf("type %d: SNR speech %.1f dB (against the plain delay %.1f dB)\n", t, sp,
                    spDelay);
        RecordProperty("type" + std::to_string(t) + "_snr_speech", std::to_string(sp));
    }
}

TEST(PPFBankTest, StateRoundTripContinuesBitExactly) {
    for (int t : {0, 4}) {
        const int B = kPPFBlockSize[t];
        PPFBankAnalyzer a1(2, PPFWindowType{t}), a2(2, PPFWindowType{t});
        PPFBankSynthesizer s1(2, PPFWindowType{t}), s2(2, PPFWindowType{t});
        Matrix in(2, B), o1(2, B), o2(2, B);
        ComplexMatrix f1(2, B), f2(2, B);
        for (int b = 0; b < 4; b++) {
            in.fillRandom();
            a1.analyze(&in, &f1);
            s1.synthesize(&f1, &o1);
        }
        std::stringstream sa, ss;
        a1.saveState(sa);
        s1.saveState(ss);
        EXPECT_EQ(sa.str().size(), sizeof(float) * (2 + 2 * B * kPPFNumBlocks[t]));
        a2.loadState(sa);
        s2.loadState(ss);
        for (int b = 0; b < 6; b++) {
            in.fillRandom();
            a1.analyze(&in, &f1);
            a2.analyze(&in, &f2);
            s1.synthesize(&f1, &o1);
            s2.synthesize(&f2, &o2);
            for (int c = 0; c < 2; c++)
                for (int i = 0; i < B; i++) {
                    ASSERT_EQ(f1.get(c, i), f2.get(c, i));
                    ASSERT_EQ(o1.get(c, i), o2.get(c, i));
                }
        }
        // a truncated state leaves the stream failed and the bank in its initial state
        std::stringstream part(sa.str().substr(0, 100));
        PPFBankAnalyzer a3(2, PPFWindowType{t}), fresh(2, PPFWindowType{t});
        a3.loadState(part);
        EXPECT_TRUE(part.fail());
        in.fillRandom();
        a3.analyze(&in, &f1);
        fresh.analyze(&in, &f2);
        for (int i = 0; i < B; i++) ASSERT_EQ(f1.get(1, i), f2.get(1, i));
    }
}

TEST(PPFBankTest, InterleavedFormsEqualMatrixForms) {
    for (int t : {1, 3}) {
        const int B = kPPFBlockSize[t], nch = 3;
        PPFBankAnalyzer a1(nch, PPFWindowType{t}), a2(nch, PPFWindowType{t});
        PPFBankSynthesizer s1(nch, PPFWindowType{t}), s2(nch, PPFWindowType{t});
        Matrix in(nch, B), out(nch, B);
        ComplexMatrix f1(nch, B), f2(nch, B);
        std::vector<float> frames(nch * B), outFrames(nch * B);
        for (int b = 0; b < 5; b++) {
            in.fillRandom();
            for (int c = 0; c < nch; c++)
                for (int i = 0; i < B; i++) frames[i * nch + c] = in.get(c, i);
            a1.analyze(&in, &f1);
            a2.analyze(frames.data(), &f2);
            s1.synthesize(&f1, &out);
            s2.synthesize(&f2, outFrames.data());
            for (int c = 0; c < nch; c++)
                for (int i = 0; i < B; i++) {
                    ASSERT_EQ(f1.get(c, i), f2.get(c, i));
                    ASSERT_EQ(out.get(c, i), outFrames[i * nch + c]);
                }
        }
    }
}

TEST(PPFBankTest, SynthesisLeavesItsInputUnchanged) {
    PPFBankSynthesizer s(1, 160);
    ComplexMatrix spec(1, 160), copy(1, 160);
    Matrix out(1, 160);
    spec.fillRandom();
    copy.copy(&spec);
    s.synthesize(&spec, &out);
    for (int i = 0; i < 160; i++) ASSERT_EQ(spec.get(0, i), copy.get(0, i));
}

TEST(PPFBankTest, NoAllocationPerBlock) {
    for (int t : {0, 2, 6}) {
        const int B = kPPFBlockSize[t], nch = 4;
        PPFBankAnalyzer a(nch, PPFWindowType{t});
        PPFBankSynthesizer s(nch, PPFWindowType{t});
        Matrix in(nch, B), out(nch, B);
        ComplexMatrix spec(nch, B);
        std::vector<float> frames(nch * B);
        in.fillRandom();
        // the first call may create lazily built transform tables
        a.analyze(&in, &spec);
        s.synthesize(&spec, &out);
        velmora::test::AllocCounter count;
        for (int b = 0; b < 10; b++) {
            a.analyze(&in, &spec);
            s.synthesize(&spec, &out);
            a.analyze(frames.data(), &spec);
            s.synthesize(&spec, frames.data());
        }
        EXPECT_EQ(count.allocations(), 0) << "type " << t;
    }
}
