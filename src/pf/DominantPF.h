#pragma once
// DominantPF: per channel, a two-state level model (CHMM on the smoothed block level in dB)
// decides whether the channel carries speech. Once a channel has been locked and its wait of
// waitBlocks (from `pf_wait`) has run out, it is attenuated by `pf_level` whenever the model has
// seen no speech for more than timeoutBlocks blocks (from `pf_timeout`). Unlocked channels are
// never touched. The first 100 blocks are a warm-up that seeds the models. Delay 0.

#include <memory>

#include "pf/PFInterface.h"

namespace velmora {
class Params;
}

namespace velmora::pf {

class DominantPF : public PFInterface {
  public:
    // Reads numouts, fsout, block_size, pf_level, pf_wait, pf_timeout, vad_minsnr,
    // vad_noise_minvar and vad_target_minvar.
    explicit DominantPF(const Params* params);
    ~DominantPF() override;
    DominantPF(const DominantPF&) = delete;
    DominantPF& operator=(const DominantPF&) = delete;

    int numChannels() const override;
    // int(fsout x block_size).
    int numBins() const override;
    int delay() const override { return 0; }
    void process(blas::ComplexMatrix* data) override;
    // Locks channel n and starts its wait; blocks is ignored.
    void lock(int n, const float* blocks) override;
    void unlock(int n) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::pf
