#pragma once
// PCMSource: reads raw little-endian interleaved samples (16, 24 or 32-bit integer PCM, or 32-bit
// IEEE floats) from a file it opens itself or from a stream handed in by the caller (WavSource),
// 160 frames per file read. Integer samples are scaled into [-1, 1]; floats pass bit for bit.
// A trailing partial sample is never delivered.

#include <iosfwd>
#include <memory>

#include "sio/SignalSource.h"

namespace velmora::sio {

class PCMSource : public SignalSource {
  public:
    // Float form: raw IEEE 754 single-precision samples.
    PCMSource(int numChannels, const char* path);
    // Integer form: 16, 24 or 32 bits per sample.
    PCMSource(int bitsPerSample, int numChannels, const char* path);
    // The same two forms over a stream that stays owned by the caller, read from its current
    // position.
    PCMSource(int numChannels, std::istream* stream);
    PCMSource(int bitsPerSample, int numChannels, std::istream* stream);
    ~PCMSource() override;

    int numChannels() const override;
    // Closes an owned file; a borrowed stream is left to its owner. Either way the source then
    // reports the end of the data.
    void close() override;
    bool readSample(float* value) override;

    int bitsPerSample() const;

    // Bounds the rest of the reading to the next numBytes bytes of the stream, rounded down to
    // whole samples; a negative count removes the bound. Used for the data chunk of a WAV file.
    void limitBytes(long long numBytes);

  protected:
    int readSamples(float* values, int count) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::sio
