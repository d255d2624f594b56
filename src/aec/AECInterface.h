#pragma once
// AECInterface: an acoustic echo canceller working on spectral blocks. For M microphones, R
// references and K bins, `mic` is M x K, `ref` R x K (null when there are no references), and
// the outputs `nearend` (microphones minus the estimated echo) and `echo` (the echo estimate
// itself) are M x K. The virtual slots keep this order; every canceller overrides all of them.

#include <cstdint>

namespace velmora::blas {
class ComplexMatrix;
}

namespace velmora::aec {

class AECInterface {
  public:
    virtual ~AECInterface() = default;
    virtual int numMics() const = 0;
    virtual int numRefs() const = 0;
    virtual int numBins() const = 0;
    // Delay added by the canceller, in blocks.
    virtual int delay() const = 0;
    // Cancels one block: reads `mic` and `ref`, writes `nearend` and `echo`.
    virtual void process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                         blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) = 0;
    // Reserved one-argument hooks: empty in every canceller, nothing calls them.
    virtual void hook1(int32_t value) = 0;
    virtual void hook2(int32_t value) = 0;
};

}  // namespace velmora::aec
