#pragma once
// AECAlgorithm: the pipeline's handle on the echo canceller. Builds the canceller named by
// aec_algorithm (the pass-through whenever there is no reference channel), owns it and forwards
// the pipeline's calls to it. Unknown numbers and unmet constraints raise from the constructor.
// aec_algorithm 300 is a time-domain canceller (timeDomain()) that the pipeline runs ahead of
// its analysis (mode/TDEchoSlot); the subband stage is then the pass-through.

#include <memory>

namespace velmora {
class Params;
}
namespace velmora::blas {
class ComplexMatrix;
}
namespace velmora::aec {
class AECInterface;
class TDAECInterface;
}  // namespace velmora::aec

namespace velmora::mode {

class AECAlgorithm {
  public:
    // `timeDomainMics`: microphones of the time-domain block (ahead of a pre-beamformer that
    // changes the count); -1 means params->nummics. The block size of a time-domain canceller
    // is `numbins` (the banks have one bin per sample of the hop).
    AECAlgorithm(const Params* params, int numbins, int timeDomainMics = -1);
    ~AECAlgorithm();
    AECAlgorithm(const AECAlgorithm&) = delete;
    AECAlgorithm& operator=(const AECAlgorithm&) = delete;

    int numMics() const;
    int numRefs() const;
    int numBins() const;
    // Delay added by the canceller, in blocks.
    int delay() const;
    // `ref` may be null when there are no references.
    void process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                 blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo);

    // The canceller itself (owned by this selector).
    aec::AECInterface* stage();
    // The time-domain canceller (aec_algorithm 300), or null. The pipeline must run it
    // (TDEchoSlot); a pipeline that cannot refuses the configuration.
    aec::TDAECInterface* timeDomain();

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
