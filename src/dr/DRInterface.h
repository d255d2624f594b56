#pragma once
// DRInterface: a dereverberator that works in place on M x K spectral blocks (channels by
// bins). The virtual slots keep this order; every dereverberator overrides all of them.

#include <cstdint>

namespace velmora::blas {
class ComplexMatrix;
}

namespace velmora::dr {

class DRInterface {
  public:
    virtual ~DRInterface() = default;
    virtual int numChannels() const = 0;
    virtual int numBins() const = 0;
    // Delay added, in blocks.
    virtual int delay() const = 0;
    // Dereverberates `block` (numChannels() x numBins()) in place.
    virtual void process(blas::ComplexMatrix* block) = 0;
    // Reserved one-argument hooks: empty in every dereverberator, nothing calls them.
    virtual void hook1(int32_t value) = 0;
    virtual void hook2(int32_t value) = 0;
};

}  // namespace velmora::dr
