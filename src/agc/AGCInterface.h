#pragma once
// AGCInterface: a time-domain gain control on interleaved float blocks in [-1, 1]: sample j of
// channel i is element i + j * numChannels(). Unlike the spectral stages its delay is counted in
// samples. The virtual slots keep this order; every gain control overrides all of them.

#include <cstdint>

namespace velmora::agc {

class AGCInterface {
  public:
    virtual ~AGCInterface() = default;
    virtual int numChannels() const = 0;
    // Samples per channel per block.
    virtual int blockSize() const = 0;
    // Delay added, in samples.
    virtual int delay() const = 0;
    // One block of numChannels() x blockSize() floats; `out` may be the same array as `in`.
    virtual void process(const float* in, float* out) = 0;
    // Reserved one-argument hooks: empty in every gain control, nothing calls them.
    virtual void hook1(int32_t value) = 0;
    virtual void hook2(int32_t value) = 0;
};

}  // namespace velmora::agc
