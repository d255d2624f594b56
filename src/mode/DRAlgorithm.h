#pragma once
// DRAlgorithm: the pipeline's handle on the dereverberator. Builds the dereverberator named by
// dr_algorithm, owns it and forwards the pipeline's calls (and the two reserved hooks) to it.
// An unknown number raises from the constructor.

#include <cstdint>
#include <memory>

namespace velmora {
class Params;
}
namespace velmora::blas {
class ComplexMatrix;
}
namespace velmora::dr {
class DRInterface;
}

namespace velmora::mode {

class DRAlgorithm {
  public:
    DRAlgorithm(const Params* params, int numbins);
    ~DRAlgorithm();
    DRAlgorithm(const DRAlgorithm&) = delete;
    DRAlgorithm& operator=(const DRAlgorithm&) = delete;

    int numChannels() const;
    int numBins() const;
    // Delay added, in blocks.
    int delay() const;
    // Dereverberates `block` in place.
    void process(blas::ComplexMatrix* block);
    void hook1(int32_t value);
    void hook2(int32_t value);

    // The dereverberator itself (owned by this selector).
    dr::DRInterface* stage();

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
