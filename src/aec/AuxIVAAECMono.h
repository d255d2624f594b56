#pragma once
// AuxIVAAECMono: the single-tap echo estimator for one reference. Per microphone and bin it keeps
// the weighted cross-correlation G = sum s mic conj(ref) and the weighted reference power
// P = sum s |ref|^2 (both forgetting with `forget`), and W = G / P (W = G while P < 1e-6). The
// weights are taken per microphone: from |nearend[m][k]|^2 per bin with perBin, else from the
// microphone's power summed over the bins.

#include "aec/AuxIVACore.h"
#include "blas/Matrix.h"

namespace velmora::aec {

class AuxIVAAECMono : public AuxIVACore {
  public:
    AuxIVAAECMono(int nummics, int numbins, float forget, bool perBin);
    ~AuxIVAAECMono() override;

    const blas::ComplexMatrix* crossCorrelation() const { return &G_; }  // M x K
    const blas::Matrix* referencePower() const { return &P_; }           // M x K

  protected:
    void update(const blas::ComplexMatrix* mic) override;
    void resetBin(int k) override;

  private:
    blas::ComplexMatrix G_;
    blas::Matrix P_;
};

}  // namespace velmora::aec
