#pragma once
// Small conversions shared by the stages: settings from the configuration turned into counts,
// and powers into levels.

#include <algorithm>
#include <cmath>
#include <complex>

namespace velmora::util {

// Spectral power beyond which a bin value is garbage (the facade's largest input sample gives
// some 1e11); NaN and infinities count as garbage too.
constexpr float kAbsurdPower = 1.0e14f;

// Whether any of the n complex values (re, im pairs) is NaN, infinite or of absurd power. One
// vectorisable pass.
inline bool hasAbsurd(const std::complex<float>* x, int n) {
    bool bad = false;
    for (int i = 0; i < n; ++i) {
        const float p = x[i].real() * x[i].real() + x[i].imag() * x[i].imag();
        bad |= !(p <= kAbsurdPower);
    }
    return bad;
}

// out = in with every absurd value (see hasAbsurd) replaced by 0; out may equal in.
inline void zeroAbsurd(const std::complex<float>* in, std::complex<float>* out, int n) {
    for (int i = 0; i < n; ++i) {
        const float p = in[i].real() * in[i].real() + in[i].imag() * in[i].imag();
        out[i] = p <= kAbsurdPower ? in[i] : std::complex<float>(0.0f, 0.0f);
    }
}

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
