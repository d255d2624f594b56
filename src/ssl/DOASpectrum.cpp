#include "ssl/DOASpectrum.h"

#include <cmath>

#include "Error.h"
#include "ssl/Angle.h"

namespace velmora::ssl {

DOASpectrum::DOASpectrum(int numscans) {
    // The condition texts below are the reported assertion texts: keep them unformatted.
    // clang-format off
    VM_ASSERT(numscans>0);
    // clang-format on
    pp = std::make_unique<Impl>();
    pp->numscans = numscans;
    pp->scanlow = 0;
    pp->scanhigh = numscans - 1;
    pp->angles.resize(numscans);
    for (int i = 0; i < numscans; ++i)
        pp->angles[i] = -180.0f + static_cast<float>(i) * 360.0f / static_cast<float>(numscans);
    // A single scan has no neighbour; a full turn maps every azimuth to index 0.
    pp->step = numscans > 1 ? pp->angles[1] - pp->angles[0] : 360.0f;
    pp->values.assign(numscans, 0.0f);
}

DOASpectrum::~DOASpectrum() = default;

int DOASpectrum::numScans() const {
    return pp->numscans;
}

float DOASpectrum::step() const {
    return pp->step;
}

int DOASpectrum::index(float azimuth) const {
    // Computed in double and range-checked before the conversion, so that a huge or non-finite
    // azimuth cannot produce an out-of-range integer.
    const double pos =
        std::floor((static_cast<double>(wrapAngle(azimuth)) + 180.0) / pp->step + 0.5);
    if (!(pos >= 0.0 && pos <= pp->numscans - 1)) return 0;
    return static_cast<int>(pos);
}

float DOASpectrum::angle(int index) const {
    // clang-format off
    VM_ASSERT(index>=0&&index<pp->numscans);
    // clang-format on
    return pp->angles[index];
}

float* DOASpectrum::values() {
    return pp->values.data();
}

const float* DOASpectrum::values() const {
    return pp->values.data();
}

float DOASpectrum::value(int index) const {
    // clang-format off
    VM_ASSERT(index>=0&&index<pp->numscans);
    // clang-format on
    return pp->values[index];
}

void DOASpectrum::setValue(int index, float value) {
    // clang-format off
    VM_ASSERT(index>=0&&index<pp->numscans);
    // clang-format on
    pp->values[index] = value;
}

void DOASpectrum::reset() {
    for (float& v : pp->values) v = 0.0f;
}

void DOASpectrum::scanRange(int* low, int* high) const {
    if (low) *low = pp->scanlow;
    if (high) *high = pp->scanhigh;
}

void DOASpectrum::scanRangeAngles(float* low, float* high) const {
    if (low) *low = pp->angles[pp->scanlow];
    if (high) *high = pp->angles[pp->scanhigh];
}

void DOASpectrum::setScanRange(float azlow, float azhigh) {
    pp->scanlow = index(azlow);
    pp->scanhigh = index(azhigh);
}

int DOASpectrum::peak(float* value, float* angle) const {
    int best = 0;
    float bestValue = 0.0f;
    for (int i = pp->scanlow; i <= pp->scanhigh; ++i) {
        if (pp->values[i] > bestValue) {
            bestValue = pp->values[i];
            best = i;
        }
    }
    if (value) *value = bestValue;
    if (angle) *angle = pp->angles[best];
    return best;
}

}  // namespace velmora::ssl
