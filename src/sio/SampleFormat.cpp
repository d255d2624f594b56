#include "sio/SampleFormat.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velmora::sio {

namespace {

inline float clampUnit(float x) {
    return std::min(std::max(x, -1.0f), 1.0f);
}

inline uint32_t load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void store32(uint8_t* p, uint32_t u) {
    p[0] = static_cast<uint8_t>(u);
    p[1] = static_cast<uint8_t>(u >> 8);
    p[2] = static_cast<uint8_t>(u >> 16);
    p[3] = static_cast<uint8_t>(u >> 24);
}

void decode16(const uint8_t* src, float* dst, int count) {
    for (int i = 0; i < count; ++i) {
        const uint16_t u = static_cast<uint16_t>(src[2 * i] | (src[2 * i + 1] << 8));
        dst[i] = clampUnit(static_cast<float>(static_cast<int16_t>(u)) / 32768.0f);
    }
}

void decode24(const uint8_t* src, float* dst, int count) {
    for (int i = 0; i < count; ++i) {
        // Place the three bytes at the top of a 32-bit word, then shift back to sign-extend.
        const uint32_t u = (static_cast<uint32_t>(src[3 * i]) << 8) |
                           (static_cast<uint32_t>(src[3 * i + 1]) << 16) |
                           (static_cast<uint32_t>(src[3 * i + 2]) << 24);
        const int32_t v = static_cast<int32_t>(u) >> 8;
        dst[i] = clampUnit(static_cast<float>(v) / 8388608.0f);
    }
}

void decode32(const uint8_t* src, float* dst, int count) {
    for (int i = 0; i < count; ++i) {
        const int32_t v = static_cast<int32_t>(load32(src + 4 * i));
        dst[i] = clampUnit(static_cast<float>(v) / 2147483648.0f);
    }
}

void decodeFloat(const uint8_t* src, float* dst, int count) {
    for (int i = 0; i < count; ++i) {
        const uint32_t u = load32(src + 4 * i);
        std::memcpy(dst + i, &u, sizeof(float));
    }
}

// floor(x * scale + 0.5) saturated to [lowest, highest]; NaN gives 0. Saturating before
// rounding gives the same codes and keeps |y| below 2^24, where y + 0.5 is exact and the floor
// can be taken by truncation plus a correction (branch-free, so the loops vectorise).
inline int32_t quantize(float x, float scale, float lowest, float highest) {
    float y = x * scale;
    y = y == y ? y : 0.0f;
    y = y < lowest ? lowest : y;
    y = y > highest ? highest : y;
    const float r = y + 0.5f;
    const int32_t t = static_cast<int32_t>(r);
    return t - (static_cast<float>(t) > r ? 1 : 0);
}

void encode16(const float* src, uint8_t* dst, int count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Native 16-bit stores are already little-endian; one store per sample.
    for (int i = 0; i < count; ++i) {
        const int16_t v = static_cast<int16_t>(quantize(src[i], 32768.0f, -32768.0f, 32767.0f));
        std::memcpy(dst + 2 * i, &v, sizeof(v));
    }
#else
    for (int i = 0; i < count; ++i) {
        const int32_t v = quantize(src[i], 32768.0f, -32768.0f, 32767.0f);
        dst[2 * i] = static_cast<uint8_t>(v);
        dst[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
#endif
}

void encode24(const float* src, uint8_t* dst, int count) {
    for (int i = 0; i < count; ++i) {
        const int32_t v = quantize(src[i], 8388608.0f, -8388608.0f, 8388607.0f);
        dst[3 * i] = static_cast<uint8_t>(v);
        dst[3 * i + 1] = static_cast<uint8_t>(v >> 8);
        dst[3 * i + 2] = static_cast<uint8_t>(v >> 16);
    }
}

void encode32(const float* src, uint8_t* dst, int count) {
    for (int i = 0; i < count; ++i) {
        // Double precision holds every int32 exactly, so the saturation bounds are exact.
        double r = std::floor(static_cast<double>(src[i]) * 2147483648.0 + 0.5);
        r = std::min(std::max(r, -2147483648.0), 2147483647.0);
        if (r != r) r = 0.0;
        store32(dst + 4 * i, static_cast<uint32_t>(static_cast<int32_t>(r)));
    }
}

void encodeFloat(const float* src, uint8_t* dst, int count) {
    for (int i = 0; i < count; ++i) {
        uint32_t u;
        std::memcpy(&u, src + i, sizeof(u));
        store32(dst + 4 * i, u);
    }
}

}  // namespace

DecodeRun pcmDecoder(int bitsPerSample) {
    switch (bitsPerSample) {
        case 16:
            return decode16;
        case 24:
            return decode24;
        case 32:
            return decode32;
        default:
            return nullptr;
    }
}

EncodeRun pcmEncoder(int bitsPerSample) {
    switch (bitsPerSample) {
        case 16:
            return encode16;
        case 24:
            return encode24;
        case 32:
            return encode32;
        default:
            return nullptr;
    }
}

DecodeRun floatDecoder() {
    return decodeFloat;
}
EncodeRun floatEncoder() {
    return encodeFloat;
}

}  // namespace velmora::sio
