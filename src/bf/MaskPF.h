#pragma once
// MaskPF: multiplies each delayed microphone channel by the detector's per-bin speech
// probability, out[i][k] = p(i, k) * x_i[k] delayed by the detector's delay, microphone i feeding
// output i. MaskPF runs the detector on every block itself (drivesDetector() of the selector),
// so pipelines that use it do not call the detector a second time on the same block.

#include <memory>

#include "bf/BFInterface.h"

namespace velmora::vad {
class VADInterface;
}

namespace velmora::bf {

class MaskPF : public BFInterface {
  public:
    // The detector is not owned; its numOuts() must not exceed its numMics().
    explicit MaskPF(vad::VADInterface* vad);
    ~MaskPF() override;
    MaskPF(const MaskPF&) = delete;
    MaskPF& operator=(const MaskPF&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    int delay() const override;
    void lock(int, const float*) override {}
    void unlock(int) override {}
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    void process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) override;
    blas::ComplexTensor3* sslData() override { return nullptr; }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::bf
