#include "sio/PCMSource.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <istream>
#include <vector>

#include "Error.h"

namespace velmora::sio {

namespace {

constexpr int kFramesPerRead = 160;  // frames fetched from the file per read
constexpr int kMaxChannels = 65535;  // the largest count a WAV header can state

using ConvertRun = void (*)(const uint8_t* src, float* dst, int count);

inline float clampUnit(float x) {
    return std::min(std::max(x, -1.0f), 1.0f);
}

void convert16(const uint8_t* src, float* dst, int count) {
    for (int i = 0; i < count; ++i) {
        const uint16_t u = static_cast<uint16_t>(src[2 * i] | (src[2 * i + 1] << 8));
        dst[i] = clampUnit(static_cast<float>(static_cast<int16_t>(u)) / 32768.0f);
    }
}

void convert24(const uint8_t* src, float* dst, int count) {
    for (int i = 0; i < count; ++i) {
        // Place the three bytes at the top of a 32-bit word, then shift back to sign-extend.
        const uint32_t u = (static_cast<uint32_t>(src[3 * i]) << 8) |
                           (static_cast<uint32_t>(src[3 * i + 1]) << 16) |
                           (static_cast<uint32_t>(src[3 * i + 2]) << 24);
        const int32_t v = static_cast<int32_t>(u) >> 8;
        dst[i] = clampUnit(static_cast<float>(v) / 8388608.0f);
    }
}

inline uint32_t load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void convert32(const uint8_t* src, float* dst, int count) {
    for (int i = 0; i < count; ++i) {
        const int32_t v = static_cast<int32_t>(load32(src + 4 * i));
        dst[i] = clampUnit(static_cast<float>(v) / 2147483648.0f);
    }
}

void convertFloat(const uint8_t* src, float* dst, int count) {
    for (int i = 0; i < count; ++i) {
        const uint32_t u = load32(src + 4 * i);
        std::memcpy(dst + i, &u, sizeof(float));
    }
}

}  // namespace

struct PCMSource::Impl {
    int bitsPerSample = 0;
    int numChannels = 0;
    int bytesPerSample = 0;
    int chunkSamples = 0;
    int available = 0;
    int position = 0;
    std::vector<uint8_t> chunk;
    std::istream* stream = nullptr;
    bool ownsStream = false;
    ConvertRun convert = nullptr;

    std::unique_ptr<std::ifstream> file;  // set when ownsStream
    bool closed = false;
    long long bytesLeft = -1;  // bytes still allowed from the stream; negative: no bound

    void setUp(int bits, int numchs, ConvertRun conv) {
        VM_ASSERT(numchs > 0);
        VM_ASSERT(numchs <= kMaxChannels);
        bitsPerSample = bits;
        numChannels = numchs;
        bytesPerSample = bits / 8;
        chunkSamples = numchs * kFramesPerRead;
        convert = conv;
        chunk.assign(static_cast<size_t>(chunkSamples) * bytesPerSample, 0);
    }

    void open(const char* path) {
        file = std::make_unique<std::ifstream>(path, std::ios::in | std::ios::binary);
        if (!file->is_open()) error("PCMSource", "Cannot open input file: %s", path);
        stream = file.get();
        ownsStream = true;
    }

    // Fetches the next chunk from the stream; false when no whole sample is left.
    bool refill() {
        if (closed || stream == nullptr) return false;
        long long want = static_cast<long long>(chunkSamples) * bytesPerSample;
        if (bytesLeft >= 0) want = std::min(want, bytesLeft);
        if (want <= 0) return false;
        stream->read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(want));
        const long long got = stream->gcount();
        if (bytesLeft >= 0) bytesLeft -= got;
        available = static_cast<int>(got / bytesPerSample);
        position = 0;
        return available > 0;
    }

    int read(float* values, int count) {
        int done = 0;
        while (done < count) {
            if (position >= available && !refill()) break;
            const int run = std::min(available - position, count - done);
            convert(chunk.data() + static_cast<size_t>(position) * bytesPerSample, values + done,
                    run);
            position += run;
            done += run;
        }
        return done;
    }
};

static ConvertRun integerConverter(int bitsPerSample) {
    switch (bitsPerSample) {
        case 16:
            return convert16;
        case 24:
            return convert24;
        case 32:
            return convert32;
        default:
            error("PCMSource", "Unsupported bits per sample: %d", bitsPerSample);
    }
}

PCMSource::PCMSource(int numchs, const char* path) : pp(std::make_unique<Impl>()) {
    pp->setUp(32, numchs, convertFloat);
    pp->open(path);
}

PCMSource::PCMSource(int bitsPerSample, int numchs, const char* path)
    : pp(std::make_unique<Impl>()) {
    pp->setUp(bitsPerSample, numchs, integerConverter(bitsPerSample));
    pp->open(path);
}

PCMSource::PCMSource(int numchs, std::istream* stream) : pp(std::make_unique<Impl>()) {
    pp->setUp(32, numchs, convertFloat);
    pp->stream = stream;
}

PCMSource::PCMSource(int bitsPerSample, int numchs, std::istream* stream)
    : pp(std::make_unique<Impl>()) {
    pp->setUp(bitsPerSample, numchs, integerConverter(bitsPerSample));
    pp->stream = stream;
}

PCMSource::~PCMSource() = default;

int PCMSource::numChannels() const {
    return pp->numChannels;
}

void PCMSource::close() {
    if (pp->file) pp->file->close();
    pp->closed = true;
    pp->available = 0;
    pp->position = 0;
}

bool PCMSource::readSample(float* value) {
    return pp->read(value, 1) == 1;
}

int PCMSource::readSamples(float* values, int count) {
    return pp->read(values, count);
}

int PCMSource::bitsPerSample() const {
    return pp->bitsPerSample;
}

void PCMSource::limitBytes(long long numBytes) {
    pp->bytesLeft = numBytes < 0 ? -1 : numBytes - numBytes % pp->bytesPerSample;
}

}  // namespace velmora::sio
