#pragma once
// KWSMVDR: single-output MVDR beamformer over a stack of the last P blocks of all M
// microphones, whose noise statistics come only from the blocks that preceded a keyword.
//
// Until the first lock() the output is the fixed sum 1/sqrt(M) * sum_m x_m of the current block.
// lock(n, blocks) adds every P-block stack of the 200-block history that is older than the last
// `blocks` blocks (the keyword, default and limit 150) to the noise covariance Phi and restarts
// the weight sweep: each block refreshes K/32 bins, so all weights are new 32 blocks after a
// lock. The weights are w = Phi^-1 d / (d^H Phi^-1 d), d = 1/sqrt(M) on the newest block's
// microphones, so the component along the fixed sum passes undistorted and the noise seen
// before the keyword is minimised.
//
// Absurd or non-finite input bins enter the history as silence; a bin of Phi that went
// non-finite starts over from zero, and a bin whose inverse fails keeps its previous weights.
// Nothing allocates after construction.

#include <memory>

#include "bf/BFInterface.h"

namespace velmora::bf {

class KWSMVDR : public BFInterface {
  public:
    // Blocks of history kept, and the most microphones x taps the stack may have (the per-bin
    // Hermitian inverse works on at most this order).
    static constexpr int kHistoryBlocks = 200;
    static constexpr int kMaxStack = 63;

    // taps <= 0 means 4; nummics * taps must not exceed kMaxStack.
    KWSMVDR(int nummics, int numbins, int taps);
    ~KWSMVDR() override;
    KWSMVDR(const KWSMVDR&) = delete;
    KWSMVDR& operator=(const KWSMVDR&) = delete;

    int numMics() const override;
    int numOuts() const override { return 1; }
    int numBins() const override;
    int delay() const override { return 0; }
    // n is ignored; blocks: the keyword's length in blocks (null: 150, limited to 150).
    void lock(int n, const float* blocks) override;
    void unlock(int) override {}
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    void process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) override;
    blas::ComplexTensor3* sslData() override { return nullptr; }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    int numTaps() const;
    // Whether the sweep has refreshed every bin since the last lock.
    bool sweepDone() const;

  private:
    void computeWeights(int bin);

    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::bf
