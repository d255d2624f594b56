#include "sio/PCMSource.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <istream>
#include <vector>

#include "Error.h"
#include "sio/FileInfo.h"
#include "sio/SampleFormat.h"

namespace velmora::sio {

namespace {

constexpr int kFramesPerRead = 160;  // frames fetched from the file per read
constexpr int kMaxChannels = 65535;  // the largest count a WAV header can state

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
    DecodeRun convert = nullptr;

    std::unique_ptr<std::ifstream> file;  // set when ownsStream
    bool closed = false;
    long long bytesLeft = -1;  // bytes still allowed from the stream; negative: no bound

    void setUp(int bits, int numchs, DecodeRun conv) {
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
        // A directory opens for reading and then reads as an empty recording.
        if (isDirectory(path)) error("PCMSource", "Cannot open input file: %s", path);
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

static DecodeRun integerDecoder(int bitsPerSample) {
    const DecodeRun decode = pcmDecoder(bitsPerSample);
    if (decode == nullptr) error("PCMSource", "Unsupported bits per sample: %d", bitsPerSample);
    return decode;
}

PCMSource::PCMSource(int numchs, const char* path) : pp(std::make_unique<Impl>()) {
    pp->setUp(32, numchs, floatDecoder());
    pp->open(path);
}

PCMSource::PCMSource(int bitsPerSample, int numchs, const char* path)
    : pp(std::make_unique<Impl>()) {
    pp->setUp(bitsPerSample, numchs, integerDecoder(bitsPerSample));
    pp->open(path);
}

PCMSource::PCMSource(int numchs, std::istream* stream) : pp(std::make_unique<Impl>()) {
    pp->setUp(32, numchs, floatDecoder());
    pp->stream = stream;
}

PCMSource::PCMSource(int bitsPerSample, int numchs, std::istream* stream)
    : pp(std::make_unique<Impl>()) {
    pp->setUp(bitsPerSample, numchs, integerDecoder(bitsPerSample));
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
