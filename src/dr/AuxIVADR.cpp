#include "dr/AuxIVADR.h"

#include <cmath>

#include "Error.h"
#include "blas/ComplexMatrix.h"
#include "blas/Matrix.h"
#include "blas/Vector.h"

namespace velmora::dr {

namespace {

constexpr float kPowerFloor = 0.01f;
constexpr float kShape = -0.9f;
constexpr float kMinPower = 1e-6f;

inline float l1(blas::Complex z) {
    return std::fabs(z.real()) + std::fabs(z.imag());
}

}  // namespace

struct AuxIVADR::Impl {
    int M, K;
    bool perBin;
    blas::Vector forget, weights;
    blas::ComplexMatrix G;
    blas::Matrix P;
    blas::ComplexMatrix W;
    blas::ComplexMatrix residual;

    Impl(int m, int k, float f, bool pb)
        : M(m), K(k), perBin(pb), forget(k), weights(k), G(m, k), P(m, k), W(m, k), residual(m, k) {
        forget.fill(f);
    }
};

AuxIVADR::AuxIVADR(int numchs, int numbins, float forget, bool perBin) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(forget >= 0.0 && forget <= 1.0);
    pp = std::make_unique<Impl>(numchs, numbins, forget, perBin);
}

AuxIVADR::~AuxIVADR() = default;

int AuxIVADR::numChannels() const {
    return pp->M;
}
int AuxIVADR::numBins() const {
    return pp->K;
}
const blas::ComplexMatrix* AuxIVADR::filter() const {
    return &pp->W;
}

void AuxIVADR::process(blas::ComplexMatrix* data, const blas::ComplexMatrix* ref) {
    VM_ASSERT(data->numRows() == numChannels() && data->numColumns() == numBins());
    VM_ASSERT(ref->numRows() == numChannels() && ref->numColumns() == numBins());
    using blas::Complex;
    Impl& s = *pp;
    const int K = s.K;
    const float* lambda = s.forget.data();
    float* w = s.weights.data();
    for (int m = 0; m < s.M; ++m) {
        const Complex* d = data->data()[m];
        const Complex* x = ref->data()[m];
        Complex* e = s.residual.data()[m];
        Complex* g = s.G.data()[m];
        float* p = s.P.data()[m];
        Complex* c = s.W.data()[m];
        // 1. Residual with the current coefficients, limited (a non-finite residual also takes
        // the data value).
        float total = 0.0f;
        for (int k = 0; k < K; ++k) {
            const Complex r = d[k] - c[k] * x[k];
            e[k] = l1(r) <= l1(d[k]) ? r : d[k];
            const float pk = std::norm(e[k]);
            if (std::isfinite(pk)) total += pk;
        }
        // 2. Weights, statistics, coefficients.
        if (s.perBin) {
            for (int k = 0; k < K; ++k)
                w[k] = (1.0f - lambda[k]) * std::pow(std::norm(e[k]) + kPowerFloor, kShape);
        } else {
            const float wk = (1.0f - lambda[0]) * std::pow(total + kPowerFloor, kShape);
            for (int k = 0; k < K; ++k) w[k] = wk;
        }
        for (int k = 0; k < K; ++k) {
            const float xr = x[k].real(), xi = x[k].imag(), dr = d[k].real(), di = d[k].imag();
            g[k] = lambda[k] * g[k] + w[k] * Complex(dr * xr + di * xi, di * xr - dr * xi);
            p[k] = lambda[k] * p[k] + w[k] * (xr * xr + xi * xi);
            c[k] = p[k] >= kMinPower ? g[k] / p[k] : g[k];
            if (!std::isfinite(c[k].real()) || !std::isfinite(c[k].imag()) ||
                !std::isfinite(p[k])) {
                // A non-finite value restarts the bin.
                g[k] = 0.0f;
                p[k] = 0.0f;
                c[k] = 0.0f;
            }
        }
    }
    // 3. The residual replaces the data.
    data->copy(&s.residual);
}

}  // namespace velmora::dr
