#pragma once
// Decimator: brings frame-major interleaved blocks recorded at 16, 32 or 48 kHz down to 16 kHz
// with a 31-tap linear-phase low-pass FIR per channel, keeping every F-th filter output
// (F = decimationFactor(): 1, 2 or 3). The filter memories and the output phase persist across
// blocks, so consecutive blocks are decimated as one continuous stream. May work in place.

#include <memory>

namespace velmora::blas {
class Matrix;
}

namespace velmora::mode {

class Decimator {
  public:
    Decimator(int numchs, int fs);
    ~Decimator();
    Decimator(const Decimator&) = delete;
    Decimator& operator=(const Decimator&) = delete;

    int numChannels() const;
    int decimationFactor() const;

    // numFrames frames of numChannels() floats in; (phase + numFrames) / F frames out, that is
    // numFrames / F when numFrames is a multiple of F. `out` may equal `in`.
    void process(const float* in, float* out, int numFrames);
    // The same on channel-by-sample matrices. Consumes input samples until `dataout` is full or
    // `datain` is exhausted and returns the number of input samples consumed.
    int process(const blas::Matrix* datain, blas::Matrix* dataout);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
