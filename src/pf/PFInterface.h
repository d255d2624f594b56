#pragma once
// PFInterface: a single-channel post-filter applied in place to every row of the beamformer's
// numChannels() x numBins() output block. The virtual slots keep this order; every post-filter
// overrides all of them.

#include <cstdint>

namespace velmora::blas {
class ComplexMatrix;
}

namespace velmora::pf {

class PFInterface {
  public:
    virtual ~PFInterface() = default;
    virtual int numChannels() const = 0;
    virtual int numBins() const = 0;
    // Delay added, in blocks.
    virtual int delay() const = 0;
    // Filters `data` (numChannels() x numBins()) in place.
    virtual void process(blas::ComplexMatrix* data) = 0;
    // Target of output n confirmed over the last *blocks blocks (null: the default length).
    virtual void lock(int n, const float* blocks) = 0;
    virtual void unlock(int n) = 0;
    // Reserved one-argument hooks: empty in every post-filter, nothing calls them.
    virtual void hook1(int32_t value) = 0;
    virtual void hook2(int32_t value) = 0;
};

}  // namespace velmora::pf
