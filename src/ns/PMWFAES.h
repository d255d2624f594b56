#pragma once
// PMWFAES: multichannel multi-frame parametric Wiener filter against residual echo. The last L
// blocks of all N channels form one stacked snapshot of D = N L values per bin. Two covariances
// of it are smoothed (0.995): the near-end one weighted by max(echo power, 0.01)^-0.9 (small while
// the echo is loud) and the overall one weighted by max(input power, 0.01)^-0.9, kept as its
// inverse Q by rank-one updates. With M = Q Phi_s, channel i is filtered by
// conj(column i of M) / (beta + Re tr M) over the whole stack. No echo gate, no limiter.
//
// The two statistics differ only in how they weight the same snapshots, so with two or more taps
// the filter also mixes earlier blocks into the output (about 13 dB below the current one), which
// distorts the near end even without any echo. With one tap (ns_power 1) and one channel the
// filter is a real, slowly varying gain per bin that leaves a lone talker practically undistorted.
//
// Q grows without bound while the input is quiet (each update divides it by 0.995): a bin whose
// trace reaches 1e5 is scaled by 0.01, and a bin that went non-finite restarts from 1e5 I.
// Absurd or non-finite input bins enter as silence. Nothing allocates after construction.

#include <memory>

#include "ns/NSInterface.h"

namespace velmora::ns {

class PMWFAES : public NSInterface {
  public:
    // Most entries of the stacked snapshot (channels x taps).
    static constexpr int kMaxStack = 32;

    // flen >= 1 taps, or 2 when flen is 0; numchs * taps <= kMaxStack.
    PMWFAES(int numchs, int numrefs, int numbins, int flen, float beta);
    ~PMWFAES() override;
    PMWFAES(const PMWFAES&) = delete;
    PMWFAES& operator=(const PMWFAES&) = delete;

    int numChannels() const override;
    int numRefs() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    void lock(int, const float*) override {}
    void unlock(int) override {}
    // `ref` is not used.
    void process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
                 const blas::ComplexMatrix* echo) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::ns
