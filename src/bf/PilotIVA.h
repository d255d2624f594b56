#pragma once
// PilotIVA (bf_algorithm 501): target extraction by two-level online IVA whose first sources are
// steered by the voice-activity detector. The input is delayed to line up with the detector's
// decisions; per bin and output the speech probability fills a ring of F/2 blocks whose mean is
// the pilot of that output's source; per refreshed bin (D bins per block) a PilotAuxIVA with
// pilot ratio 1 separates the bin's second-level spectrum, so source o's weight follows the
// detector's probability for output o (times the block energy of microphone 0) and output o
// carries the target that the detector looks at. Projection back onto the microphone of largest
// gain; the filters become Lc + D taps of a BlockMixer. sslData() is formed on request from every
// bin's mixing estimate (lag window +-D). Look direction goes to the detector. Input bins that are
// NaN, infinite or absurd count as silence.

#include <memory>

#include "bf/BFInterface.h"

namespace velmora::vad {
class VADInterface;
}

namespace velmora::bf {

class PilotIVA : public BFInterface {
  public:
    // fcausallen: Lc (16 when 0); pilotratio in [0, 1]; vad not owned, must outlive this object
    // and have at most as many outputs as microphones.
    PilotIVA(int fcausallen, float pilotratio, vad::VADInterface* vad);
    ~PilotIVA() override;
    PilotIVA(const PilotIVA&) = delete;
    PilotIVA& operator=(const PilotIVA&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    int delay() const override;
    void lock(int, const float*) override {}
    void unlock(int) override {}
    float look(int n) const override;
    void setLook(int n, float azimuth) override;
    void process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) override;
    // numMics x numOuts x numBins mixing estimates of the output sources.
    blas::ComplexTensor3* sslData() override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::bf
