#include "transform/MultiSTFT.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "blas/ComplexMatrix.h"
#include "blas/Matrix.h"
#include "common/AllocCounter.h"
#include "transform/FFTReference.h"
#include "transform/MultiISTFT.h"

using velmora::blas::ComplexMatrix;
using velmora::blas::Matrix;
using namespace velmora::test;

namespace {

// Runs `blocks` blocks of random multichannel input through analysis and synthesis and checks
// that the output is the input delayed by N - S samples.
void checkIdentity(int numchs, int shift, int fftsize, int blocks) {
    MultiSTFT stft(numchs, shift, fftsize);
    MultiISTFT istft(numchs, shift, fftsize);
    const int delay = istft.delay();
    EXPECT_EQ(delay, fftsize - shift);
    const int total = shift * blocks;
    std::vector<std::vector<float>> sig;
    for (int c = 0; c < numchs; ++c) sig.push_back(randomSignal(total, 40 + c));
    Matrix in(numchs, shift), out(numchs, shift);
    ComplexMatrix spec(numchs, stft.numBins());
    for (int b = 0; b < blocks; ++b) {
        for (int c = 0; c < numchs; ++c)
            for (int j = 0; j < shift; ++j) in.set(c, j, sig[c][b * shift + j]);
        stft.analyze(&in, &spec);
        istft.synthesize(&spec, &out);
        for (int c = 0; c < numchs; ++c) {
            for (int j = 0; j < shift; ++j) {
                const int t = b * shift + j - delay;
                const float expected = t >= 0 ? sig[c][t] : 0.0f;
                ASSERT_NEAR(out.get(c, j), expected, 1e-5) << "channel " << c << " sample " << t;
            }
        }
    }
}

}  // namespace

TEST(MultiSTFT, SizesAndBinMapping) {
    MultiSTFT stft(2, 256, 512);
    MultiISTFT istft(2, 256, 512);
    EXPECT_EQ(stft.numChannels(), 2);
    EXPECT_EQ(stft.numBins(), 257);
    EXPECT_EQ(stft.blockSize(), 256);
    EXPECT_EQ(stft.stftShift(), 256);
    EXPECT_EQ(stft.fftSize(), 512);
    EXPECT_EQ(istft.numBins(), 257);
    EXPECT_EQ(istft.blockSize(), 256);
    EXPECT_EQ(istft.delay(), 256);
    EXPECT_EQ(stft.freqToBin(16000, 8000), 256);
    EXPECT_EQ(stft.freqToBin(16000, 0), 0);
    EXPECT_EQ(stft.freqToBin(16000, 47), 2);  // 1.504 rounds to 2
    EXPECT_FLOAT_EQ(stft.binToFreq(16000, 128), 4000.0f);
    EXPECT_FLOAT_EQ(stft.binToFreq(16000, 256), 8000.0f);
}

TEST(MultiSTFTDeathTest, RefusesBadArguments) {
    EXPECT_DEATH(MultiSTFT(1, 600, 512), "stftshift > 0 && stftshift <= fftsize");
    EXPECT_DEATH(MultiSTFT(1, 160, 320), "FFTWrapper::isPowOf2\\(fftsize\\)");
    EXPECT_DEATH(MultiSTFT(0, 128, 256), "numchs > 0");
    EXPECT_DEATH(MultiISTFT(1, 0, 256), "stftshift > 0 && stftshift <= fftsize");
    MultiSTFT stft(2, 64, 128);
    MultiISTFT istft(2, 64, 128);
    Matrix in(2, 65), good(2, 64);
    ComplexMatrix spec(2, 65), narrow(2, 64);
    EXPECT_DEATH(
        stft.analyze(&in, &spec),
        "in->numRows\\(\\) == numChannels\\(\\) && in->numColumns\\(\\) == stftShift\\(\\)");
    EXPECT_DEATH(
        stft.analyze(&good, &narrow),
        "out->numRows\\(\\) == numChannels\\(\\) && out->numColumns\\(\\) == numBins\\(\\)");
    EXPECT_DEATH(istft.synthesize(&narrow, &good),
                 "in->numRows\\(\\) == numChannels\\(\\) && in->numColumns\\(\\) == numBins\\(\\)");
    EXPECT_DEATH(
        istft.synthesize(&spec, &in),
        "out->numRows\\(\\) == numChannels\\(\\) && out->numColumns\\(\\) == stftShift\\(\\)");
    EXPECT_DEATH(stft.freqToBin(16000, 8001), "f >= 0.0 && f <= fs / 2.0");
    EXPECT_DEATH(stft.binToFreq(16000, 65), "fi >= 0 && fi < numBins\\(\\)");
}

