#pragma once
// KWSRESBatch: per-channel multi-frame Wiener filter whose interference statistics are taken,
// on demand, from the blocks that preceded a detected utterance. The last 200 input blocks are
// kept. lock(n, blocks) smooths (0.9) the L-block snapshots of channel n that are older than the
// last `blocks` blocks (default and limit 75) into its interference covariance and inverts it;
// from then on channel n is filtered with w = conj(first column of M) / (beta + Re tr M),
// M = Phi_n^-1 Phi_x, Phi_x following the input (0.9). Blocks whose first echo estimate is below
// -45 dB pass unchanged, as does every channel before its first lock; no output bin is louder
// than its input.
//
// With a voice-activity detector attached, a lock is also issued when a channel's speech
// probability (bin 0) falls below 0.5, with the count of blocks it stayed at or above 0.5.
// Absurd or non-finite input bins enter as silence; a non-finite covariance bin restarts.
// Nothing allocates after construction.

#include <memory>

#include "ns/NSInterface.h"

namespace velmora::vad {
class VADInterface;
}

namespace velmora::ns {

class KWSRESBatch : public NSInterface {
  public:
    static constexpr int kHistoryBlocks = 200;

    // flen >= 1 taps (at most 63), or 2 when flen is 0. vad may be null; it is not owned.
    KWSRESBatch(int numchs, int numrefs, int numbins, int flen, float beta, vad::VADInterface* vad);
    ~KWSRESBatch() override;
    KWSRESBatch(const KWSRESBatch&) = delete;
    KWSRESBatch& operator=(const KWSRESBatch&) = delete;

    int numChannels() const override;
    int numRefs() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    // n outside 0 .. numChannels() - 1 is ignored.
    void lock(int n, const float* blocks) override;
    void unlock(int) override {}
    void process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
                 const blas::ComplexMatrix* echo) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    // Whether channel n has an interference estimate (a lock happened).
    bool ready(int n) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::ns
