#include "sio/WavSink.h"

#include <algorithm>
#include <cstdint>
#include <fstream>

#include "Error.h"
#include "sio/PCMSink.h"

namespace velmora::sio {

namespace {

constexpr int kHeaderSize = 44;
constexpr int kFormatPCM = 1;

// A size field: byte counts beyond what 32 bits hold saturate.
uint32_t sizeField(long long bytes) {
    if (bytes < 0) return 0;
    if (bytes > 0xFFFFFFFFLL) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(bytes);
}

void put16(char* p, uint32_t v) {
    p[0] = static_cast<char>(v & 0xFF);
    p[1] = static_cast<char>((v >> 8) & 0xFF);
}

void put32(char* p, uint32_t v) {
    put16(p, v & 0xFFFF);
    put16(p + 2, v >> 16);
}

}  // namespace

struct WavSink::Impl {
    int sampleRate = 0;
    int byteRate = 0;
    int blockAlign = 0;
    int channel = 0;
    int framesWritten = 0;
    std::unique_ptr<PCMSink> pcm;
    std::ofstream* stream = nullptr;
    bool patchSizes = false;

    void init(int fs, int nbits, int numchs, int numframesout, const char* path) {
        pcm = std::make_unique<PCMSink>(nbits, numchs, path);
        stream = pcm->stream();
        sampleRate = fs;
        const long long rate = static_cast<long long>(fs) * numchs * nbits / 8;
        byteRate = static_cast<int>(sizeField(rate));
        blockAlign = nbits * numchs / 8;

        const long long dataBytes = static_cast<long long>(numframesout) * numchs * (nbits / 8);
        char h[kHeaderSize];
        std::copy_n("RIFF", 4, h);
        put32(h + 4, numframesout > 0 ? sizeField(dataBytes + 36) : 0);
        std::copy_n("WAVE", 4, h + 8);
        std::copy_n("fmt ", 4, h + 12);
        put32(h + 16, 16);
        put16(h + 20, kFormatPCM);
        put16(h + 22, static_cast<uint32_t>(numchs));
        put32(h + 24, static_cast<uint32_t>(fs));
        put32(h + 28, static_cast<uint32_t>(byteRate));
        put16(h + 32, static_cast<uint32_t>(blockAlign));
        put16(h + 34, static_cast<uint32_t>(nbits));
        std::copy_n("data", 4, h + 36);
        put32(h + 40, numframesout > 0 ? sizeField(dataBytes) : 0);
        stream->write(h, kHeaderSize);
    }

    void patch(std::streamoff offset, uint32_t value) {
        char b[4];
        put32(b, value);
        stream->seekp(offset);
        stream->write(b, 4);
    }
};

WavSink::WavSink(int fs, int nbits, int numchs, const char* path) : pp(std::make_unique<Impl>()) {
    VM_ASSERT(fs > 0);
    VM_ASSERT(nbits > 0);
    VM_ASSERT(numchs > 0);
    pp->init(fs, nbits, numchs, 0, path);
    pp->patchSizes = true;
}

WavSink::WavSink(int fs, int nbits, int numchs, int numframesout, const char* path)
    : pp(std::make_unique<Impl>()) {
    VM_ASSERT(fs > 0);
    VM_ASSERT(nbits > 0);
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numframesout >= 0);
    pp->init(fs, nbits, numchs, numframesout, path);
}

WavSink::~WavSink() = default;

int WavSink::numChannels() const {
    return pp->pcm->numChannels();
}

void WavSink::flush() {
    pp->pcm->flush();
}

void WavSink::close() {
    if (!pp->stream->is_open()) return;
    // Pending samples go out first so that the patched sizes count them.
    pp->pcm->flush();
    if (pp->patchSizes) {
        const std::streamoff end = pp->stream->tellp();
        if (end >= kHeaderSize) {
            pp->patch(4, sizeField(end - 8));
            pp->patch(40, sizeField(end - kHeaderSize));
        }
    }
    pp->stream->flush();
    pp->pcm->close();
}

void WavSink::writeSample(float value) {
    pp->pcm->writeSample(value);
    if (++pp->channel == pp->pcm->numChannels()) {
        pp->channel = 0;
        ++pp->framesWritten;
    }
}

void WavSink::writeSamples(const float* values, int count) {
    writeSamplesTo(pp->pcm.get(), values, count);
    const int numchs = pp->pcm->numChannels();
    const long long position = static_cast<long long>(pp->channel) + count;
    pp->framesWritten += static_cast<int>(position / numchs);
    pp->channel = static_cast<int>(position % numchs);
}

bool WavSink::failed() const {
    return pp->pcm->failed();
}

int WavSink::sampleRate() const {
    return pp->sampleRate;
}

int WavSink::bitsPerSample() const {
    return pp->pcm->bitsPerSample();
}

int WavSink::framesWritten() const {
    return pp->framesWritten;
}

}  // namespace velmora::sio
