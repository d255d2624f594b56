#pragma once
// PilotAuxIVA: online auxiliary-function IVA over N bins for M sources and M microphones, the
// core of the multichannel separating beamformers. Per source it keeps the inverse of the
// source's weighted covariance (updated by rank one per snapshot), the demixing matrix W (row s
// = conjugated filter of source s), its inverse A (the mixing estimate, kept exact by
// Sherman-Morrison after every row change) and Wpb, W with each row scaled by projection back
// (the filters used for output). The source weights phi come either from the caller (update)
// or from the demixed power, optionally mixed with a pilot probability per source (process).
// Bins whose state turns non-finite restart from the identity; a trace guard keeps the inverse
// covariances bounded.

#include <memory>

namespace velmora::blas {
class Vector;
class ComplexMatrix;
class ComplexTensor3;
}  // namespace velmora::blas

namespace velmora::bf {

class PilotAuxIVA {
  public:
    // targetprob (not owned, may be null) holds at most nummics pilot probabilities, read by
    // process() with weight pilotratio in [0, 1].
    PilotAuxIVA(int nummics, int numbins, float pilotratio = 0.0f,
                const blas::Vector* targetprob = nullptr);
    ~PilotAuxIVA();
    PilotAuxIVA(const PilotAuxIVA&) = delete;
    PilotAuxIVA& operator=(const PilotAuxIVA&) = delete;

    int numMics() const;
    int numBins() const;

    // One snapshot datain (numMics x numBins) with source weights phi (numMics values):
    // covariances forgotten by `forget`, one iterative-projection step per source, then
    // projection back onto the microphone of largest mixing gain (pbMax) or the source's own.
    void update(float forget, bool pbMax, const blas::Vector* phi,
                const blas::ComplexMatrix* datain);
    // dataout (optional, numMics x numBins) = Wpb datain with the previous filters; phi from the
    // demixed powers (and the pilot), then update().
    void process(float forget, bool pbMax, const blas::ComplexMatrix* datain,
                 blas::ComplexMatrix* dataout);

    const blas::ComplexTensor3* demixing() const;  // W
    const blas::ComplexTensor3* mixing() const;    // A = W^-1
    const blas::ComplexTensor3* filters() const;   // Wpb

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::bf
