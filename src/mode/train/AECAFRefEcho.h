#pragma once
// AECAFRefEcho: training targets from an echo-cancelling front end (train_feature 4 and 5). Per
// block the microphone spectra go through the fixed pre-beamformer, the echo canceller, the
// detector, the agc_gain scaling and the beamformer; the suppressor selector (algorithm forced
// to 0) only delays the references and the echo estimate into step with the beamformer output.
// The rows written are: the O = numouts - nummics - numrefs beamformer outputs, the delayed
// references, and the first O rows of the delayed echo estimate. Feature 4 writes them as audio
// (synthesised, numouts channels, one hop per block); feature 5 writes the spectra times 32768,
// bin by bin: for bin k the real parts of all numouts rows, then their imaginary parts
// (2 x K frames per block).
// The rows add up to numouts only when O = nummics, so numouts must equal
// numrefs + 2 * nummics ("No. of output channels not match: %d, %d").

#include <memory>

#include "mode/train/Feature.h"

namespace velmora {
class Params;
}
namespace velmora::blas {
class Vector;
}

namespace velmora::mode {

class AECAFRefEcho : public Feature {
  public:
    // `pilots`: the pilot values of the facade, or null.
    AECAFRefEcho(const Params* params, blas::Vector* pilots);
    ~AECAFRefEcho() override;
    AECAFRefEcho(const AECAFRefEcho&) = delete;
    AECAFRefEcho& operator=(const AECAFRefEcho&) = delete;

    int numMics() override;
    int numRefs() override;
    int numOuts() override;
    int numBins() override;
    int blockLength() override;
    int delay() override;
    void process(const blas::ComplexMatrix* datain, float* out) override;
    // The assembled rows of the last block (numouts x K, before the x 32768 of feature 5).
    const blas::ComplexMatrix* spectra() override;
    const blas::Matrix* features() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
