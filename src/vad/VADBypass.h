#pragma once
// VADBypass: the detector that never detects speech (vad_algorithm 0): every speech probability
// is 0.0, there is no look direction (0.0), and blocks, look settings and locks are ignored.
// Delay 0.

#include <memory>

#include "vad/VADInterface.h"

namespace velmora::vad {

class VADBypass : public VADInterface {
  public:
    VADBypass(int nummics, int numouts, int numbins);
    ~VADBypass() override;
    VADBypass(const VADBypass&) = delete;
    VADBypass& operator=(const VADBypass&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void process(const blas::ComplexMatrix*) override {}
    float speechProbability(int, int) const override { return 0.0f; }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::vad
