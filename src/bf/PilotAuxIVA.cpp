#include "bf/PilotAuxIVA.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"

namespace velmora::bf {

using blas::Complex;

namespace {

constexpr float kInitialInverse = 100000.0f;  // V^-1 at start: a covariance of 1e-5 I
constexpr float kTraceLimit = 1000000.0f;     // inverse covariances beyond this trace ...
constexpr float kTraceShrink = 0.01f;         // ... are scaled down by this factor
constexpr float kMinNorm = 1e-6f;             // filters shorter than this are not normalised
constexpr float kMinPower = 0.01f;            // floor of the demixed power behind phi
constexpr float kShape = -0.9f;               // phi = power^kShape (super-Gaussian source model)

}  // namespace

struct PilotAuxIVA::Impl {
    int M = 0, N = 0;
    float pilotratio = 0.0f;
    const blas::Vector* targetprob = nullptr;
    std::vector<std::unique_ptr<blas::ComplexTensor3>> vinv;  // per source, M x M x N
    std::unique_ptr<blas::ComplexTensor3> W, A, Wpb;
    std::unique_ptr<blas::ComplexMatrix> dw;  // change of one row of W, M x N
    std::unique_ptr<blas::Vector> phi;
    std::vector<Complex> w;  // one filter, M values

    void restartBin(int k) {
        for (int s = 0; s < M; ++s)
            for (int i = 0; i < M; ++i)
                for (int j = 0; j < M; ++j)
                    vinv[s]->data()[i][j][k] = Complex(i == j ? kInitialInverse : 0.0f, 0.0f);
        for (int i = 0; i < M; ++i)
            for (int j = 0; j < M; ++j) {
                const Complex v(i == j ? 1.0f : 0.0f, 0.0f);
                W->data()[i][j][k] = A->data()[i][j][k] = Wpb->data()[i][j][k] = v;
            }
    }
};

PilotAuxIVA::PilotAuxIVA(int nummics, int numbins, float pilotratio, const blas::Vector* targetprob)
    : pp(new Impl) {
    VM_ASSERT(nummics >= 2);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(pilotratio >= 0.0 && pilotratio <= 1.0);
    VM_ASSERT(targetprob == nullptr || targetprob->size() <= nummics);
    Impl& s = *pp;
    s.M = nummics;
    s.N = numbins;
    s.pilotratio = pilotratio;
    s.targetprob = targetprob;
    for (int i = 0; i < s.M; ++i)
        s.vinv.push_back(std::make_unique<blas::ComplexTensor3>(s.M, s.M, s.N));
    s.W = std::make_unique<blas::ComplexTensor3>(s.M, s.M, s.N);
    s.A = std::make_unique<blas::ComplexTensor3>(s.M, s.M, s.N);
    s.Wpb = std::make_unique<blas::ComplexTensor3>(s.M, s.M, s.N);
    s.dw = std::make_unique<blas::ComplexMatrix>(s.M, s.N);
    s.phi = std::make_unique<blas::Vector>(s.M);
    s.w.resize(s.M);
    for (int k = 0; k < s.N; ++k) s.restartBin(k);
}

PilotAuxIVA::~PilotAuxIVA() = default;

int PilotAuxIVA::numMics() const {
    return pp->M;
}
int PilotAuxIVA::numBins() const {
    return pp->N;
}
const blas::ComplexTensor3* PilotAuxIVA::demixing() const {
    return pp->W.get();
}
const blas::ComplexTensor3* PilotAuxIVA::mixing() const {
    return pp->A.get();
}
const blas::ComplexTensor3* PilotAuxIVA::filters() const {
    return pp->Wpb.get();
}

void PilotAuxIVA::update(float forget, bool pbMax, const blas::Vector* phi,
                         const blas::ComplexMatrix* datain) {
    VM_ASSERT(datain->numRows() == numMics() && datain->numColumns() == numBins());
    VM_ASSERT(phi->size() == numMics());
    Impl& s = *pp;
    const int M = s.M, N = s.N;
    Complex*** W = s.W->data();
    Complex*** A = s.A->data();
    for (int src = 0; src < M; ++src) {
        blas::ComplexTensor3* vinv = s.vinv[src].get();
        blas::updateInverseCovariance(forget, (1.0f - forget) * phi->data()[src], vinv, datain,
                                      vinv);
        blas::scaleWhereTraceAbove(vinv, kTraceLimit, kTraceShrink);
        Complex*** V = vinv->data();
        Complex* const* dw = s.dw->data();
        for (int k = 0; k < N; ++k) {
            // w = V^-1 a_s, normalised to unit length; the new row of W is its conjugate.
            float sq = 0.0f;
            for (int i = 0; i < M; ++i) {
                Complex acc(0.0f, 0.0f);
                for (int j = 0; j < M; ++j) acc += V[i][j][k] * A[j][src][k];
                s.w[i] = acc;
                sq += std::norm(acc);
            }
            const float nrm = std::sqrt(sq);
            const float g = nrm < kMinNorm ? 1.0f : 1.0f / nrm;
            for (int i = 0; i < M; ++i) {
                const Complex row = std::conj(s.w[i]) * g;
                dw[i][k] = row - W[src][i][k];
                W[src][i][k] = row;
            }
        }
        blas::updateMixing(s.A.get(), s.dw.get(), src);
    }
    // Projection back and the restart of bins whose state ran away.
    Complex*** Wpb = s.Wpb->data();
    for (int k = 0; k < N; ++k) {
        bool finite = true;
        for (int i = 0; i < M; ++i)
            for (int j = 0; j < M; ++j) finite &= std::isfinite(std::norm(A[i][j][k]));
        if (!finite) {
            s.restartBin(k);
            continue;
        }
        for (int src = 0; src < M; ++src) {
            int m = src;
            if (pbMax) {
                float best = std::norm(A[src][src][k]);
                for (int i = 0; i < M; ++i) {
                    const float p = std::norm(A[i][src][k]);
                    if (p > best) best = p, m = i;
                }
            }
            const Complex scale = A[m][src][k];
            for (int j = 0; j < M; ++j) Wpb[src][j][k] = scale * W[src][j][k];
        }
    }
}

void PilotAuxIVA::process(float forget, bool pbMax, const blas::ComplexMatrix* datain,
                          blas::ComplexMatrix* dataout) {
    VM_ASSERT(datain->numRows() == numMics() && datain->numColumns() == numBins());
    if (dataout) VM_ASSERT(dataout->numRows() == numMics() && dataout->numColumns() == numBins());
    Impl& s = *pp;
    const int M = s.M, N = s.N;
    const Complex* const* x = datain->data();
    if (dataout) {
        Complex*** Wpb = s.Wpb->data();
        for (int src = 0; src < M; ++src) {
            Complex* y = dataout->data()[src];
            for (int k = 0; k < N; ++k) {
                Complex acc(0.0f, 0.0f);
                for (int j = 0; j < M; ++j) acc += Wpb[src][j][k] * x[j][k];
                y[k] = acc;
            }
        }
    }
    Complex*** W = s.W->data();
    float* phi = s.phi->data();
    for (int src = 0; src < M; ++src) {
        float p = 0.0f;
        for (int k = 0; k < N; ++k) {
            Complex acc(0.0f, 0.0f);
            for (int j = 0; j < M; ++j) acc += W[src][j][k] * x[j][k];
            p += std::norm(acc);
        }
        phi[src] = p;
    }
    if (s.targetprob) {
        float e0 = 0.0f;
        for (int k = 0; k < N; ++k) e0 += std::norm(x[0][k]);
        const float r = s.pilotratio;
        for (int src = 0; src < s.targetprob->size(); ++src)
            phi[src] = (1.0f - r) * phi[src] + r * s.targetprob->data()[src] * e0;
    }
    // NaN powers count as the floor.
    for (int src = 0; src < M; ++src)
        phi[src] = std::pow(phi[src] > kMinPower ? phi[src] : kMinPower, kShape);
    update(forget, pbMax, s.phi.get(), datain);
}

}  // namespace velmora::bf
