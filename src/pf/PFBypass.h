#pragma once
// PFBypass: the post-filter that leaves every block unchanged (pf_algorithm 0); locks are
// ignored. Delay 0.

#include <memory>

#include "pf/PFInterface.h"

namespace velmora::pf {

class PFBypass : public PFInterface {
  public:
    PFBypass(int numchs, int numbins);
    ~PFBypass() override;
    PFBypass(const PFBypass&) = delete;
    PFBypass& operator=(const PFBypass&) = delete;

    int numChannels() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    void process(blas::ComplexMatrix*) override {}
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::pf
