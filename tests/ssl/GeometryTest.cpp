// Angle wrapping, spherical/Cartesian conversions and the array's delays and steering vectors.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "blas/ComplexVector.h"
#include "ssl/Angle.h"
#include "ssl/Array.h"

using velmora::blas::Complex;
using velmora::blas::ComplexVector;
using velmora::ssl::angleDifference;
using velmora::ssl::angleDifferenceRad;
using velmora::ssl::Array;
using velmora::ssl::cartesianToSpherical;
using velmora::ssl::sphericalToCartesian;
using velmora::ssl::wrapAngle;
using velmora::ssl::wrapAngleRad;

namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(Angle, WrapKeepsTheClosedRange) {
    EXPECT_FLOAT_EQ(wrapAngle(-190.0f), 170.0f);
    EXPECT_FLOAT_EQ(wrapAngle(540.0f), 180.0f);
    EXPECT_FLOAT_EQ(wrapAngle(180.0f), 180.0f);
    EXPECT_FLOAT_EQ(wrapAngle(-180.0f), -180.0f);
    EXPECT_FLOAT_EQ(wrapAngle(-540.0f), -180.0f);
    EXPECT_FLOAT_EQ(wrapAngle(181.0f), -179.0f);
    EXPECT_FLOAT_EQ(wrapAngle(725.0f), 5.0f);
    EXPECT_FLOAT_EQ(wrapAngle(-725.0f), -5.0f);
    EXPECT_FLOAT_EQ(wrapAngle(0.0f), 0.0f);
}

TEST(Angle, DifferenceTakesTheShortWayRound) {
    EXPECT_FLOAT_EQ(angleDifference(170.0f, -170.0f), -20.0f);
    EXPECT_FLOAT_EQ(angleDifference(-170.0f, 170.0f), 20.0f);
    EXPECT_FLOAT_EQ(angleDifference(30.0f, 0.0f), 30.0f);
    EXPECT_FLOAT_EQ(angleDifference(390.0f, -330.0f), 0.0f);
    EXPECT_FLOAT_EQ(angleDifference(90.0f, -90.0f), 180.0f);
}

TEST(Angle, RadianFormsMirrorTheDegreeOnes) {
    const float pi = static_cast<float>(kPi);
    EXPECT_NEAR(wrapAngleRad(-190.0f * pi / 180.0f), 170.0f * pi / 180.0f, 1e-5);
    EXPECT_NEAR(wrapAngleRad(3.0f * pi), pi, 1e-5);
    EXPECT_NEAR(angleDifferenceRad(170.0f * pi / 180.0f, -170.0f * pi / 180.0f),
                -20.0f * pi / 180.0f, 1e-5);
}

TEST(Angle, SphericalAndCartesianRoundTrip) {
    float x, y, z;
    sphericalToCartesian(90.0f, 0.0f, 2.0f, &x, &y, &z);
    EXPECT_NEAR(x, 0.0f, 1e-6);
    EXPECT_NEAR(y, 2.0f, 1e-6);
    EXPECT_NEAR(z, 0.0f, 1e-6);
    sphericalToCartesian(0.0f, 90.0f, 1.0f, &x, &y, &z);
    EXPECT_NEAR(z, 1.0f, 1e-6);
    EXPECT_NEAR(x, 0.0f, 1e-6);

    const float cases[][3] = {{-135.0f, 30.0f, 1.5f}, {45.0f, -60.0f, 0.2f}, {180.0f, 10.0f, 3}};
    for (const auto& c : cases) {
        float az, el, rg;
        sphericalToCartesian(c[0], c[1], c[2], &x, &y, &z);
        cartesianToSpherical(x, y, z, &az, &el, &rg);
        EXPECT_NEAR(az, c[0], 1e-4);
        EXPECT_NEAR(el, c[1], 1e-4);
        EXPECT_NEAR(rg, c[2], 1e-5);
    }
    float az = 1, el = 1, rg = 1;
    cartesianToSpherical(0, -1, 0, &az, &el, &rg);
    EXPECT_FLOAT_EQ(az, -90.0f);
    EXPECT_FLOAT_EQ(el, 0.0f);
}

