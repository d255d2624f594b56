#pragma once
// DRBypass: the dereverberator that leaves every block as it is (dr_algorithm 0). Delay 0.

#include <memory>

#include "dr/DRInterface.h"

namespace velmora::dr {

class DRBypass : public DRInterface {
  public:
    DRBypass(int numchs, int numbins);
    ~DRBypass() override;
    DRBypass(const DRBypass&) = delete;
    DRBypass& operator=(const DRBypass&) = delete;

    int numChannels() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    void process(blas::ComplexMatrix*) override {}
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::dr
