#include "sio/WavSource.h"

#include <cstdint>
#include <cstring>
#include <fstream>

#include "Error.h"
#include "sio/FileInfo.h"
#include "sio/PCMSource.h"

namespace velmora::sio {

namespace {

constexpr int kFormatPCM = 1;
constexpr int kFormatFloat = 3;
constexpr int kFormatExtensible = 0xFFFE;
constexpr int kBasicFmtSize = 16;  // bytes of the fields every fmt chunk has
// cbSize, valid bits, channel mask, then the sub-format GUID whose first two bytes hold the
// format code.
constexpr int kExtensibleSize = 2 + 2 + 4 + 16;
constexpr uint32_t kStreamedDataSize = 0xFFFFFFFFu;  // size left unset by streaming writers

// Parses the header fields off the stream; every short read is reported as a truncated header.
class HeaderReader {
  public:
    HeaderReader(std::istream& is, const char* path) : is_(is), path_(path) {}

    void bytes(char* out, int n) {
        is_.read(out, n);
        if (is_.gcount() != n) error("WavSource", "Truncated header: %s", path_);
    }
    uint32_t u16() {
        unsigned char b[2];
        bytes(reinterpret_cast<char*>(b), 2);
        return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8);
    }
    uint32_t u32() {
        unsigned char b[4];
        bytes(reinterpret_cast<char*>(b), 4);
        return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
               (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    }
    // Reads a 4-character tag into a terminated buffer.
    void tag(char out[5]) {
        bytes(out, 4);
        out[4] = '\0';
    }
    // Like tag(), but false when the file ends before the first byte of the tag.
    bool tagOrEnd(char out[5]) {
        if (is_.peek() == std::char_traits<char>::eof()) return false;
        tag(out);
        return true;
    }
    // Moves `n` bytes ahead (past the end of the file is allowed; the next read then fails).
    void skip(uint64_t n) {
        if (n == 0) return;
        is_.seekg(static_cast<std::streamoff>(n), std::ios::cur);
        if (!is_) {
            // Not seekable: read past the bytes instead.
            is_.clear();
            is_.ignore(static_cast<std::streamsize>(n));
            if (static_cast<uint64_t>(is_.gcount()) != n)
                error("WavSource", "Truncated header: %s", path_);
        }
    }

  private:
    std::istream& is_;
    const char* path_;
};

// The tag as it may be printed: bytes outside printable ASCII become '?'.
void printableTag(const char tag[5], char out[5]) {
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = static_cast<unsigned char>(tag[i]);
        out[i] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    out[4] = '\0';
}

void expectTag(HeaderReader& in, const char* required) {
    char tag[5];
    in.tag(tag);
    if (std::memcmp(tag, required, 4) != 0) {
        char shown[5];
        printableTag(tag, shown);
        error("WavSource", "Wrong wav format: %s, %s required", shown, required);
    }
}

}  // namespace

struct WavSource::Impl {
    int format = kFormatPCM;
    int sampleRate = 0;
    int chunkSize = 0;
    int fmtSize = 0;
    int dataSize = 0;
    int byteRate = 0;
    int blockAlign = 0;
    std::unique_ptr<std::ifstream> stream;
    std::unique_ptr<PCMSource> inner;
};

WavSource::WavSource(const char* path) : pp(std::make_unique<Impl>()) {
    if (isDirectory(path)) error("WavSource", "Cannot open input file: %s", path);
    pp->stream = std::make_unique<std::ifstream>(path, std::ios::in | std::ios::binary);
    if (!pp->stream->is_open()) error("WavSource", "Cannot open input file: %s", path);
    HeaderReader in(*pp->stream, path);

    expectTag(in, "RIFF");
    pp->chunkSize = static_cast<int>(in.u32());
    expectTag(in, "WAVE");
    expectTag(in, "fmt ");

    const uint32_t fmtSize = in.u32();
    pp->fmtSize = static_cast<int>(fmtSize);
    if (fmtSize < kBasicFmtSize)
        error("WavSource", "Illegal fmt chunk size: %u, %s", fmtSize, path);
    uint64_t remaining = fmtSize;
    const int audioFormat = static_cast<int>(in.u16());
    const int numChannels = static_cast<int>(in.u16());
    pp->sampleRate = static_cast<int>(in.u32());
    pp->byteRate = static_cast<int>(in.u32());
    pp->blockAlign = static_cast<int>(in.u16());
    const int bitsPerSample = static_cast<int>(in.u16());
    remaining -= kBasicFmtSize;

    if (audioFormat != kFormatPCM && audioFormat != kFormatFloat &&
        audioFormat != kFormatExtensible)
        error("WavSource", "Unsupported audio format: %d", audioFormat);
    int format = audioFormat == kFormatFloat ? kFormatFloat : kFormatPCM;
    if (audioFormat == kFormatExtensible && remaining >= kExtensibleSize) {
        // The sub-format tells integer PCM from floats.
        in.u16();  // cbSize
        in.u16();  // valid bits per sample
        in.u32();  // channel mask
        const int subFormat = static_cast<int>(in.u16());
        char guidTail[14];
        in.bytes(guidTail, sizeof(guidTail));
        remaining -= kExtensibleSize;
        if (subFormat != kFormatPCM && subFormat != kFormatFloat)
            error("WavSource", "Unsupported audio format: %d", subFormat);
        format = subFormat;
    }
    pp->format = format;
    if (numChannels <= 0) error("WavSource", "Illegal no. of channels: %d", numChannels);
    if (format == kFormatFloat && bitsPerSample != 32)
        error("WavSource", "Unsupported bits per sample: %d", bitsPerSample);
    // The rest of the fmt chunk and, after an odd size, the RIFF pad byte.
    in.skip(remaining + (fmtSize & 1u));

    // Walk the chunks up to "data"; each step moves at least 8 bytes on, so the walk ends at
    // the data chunk or at the end of the file.
    uint32_t dataSize = 0;
    for (;;) {
        char tag[5];
        if (!in.tagOrEnd(tag)) error("WavSource", "Missing data chunk: %s", path);
        const uint32_t size = in.u32();
        if (std::memcmp(tag, "data", 4) == 0) {
            dataSize = size;
            break;
        }
        in.skip(static_cast<uint64_t>(size) + (size & 1u));
    }
    pp->dataSize = static_cast<int>(dataSize);

    if (format == kFormatFloat)
        pp->inner = std::make_unique<PCMSource>(numChannels, pp->stream.get());
    else
        pp->inner = std::make_unique<PCMSource>(bitsPerSample, numChannels, pp->stream.get());
    // A size of 0 or the streaming marker means "up to the end of the file"; a size that runs
    // past the end of the file ends there anyway.
    if (dataSize != 0 && dataSize != kStreamedDataSize)
        pp->inner->limitBytes(static_cast<long long>(dataSize));
}

WavSource::~WavSource() = default;

int WavSource::numChannels() const {
    return pp->inner->numChannels();
}

void WavSource::close() {
    pp->inner->close();
    pp->stream->close();
}

bool WavSource::readSample(float* value) {
    return pp->inner->readSample(value);
}

int WavSource::readSamples(float* values, int count) {
    return readSamplesFrom(pp->inner.get(), values, count);
}

int WavSource::sampleRate() const {
    return pp->sampleRate;
}

int WavSource::bitsPerSample() const {
    return pp->inner->bitsPerSample();
}

}  // namespace velmora::sio
