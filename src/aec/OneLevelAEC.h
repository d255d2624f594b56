#pragma once
// OneLevelAEC: echo canceller with one multi-tap filter across blocks per bin (aec_algorithm
// 101). Per bin, the echo in every microphone is the sum over the references and the last L
// blocks of coefficient times reference value; the coefficients follow a recursive weighted
// least-squares fit (forgetting 0.995) whose per-bin weights are the auxiliary-function weights
// (1 - 0.995) (p + 0.01)^-0.9 of the residual power p summed over the microphones, so blocks
// with a strong near end (double talk) barely move the filters. The inverse weighted
// correlation Q of the stacked references (R L x R L per bin) starts at 100000 times the
// identity; a bin whose trace of Q runs above that initial trace (100000 R L: directions the
// references no longer excite grow by 1 / 0.995 per block) has Q (and with it the filter)
// scaled by 0.01.
// The near-end output never has a larger L1 magnitude than the microphone in any bin. Delay 0;
// nothing allocates after construction.

#include <memory>

#include "aec/AECInterface.h"

namespace velmora::blas {
class ComplexTensor3;
}

namespace velmora::aec {

class OneLevelAEC : public AECInterface {
  public:
    // Largest product of references and taps (the per-bin correlation is its square).
    static constexpr int kMaxStackedTaps = 128;
    // aflen: filter length in blocks, 0 selects 16. numrefs * taps must not exceed
    // kMaxStackedTaps.
    OneLevelAEC(int nummics, int numrefs, int numbins, int aflen);
    ~OneLevelAEC() override;
    OneLevelAEC(const OneLevelAEC&) = delete;
    OneLevelAEC& operator=(const OneLevelAEC&) = delete;

    int numMics() const override;
    int numRefs() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    // nearend and echo may be the microphone block itself.
    void process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                 blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    int taps() const;
    // The coefficients, M x R L x K (column j = l R + r: reference r, l blocks old).
    const blas::ComplexTensor3* filter() const;
    // The inverse weighted correlation, R L x R L x K.
    const blas::ComplexTensor3* inverseCorrelation() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::aec
