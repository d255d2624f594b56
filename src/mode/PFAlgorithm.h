#pragma once
// PFAlgorithm: the pipeline's handle on the post-filter. Builds the post-filter named by
// pf_algorithm on the detector's bins, locks every channel at start when bf_islocked is set,
// owns the post-filter and forwards the pipeline's calls (and the two reserved hooks) to it.
// An unknown number raises from the constructor.

#include <cstdint>
#include <memory>

namespace velmora {
class Params;
}
namespace velmora::blas {
class ComplexMatrix;
}
namespace velmora::pf {
class PFInterface;
}

namespace velmora::mode {

class VADAlgorithm;

class PFAlgorithm {
  public:
    // `vad`: the detector selector (not owned).
    PFAlgorithm(const Params* params, VADAlgorithm* vad);
    // Adopts an already built post-filter (owned from now on), then locks it as the other
    // constructor does.
    PFAlgorithm(const Params* params, pf::PFInterface* stage);
    ~PFAlgorithm();
    PFAlgorithm(const PFAlgorithm&) = delete;
    PFAlgorithm& operator=(const PFAlgorithm&) = delete;

    int numChannels() const;
    // Delay added, in blocks.
    int delay() const;
    // Filters `block` in place.
    void process(blas::ComplexMatrix* block);
    void lock(int n, const float* blocks);
    void unlock(int n);
    void hook1(int32_t value);
    void hook2(int32_t value);

    // The post-filter itself (owned by this selector).
    pf::PFInterface* stage();

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
    void start(const Params* params);
};

}  // namespace velmora::mode
