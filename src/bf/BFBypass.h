#pragma once
// BFBypass: the beamformer that forms no beam (bf_algorithm 0, and always for one microphone):
// output n is microphone n unchanged, for the first numOuts() microphones. It has no look
// direction (0.0), no spatial data and ignores locks. Delay 0. Requires numOuts() <= numMics().

#include <memory>

#include "bf/BFInterface.h"

namespace velmora::bf {

class BFBypass : public BFInterface {
  public:
    BFBypass(int nummics, int numouts, int numbins);
    ~BFBypass() override;
    BFBypass(const BFBypass&) = delete;
    BFBypass& operator=(const BFBypass&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    void lock(int, const float*) override {}
    void unlock(int) override {}
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    // Copies the top-left numOuts() x numBins() block of `in` into `out`.
    void process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) override;
    blas::ComplexTensor3* sslData() override { return nullptr; }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::bf
