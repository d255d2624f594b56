#pragma once
// RETFAEC: echo canceller for an array with one full adaptive filter (aec_algorithm 202). A
// CSAECFDGeneral2 core with the level-0 preset of the default canceller cancels the echo of the
// first microphone from the references as given; the echo in every other microphone is that
// estimate times a per-bin relative echo transfer function, the ratio of the smoothed
// cross-spectrum conj(echo0) mic_i to the smoothed power |echo0|^2 (weight 0.002, a time
// constant of 500 blocks; a bin whose power is below 1e-6 uses the factor 1 instead of the
// inverse). Only the first microphone has the core's output limiter. Delay 0.

#include <memory>

#include "aec/AECInterface.h"

namespace velmora::blas {
class ComplexVector;
class Vector;
}  // namespace velmora::blas

namespace velmora::aec {

class CSAECFDGeneral2;

class RETFAEC : public AECInterface {
  public:
    // aflen: the core's filter length in blocks (0 selects 15), at most kMaxTaps.
    static constexpr int kMaxTaps = 1000;
    RETFAEC(int nummics, int numrefs, int numbins, int aflen);
    ~RETFAEC() override;
    RETFAEC(const RETFAEC&) = delete;
    RETFAEC& operator=(const RETFAEC&) = delete;

    int numMics() const override;
    int numRefs() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    // nearend may be the microphone block.
    void process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                 blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    const CSAECFDGeneral2* core() const;
    const blas::Vector* echoPower() const;
    // The smoothed cross-spectrum of microphone i (entry 0 stays zero).
    const blas::ComplexVector* crossSpectrum(int i) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::aec
