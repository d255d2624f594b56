#pragma once
// TwoLevelIVA: blind separation of M microphones into M outputs (bf_algorithm 500) by online
// auxiliary-function IVA on two levels. Every bin's block sequence is transformed again along
// blocks (F points), one PilotAuxIVA per bin separates in that domain with source weights from
// the full-band output powers of the last F/2 blocks, and the projection-back filters become
// Lc + D taps per bin of a BlockMixer; K/16 bins are refreshed per block. Mode (bf_level
// truncated): 0 projection back onto the source's own microphone, 1 onto the microphone of
// largest gain, 2 each bin separated on its own (weights from its own outputs) and an across-bin
// core on the mixer's output aligning the permutations. Any other mode acts as 0. With sslflag the
// lag-window sums of the mixing estimates are kept for PostSRP in sslData(). Input bins that are
// NaN, infinite or absurd count as silence.

#include <memory>

#include "bf/BFInterface.h"

namespace velmora::bf {

class TwoLevelIVA : public BFInterface {
  public:
    TwoLevelIVA(int nummics, int numbins, int fcausallen, int mode, bool sslflag);
    ~TwoLevelIVA() override;
    TwoLevelIVA(const TwoLevelIVA&) = delete;
    TwoLevelIVA& operator=(const TwoLevelIVA&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    int delay() const override;
    void lock(int, const float*) override {}
    void unlock(int) override {}
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    void process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) override;
    // numMics x numOuts x numBins mixing estimates (zero without sslflag).
    blas::ComplexTensor3* sslData() override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::bf
