// STFT160: bin mapping, the window and history of the first blocks, agreement with a direct
// DFT of the windowed frame, channel independence and the shape assertions.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "blas/ComplexMatrix.h"
#include "blas/Matrix.h"
#include "common/AllocCounter.h"
#include "transform/STFT160.h"

using velmora::blas::ComplexMatrix;
using velmora::blas::Matrix;
using velmora::transform::STFT160;

namespace {
const double kPi = 3.14159265358979323846;
double window(int i) {
    return std::sqrt(0.5 * (1.0 - std::cos(2.0 * kPi * i / 320)));
}
}  // namespace

TEST(STFT160Test, DimensionsAndBinMapping) {
    STFT160 s(2);
    EXPECT_EQ(s.numChannels(), 2);
    EXPECT_EQ(s.blockSize(), 160);
    EXPECT_EQ(s.stftShift(), 160);
    EXPECT_EQ(s.numBins(), 160);
    EXPECT_EQ(s.freqToBin(16000, 8000), 159);
    EXPECT_EQ(s.freqToBin(16000, 50), 1);
    EXPECT_EQ(s.freqToBin(16000, 24), 0);
    EXPECT_FLOAT_EQ(s.binToFreq(16000, 80), 4000.0f);
    EXPECT_DEATH(s.freqToBin(16000, -1), "f >= 0.0 && f <= fs / 2.0");
    EXPECT_DEATH(s.binToFreq(16000, -1), "fi >= 0 && fi < numBins\\(\\)");
    EXPECT_DEATH(STFT160(0), "numchs > 0");
    Matrix wrong(2, 320);
    ComplexMatrix out(2, 160), wrongOut(1, 160);
    Matrix in(2, 160);
    EXPECT_DEATH(s.analyze(&wrong, &out),
                 "in->numRows\\(\\) == numChannels\\(\\) && in->numColumns\\(\\) == "
                 "stftShift\\(\\)");
    EXPECT_DEATH(s.analyze(&in, &wrongOut),
                 "out->numRows\\(\\) == numChannels\\(\\) && out->numColumns\\(\\) == "
                 "numBins\\(\\)");
}

TEST(STFT160Test, FirstBlockOfConstantGivesHalfWindowSum) {
    STFT160 s(1);
    Matrix in(1, 160);
    ComplexMatrix out(1, 160);
    in.fill(1.0f);
    s.analyze(&in, &out);
    double half = 0, nyq = 0;
    for (int i = 160; i < 320; i++) {
        half += window(i);
        nyq += (i % 2 ? -1.0 : 1.0) * window(i);
    }
    EXPECT_NEAR(out.real(0, 0), half, 1e-3);
    EXPECT_NEAR(out.imag(0, 0), nyq, 1e-3);
}

// Later blocks: the frame is the previous and the current block, windowed and transformed.
TEST(STFT160Test, MatchesDirectTransformOfWindowedFrame) {
    STFT160 s(2);
    Matrix in(2, 160);
    ComplexMatrix out(2, 160);
    double prev[2][160] = {}, cur[2][160];
    for (int b = 0; b < 3; b++) {
        for (int c = 0; c < 2; c++)
            for (int i = 0; i < 160; i++) {
                cur[c][i] = std::sin(0.37 * (i + 160 * b) * (c + 1)) + 0.01 * i * c;
                in.set(c, i, static_cast<float>(cur[c][i]));
            }
        s.analyze(&in, &out);
        for (int c = 0; c < 2; c++) {
            for (int k : {1, 17, 80, 159}) {
                std::complex<double> acc = 0;
                for (int n = 0; n < 320; n++) {
                    const double x = n < 160 ? prev[c][n] : cur[c][n - 160];
                    acc += x * window(n) * std::polar(1.0, -2.0 * kPi * k * n / 320);
                }
                EXPECT_NEAR(out.real(c, k), acc.real(), 2e-3) << b << " " << c << " " << k;
                EXPECT_NEAR(out.imag(c, k), acc.imag(), 2e-3) << b << " " << c << " " << k;
            }
            for (int i = 0; i < 160; i++) prev[c][i] = cur[c][i];
        }
    }
}

TEST(STFT160Test, ChannelsAreIndependentAndNothingAllocates) {
    STFT160 s(2);
    Matrix in(2, 160);
    ComplexMatrix out(2, 160);
    for (int i = 0; i < 160; i++) in.set(1, i, 0.5f * std::cos(0.1f * i));
    velmora::test::AllocCounter count;
    for (int b = 0; b < 3; b++) {
        s.analyze(&in, &out);
        for (int k = 0; k < 160; k++) ASSERT_EQ(out.get(0, k), std::complex<float>(0.0f, 0.0f));
    }
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_GT(std::abs(out.get(1, 3)), 1.0f);
}
