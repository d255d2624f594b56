#pragma once
// Conversions between little-endian sample bytes and floats, shared by the raw readers and
// writers and by the engine's integer block path.
//
// Reading integer PCM divides by 2^(bits-1) and clamps to [-1, 1]; reading floats copies the
// bits. Writing integer PCM scales by 2^(bits-1), rounds with floor(x + 0.5) and saturates to
// the integer range; NaN writes as 0. Writing floats copies the bits.

#include <cstdint>

namespace velmora::sio {

using DecodeRun = void (*)(const uint8_t* src, float* dst, int count);
using EncodeRun = void (*)(const float* src, uint8_t* dst, int count);

// Converters for integer PCM of 16, 24 or 32 bits; null for any other depth.
DecodeRun pcmDecoder(int bitsPerSample);
EncodeRun pcmEncoder(int bitsPerSample);
// Converters for raw IEEE 754 single-precision samples.
DecodeRun floatDecoder();
EncodeRun floatEncoder();

}  // namespace velmora::sio
