#pragma once
// StereoIVA (bf_algorithm 402) and StereoIVAV4 (403): blind separation of two microphones into
// two outputs by two-level online IVA with the closed-form two-source core StereoAuxIVA per bin
// (F-point second-level transform along blocks, Lc + D taps per bin in a BlockMixer, K/16 bins
// refreshed per block, loading 1e-5, forget 0.99, covariances starting at 1e-5 I).
// StereoIVA mode (bf_level truncated): 0 and 1 weight every bin's core by the full-band output
// powers of the last F/2 blocks and project back onto the source's own microphone (0) or the one
// of larger gain (1); 3 leaves the rows unscaled; 2 separates each bin on its own (weights from
// its own outputs) and aligns the permutations with an across-bin StereoAuxIVA on the mixer's
// output (forget 0.998, projection onto the larger gain).
// StereoIVAV4 always works as mode 2, with loading bf_level (0.0001 when bf_level is 0).
// With sslflag, sslData() holds per bin the lag-window (+-1 block) sums of the inverse demixing
// filters (times the across-bin mixing estimate in the two-level forms) for PostSRP.
// Input bins that are NaN, infinite or absurd count as silence.

#include <memory>

#include "bf/BFInterface.h"

namespace velmora::bf {

class StereoIVA : public BFInterface {
  public:
    StereoIVA(int numbins, int fcausallen, float level, bool sslflag);
    ~StereoIVA() override;
    StereoIVA(const StereoIVA&) = delete;
    StereoIVA& operator=(const StereoIVA&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    int delay() const override;
    void lock(int, const float*) override {}
    void unlock(int) override {}
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    void process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) override;
    blas::ComplexTensor3* sslData() override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  protected:
    // twoLevel: per-bin cores on their own plus the across-bin core; type: projection back of
    // the per-bin cores when not two-level.
    StereoIVA(int numbins, int fcausallen, bool twoLevel, float loading, int type, bool sslflag);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

class StereoIVAV4 : public StereoIVA {
  public:
    StereoIVAV4(int numbins, int fcausallen, float level, bool sslflag);
};

}  // namespace velmora::bf
