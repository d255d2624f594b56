#pragma once
// AuxIVAAECStereo: the single-tap echo estimator for two references. Per bin it keeps the
// weighted cross-correlation G = sum s mic ref^H (M x 2) and the weighted reference covariance
// Phi = sum s ref ref^H (2 x 2), inverts Phi in closed form with 1e-6 loaded on the diagonal
// (falling back to [[1/a, 0], [0, 0]] when the inverse is not finite) and sets W = G Phi^-1. The
// second reference enters the statistics with 0.01 added to its real part, which keeps Phi
// invertible when both references are equal. Weights come from the residual power summed over
// the microphones.

#include "aec/AuxIVACore.h"

namespace velmora::aec {

class AuxIVAAECStereo : public AuxIVACore {
  public:
    AuxIVAAECStereo(int nummics, int numbins, float forget, bool perBin);
    ~AuxIVAAECStereo() override;

    const blas::ComplexTensor3* covariance() const { return &Phi_; }      // 2 x 2 x K
    const blas::ComplexTensor3* inverse() const { return &PhiInv_; }      // 2 x 2 x K
    const blas::ComplexTensor3* crossCorrelation() const { return &G_; }  // M x 2 x K

  protected:
    void update(const blas::ComplexMatrix* mic) override;
    void resetBin(int k) override;

  private:
    blas::ComplexTensor3 G_;
    blas::ComplexTensor3 Phi_;
    blas::ComplexTensor3 PhiInv_;
};

}  // namespace velmora::aec
