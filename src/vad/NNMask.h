#pragma once
// NNMask: the slot for a neural time-frequency mask estimator (see ns/MaskModel.h for the model
// interface; the model lives in vad_model_base). Per block the feature is
// log(|32768 x0[k]|^2 + 1e-6) of microphone 0 over 160 bins; speechProbability(n, k) is mask[k],
// times pilot[n] when a pilot vector is given. With this build's model the mask stays zero, so
// every probability is 0.

#include <memory>

#include "vad/VADInterface.h"

namespace velmora::blas {
class Vector;
}

namespace velmora::vad {

class NNMask : public VADInterface {
  public:
    // `pilot` (not owned) may be null: one output then. The model's mask has 160 bins.
    NNMask(const char* modelbase, int nummics, const blas::Vector* pilot);
    ~NNMask() override;
    NNMask(const NNMask&) = delete;
    NNMask& operator=(const NNMask&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void process(const blas::ComplexMatrix* data) override;
    float speechProbability(int n, int k) const override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    // The last block's feature (160 values).
    const float* feature() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::vad
