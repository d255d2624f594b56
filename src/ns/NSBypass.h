#pragma once
// NSBypass: the suppressor that leaves every block unchanged, built for ns_algorithm 0 and
// whenever there is no reference channel. Locks are ignored. Delay 0.

#include <memory>

#include "ns/NSInterface.h"

namespace velmora::ns {

class NSBypass : public NSInterface {
  public:
    NSBypass(int numchs, int numrefs, int numbins);
    ~NSBypass() override;
    NSBypass(const NSBypass&) = delete;
    NSBypass& operator=(const NSBypass&) = delete;

    int numChannels() const override;
    int numRefs() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void process(blas::ComplexMatrix*, const blas::ComplexMatrix*,
                 const blas::ComplexMatrix*) override {}
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::ns
