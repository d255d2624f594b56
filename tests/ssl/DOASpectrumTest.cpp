// The azimuth scan grid: angles, azimuth-to-index mapping, scan range and the peak rule.
#include "ssl/DOASpectrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using velmora::ssl::DOASpectrum;

namespace {

TEST(DOASpectrum, GridAngles) {
    DOASpectrum s(36);
    EXPECT_EQ(s.numScans(), 36);
    EXPECT_FLOAT_EQ(s.step(), 10.0f);
    EXPECT_FLOAT_EQ(s.angle(0), -180.0f);
    EXPECT_FLOAT_EQ(s.angle(1), -170.0f);
    EXPECT_FLOAT_EQ(s.angle(35), 170.0f);
    DOASpectrum odd(7);
    EXPECT_NEAR(odd.angle(3), -180.0 + 3 * 360.0 / 7, 1e-4);
    for (int i = 0; i < 36; ++i) EXPECT_EQ(s.value(i), 0.0f);
}

TEST(DOASpectrum, AzimuthToNearestIndex) {
    DOASpectrum s(36);
    EXPECT_EQ(s.index(-180.0f), 0);
    EXPECT_EQ(s.index(180.0f), 0);  // 36 is off the grid
    EXPECT_EQ(s.index(175.0f), 0);  // 35.5 rounds up to 36
    EXPECT_EQ(s.index(174.9f), 35);
    EXPECT_EQ(s.index(-90.0f), 9);
    EXPECT_EQ(s.index(90.0f), 27);
    EXPECT_EQ(s.index(-176.0f), 0);
    EXPECT_EQ(s.index(-175.0f), 1);
    EXPECT_EQ(s.index(0.0f), 18);
    EXPECT_EQ(s.index(-270.0f), 27);  // wrapped to 90 first
    EXPECT_EQ(s.index(3.0e9f), s.index(std::fmod(3.0e9f, 360.0f)));
    EXPECT_EQ(s.index(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(s.index(std::numeric_limits<float>::infinity()), 0);

    DOASpectrum one(1);
    EXPECT_EQ(one.index(-180.0f), 0);
    EXPECT_EQ(one.index(-1.0f), 0);
    EXPECT_EQ(one.index(179.0f), 0);
    EXPECT_FLOAT_EQ(one.angle(0), -180.0f);
}

TEST(DOASpectrum, ValuesAndReset) {
    DOASpectrum s(36);
    s.values()[27] = 2.5f;
    EXPECT_EQ(s.valueAt(90.0f), 2.5f);
    EXPECT_EQ(s.valueAt(93.0f), 2.5f);
    s.setValue(0, 1.0f);
    EXPECT_EQ(s.valueAt(180.0f), 1.0f);
    s.reset();
    for (int i = 0; i < 36; ++i) EXPECT_EQ(s.values()[i], 0.0f);
}

TEST(DOASpectrum, ScanRange) {
    DOASpectrum s(36);
    int lo = -1, hi = -1;
    s.scanRange(&lo, &hi);
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 35);
    s.setScanRange(-90.0f, 90.0f);
    s.scanRange(&lo, &hi);
    EXPECT_EQ(lo, 9);
    EXPECT_EQ(hi, 27);
    float alo, ahi;
    s.scanRangeAngles(&alo, &ahi);
    EXPECT_FLOAT_EQ(alo, -90.0f);
    EXPECT_FLOAT_EQ(ahi, 90.0f);
}

TEST(DOASpectrum, PeakRule) {
    DOASpectrum s(36);
    float v = -1, a = -1;
    // Nothing above 0: index 0 and value 0, whatever the range.
    s.setValue(5, -3.0f);
    s.setScanRange(-90.0f, 90.0f);
    EXPECT_EQ(s.peak(&v, &a), 0);
    EXPECT_EQ(v, 0.0f);
    EXPECT_FLOAT_EQ(a, -180.0f);

    // Two equal largest values: the lower index wins.
    s.setValue(12, 4.0f);
    s.setValue(20, 4.0f);
    s.setValue(15, 3.9f);
    EXPECT_EQ(s.peak(&v, &a), 12);
    EXPECT_EQ(v, 4.0f);
    EXPECT_FLOAT_EQ(a, -60.0f);

    // A larger value outside the range is ignored; a NaN is never a peak.
    s.setValue(30, 100.0f);
    s.setValue(10, std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(s.peak(nullptr, nullptr), 12);
    s.setScanRange(-180.0f, 170.0f);
    EXPECT_EQ(s.peak(&v, nullptr), 30);
    EXPECT_EQ(v, 100.0f);

    // An empty range (low above high) reports index 0.
    s.setScanRange(90.0f, -90.0f);
    EXPECT_EQ(s.peak(&v, nullptr), 0);
}

TEST(DOASpectrumDeath, AssertionTexts) {
    EXPECT_DEATH(DOASpectrum(0), "numscans>0");
    DOASpectrum s(4);
    EXPECT_DEATH(s.angle(4), "index>=0&&index<pp->numscans");
    EXPECT_DEATH(s.angle(-1), "index>=0&&index<pp->numscans");
}

}  // namespace