TEST(AngleDeath, ConversionRejectsOutOfRangeInput) {
    float x;
    EXPECT_DEATH(sphericalToCartesian(180.5f, 0, 1, &x, nullptr, nullptr),
                 "az>=-180\\.0&&az<=180\\.0");
    EXPECT_DEATH(sphericalToCartesian(0, -91, 1, &x, nullptr, nullptr), "el>=-90\\.0&&el<=90\\.0");
    EXPECT_DEATH(sphericalToCartesian(0, NAN, 1, &x, nullptr, nullptr), "el>=-90\\.0&&el<=90\\.0");
    EXPECT_DEATH(sphericalToCartesian(0, 0, -1, &x, nullptr, nullptr), "rg>=0\\.0");
}

TEST(Array, PositionsDistancesAndDelays) {
    Array a(3);
    EXPECT_EQ(a.numElements(), 3);
    float x = 9, y = 9, z = 9;
    a.getPosition(2, &x, &y, &z);
    EXPECT_EQ(x, 0.0f);
    EXPECT_EQ(y, 0.0f);
    EXPECT_EQ(z, 0.0f);
    a.setPosition(0, 0.1f, 0.0f, 0.0f);
    a.setPosition(1, 0.0f, 0.2f, 0.0f);
    a.setPosition(2, 0.0f, 0.0f, -0.3f);
    a.getPosition(1, &x, &y, &z);
    EXPECT_EQ(y, 0.2f);
    EXPECT_NEAR(a.distance(0, 1), std::sqrt(0.05), 1e-6);
    EXPECT_NEAR(a.distance(1, 2), std::sqrt(0.13), 1e-6);
    EXPECT_EQ(a.distance(2, 2), 0.0f);

    // The element closer to the source hears the wave earlier: negative delay.
    EXPECT_NEAR(a.delay(0, 0.0f, 0.0f), -0.1 / 340.0, 1e-9);
    EXPECT_NEAR(a.delay(0, 180.0f, 0.0f), 0.1 / 340.0, 1e-9);
    EXPECT_NEAR(a.delay(1, 90.0f, 0.0f), -0.2 / 340.0, 1e-9);
    EXPECT_NEAR(a.delay(1, 0.0f, 0.0f), 0.0, 1e-9);
    EXPECT_NEAR(a.delay(2, 0.0f, -90.0f), -0.3 / 340.0, 1e-9);
    EXPECT_NEAR(a.delay(0, 60.0f, 0.0f), -0.05 / 340.0, 1e-9);
}

TEST(Array, SteeringVectorPhaseLeadsByTheProjection) {
    Array a(2);
    a.setPosition(0, 0.04f, 0.0f, 0.0f);
    ComplexVector v(2);
    a.steeringVector(0.0f, 0.0f, 1000.0f, &v);
    const double expected = 2.0 * kPi * 1000.0 * 0.04 / 340.0;
    const Complex v0 = v.get(0);
    EXPECT_NEAR(std::arg(v0), expected, 1e-5);
    EXPECT_NEAR(std::abs(v0), 1.0, 1e-6);
    // The element at the origin has zero phase.
    EXPECT_NEAR(v.real(1), 1.0f, 1e-7);
    EXPECT_NEAR(v.imag(1), 0.0f, 1e-7);
    // Every element equals cos(2 pi f tau) - j sin(2 pi f tau) with tau from delay().
    a.setPosition(1, -0.03f, 0.05f, 0.01f);
    a.steeringVector(-120.0f, 20.0f, 3100.0f, &v);
    for (int m = 0; m < 2; ++m) {
        const double ph = 2.0 * kPi * 3100.0 * a.delay(m, -120.0f, 20.0f);
        EXPECT_NEAR(v.real(m), std::cos(ph), 1e-5);
        EXPECT_NEAR(v.imag(m), -std::sin(ph), 1e-5);
    }
}

TEST(Array, PrintsOneLinePerElement) {
    Array a(2);
    a.setPosition(1, 0.5f, -0.25f, 1.0f);
    testing::internal::CaptureStdout();
    a.print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "0.000000 0.000000 0.000000\n0.500000 -0.250000 1.000000\n");
}

TEST(ArrayDeath, AssertionTexts) {
    EXPECT_DEATH(Array(0), "numelements>0");
    Array a(2);
    float x;
    EXPECT_DEATH(a.getPosition(2, &x, &x, &x), "m>=0&&m<pp->numelements");
    EXPECT_DEATH(a.setPosition(-1, 0, 0, 0), "m>=0&&m<pp->numelements");
    EXPECT_DEATH(a.delay(0, 200.0f, 0.0f), "az>=-180\\.0&&az<=180\\.0");
    ComplexVector wrong(3);
    EXPECT_DEATH(a.steeringVector(0, 0, 100, &wrong), "out->size\\(\\) == pp->numelements");
}

}  // namespace
