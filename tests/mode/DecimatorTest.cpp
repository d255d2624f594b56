#include "mode/Decimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "blas/Matrix.h"
#include "util/TDConvBlock.h"

using velmora::blas::Matrix;
using velmora::mode::Decimator;

namespace {

const double kPi = 3.14159265358979323846;

// Interleaved test signal: channel c of frame n.
std::vector<float> testBlock(int nc, int frames, int seed) {
    std::vector<float> x(static_cast<size_t>(nc) * frames);
    for (int n = 0; n < frames; ++n)
        for (int c = 0; c < nc; ++c)
            x[static_cast<size_t>(n) * nc + c] =
                static_cast<float>(std::sin(0.001 * (n + seed) * (c + 3) * (c + 7)) * 0.9);
    return x;
}

TEST(Decimator, SixteenKilohertzIsBitExactCopy) {
    Decimator d(3, 16000);
    EXPECT_EQ(d.decimationFactor(), 1);
    std::vector<float> x = testBlock(3, 160, 0), y(x.size(), -5.0f);
    d.process(x.data(), y.data(), 160);
    EXPECT_EQ(0, std::memcmp(x.data(), y.data(), sizeof(float) * x.size()));
    std::vector<float> z = x;
    d.process(z.data(), z.data(), 160);
    EXPECT_EQ(z, x);
}

// The output frames are the outputs of a 31-tap FIR per channel at input frames F-1, 2F-1, ...
// of the continuous stream; checked against a separate FIR with the printed taps.
TEST(Decimator, KeepsEveryThirdFilterOutputAt48k) {
    const float h[31] = {
        0, 0.00176929997f,  0.00253417762f,  0,           -0.00580637436f, -0.00852702092f,
        0, 0.0169136524f,   0.0231087431f,   0,           -0.0423600413f,  -0.0583000742f,
        0, 0.132063061f,    0.272300214f,    0.33260873f, 0.272300214f,    0.132063061f,
        0, -0.0583000742f,  -0.0423600413f,  0,           0.0231087431f,   0.0169136524f,
        0, -0.00852702092f, -0.00580637436f, 0,           0.00253417762f,  0.00176929997f,
        0};
    const int nc = 2, frames = 480;
    Decimator d(nc, 48000);
    EXPECT_EQ(d.decimationFactor(), 3);
    std::vector<std::unique_ptr<velmora::util::TDConvBlock>> ref;
    for (int c = 0; c < nc; ++c) {
        ref.push_back(std::make_unique<velmora::util::TDConvBlock>(1, 31));
        ref.back()->setFilter(0, h, 31);
    }
    for (int block = 0; block < 2; ++block) {  // the second block continues the stream
        std::vector<float> x = testBlock(nc, frames, block * frames), y(x.size(), -5.0f);
        d.process(x.data(), y.data(), frames);
        for (int n = 0; n < frames; ++n) {
            for (int c = 0; c < nc; ++c) {
                float r;
                ref[c]->process(x[static_cast<size_t>(n) * nc + c], &r);
                if (n % 3 == 2) {
                    ASSERT_EQ(y[static_cast<size_t>(n / 3) * nc + c], r) << n;
                }
            }
        }
        EXPECT_EQ(y[static_cast<size_t>(frames / 3) * nc], -5.0f);  // exactly 160 frames out
    }
}

// Splitting the stream into odd-sized blocks, working in place, and the matrix form all give
// the same samples as one interleaved call.
TEST(Decimator, BlockSplitsInPlaceAndMatrixFormAgree) {
    const int nc = 3, frames = 96;
    std::vector<float> x = testBlock(nc, frames, 5);
    Decimator whole(nc, 32000);
    std::vector<float> expect(x.size() / 2);
    whole.process(x.data(), expect.data(), frames);

    Decimator split(nc, 32000);
    std::vector<float> buf = x;
    int consumed = 0;
    float* o = buf.data();
    for (int len : {1, 4, 7, 13, 71}) {  // phase carries over odd-length blocks
        std::vector<float> part(buf.begin() + consumed * nc, buf.begin() + (consumed + len) * nc);
        split.process(part.data(), part.data(), len);  // in place
        const int produced = ((consumed + len) / 2) - (consumed / 2);
        std::memcpy(o, part.data(), sizeof(float) * produced * nc);
        o += produced * nc;
        consumed += len;
    }
    ASSERT_EQ(consumed, frames);
    EXPECT_EQ(std::vector<float>(buf.data(), buf.data() + expect.size()), expect);

    Decimator mat(nc, 32000);
    Matrix in(nc, frames), out(nc, frames / 2);
    for (int n = 0; n < frames; ++n)
        for (int c = 0; c < nc; ++c) in.set(c, n, x[static_cast<size_t>(n) * nc + c]);
    EXPECT_EQ(mat.process(&in, &out), frames);
    for (int k = 0; k < frames / 2; ++k)
        for (int c = 0; c < nc; ++c)
            ASSERT_EQ(out.get(c, k), expect[static_cast<size_t>(k) * nc + c]);
}

// Amplitude of a sine of frequency f in y (fs 16 kHz), by projection over whole periods.
double amplitude(const std::vector<float>& y, int start, int len, double f) {
    double s = 0, c = 0;
    for (int n = start; n < start + len; ++n) {
        s += y[n] * std::sin(2 * kPi * f * n / 16000);
        c += y[n] * std::cos(2 * kPi * f * n / 16000);
    }
    return 2 * std::sqrt(s * s + c * c) / len;
}

TEST(Decimator, PassesSpeechBandAndRejectsAliases) {
    const int frames = 48000;
    for (int fs : {48000, 32000}) {
        for (double f : {1000.0, 20000.0, 12000.0}) {
            if (f >= fs / 2) continue;
            Decimator d(1, fs);
            std::vector<float> x(frames), y(frames);
            for (int n = 0; n < frames; ++n)
                x[n] = static_cast<float>(0.5 * std::sin(2 * kPi * f * n / fs));
            d.process(x.data(), y.data(), frames);
            const int F = d.decimationFactor();
            const int outFrames = frames / F;
            y.resize(outFrames);
            if (f == 1000.0) {
                EXPECT_NEAR(amplitude(y, 160, 16 * 500, f), 0.5, 0.5 * 0.01) << fs;
                // The same sine at 16 kHz: output k is the filter output at input frame
                // kF + F - 1, and the linear-phase filter delays by 15 input samples.
                double err = 0;
                for (int k = 100; k < outFrames; ++k) {
                    const double t = (k * F + F - 1 - 15.0) / fs;
                    err = std::max(err, std::fabs(y[k] - 0.5 * std::sin(2 * kPi * f * t)));
                }
                EXPECT_LT(err, 0.01) << fs;
            } else {
                double peak = 0;
                for (int k = 100; k < outFrames; ++k)
                    peak = std::max(peak, std::fabs(static_cast<double>(y[k])));
                EXPECT_LT(peak, 0.5 * 0.01) << fs << " " << f;  // at least 40 dB down
            }
        }
    }
}

TEST(Decimator, UnsupportedRate) {
    try {
        Decimator d(2, 44100);
        FAIL() << "no error";
    } catch (const char* e) {
        EXPECT_STREQ(e,
                     "velmora, Decimator: Unsupported input sampling rate: 44100, required: "
                     "16000, 32000, or 48000");
    }
}

TEST(DecimatorDeathTest, Shapes) {
    EXPECT_DEATH(Decimator(0, 16000), "numchs > 0");
    Decimator d(2, 48000);
    Matrix in(2, 30), out(2, 10), badRows(3, 10), badCols(2, 30);
    EXPECT_EQ(d.process(&in, &out), 30);
    EXPECT_DEATH(d.process(&in, &badRows), "dataout->numRows\\(\\) == numChannels\\(\\)");
    EXPECT_DEATH(d.process(&badRows, &out), "datain->numRows\\(\\) == numChannels\\(\\)");
    EXPECT_DEATH(d.process(&in, &badCols), "numColumns");
}

}  // namespace
