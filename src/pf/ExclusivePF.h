#pragma once
// ExclusivePF: attenuates each channel that is neither loud (own level at least `pf_res_floor`
// dB) nor dominant (own level at least `pf_speech_minsnr` dB above the mean of the others) by
// `pf_level`, once that has lasted more than timeoutBlocks blocks (from `pf_timeout`); every
// channel keeps its own hang-over counter. With one channel only the loudness test applies.
// A level of exactly 1 makes it a pass-through. Delay 0; locks are ignored.

#include <memory>

#include "pf/PFInterface.h"

namespace velmora {
class Params;
}

namespace velmora::pf {

class ExclusivePF : public PFInterface {
  public:
    // Reads numouts, fsout, block_size, pf_timeout, pf_level, pf_res_floor, pf_speech_minsnr.
    explicit ExclusivePF(const Params* params);
    ~ExclusivePF() override;
    ExclusivePF(const ExclusivePF&) = delete;
    ExclusivePF& operator=(const ExclusivePF&) = delete;

    int numChannels() const override;
    // int(fsout x block_size).
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
