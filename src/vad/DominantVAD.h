#pragma once
// DominantVAD: voice activity from the level of microphone 0. Per block
// d = max(10 log10(K * sum_k |x0[k]|^2), -75) dB; the first 100 blocks are a warm-up whose mean
// level becomes the noise state (mean, 10) and mean + minsnr the speech state (.., 20) of a
// two-state model (CHMM, configured like the spatial detector's); afterwards the level is smoothed
// (0.9 / 0.1) and the model's speech posterior is the probability, the same for every bin.
// During the warm-up the probability is 0.8. Non-finite or absurd bins count as silence.

#include <memory>

#include "vad/VADInterface.h"

namespace velmora {
class Params;
}

namespace velmora::vad {

class CHMM;

class DominantVAD : public VADInterface {
  public:
    // Reads nummics, vad_minsnr, vad_noise_minvar, vad_target_minvar.
    DominantVAD(const Params* params, int numbins);
    ~DominantVAD() override;
    DominantVAD(const DominantVAD&) = delete;
    DominantVAD& operator=(const DominantVAD&) = delete;

    int numMics() const override;
    int numOuts() const override { return 1; }
    int numBins() const override;
    // 5 blocks at 160 bins, 2 at 320, otherwise 1.
    int delay() const override;
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void process(const blas::ComplexMatrix* data) override;
    float speechProbability(int n, int k) const override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    const CHMM* model() const;
    // The model's diagnostic print on standard output.
    void print() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::vad
