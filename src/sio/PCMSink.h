#pragma once
// PCMSink: writes raw little-endian interleaved samples, either 16, 24 or 32-bit integer PCM
// (scaled by 2^(bits-1), rounded with floor(x + 0.5) and saturated) or 32-bit IEEE floats (bit
// copies). Samples are converted into a buffer of 160 frames that goes to the file when full.

#include <iosfwd>
#include <memory>

#include "sio/SignalSink.h"

namespace velmora::sio {

class PCMSink : public SignalSink {
  public:
    // Float form: raw IEEE 754 single-precision samples.
    PCMSink(int numchs, const char* path);
    // Integer form: 16, 24 or 32 bits per sample.
    PCMSink(int bitsPerSample, int numchs, const char* path);
    ~PCMSink() override;

    int numChannels() const override;
    // Writes the pending samples and flushes the file.
    void flush() override;
    // Writes the pending samples and closes the file.
    void close() override;
    void writeSample(float value) override;
    bool failed() const override;

    int bitsPerSample() const;
    // The output file, for writers that put a header in front of the samples (WavSink).
    std::ofstream* stream();

  protected:
    void writeSamples(const float* values, int count) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::sio
