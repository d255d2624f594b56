#pragma once
// AuxIVACore: what the three single-tap echo estimators (AuxIVAAECMono, AuxIVAAECStereo,
// AuxIVAAEC) share: the counts, the per-bin forgetting factors and weights, the coefficients W,
// the cancellation with the L1 output limiter, the auxiliary weights and the offset copy of the
// references. A derived class supplies only its correlation statistics and how W follows from
// them. Internal to the echo cancellers.

#include "aec/AECCore.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"

namespace velmora::aec {

// The auxiliary-function weight of a residual power p for forgetting factor `forget`.
float auxWeight(float p, float forget);

class AuxIVACore : public AECCore {
  public:
    ~AuxIVACore() override;
    int numMics() const override { return numMics_; }
    int numRefs() const override { return numRefs_; }
    int numBins() const override { return numBins_; }
    const blas::ComplexTensor3* filter() const override { return &W_; }
    void process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                 blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    bool perBin() const { return perBin_; }
    const blas::Vector* forget() const { return &forget_; }
    // The weights of the last block (for the Mono core: those of the last microphone).
    const blas::Vector* weights() const { return &weights_; }

  protected:
    AuxIVACore(int nummics, int numrefs, int numbins, float forget, bool perBin);
    // Checks the constructor's arguments before any storage is sized by them; returns nummics.
    static int checkArguments(int nummics, int numbins, float forget);
    // Weights from the residual rows m0 .. m1 - 1 of the last block into weights_.
    void computeWeights(int m0, int m1);
    // Updates the statistics with the weights, `mic` and the offset references (refs_), and
    // sets W from them.
    virtual void update(const blas::ComplexMatrix* mic) = 0;
    // Restores bin k's statistics to their initial values and its coefficients to zero.
    virtual void resetBin(int k) = 0;
    void clearFilterBin(int k);

    int numMics_, numRefs_, numBins_;
    bool perBin_;
    blas::Vector forget_;
    blas::Vector weights_;
    blas::ComplexTensor3 W_;        // M x R x K
    blas::ComplexMatrix refs_;      // the references with the offset on rows 1 .. R - 1
    blas::ComplexMatrix residual_;  // M x K, limited near end of the current block
    blas::ComplexMatrix estimate_;  // M x K, echo estimate of the current block
};

}  // namespace velmora::aec
