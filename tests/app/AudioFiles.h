#pragma once
// Builds raw PCM and WAVE files byte by byte for the end-to-end tests, independently of the
// engine's own readers and writers.

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::test {

// Little-endian integer PCM of 16, 24 or 32 bits from integer sample values.
inline std::string pcmBytes(const std::vector<int32_t>& samples, int bits) {
    std::string out;
    const int bytes = bits / 8;
    for (int32_t v : samples) {
        uint32_t u = static_cast<uint32_t>(v);
        for (int b = 0; b < bytes; ++b) out.push_back(static_cast<char>((u >> (8 * b)) & 0xFF));
    }
    return out;
}

inline void put32(std::string& s, uint32_t v) {
    for (int b = 0; b < 4; ++b) s.push_back(static_cast<char>((v >> (8 * b)) & 0xFF));
}
inline void put16(std::string& s, uint16_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>(v >> 8));
}

// A canonical 44-byte-header WAVE file around `data` (format 1: integer PCM, 3: float).
inline std::string wavBytes(const std::string& data, int channels, int rate, int bits,
                            int format = 1) {
    std::string s = "RIFF";
    put32(s, static_cast<uint32_t>(36 + data.size()));
    s += "WAVEfmt ";
    put32(s, 16);
    put16(s, static_cast<uint16_t>(format));
    put16(s, static_cast<uint16_t>(channels));
    put32(s, static_cast<uint32_t>(rate));
    put32(s, static_cast<uint32_t>(rate * channels * bits / 8));
    put16(s, static_cast<uint16_t>(channels * bits / 8));
    put16(s, static_cast<uint16_t>(bits));
    s += "data";
    put32(s, static_cast<uint32_t>(data.size()));
    return s + data;
}

// Deterministic pseudo-random integer samples spanning the full range of `bits`, including both
// extremes, for bit-exactness checks.
inline std::vector<int32_t> randomSamples(size_t count, int bits, uint32_t seed) {
    std::vector<int32_t> v(count);
    const int64_t lo = -(int64_t(1) << (bits - 1));
    const int64_t span = int64_t(1) << bits;
    uint64_t state = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    for (size_t i = 0; i < count; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        v[i] = static_cast<int32_t>(lo + static_cast<int64_t>((state >> 11) % span));
    }
    if (count > 1) {
        v[0] = static_cast<int32_t>(lo);
        v[1] = static_cast<int32_t>(lo + span - 1);
    }
    return v;
}

}  // namespace velmora::test
