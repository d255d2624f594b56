#pragma once
// PoolingSink: keeps only the loudest channel of a multi-channel stream. It stores every sample
// and the summed magnitude of each channel; flush() picks the channel with the largest sum
// (the first on ties) and writes its samples, in order, to a one-channel sink owned by the
// caller. The whole run is held in memory, in chunks of 20000 frames that are reused after a
// flush; memory therefore grows with the length of the run.

#include <memory>

#include "sio/SignalSink.h"

namespace velmora::sio {

class PoolingSink : public SignalSink {
  public:
    PoolingSink(int numchs, SignalSink* next);
    ~PoolingSink() override;

    int numChannels() const override;
    // Writes the loudest channel of everything stored to `next`, empties the store and resets
    // the sums, then flushes `next`.
    void flush() override;
    // Flushes what is still stored, then closes `next`.
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
