#include "util/TDConvBlock.h"

#include <gtest/gtest.h>

#include <vector>

using velmora::util::TDConvBlock;

namespace {

TEST(TDConvBlock, SeveralFiltersAtOnce) {
    TDConvBlock c(2, 4);
    const float h0[] = {0, -1};
    const float h1[] = {1, 0};
    c.setFilter(0, h0, 2);
    c.setFilter(1, h1, 2);
    std::vector<float> y0, y1;
    for (float x : {0.0f, 2.0f, 4.0f, 6.0f, 8.0f}) {
        float out[2];
        c.process(x, out);
        y0.push_back(out[0]);
        y1.push_back(out[1]);
    }
    EXPECT_EQ(y0, (std::vector<float>{0, 0, -2, -4, -6}));
    EXPECT_EQ(y1, (std::vector<float>{0, 2, 4, 6, 8}));
}

TEST(TDConvBlock, TapsBeyondSizeIgnoredAndReplacedFilterZeroPadded) {
    TDConvBlock c(1, 3);
    const float h[] = {1, 2, 3, 100};
    c.setFilter(0, h, 4);  // the fourth tap does not fit
    std::vector<float> y;
    for (float x : {1.0f, 0.0f, 0.0f, 0.0f, 0.0f}) {
        float out;
        c.process(x, &out);
        y.push_back(out);
    }
    EXPECT_EQ(y, (std::vector<float>{1, 2, 3, 0, 0}));
    const float g[] = {5};
    c.setFilter(0, g, 1);  // earlier taps 1 and 2 must be cleared
    float out;
    c.process(1.0f, &out);
    EXPECT_EQ(out, 5.0f);
    c.process(0.0f, &out);
    EXPECT_EQ(out, 0.0f);
}

TEST(TDConvBlock, MatchesDirectConvolutionOverManyWraps) {
    const int m = 5, len = 7;
    TDConvBlock c(m, len);
    std::vector<std::vector<float>> h(m, std::vector<float>(len));
    for (int i = 0; i < m; ++i) {
        for (int j = 0; j < len; ++j) h[i][j] = 0.1f * (i + 1) - 0.03f * j * j;
        c.setFilter(i, h[i].data(), len);
    }
    std::vector<float> x;
    for (int n = 0; n < 50; ++n) x.push_back(static_cast<float>((n * 37) % 11) - 5.0f);
    for (int n = 0; n < 50; ++n) {
        float out[m];
        c.process(x[n], out);
        for (int i = 0; i < m; ++i) {
            float expect = 0.0f;
            for (int j = 0; j < len; ++j) expect += h[i][j] * (n - j >= 0 ? x[n - j] : 0.0f);
            EXPECT_EQ(out[i], expect) << "n=" << n << " i=" << i;
        }
    }
}

TEST(TDConvBlockDeathTest, Preconditions) {
    TDConvBlock c(2, 4);
    const float h[] = {1};
    EXPECT_DEATH(c.setFilter(2, h, 1), "chidx>=0&&chidx<pp->numchout");
    EXPECT_DEATH(c.setFilter(-1, h, 1), "chidx>=0&&chidx<pp->numchout");
    EXPECT_DEATH(TDConvBlock(0, 4), "numchout>0");
    EXPECT_DEATH(TDConvBlock(1, 0), "size>0");
}

}  // namespace
