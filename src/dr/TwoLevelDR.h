#pragma once
// TwoLevelDR: two-level dereverberator (dr_algorithm 2). Each channel's current spectrum is
// predicted from its own blocks at least two blocks old and the prediction is subtracted. Per
// bin, the prediction filter across blocks (L taps) is estimated in a second frequency analysis
// of the bin's block sequence: the last E = max(2, next power of two >= 2 L) blocks of the input
// and of the input delayed by two blocks are windowed (root Hann) and transformed, one
// AuxIVADR per bin (forgetting 0.99, one weight per channel and update) relates them, and the
// inverse transform of its coefficients gives the taps of a DRFilter; K / 16 bins are
// re-estimated per block, cyclically. The filter predicts the previous block from the blocks
// before it; a final per-bin AuxIVADR (forgetting 0.995) removes what remains using the input
// three blocks old. In place, output delayed by one block (the first output block is zero).

#include <memory>

#include "dr/DRInterface.h"

namespace velmora::dr {

class AuxIVADR;
class DRFilter;

class TwoLevelDR : public DRInterface {
  public:
    // Largest filter length in blocks (2.56 s of reverberation at 10 ms blocks).
    static constexpr int kMaxTaps = 256;
    // aflen: filter length in blocks, 0 selects 16.
    TwoLevelDR(int numchs, int numbins, int aflen);
    ~TwoLevelDR() override;
    TwoLevelDR(const TwoLevelDR&) = delete;
    TwoLevelDR& operator=(const TwoLevelDR&) = delete;

    int numChannels() const override;
    int numBins() const override;
    int delay() const override { return 1; }
    void process(blas::ComplexMatrix* block) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    int taps() const;             // L
    int secondLevelSize() const;  // E
    int binsPerBlock() const;
    int nextBin() const;
    DRFilter* longFilter();
    const AuxIVADR* binCore(int k) const;
    const AuxIVADR* finalCore() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::dr
