#pragma once
// AuxIVAAEC: the single-tap echo estimator for any number of references. Per bin it keeps the
// weighted cross-correlation G = sum s mic ref^H (M x R) and the inverse Q of the weighted
// reference covariance (R x R, started at 100000 times the identity), updated by the matrix
// inversion lemma; a bin whose trace of Q runs above that initial trace (100000 R) has Q scaled
// by 0.01 (a guard for quiet references). W = G Q. References after the first enter with 0.01 added
// to their real part. Weights come from the residual power summed over the microphones.

#include "aec/AuxIVACore.h"

namespace velmora::aec {

class AuxIVAAEC : public AuxIVACore {
  public:
    AuxIVAAEC(int nummics, int numrefs, int numbins, float forget, bool perBin);
    ~AuxIVAAEC() override;

    const blas::ComplexTensor3* inverseCovariance() const { return &Q_; }  // R x R x K
    const blas::ComplexTensor3* crossCorrelation() const { return &G_; }   // M x R x K

  protected:
    void update(const blas::ComplexMatrix* mic) override;
    void resetBin(int k) override;

  private:
    blas::ComplexTensor3 G_;
    blas::ComplexTensor3 Q_;
    blas::ComplexVector u_;  // Q x of one bin
};

}  // namespace velmora::aec
