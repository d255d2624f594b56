#include "sio/PCMSink.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <vector>

#include "Error.h"
#include "sio/SampleFormat.h"

namespace velmora::sio {

namespace {

constexpr int kFramesPerWrite = 160;  // frames collected before a file write
constexpr int kMaxChannels = 65535;   // the largest count a WAV header can state

EncodeRun integerEncoder(int bitsPerSample) {
    const EncodeRun encode = pcmEncoder(bitsPerSample);
    if (encode == nullptr) error("PCMSink", "Unsupported bits per sample: %d", bitsPerSample);
    return encode;
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
    EncodeRun convert = nullptr;

    void setUp(int bits, int numchs, EncodeRun conv, const char* path) {
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
    pp->setUp(32, numchs, floatEncoder(), path);
}

PCMSink::PCMSink(int bitsPerSample, int numchs, const char* path) : pp(std::make_unique<Impl>()) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numchs <= kMaxChannels);
    pp->setUp(bitsPerSample, numchs, integerEncoder(bitsPerSample), path);
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
