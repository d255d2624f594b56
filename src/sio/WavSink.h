#pragma once
// WavSink: writes a RIFF/WAVE file of integer PCM with the 44-byte canonical header. The first
// constructor writes zero sizes and patches them in close() from the bytes actually written;
// the second writes the sizes of a known frame count once. The samples go through an owned
// PCMSink, which also owns the file.

#include <memory>

#include "sio/SignalSink.h"

namespace velmora::sio {

class WavSink : public SignalSink {
  public:
    WavSink(int fs, int nbits, int numchs, const char* path);
    WavSink(int fs, int nbits, int numchs, int numframesout, const char* path);
    ~WavSink() override;

    int numChannels() const override;
    void flush() override;
    // Writes the pending samples, patches the header sizes (first constructor only) and closes
    // the file.
    void close() override;
    void writeSample(float value) override;
    bool failed() const override;

    int sampleRate() const;
    int bitsPerSample() const;
    int framesWritten() const;

  protected:
    void writeSamples(const float* values, int count) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::sio
