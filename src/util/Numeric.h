#pragma once
// Small conversions shared by the stages: settings from the configuration turned into counts,
// and powers into levels.

#include <algorithm>
#include <cmath>

namespace velmora::util {

// Floor of every level in dB, so that silence stays finite.
constexpr float kFloorDb = -75.0f;

// 10 log10(power), floored at kFloorDb.
inline float levelDb(float power) {
    return std::max(10.0f * std::log10(power), kFloorDb);
}

// x truncated toward zero. Beyond the int range it saturates (at +-2147483520, the largest float
// below 2^31) and NaN gives 0, so no configuration value reaches an undefined conversion.
inline int truncateToInt(float x) {
    constexpr float kLimit = 2147483520.0f;
    if (!(x > -kLimit)) return x < 0.0f ? -static_cast<int>(kLimit) : 0;
    if (x > kLimit) return static_cast<int>(kLimit);
    return static_cast<int>(x);
}

// A duration in seconds as a whole number of blocks: int(seconds / blockSeconds), saturated.
inline int secondsToBlocks(float seconds, float blockSeconds) {
    return truncateToInt(seconds / blockSeconds);
}

}  // namespace velmora::util
