#pragma once
// AECAlgorithm: the pipeline's handle on the echo canceller. Builds the canceller named by
// aec_algorithm (the pass-through whenever there is no reference channel), owns it and forwards
// the pipeline's calls to it. Unknown numbers and unmet constraints raise from the constructor.

#include <memory>

namespace velmora {
class Params;
}
namespace velmora::blas {
class ComplexMatrix;
}
namespace velmora::aec {
class AECInterface;
}

namespace velmora::mode {

class AECAlgorithm {
  public:
    AECAlgorithm(const Params* params, int numbins);
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

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
