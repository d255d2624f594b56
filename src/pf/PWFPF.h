#pragma once
// PWFPF: a per-channel parametric multi-frame Wiener filter over the last L blocks. The
// interference reference of channel i is the sum of the other channels; per bin it tracks the
// input covariance and the inverse interference covariance (rank-one updates, no matrix
// inverse) and filters the channel with w = Pn Phi_x e_0 / (trace(Pn Phi_x) + beta). The
// statistics are updated on every block; the filter output replaces the block only while locked,
// otherwise the block passes unchanged. Delay 0.

#include <memory>

#include "pf/PFInterface.h"

namespace velmora::pf {

class PWFPF : public PFInterface {
  public:
    // numchs channels of numbins bins; pflen blocks of history (2 when below 1); beta >= 0 is
    // the Wiener over-subtraction term.
    PWFPF(int numchs, int numbins, int pflen, float beta);
    ~PWFPF() override;
    PWFPF(const PWFPF&) = delete;
    PWFPF& operator=(const PWFPF&) = delete;

    int numChannels() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    void process(blas::ComplexMatrix* data) override;
    // One flag for all channels: n and blocks are ignored.
    void lock(int n, const float* blocks) override;
    void unlock(int n) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::pf
