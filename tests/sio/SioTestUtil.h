#pragma once
// Byte builders and helpers shared by the signal I/O tests.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>
#include "common/TestUtil.h"

namespace velmora::sio::test {

inline void put16(std::string& s, uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
inline void put24(std::string& s, uint32_t v) {
    put16(s, v & 0xFFFF);
    s += static_cast<char>((v >> 16) & 0xFF);
}
inline void put32(std::string& s, uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}
inline void putFloat(std::string& s, float x) {
    uint32_t u;
    std::memcpy(&u, &x, 4);
    put32(s, u);
}
inline uint32_t get16(const std::string& s, size_t at) {
    return static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8);
}
inline uint32_t get32(const std::string& s, size_t at) {
    return get16(s, at) | (get16(s, at + 2) << 16);
}
inline float getFloat(const std::string& s, size_t at) {
    const uint32_t u = get32(s, at);
    float x;
    std::memcpy(&x, &u, 4);
    return x;
}

// A chunk: tag, 32-bit size, body, and the pad byte after an odd size.
inline std::string chunk(const std::string& tag, const std::string& body) {
    std::string s = tag;
    put32(s, static_cast<uint32_t>(body.size()));
    s += body;
    if (body.size() % 2) s += '\0';
    return s;
}

// The 16 standard fmt bytes.
inline std::string fmtBody(int format, int numchs, int rate, int bits) {
    std::string s;
    put16(s, format);
    put16(s, numchs);
    put32(s, rate);
    put32(s, rate * numchs * bits / 8);
    put16(s, numchs * bits / 8);
    put16(s, bits);
    return s;
}

// RIFF/WAVE file from the chunks following "WAVE".
inline std::string riff(const std::string& chunks) {
    std::string s = "RIFF";
    put32(s, static_cast<uint32_t>(chunks.size() + 4));
    return s + "WAVE" + chunks;
}

inline std::string wav(int format, int numchs, int rate, int bits, const std::string& data) {
    return riff(chunk("fmt ", fmtBody(format, numchs, rate, bits)) + chunk("data", data));
}

// Runs f and returns the engine's error text ("" when nothing was raised).
using velmora::test::errorOf;

}  // namespace velmora::sio::test
