#pragma once
// WavSource: reads a RIFF/WAVE file of integer PCM (16, 24, 32 bits) or 32-bit IEEE floats. The
// constructor parses and checks the header and positions an inner PCMSource at the first byte
// of the "data" chunk; samples are delivered up to the end of that chunk (to the end of the
// file when the chunk states no size or more than the file holds). Any malformed header raises
// an error tagged WavSource (or PCMSource for an unsupported integer depth).

#include <memory>

#include "sio/SignalSource.h"

namespace velmora::sio {

class WavSource : public SignalSource {
  public:
    explicit WavSource(const char* path);
    ~WavSource() override;

    int numChannels() const override;
    void close() override;
    bool readSample(float* value) override;

    // The header's SampleRate.
    int sampleRate() const;
    int bitsPerSample() const;

  protected:
    int readSamples(float* values, int count) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::sio
