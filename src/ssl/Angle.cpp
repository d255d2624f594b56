#include "ssl/Angle.h"

#include <cmath>

#include "Error.h"

namespace velmora::ssl {

namespace {

constexpr double kPi = 3.14159265358979323846;

// fmod keeps the sign of a, so one correction step brings the remainder into [-half, half].
float wrap(float a, float full, float half) {
    float r = std::fmod(a, full);
    if (r < -half)
        r += full;
    else if (r > half)
        r -= full;
    return r;
}

}  // namespace

float wrapAngle(float a) {
    return wrap(a, 360.0f, 180.0f);
}

float angleDifference(float a, float b) {
    return wrapAngle(wrapAngle(a) - wrapAngle(b));
}

float wrapAngleRad(float a) {
    return wrap(a, static_cast<float>(2.0 * kPi), static_cast<float>(kPi));
}

float angleDifferenceRad(float a, float b) {
    return wrapAngleRad(wrapAngleRad(a) - wrapAngleRad(b));
}

void sphericalToCartesian(float az, float el, float rg, float* x, float* y, float* z) {
    // The condition texts below are the reported assertion texts: keep them unformatted.
    // clang-format off
    VM_ASSERT(az>=-180.0&&az<=180.0);
    VM_ASSERT(el>=-90.0&&el<=90.0);
    VM_ASSERT(rg>=0.0);
    // clang-format on
    const double a = az * kPi / 180.0, e = el * kPi / 180.0;
    const double ce = std::cos(e);
    if (x) *x = static_cast<float>(rg * ce * std::cos(a));
    if (y) *y = static_cast<float>(rg * ce * std::sin(a));
    if (z) *z = static_cast<float>(rg * std::sin(e));
}

void cartesianToSpherical(float x, float y, float z, float* az, float* el, float* rg) {
    const double xy = std::sqrt(static_cast<double>(x) * x + static_cast<double>(y) * y);
    if (az) *az = static_cast<float>(std::atan2(static_cast<double>(y), x) * 180.0 / kPi);
    if (el) *el = static_cast<float>(std::atan2(static_cast<double>(z), xy) * 180.0 / kPi);
    if (rg) *rg = static_cast<float>(std::sqrt(xy * xy + static_cast<double>(z) * z));
}

}  // namespace velmora::ssl
