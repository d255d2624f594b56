#include "aec/AuxIVAAECMono.h"

namespace velmora::aec {

namespace {
constexpr float kMinPower = 1e-6f;  // below this reference power W is G itself
}

AuxIVAAECMono::AuxIVAAECMono(int nummics, int numbins, float forget, bool perBin)
    : AuxIVACore(nummics, 1, numbins, forget, perBin), G_(nummics, numbins), P_(nummics, numbins) {}

AuxIVAAECMono::~AuxIVAAECMono() = default;

void AuxIVAAECMono::update(const blas::ComplexMatrix* mic) {
    const int K = numBins_;
    const blas::Complex* x = refs_.data()[0];
    const float* lambda = forget_.data();
    const float* s = weights_.data();
    for (int m = 0; m < numMics_; ++m) {
        computeWeights(m, m + 1);
        const blas::Complex* d = mic->data()[m];
        blas::Complex* g = G_.data()[m];
        float* p = P_.data()[m];
        blas::Complex* w = W_.data()[m][0];
        for (int k = 0; k < K; ++k) {
            const float xr = x[k].real(), xi = x[k].imag(), dr = d[k].real(), di = d[k].imag();
            // d conj(x)
            const blas::Complex dx(dr * xr + di * xi, di * xr - dr * xi);
            g[k] = lambda[k] * g[k] + s[k] * dx;
            p[k] = lambda[k] * p[k] + s[k] * (xr * xr + xi * xi);
            w[k] = p[k] >= kMinPower ? g[k] / p[k] : g[k];
        }
    }
}

void AuxIVAAECMono::resetBin(int k) {
    for (int m = 0; m < numMics_; ++m) {
        G_.data()[m][k] = 0.0f;
        P_.data()[m][k] = 0.0f;
    }
    clearFilterBin(k);
}

}  // namespace velmora::aec
