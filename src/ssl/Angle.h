#pragma once
// Angle helpers shared by the spatial stages. Angles are in degrees unless the name ends in Rad.
// Azimuth runs in the x-y plane from +x towards +y and lies in [-180, 180]; elevation runs from
// the x-y plane towards +z and lies in [-90, 90]. Coordinates are metres.

namespace velmora::ssl {

// Speed of sound used by every delay computation, metres per second.
constexpr float kSpeedOfSound = 340.0f;

// Remainder of a / 360 (sign of a), then moved into [-180, 180] (180 stays 180, -540 gives -180).
float wrapAngle(float a);
// wrapAngle(wrapAngle(a) - wrapAngle(b)): the signed difference a - b in [-180, 180].
float angleDifference(float a, float b);
// The same pair for radians, with 2 pi and pi.
float wrapAngleRad(float a);
float angleDifferenceRad(float a, float b);

// (azimuth, elevation, range) -> (r cos el cos az, r cos el sin az, r sin el). Asserts azimuth in
// [-180, 180], elevation in [-90, 90] and a non-negative range. Any output may be null.
void sphericalToCartesian(float az, float el, float rg, float* x, float* y, float* z);
// (x, y, z) -> (atan2(y, x), atan2(z, sqrt(x^2 + y^2)) in degrees, Euclidean length). Any output
// may be null.
void cartesianToSpherical(float x, float y, float z, float* az, float* el, float* rg);

}  // namespace velmora::ssl
