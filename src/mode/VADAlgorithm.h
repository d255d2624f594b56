#pragma once
// VADAlgorithm: the pipeline's handle on the voice-activity detector. Builds the detector named
// by vad_algorithm, owns it and forwards the pipeline's calls to it; adds vadValue(n), the mean
// speech probability of output n over all bins. The beamformer, localiser, suppressor and
// post-filter selectors receive this selector and hand its stage() to their stages, which
// consult the detector but never own it.

#include <memory>

namespace velmora {
class Params;
}
namespace velmora::blas {
class ComplexMatrix;
class Vector;
}  // namespace velmora::blas
namespace velmora::vad {
class VADInterface;
}

namespace velmora::mode {

class VADAlgorithm {
  public:
    // `pilots`: the pilot values handed in with the audio, or null when numpilots is 0.
    VADAlgorithm(const Params* params, int numbins, blas::Vector* pilots);
    // Adopts an already built detector (owned from now on).
    explicit VADAlgorithm(vad::VADInterface* stage);
    ~VADAlgorithm();
    VADAlgorithm(const VADAlgorithm&) = delete;
    VADAlgorithm& operator=(const VADAlgorithm&) = delete;

    int numMics() const;
    int numOuts() const;
    int numBins() const;
    // Delay of the decision, in blocks.
    int delay() const;
    float look(int n) const;
    void setLook(int n, float azimuth);
    void lock(int n, const float* blocks);
    void unlock(int n);
    void process(const blas::ComplexMatrix* block);
    float speechProbability(int n, int k) const;
    // Mean of speechProbability(n, k) over all bins k of the last block.
    float vadValue(int n) const;

    // The detector itself (owned by this selector).
    vad::VADInterface* stage();

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
