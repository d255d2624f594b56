#pragma once
// CSAECFDGeneral2: the per-microphone core of the dual-filter echo canceller. One instance
// cancels the echo of R (1 or 2) references in one microphone channel with a per-bin
// frequency-domain adaptive filter of L taps (W1) and a shadow filter (W2) that only takes over
// or hands back whole bins. Invariants: W2 changes only by copies and resets; the near-end
// output never carries more power than the microphone in any bin; nothing allocates after
// construction.

#include <memory>

namespace velmora::blas {
class ComplexMatrix;
class ComplexVector;
class Vector;
}  // namespace velmora::blas

namespace velmora::aec {

class CSAECFDGeneral2 {
  public:
    // fs: the nominal sampling rate behind the activity band and the countdowns; aflen: filter
    // length in blocks (0 selects 15).
    CSAECFDGeneral2(int fs, int numrefs, int aflen, int numbins);
    ~CSAECFDGeneral2();
    CSAECFDGeneral2(const CSAECFDGeneral2&) = delete;
    CSAECFDGeneral2& operator=(const CSAECFDGeneral2&) = delete;

    // The twelve parameters, in the order of the canceller's parameter vector.
    void setReserved(float value);  // accepted and ignored
    void setStepSize(float value);
    void setFrozenStep(float value);
    void setConvergenceDetect(int value);
    void setDualFilter(int value);
    void setTapProfile(int value);
    void setProfileMix(float value);
    void setUpdateLast(int value);
    void setIterations(int value);
    void setStepControl(int value);
    void setRegularisedStep(int value);
    void setRegularisation(float value);

    // One block: mic, nearend and echo hold K bins of one channel, ref is R x K. nearend may be
    // the same vector as mic.
    void process(const blas::ComplexVector* mic, const blas::ComplexMatrix* ref,
                 blas::ComplexVector* nearend, blas::ComplexVector* echo);

    // Read-only inspection of the state.
    int numRefs() const;
    int numBins() const;
    int taps() const;
    int bandLow() const;
    int bandHigh() const;
    float stepSize() const;
    int tapProfile() const;
    int updateLast() const;
    int iterations() const;
    bool refSeen() const;
    bool adapting() const;
    bool converged() const;
    int swapCount(int bin) const;
    const blas::ComplexMatrix* adaptive(int r) const;  // W1 of reference r, L x K
    const blas::ComplexMatrix* shadow(int r) const;    // W2 of reference r, L x K
    const blas::Vector* profile() const;
    const blas::Vector* outRatio() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::aec
