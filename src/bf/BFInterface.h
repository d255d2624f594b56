#pragma once
// BFInterface: a beamformer or source separator turning a numMics() x numBins() spectral block
// into a separate numOuts() x numBins() block. Look directions are azimuths in degrees, 0.0 when
// the beamformer has no notion of direction. The virtual slots keep this order (lock/unlock
// before look/setLook); every beamformer overrides all of them.

#include <cstdint>

namespace velmora::blas {
class ComplexMatrix;
class ComplexTensor3;
}  // namespace velmora::blas

namespace velmora::bf {

class BFInterface {
  public:
    virtual ~BFInterface() = default;
    virtual int numMics() const = 0;
    virtual int numOuts() const = 0;
    virtual int numBins() const = 0;
    // Extra algorithmic delay in blocks (0 for a memoryless spatial filter).
    virtual int delay() const = 0;
    // The target of output n has just been confirmed and occupied the last *blocks blocks
    // (null: the beamformer's own default length).
    virtual void lock(int n, const float* blocks) = 0;
    virtual void unlock(int n) = 0;
    virtual float look(int n) const = 0;
    virtual void setLook(int n, float azimuth) = 0;
    // Filters one block: `in` numMics() x numBins(), `out` numOuts() x numBins().
    virtual void process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) = 0;
    // Per-bin spatial data (numMics() x numOuts() x numBins()) for the post-beamforming
    // localiser, or null when the beamformer provides none.
    virtual blas::ComplexTensor3* sslData() = 0;
    // Reserved one-argument hooks: empty in every beamformer, nothing calls them.
    virtual void hook1(int32_t value) = 0;
    virtual void hook2(int32_t value) = 0;
};

}  // namespace velmora::bf
