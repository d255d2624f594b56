#pragma once
// PilotVAD: speech probabilities handed in from outside the engine, one "pilot" value per output
// (the facade refreshes the vector from the caller or from pilot audio channels before each
// block). speechProbability(n, k) is whatever pilot[n] holds when asked, in every bin.

#include <memory>

#include "vad/VADInterface.h"

namespace velmora::blas {
class Vector;
}

namespace velmora::vad {

class PilotVAD : public VADInterface {
  public:
    // The pilot vector is not owned; its size is the number of outputs.
    PilotVAD(int nummics, int numbins, const blas::Vector* pilot);
    ~PilotVAD() override;
    PilotVAD(const PilotVAD&) = delete;
    PilotVAD& operator=(const PilotVAD&) = delete;

    int numMics() const override { return numMics_; }
    int numOuts() const override;
    int numBins() const override { return numBins_; }
    int delay() const override { return 0; }
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void process(const blas::ComplexMatrix*) override {}
    float speechProbability(int n, int k) const override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    int numMics_;
    int numBins_;
    const blas::Vector* pilot_;
};

}  // namespace velmora::vad
