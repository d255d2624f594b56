#pragma once
// PWFRES: per-channel multi-frame parametric Wiener filter against the residual echo left by the
// echo canceller. Each channel and bin keeps the last L near-end and echo-estimate blocks and
// their smoothed L x L covariances, and filters the near-end history with
// w = (Phi_e^-1 Phi_x) u0 / (beta + tr(Phi_e^-1 Phi_x)). Blocks whose echo estimate (first
// channel) is below -45 dB pass unchanged; no output bin is ever louder than its input.

#include <memory>

#include "ns/NSInterface.h"

namespace velmora::ns {

class PWFRES : public NSInterface {
  public:
    // flen >= 1 taps, or 2 when flen is 0; beta >= 0 trades echo removal (larger) against
    // near-end distortion.
    PWFRES(int numchs, int numrefs, int numbins, int flen, float beta);
    ~PWFRES() override;
    PWFRES(const PWFRES&) = delete;
    PWFRES& operator=(const PWFRES&) = delete;

    int numChannels() const override;
    int numRefs() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    void lock(int, const float*) override {}
    void unlock(int) override {}
    // `ref` is not used; `echo` holds the echo estimate of the numChannels() channels.
    void process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
                 const blas::ComplexMatrix* echo) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    // Number of taps L actually used.
    int numTaps() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::ns