TEST(MultiSTFT, AnalysisIsTheDftOfTheWindowedHistory) {
    const int n = 64, s = 16;
    MultiSTFT stft(1, s, n);
    const std::vector<float> sig = randomSignal(5 * s, 3);
    Matrix in(1, s);
    ComplexMatrix spec(1, n / 2 + 1);
    for (int b = 0; b < 5; ++b) {
        for (int j = 0; j < s; ++j) in.set(0, j, sig[b * s + j]);
        stft.analyze(&in, &spec);
    }
    // The frame now holds samples 5s - n .. 5s - 1, i.e. the last n samples.
    std::vector<cdouble> frame(n);
    for (int i = 0; i < n; ++i) {
        const double hann = 0.5 * (1.0 - std::cos(2.0 * M_PI * i / n));
        frame[i] = sig[5 * s - n + i] * std::sqrt(hann * 2.0 * s / n);
    }
    const std::vector<cdouble> ref = directDft(frame);
    for (int k = 0; k <= n / 2; ++k) {
        EXPECT_NEAR(spec.real(0, k), ref[k].real(), 1e-5) << k;
        EXPECT_NEAR(spec.imag(0, k), ref[k].imag(), 1e-5) << k;
    }
}

TEST(MultiSTFT, AnalysisSynthesisReproducesTheDelayedInput) {
    checkIdentity(2, 256, 512, 12);  // S = N/2
    checkIdentity(3, 64, 256, 20);   // S = N/4
    checkIdentity(1, 8, 64, 40);     // S = N/8
}

TEST(MultiSTFT, InterleavedFormsMatchMatrixForms) {
    const int chs = 3, s = 32, n = 128;
    MultiSTFT a(chs, s, n), b(chs, s, n);
    MultiISTFT ia(chs, s, n), ib(chs, s, n);
    Matrix in(chs, s), out(chs, s);
    ComplexMatrix sa(chs, n / 2 + 1), sb(chs, n / 2 + 1);
    std::vector<float> frames(chs * s), outFrames(chs * s);
    for (int blk = 0; blk < 6; ++blk) {
        const std::vector<float> sig = randomSignal(chs * s, 90 + blk);
        for (int f = 0; f < s; ++f)
            for (int c = 0; c < chs; ++c) {
                frames[f * chs + c] = sig[f * chs + c];
                in.set(c, f, sig[f * chs + c]);
            }
        a.analyze(&in, &sa);
        b.analyze(frames.data(), &sb);
        ia.synthesize(&sa, &out);
        ib.synthesize(&sb, outFrames.data());
        for (int c = 0; c < chs; ++c) {
            for (int k = 0; k <= n / 2; ++k) ASSERT_EQ(sa.get(c, k), sb.get(c, k));
            for (int f = 0; f < s; ++f) ASSERT_EQ(out.get(c, f), outFrames[f * chs + c]);
        }
    }
}

TEST(MultiSTFT, BlocksAllocateNothing) {
    MultiSTFT stft(2, 128, 256);
    MultiISTFT istft(2, 128, 256);
    Matrix in(2, 128), out(2, 128);
    in.fill(0.25f);
    ComplexMatrix spec(2, 129);
    std::vector<float> frames(2 * 128, 0.5f);
    AllocCounter count;
    for (int i = 0; i < 10; ++i) {
        stft.analyze(&in, &spec);
        istft.synthesize(&spec, &out);
        stft.analyze(frames.data(), &spec);
        istft.synthesize(&spec, frames.data());
    }
    EXPECT_EQ(count.allocations(), 0);
}
