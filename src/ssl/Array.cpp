#include "ssl/Array.h"

#include <cmath>
#include <cstdio>

#include "Error.h"

namespace velmora::ssl {

Array::Array(int numelements) {
    // The condition texts below are the reported assertion texts: keep them unformatted.
    // clang-format off
    VM_ASSERT(numelements>0);
    // clang-format on
    pp = std::make_unique<Impl>();
    pp->numelements = numelements;
    pp->x.assign(numelements, 0.0f);
    pp->y.assign(numelements, 0.0f);
    pp->z.assign(numelements, 0.0f);
}

Array::~Array() = default;

int Array::numElements() const {
    return pp->numelements;
}

void Array::getPosition(int m, float* x, float* y, float* z) const {
    // clang-format off
    VM_ASSERT(m>=0&&m<pp->numelements);
    // clang-format on
    if (x) *x = pp->x[m];
    if (y) *y = pp->y[m];
    if (z) *z = pp->z[m];
}

void Array::setPosition(int m, float x, float y, float z) {
    // clang-format off
    VM_ASSERT(m>=0&&m<pp->numelements);
    // clang-format on
    pp->x[m] = x;
    pp->y[m] = y;
    pp->z[m] = z;
}

float Array::distance(int m1, int m2) const {
    float x1, y1, z1, x2, y2, z2;
    getPosition(m1, &x1, &y1, &z1);
    getPosition(m2, &x2, &y2, &z2);
    const double dx = x1 - x2, dy = y1 - y2, dz = z1 - z2;
    return static_cast<float>(std::sqrt(dx * dx + dy * dy + dz * dz));
}

float Array::delay(int m, float azimuth, float elevation) const {
    float ux, uy, uz;
    sphericalToCartesian(azimuth, elevation, 1.0f, &ux, &uy, &uz);
    float x, y, z;
    getPosition(m, &x, &y, &z);
    const double proj =
        static_cast<double>(x) * ux + static_cast<double>(y) * uy + static_cast<double>(z) * uz;
    return static_cast<float>(-proj / kSpeedOfSound);
}

void Array::steeringVector(float azimuth, float elevation, float f, blas::Complex* out) const {
    constexpr double kTwoPi = 6.28318530717958647692;
    float ux, uy, uz;
    sphericalToCartesian(azimuth, elevation, 1.0f, &ux, &uy, &uz);
    // Phase -2 pi f tau_m = +2 pi f (p_m . u) / 340, kept in double until the final rounding.
    const double scale = kTwoPi * f / kSpeedOfSound;
    for (int m = 0; m < pp->numelements; ++m) {
        const double proj = static_cast<double>(pp->x[m]) * ux +
                            static_cast<double>(pp->y[m]) * uy + static_cast<double>(pp->z[m]) * uz;
        const double phase = scale * proj;
        out[m] =
            blas::Complex(static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase)));
    }
}

void Array::steeringVector(float azimuth, float elevation, float f,
                           blas::ComplexVector* out) const {
    VM_ASSERT(out->size() == pp->numelements);
    steeringVector(azimuth, elevation, f, out->data());
}

void Array::print() const {
    for (int m = 0; m < pp->numelements; ++m)
        std::printf("%f %f %f\n", pp->x[m], pp->y[m], pp->z[m]);
}

}  // namespace velmora::ssl
