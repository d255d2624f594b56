#pragma once
// PBFDKF: the time-domain echo canceller of aec_algorithm 300, a partitioned-block
// frequency-domain adaptive filter with a Kalman step (diagonal state covariances). The echo
// path from each reference to each microphone is an FIR filter of `partitions` x blockSize taps,
// cut into partitions of one block, each held as the 2B-point spectrum of its taps (overlap-save,
// B = blockSize). Per block:
//   - every reference is transformed once (its last 2B samples) and kept for `partitions`
//     blocks; the spectra and their powers are shared by all microphones;
//   - per microphone the echo estimate is the sum of the partition products, the residual its
//     difference to the microphone, and every partition moves by its Kalman gain:
//       mu_p(k) = P_p(k) / (sum_q |X_q(k)|^2 P_q(k) + 2 Psi(k)),  W_p += mu_p X_p* E,
//     where P_p is the uncertainty of partition p (shrinks as the filter learns, grows with the
//     assumed drift of the echo path while echo is heard) and Psi the power of what the filter
//     cannot explain (near-end speech and noise; the largest of the a-posteriori error power, a
//     share of the error power and the error power beyond what P explains). The step thus follows
//     the reference power block by block, is large while the filter is uncertain, and collapses
//     when the near end talks;
//   - the updates themselves are not constrained to B taps (that would cost two transforms per
//     partition); instead one partition per block, in turn, is trimmed to its B taps, which
//     clears the wrap-around that the unconstrained updates leave behind.
// Non-finite or absurd samples are taken as silence; a microphone whose input was not finite, or
// whose filter produced an absurd estimate, is restarted (a non-finite reference restarts all),
// so the output stays finite and the canceller learns again. Nothing is allocated per block.

#include <memory>

#include "aec/TDAECInterface.h"

namespace velmora::aec {

class PBFDKF : public TDAECInterface {
  public:
    // Longest filter in partitions (blocks).
    static constexpr int kMaxPartitions = 200;
    // Filter length in blocks when the configuration gives 0.
    static constexpr int kDefaultPartitions = 30;

    // nummics > 0, numrefs 1 or 2, blocksize 160, 320, 480 or 640, partitions 0 (the default)
    // to kMaxPartitions (asserted: the selector checks the configuration).
    PBFDKF(int nummics, int numrefs, int blocksize, int partitions);
    ~PBFDKF() override;
    PBFDKF(const PBFDKF&) = delete;
    PBFDKF& operator=(const PBFDKF&) = delete;

    int numMics() const override;
    int numRefs() const override;
    int blockSize() const override;
    int delay() const override { return 0; }
    int numPartitions() const;
    void process(float* block, int channels, float* echo) override;

    // Blocks in which microphone m was restarted after a non-finite input or an absurd estimate.
    long restarts(int m) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::aec
