#include "sio/ArkSink.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "Error.h"
#include "blas/Matrix.h"

namespace velmora::sio {

namespace {

constexpr int kKeySize = 500;  // bytes of the key buffer, NUL included
// After the key: a blank, the binary marker "\0B", the float-matrix token "FM" and a blank.
constexpr char kMatrixHeader[6] = {' ', '\0', 'B', 'F', 'M', ' '};
constexpr char kIntSize = 4;  // size byte in front of each 32-bit dimension

// The file name without directory and extension.
std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    std::string tail = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = tail.rfind('.');
    return dot == std::string::npos ? tail : tail.substr(0, dot);
}

void putInt32(std::ostream& os, int32_t value) {
    const uint32_t u = static_cast<uint32_t>(value);
    const char b[4] = {static_cast<char>(u & 0xFF), static_cast<char>((u >> 8) & 0xFF),
                       static_cast<char>((u >> 16) & 0xFF), static_cast<char>((u >> 24) & 0xFF)};
    os.write(b, 4);
}

void putFloats(std::ostream& os, const float* values, int count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    os.write(reinterpret_cast<const char*>(values), static_cast<std::streamsize>(count) * 4);
#else
    for (int i = 0; i < count; ++i) {
        uint32_t u;
        std::memcpy(&u, values + i, 4);
        putInt32(os, static_cast<int32_t>(u));
    }
#endif
}

}  // namespace

struct ArkSink::Impl {
    int batchSize;
    int numChannels;
    int blockSize;
    std::ofstream stream;
    std::string uttBase;
    char key[kKeySize];
    blas::Matrix batch;
    int channel = 0;
    int frame = 0;
    int row = 0;
    int entryIndex = 0;

    Impl(int batchsize, int numchs, int blocksize)
        : batchSize(batchsize),
          numChannels(numchs),
          blockSize(blocksize),
          key(),
          batch(batchsize, numchs * blocksize) {}

    bool pending() const { return channel != 0 || frame != 0 || row != 0; }

    // Writes the whole batch as entry `entryIndex` and clears it.
    void writeEntry() {
        std::snprintf(key, sizeof(key), "%s_%d", uttBase.c_str(), entryIndex);
        stream.write(key, static_cast<std::streamsize>(std::strlen(key)));
        stream.write(kMatrixHeader, sizeof(kMatrixHeader));
        stream.put(kIntSize);
        putInt32(stream, batchSize);
        stream.put(kIntSize);
        putInt32(stream, batch.numColumns());
        const float* const* rows = static_cast<const blas::Matrix&>(batch).data();
        for (int i = 0; i < batchSize; ++i) putFloats(stream, rows[i], batch.numColumns());
        batch.fill(0.0f);
    }

    // Ends the current entry early: written with zero rows for the blocks not received, so a
    // later flush with nothing new writes nothing and later blocks start the next entry.
    void writePartial() {
        if (!pending()) return;
        writeEntry();
        ++entryIndex;
        channel = frame = row = 0;
    }

    void write(const float* values, int count) {
        float* const* rows = batch.data();
        for (int i = 0; i < count; ++i) {
            rows[row][blockSize * channel + frame] = values[i];
            if (++channel < numChannels) continue;
            channel = 0;
            if (++frame < blockSize) continue;
            frame = 0;
            if (++row < batchSize) continue;
            writeEntry();
            ++entryIndex;
            row = 0;
        }
    }
};

ArkSink::ArkSink(int batchsize, int numchs, int blocksize, const char* path) {
    VM_ASSERT(batchsize > 0);
    VM_ASSERT(numchs > 0);
    VM_ASSERT(blocksize > 0);
    VM_ASSERT(static_cast<long long>(numchs) * blocksize <= INT_MAX);
    pp = std::make_unique<Impl>(batchsize, numchs, blocksize);
    pp->stream.open(path, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!pp->stream.is_open()) error("ArkSink", "Cannot open output file: %s", path);
    pp->uttBase = baseName(path);
}

ArkSink::~ArkSink() = default;

int ArkSink::numChannels() const {
    return pp->numChannels;
}

void ArkSink::flush() {
    pp->writePartial();
    pp->stream.flush();
}

void ArkSink::close() {
    if (!pp->stream.is_open()) return;
    pp->writePartial();
    pp->stream.close();
}

void ArkSink::writeSample(float value) {
    pp->write(&value, 1);
}

void ArkSink::writeSamples(const float* values, int count) {
    pp->write(values, count);
}

bool ArkSink::failed() const {
    return pp->stream.fail();
}

}  // namespace velmora::sio
