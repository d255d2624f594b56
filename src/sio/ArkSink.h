#pragma once
// ArkSink: writes blocks as an archive of binary float matrices in the Kaldi toolkit's format.
// Each entry holds batchSize blocks, one row per block laid out channel by channel (the
// blockSize samples of channel 0, then those of channel 1, ...), and is keyed by the output
// file's base name, '_' and the entry counter. A partial batch is written by flush() or close(),
// padded with zero rows.

#include <memory>

#include "sio/SignalSink.h"

namespace velmora::sio {

class ArkSink : public SignalSink {
  public:
    ArkSink(int batchsize, int numchs, int blocksize, const char* path);
    ~ArkSink() override;

    int numChannels() const override;
    // Writes the partial batch, if any, as a complete entry and flushes the file.
    void flush() override;
    // Writes the partial batch, if any, and closes the file.
    void close() override;
    void writeSample(float value) override;
    bool failed() const override;

  protected:
    void writeSamples(const float* values, int count) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::sio
