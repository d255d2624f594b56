#pragma once
// PilotPMWF (bf_algorithm 302, any number of microphones) and StereoPilotPMWF (200, two
// microphones): target extraction by a parametric multichannel Wiener filter steered by the
// voice-activity detector (the pilot). The input is delayed to line up with the detector's
// decisions; per bin and output, the block energy of microphone 0 split by the speech
// probability fills a target and an interference ring of F/2 blocks. Every bin's block sequence
// is transformed along blocks (F points); per refreshed bin (K/16 per block) one Wiener core
// (PMWF(M, outs, F, 0.99, beta) or StereoPMWF) is updated with the target covariance weighted by
// the interference energy^-0.9 and vice versa (StereoPilotPMWF: 1 / (sqrt(energy) + 0.01)), and
// its filters become Lc + D taps of a BlockMixer. Outputs start as microphone o delayed by D
// blocks. Look direction and lock go to the detector. Input bins that are NaN, infinite or absurd
// count as silence.

#include <memory>

#include "bf/BFInterface.h"

namespace velmora::vad {
class VADInterface;
}

namespace velmora::bf {

class PilotPMWF : public BFInterface {
  public:
    // fcausallen: Lc (16 when 0); beta >= 0; vad not owned, must outlive this object.
    PilotPMWF(int fcausallen, float beta, vad::VADInterface* vad);
    ~PilotPMWF() override;
    PilotPMWF(const PilotPMWF&) = delete;
    PilotPMWF& operator=(const PilotPMWF&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    int delay() const override;
    void lock(int, const float*) override {}
    void unlock(int) override {}
    float look(int n) const override;
    void setLook(int n, float azimuth) override;
    void process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) override;
    blas::ComplexTensor3* sslData() override { return nullptr; }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  protected:
    PilotPMWF(int fcausallen, float beta, vad::VADInterface* vad, bool stereo);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

class StereoPilotPMWF : public PilotPMWF {
  public:
    StereoPilotPMWF(int fcausallen, float beta, vad::VADInterface* vad);
};

}  // namespace velmora::bf
