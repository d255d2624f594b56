#include "mode/HPF.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using velmora::mode::HPF;

namespace {

const double kPi = 3.14159265358979323846;

// Single-channel filter output for a signal, one call per block of `block` frames.
std::vector<float> filter(int power, const std::vector<float>& x, int block = 160) {
    HPF h(1, power);
    std::vector<float> y(x.size());
    for (size_t n = 0; n < x.size(); n += block) {
        const int len = static_cast<int>(std::min<size_t>(block, x.size() - n));
        h.process(x.data() + n, y.data() + n, len);
    }
    return y;
}

TEST(HPF, ConstantDecaysAndNyquistPassesForEveryPower) {
    for (int power = 1; power <= 10; ++power) {
        const std::vector<float> dc(32000, 0.8f);
        const std::vector<float> y = filter(power, dc);
        float tail = 0;
        for (int n = 16000; n < 32000; ++n) tail = std::max(tail, std::fabs(y[n]));
        EXPECT_LT(tail, 1e-6f) << "power " << power;

        std::vector<float> alt(16000);
        for (size_t n = 0; n < alt.size(); ++n) alt[n] = n % 2 ? -1.0f : 1.0f;
        const std::vector<float> z = filter(power, alt);
        for (int n = 8000; n < 16000; ++n) ASSERT_NEAR(std::fabs(z[n]), 1.0f, 1e-2f) << power;
    }
}

TEST(HPF, CutOffIsThreeDecibelsDown) {
    for (int power = 1; power <= 10; ++power) {
        const double f = 25.0 * (power + 1);
        std::vector<float> x(16000 * 3);
        for (size_t n = 0; n < x.size(); ++n)
            x[n] = static_cast<float>(0.5 * std::sin(2 * kPi * f * n / 16000));
        const std::vector<float> y = filter(power, x);
        double ex = 0, ey = 0;
        for (size_t n = 16000; n < x.size(); ++n) {  // two whole seconds after settling
            ex += static_cast<double>(x[n]) * x[n];
            ey += static_cast<double>(y[n]) * y[n];
        }
        EXPECT_NEAR(10 * std::log10(ey / ex), -3.0, 0.1) << "power " << power;
    }
}

// Every channel is filtered on its own, sample by sample as the difference equation reads,
// whatever the block split; in place and frame by frame give the same samples.
TEST(HPF, MultichannelMatchesDifferenceEquation) {
    const int nc = 5, frames = 700;
    std::vector<float> x(static_cast<size_t>(nc) * frames);
    for (int n = 0; n < frames; ++n)
        for (int c = 0; c < nc; ++c)
            x[static_cast<size_t>(n) * nc + c] =
                static_cast<float>(std::sin(0.01 * n * (c + 1) * (c + 1)) + 0.3 * c);
    const float b[4] = {0.952093244f, -2.85627961f, 2.85627961f, -0.952093244f};
    const float a[3] = {-2.90183496f, 2.80842924f, -0.906481504f};
    std::vector<float> expect(x.size());
    for (int c = 0; c < nc; ++c) {
        auto X = [&](int n) { return n < 0 ? 0.0f : x[static_cast<size_t>(n) * nc + c]; };
        auto Y = [&](int n) { return n < 0 ? 0.0f : expect[static_cast<size_t>(n) * nc + c]; };
        for (int n = 0; n < frames; ++n) {
            // Antisymmetric feed-forward pairs first, then the feedback terms in order.
            const float ff = (b[0] * X(n) + b[3] * X(n - 3)) + (b[1] * X(n - 1) + b[2] * X(n - 2));
            expect[static_cast<size_t>(n) * nc + c] =
                ff - a[0] * Y(n - 1) - a[1] * Y(n - 2) - a[2] * Y(n - 3);
        }
    }
    HPF blocks(nc, 4);
    std::vector<float> y = x;
    int done = 0;
    for (int len : {1, 2, 3, 5, 160, 529}) {  // in place, odd splits
        blocks.process(y.data() + done * nc, y.data() + done * nc, len);
        done += len;
    }
    ASSERT_EQ(done, frames);
    EXPECT_EQ(y, expect);

    HPF frameWise(nc, 4);
    std::vector<float> z(x.size());
    for (int n = 0; n < frames; ++n) frameWise.processFrame(x.data() + n * nc, z.data() + n * nc);
    EXPECT_EQ(z, expect);
}

TEST(HPF, PowerZeroPassesThroughAndBadPowersRaise) {
    std::vector<float> x = {0.1f, -0.7f, 1.0f, 0.25f, -1.0f, 0.0f};
    std::vector<float> y(x.size());
    HPF h(2, 0);
    h.process(x.data(), y.data(), 3);
    EXPECT_EQ(y, x);
    for (int power : {11, -1}) {
        try {
            HPF bad(2, power);
            FAIL() << "no error for " << power;
        } catch (const char* e) {
            EXPECT_EQ(std::string(e),
                      "velmora, HPF: Unsupported hpf_power: " + std::to_string(power) + "\n");
        }
    }
    EXPECT_DEATH(HPF(0, 4), "numchs > 0");
}

}  // namespace
