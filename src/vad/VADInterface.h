#pragma once
// VADInterface: a voice-activity detector. It consumes the microphone block (numMics() x
// numBins(), unmodified) and reports, per output and bin, the probability that the target talker
// is active in the last processed block; it also holds the look direction shared by the spatial
// stages. The virtual slots keep this order (look/setLook before lock/unlock); every detector
// overrides all of them.

#include <cstdint>

namespace velmora::blas {
class ComplexMatrix;
}

namespace velmora::vad {

class VADInterface {
  public:
    virtual ~VADInterface() = default;
    virtual int numMics() const = 0;
    virtual int numOuts() const = 0;
    virtual int numBins() const = 0;
    // Delay of the decision, in blocks.
    virtual int delay() const = 0;
    // Look direction (azimuth, degrees) of output n; 0.0 if none.
    virtual float look(int n) const = 0;
    virtual void setLook(int n, float azimuth) = 0;
    // Target of output n confirmed over the last *blocks blocks (null: the default length).
    virtual void lock(int n, const float* blocks) = 0;
    virtual void unlock(int n) = 0;
    virtual void process(const blas::ComplexMatrix* data) = 0;
    // Probability in [0, 1] that the target of output n is active in bin k.
    virtual float speechProbability(int n, int k) const = 0;
    // Reserved one-argument hooks: empty in every detector, nothing calls them.
    virtual void hook1(int32_t value) = 0;
    virtual void hook2(int32_t value) = 0;
};

}  // namespace velmora::vad
