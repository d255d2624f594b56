#include "sio/PCMSink.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include "Error.h"

namespace velmora::sio {

namespace {

constexpr int kFramesPerWrite = 160;  // frames collected before a file write
constexpr int kMaxChannels = 65535;   // the largest count a WAV header can state

using ConvertRun = void (*)(const float* src, uint8_t* dst, int count);

// floor(x * scale + 0.5) saturated to [lowest, highest]; NaN writes as 0. Saturating before
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

void convert16(const float* src, uint8_t* dst, int count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Native 16-bit stores are already little-endian; one store per sample vectorises.
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

void convert24(const float* src, uint8_t* dst, int count) {
    for (int i = 0; i < count; ++i) {
        const int32_t v = quantize(src[i], 8388608.0f, -8388608.0f, 8388607.0f);
        dst[3 * i] = static_cast<uint8_t>(v);
        dst[3 * i + 1] = static_cast<uint8_t>(v >> 8);
        dst[3 * i + 2] = static_cast<uint8_t>(v >> 16);
    }
}

inline void store32(uint8_t* p, uint32_t u) {
    p[0] = static_cast<uint8_t>(u);
    p[1] = static_cast<uint8_t>(u >> 8);
    p[2] = static_cast<uint8_t>(u >> 16);
    p[3] = static_cast<uint8_t>(u >> 24);
}

void convert32(const float* src, uint8_t* dst, int count) {
    for (int i = 0; i < count; ++i) {
        // Double precision holds every int32 exactly, so the saturation bounds are exact.
        double r = std::floor(static_cast<double>(src[i]) * 2147483648.0 + 0.5);
        r = std::min(std::max(r, -2147483648.0), 2147483647.0);
        if (r != r) r = 0.0;
        store32(dst + 4 * i, static_cast<uint32_t>(static_cast<int32_t>(r)));
    }
}

void convertFloat(const float* src, uint8_t* dst, int count) {
    for (int i = 0; i < count; ++i) {
        uint32_t u;
        std::memcpy(&u, src + i, sizeof(u));
        store32(dst + 4 * i, u);
    }
}

ConvertRun integerConverter(int bitsPerSample) {
    switch (bitsPerSample) {
        case 16:
            return convert16;
        case 24:
            return convert24;
        case 32:
            return convert32;
        default:
            error("PCMSink", "Unsupported bits per sample: %d", bitsPerSample);
    }
}

}  // namespace

struct PCMSink::Impl {
    int bitsPerSample = 0;
    int numChannels = 0;
    int bytesPerSample = 0;
    int capacity = 0;
    int count = 0;
    std::vector<uint8_t> buffer;
    std::ofstream stream;
    ConvertRun convert = nullptr;

    void setUp(int bits, int numchs, ConvertRun conv, const char* path) {
        bitsPerSample = bits;
        numChannels = numchs;
        bytesPerSample = bits / 8;
        capacity = numchs * kFramesPerWrite;
        convert = conv;
        buffer.assign(static_cast<size_t>(capacity) * bytesPerSample, 0);
        stream.open(path, std::ios::out | std::ios::binary | std::ios::trunc);
        if (!stream.is_open()) error("PCMSink", "Cannot open output file: %s", path);
    }

    void writePending() {
        if (count > 0)
            stream.write(reinterpret_cast<const char*>(buffer.data()),
                         static_cast<std::streamsize>(count) * bytesPerSample);
        count = 0;
    }

    void write(const float* values, int n) {
        while (n > 0) {
            const int run = std::min(capacity - count, n);
            convert(values, buffer.data() + static_cast<size_t>(count) * bytesPerSample, run);
            count += run;
            values += run;
            n -= run;
            if (count == capacity) writePending();
        }
    }
};

PCMSink::PCMSink(int numchs, const char* path) : pp(std::make_unique<Impl>()) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numchs <= kMaxChannels);
    pp->setUp(32, numchs, convertFloat, path);
}

PCMSink::PCMSink(int bitsPerSample, int numchs, const char* path) : pp(std::make_unique<Impl>()) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numchs <= kMaxChannels);
    pp->setUp(bitsPerSample, numchs, integerConverter(bitsPerSample), path);
}

PCMSink::~PCMSink() = default;

int PCMSink::numChannels() const {
    return pp->numChannels;
}

void PCMSink::flush() {
    pp->writePending();
    pp->stream.flush();
}

void PCMSink::close() {
    if (!pp->stream.is_open()) return;
    pp->writePending();
    pp->stream.close();
}

void PCMSink::writeSample(float value) {
    pp->write(&value, 1);
}

void PCMSink::writeSamples(const float* values, int count) {
    pp->write(values, count);
}

bool PCMSink::failed() const {
    return pp->stream.fail();
}

int PCMSink::bitsPerSample() const {
    return pp->bitsPerSample;
}

std::ofstream* PCMSink::stream() {
    return &pp->stream;
}

}  // namespace velmora::sio
