#pragma once
// TwoLevelAEC: echo canceller for long echo paths (aec_algorithm 100). Per bin, the echo path
// across blocks (L taps) is estimated in a second frequency analysis of the bin's block
// sequence: the last E = max(2, next power of two >= 2 L) blocks of every microphone and
// reference at that bin are windowed (root Hann) and transformed, one single-tap
// auxiliary-function estimator per bin (AuxIVAAECMono, AuxIVAAECStereo or AuxIVAAEC by the
// reference count; forgetting 0.99, one weight per update) relates them, and the inverse
// transform of its coefficients gives the taps (lags -1 .. L - 1 blocks) of a BlockMixer that
// filters the references every block. K / 16 bins are re-estimated per block, cyclically. The
// microphone, delayed by one block to give the filter its one block of look-ahead, minus the
// long-filter echo goes through a final single-tap estimator over the K bins (forgetting 0.995,
// per-bin weights) against the reference delayed likewise. Output lags the input by one block.
// The near end never has a larger L1 magnitude than that residual in any bin.

#include <memory>

#include "aec/AECInterface.h"

class BlockMixer;

namespace velmora::aec {

class AECCore;

class TwoLevelAEC : public AECInterface {
  public:
    // Largest filter length in blocks (2.56 s of echo tail at 10 ms blocks).
    static constexpr int kMaxTaps = 256;
    // aflen: filter length in blocks, 0 selects 16.
    TwoLevelAEC(int nummics, int numrefs, int numbins, int aflen);
    ~TwoLevelAEC() override;
    TwoLevelAEC(const TwoLevelAEC&) = delete;
    TwoLevelAEC& operator=(const TwoLevelAEC&) = delete;

    int numMics() const override;
    int numRefs() const override;
    int numBins() const override;
    int delay() const override { return 1; }
    void process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                 blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    int taps() const;             // L
    int secondLevelSize() const;  // E
    int binsPerBlock() const;
    int nextBin() const;
    const AECCore* binCore(int k) const;
    const AECCore* finalCore() const;
    BlockMixer* mixer();

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::aec
