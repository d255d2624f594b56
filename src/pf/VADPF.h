#pragma once
// VADPF: attenuates every channel of the block by `pf_level` once the detector's mean speech
// probability of output 0 has stayed below 0.5 for more than timeoutBlocks blocks (from
// `pf_timeout`); a block with probability >= 0.5 restarts the hang-over. A level of exactly 1
// makes it a pass-through. The detector is consulted, never owned. Delay 0; locks are ignored.

#include <memory>

#include "pf/PFInterface.h"

namespace velmora {
class Params;
}
namespace velmora::vad {
class VADInterface;
}

namespace velmora::pf {

class VADPF : public PFInterface {
  public:
    // Reads numouts, block_size, pf_timeout and pf_level; `vad` must outlive this object.
    VADPF(const Params* params, vad::VADInterface* vad);
    ~VADPF() override;
    VADPF(const VADPF&) = delete;
    VADPF& operator=(const VADPF&) = delete;

    int numChannels() const override;
    // The detector's bin count.
    int numBins() const override;
    int delay() const override { return 0; }
    void process(blas::ComplexMatrix* data) override;
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::pf
