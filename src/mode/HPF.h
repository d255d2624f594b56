#pragma once
// HPF: third-order recursive high-pass filter at 16 kHz on frame-major interleaved blocks, one
// filter per channel, with its -3 dB point at 25 * (hpf_power + 1) Hz and unit gain at 8 kHz;
// hpf_power 0 passes the signal unchanged. The filter memories persist across blocks, so
// consecutive blocks are filtered as one continuous signal. May work in place.

#include <memory>

namespace velmora::mode {

class HPF {
  public:
    HPF(int numchs, int hpfpower);
    ~HPF();
    HPF(const HPF&) = delete;
    HPF& operator=(const HPF&) = delete;

    int numChannels() const;

    // numFrames frames of numChannels() floats; `out` may equal `in`.
    void process(const float* in, float* out, int numFrames);
    // One frame of numChannels() floats; `out` may equal `in`.
    void processFrame(const float* in, float* out);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
