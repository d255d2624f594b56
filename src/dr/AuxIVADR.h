#pragma once
// AuxIVADR: per-channel single-tap robust estimator of the dereverberators. Per channel m and
// bin k it predicts data[m][k] from ref[m][k] with one coefficient W (zero at creation), fitted
// by weighted least squares: G = sum s data conj(ref), P = sum s |ref|^2, both forgetting with
// `forget`, W = G / P (W = G while P < 1e-6). The weights are the auxiliary-function weights
// (1 - forget) (p + 0.01)^-0.9 of the residual power p, per bin with perBin, else one per
// channel from its power summed over the bins. process() replaces `data` by the residual
// computed with the coefficients from before the update, limited so that no bin's L1 magnitude
// exceeds that of the data.

#include <memory>

namespace velmora::blas {
class ComplexMatrix;
class Matrix;
}  // namespace velmora::blas

namespace velmora::dr {

class AuxIVADR {
  public:
    AuxIVADR(int numchs, int numbins, float forget, bool perBin);
    ~AuxIVADR();
    AuxIVADR(const AuxIVADR&) = delete;
    AuxIVADR& operator=(const AuxIVADR&) = delete;

    int numChannels() const;
    int numBins() const;
    // data, ref: numChannels() x numBins(); data becomes the residual.
    void process(blas::ComplexMatrix* data, const blas::ComplexMatrix* ref);
    // The coefficients, numChannels() x numBins().
    const blas::ComplexMatrix* filter() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::dr
