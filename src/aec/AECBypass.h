#pragma once
// AECBypass: the echo canceller that cancels nothing, built for aec_algorithm 0 and whenever
// there is no reference channel. The near-end output is the microphone block itself; the echo
// estimate is never written, so it keeps whatever the caller left in it. Delay 0.

#include <memory>

#include "aec/AECInterface.h"

namespace velmora::aec {

class AECBypass : public AECInterface {
  public:
    AECBypass(int nummics, int numrefs, int numbins);
    ~AECBypass() override;
    AECBypass(const AECBypass&) = delete;
    AECBypass& operator=(const AECBypass&) = delete;

    int numMics() const override;
    int numRefs() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    // Copies `mic` into `nearend` (unless they are the same matrix); `ref` and `echo` unused.
    void process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                 blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::aec
