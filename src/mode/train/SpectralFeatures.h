#pragma once
// Spec: spectral training features (train_feature 0 to 3) of every input channel. Per block the
// spectra of all nummics + numrefs channels are scaled and turned into one value per channel
// and bin:
//   0: |32768 X|^2           1: log10(|32768 X|^2 + 1)
//   2: |X|^2                 3: log10(|sqrt(32768) X|^2 + 1)
// written bin by bin (the bins stand in for frames): value (k, c) at k * numouts + c.
// numouts must equal nummics + numrefs.

#include <memory>

#include "mode/train/Feature.h"

namespace velmora {
class Params;
}

namespace velmora::mode {

class Spec : public Feature {
  public:
    Spec(const Params* params, int numbins);
    ~Spec() override;
    Spec(const Spec&) = delete;
    Spec& operator=(const Spec&) = delete;

    int numMics() override;
    int numRefs() override;
    int numOuts() override;
    int numBins() override;
    int blockLength() override;
    int delay() override;
    void process(const blas::ComplexMatrix* datain, float* out) override;
    const blas::ComplexMatrix* spectra() override;
    const blas::Matrix* features() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
