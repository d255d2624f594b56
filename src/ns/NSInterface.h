#pragma once
// NSInterface: a residual-echo and noise suppressor that cleans an N x K spectral block in place,
// given the R x K reference block and the N x K echo estimate, both already delayed by the
// caller to line up with the block. The virtual slots keep this order; every suppressor
// overrides all of them.

#include <cstdint>

namespace velmora::blas {
class ComplexMatrix;
}

namespace velmora::ns {

class NSInterface {
  public:
    virtual ~NSInterface() = default;
    virtual int numChannels() const = 0;
    virtual int numRefs() const = 0;
    virtual int numBins() const = 0;
    // Delay added, in blocks.
    virtual int delay() const = 0;
    // Target of output n confirmed over the last *blocks blocks (null: the stage's default).
    virtual void lock(int n, const float* blocks) = 0;
    virtual void unlock(int n) = 0;
    // Cleans `nearend` in place; `ref` may be null when there are no references.
    virtual void process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
                         const blas::ComplexMatrix* echo) = 0;
    // Reserved one-argument hooks: empty in every suppressor, nothing calls them.
    virtual void hook1(int32_t value) = 0;
    virtual void hook2(int32_t value) = 0;
};

}  // namespace velmora::ns
