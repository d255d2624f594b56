#include "aec/AuxIVAAECStereo.h"

#include <cmath>

namespace velmora::aec {

namespace {
constexpr float kLoading = 1e-6f;  // added to both diagonal elements before inverting
}

AuxIVAAECStereo::AuxIVAAECStereo(int nummics, int numbins, float forget, bool perBin)
    : AuxIVACore(nummics, 2, numbins, forget, perBin),
      G_(nummics, 2, numbins),
      Phi_(2, 2, numbins),
      PhiInv_(2, 2, numbins) {}

AuxIVAAECStereo::~AuxIVAAECStereo() = default;

void AuxIVAAECStereo::update(const blas::ComplexMatrix* mic) {
    using blas::Complex;
    computeWeights(0, numMics_);
    const int K = numBins_;
    const Complex* x0 = refs_.data()[0];
    const Complex* x1 = refs_.data()[1];
    const float* lambda = forget_.data();
    const float* s = weights_.data();
    Complex*** phi = Phi_.data();
    Complex*** inv = PhiInv_.data();
    for (int k = 0; k < K; ++k) {
        const float l = lambda[k], sk = s[k];
        const Complex a0 = x0[k], a1 = x1[k];
        phi[0][0][k] = l * phi[0][0][k] + sk * std::norm(a0);
        phi[1][1][k] = l * phi[1][1][k] + sk * std::norm(a1);
        phi[0][1][k] = l * phi[0][1][k] + sk * (a0 * std::conj(a1));
        phi[1][0][k] = std::conj(phi[0][1][k]);
        // Closed-form inverse of the loaded 2 x 2 matrix.
        const Complex a = phi[0][0][k] + kLoading, d = phi[1][1][k] + kLoading;
        const Complex b = phi[0][1][k], c = phi[1][0][k];
        const Complex det = a * d - b * c;
        Complex i00 = d / det, i01 = -b / det, i10 = -c / det, i11 = a / det;
        const bool finite = std::isfinite(i00.real()) && std::isfinite(i00.imag()) &&
                            std::isfinite(i11.real()) && std::isfinite(i11.imag());
        if (!finite) {
            i00 = 1.0f / a;
            i01 = i10 = i11 = 0.0f;
        }
        inv[0][0][k] = i00;
        inv[0][1][k] = i01;
        inv[1][0][k] = i10;
        inv[1][1][k] = i11;
        for (int m = 0; m < numMics_; ++m) {
            const Complex d0 = mic->data()[m][k];
            Complex* g0 = &G_.data()[m][0][k];
            Complex* g1 = &G_.data()[m][1][k];
            *g0 = l * *g0 + sk * (d0 * std::conj(a0));
            *g1 = l * *g1 + sk * (d0 * std::conj(a1));
            W_.data()[m][0][k] = *g0 * i00 + *g1 * i10;
            W_.data()[m][1][k] = *g0 * i01 + *g1 * i11;
        }
    }
}

void AuxIVAAECStereo::resetBin(int k) {
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
            Phi_.data()[i][j][k] = 0.0f;
            PhiInv_.data()[i][j][k] = 0.0f;
        }
    for (int m = 0; m < numMics_; ++m)
        for (int r = 0; r < 2; ++r) G_.data()[m][r][k] = 0.0f;
    clearFilterBin(k);
}

}  // namespace velmora::aec
