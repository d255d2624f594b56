#include "bf/PMWF.h"

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

constexpr float kInitialInverse = 100000.0f;  // Pn at start: an interference of 1e-5 I
constexpr float kTraceLimit = 1000000.0f;     // inverse covariances beyond this trace ...
constexpr float kTraceShrink = 0.01f;         // ... are scaled down by this factor
constexpr float kMinDenominator = 1e-6f;      // trace + beta below this: no normalisation
constexpr float kMinStereoTrace = 1e-17f;     // StereoPMWF: trace below this: no normalisation
constexpr float kAcceptRatio = 30.0f;         // a filter may give at most this times mic 0's power

// Output o's candidate filter cand (M values) replaces row o of W at bin k unless its output
// power on the snapshot exceeds kAcceptRatio times that of microphone 0.
void accept(const Complex* cand, const blas::ComplexMatrix* x, int k, int o,
            blas::ComplexTensor3* W) {
    const int M = x->numRows();
    Complex y(0.0f, 0.0f);
    for (int m = 0; m < M; ++m) y += cand[m] * x->data()[m][k];
    const float p = std::norm(y);
    if (!std::isfinite(p) || p > kAcceptRatio * std::norm(x->data()[0][k])) return;
    for (int m = 0; m < M; ++m) W->data()[o][m][k] = cand[m];
}

void applyFilters(const blas::ComplexTensor3* W, const blas::ComplexMatrix* x,
                  blas::ComplexMatrix* y) {
    for (int o = 0; o < W->numRows(); ++o) {
        Complex* out = y->data()[o];
        for (int k = 0; k < W->depth(); ++k) {
            Complex acc(0.0f, 0.0f);
            for (int m = 0; m < W->numColumns(); ++m) acc += W->data()[o][m][k] * x->data()[m][k];
            out[k] = acc;
        }
    }
}

}  // namespace

// ---- PMWF ------------------------------------------------------------------------------------

struct PMWF::Impl {
    int M = 0, outs = 0, N = 0;
    float forget = 0.99f, beta = 0.0f;
    std::vector<std::unique_ptr<blas::ComplexTensor3>> phiT, pn;  // per output, M x M x N
    std::unique_ptr<blas::ComplexTensor3> W;
    std::vector<Complex> q, cand;  // M x M product of one bin, one candidate

    void restartBin(int o, int k) {
        for (int i = 0; i < M; ++i)
            for (int j = 0; j < M; ++j) {
                phiT[o]->data()[i][j][k] = Complex(0.0f, 0.0f);
                pn[o]->data()[i][j][k] = Complex(i == j ? kInitialInverse : 0.0f, 0.0f);
            }
    }
};

PMWF::PMWF(int nummics, int numouts, int numbins, float forget, float beta) : pp(new Impl) {
    VM_ASSERT(nummics >= 2);
    VM_ASSERT(numouts >= 1 && numouts <= nummics);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(forget >= 0.0f && forget <= 1.0f);
    Impl& s = *pp;
    s.M = nummics;
    s.outs = numouts;
    s.N = numbins;
    s.forget = forget;
    s.beta = beta;
    for (int o = 0; o < s.outs; ++o) {
        s.phiT.push_back(std::make_unique<blas::ComplexTensor3>(s.M, s.M, s.N));
        s.pn.push_back(std::make_unique<blas::ComplexTensor3>(s.M, s.M, s.N));
        for (int k = 0; k < s.N; ++k) s.restartBin(o, k);
    }
    s.W = std::make_unique<blas::ComplexTensor3>(s.outs, s.M, s.N);
    s.q.resize(static_cast<size_t>(s.M) * s.M);
    s.cand.resize(s.M);
}

PMWF::~PMWF() = default;

int PMWF::numMics() const {
    return pp->M;
}
int PMWF::numOuts() const {
    return pp->outs;
}
int PMWF::numBins() const {
    return pp->N;
}
const blas::ComplexTensor3* PMWF::filters() const {
    return pp->W.get();
}

void PMWF::process(const blas::Vector* phitarget, const blas::Vector* phiinterf,
                   const blas::ComplexMatrix* datain, blas::ComplexMatrix* dataout) {
    VM_ASSERT(phitarget->size() == numOuts());
    VM_ASSERT(phiinterf->size() == numOuts());
    VM_ASSERT(datain->numRows() == numMics() && datain->numColumns() == numBins());
    if (dataout) VM_ASSERT(dataout->numRows() == numOuts() && dataout->numColumns() == numBins());
    Impl& s = *pp;
    const int M = s.M;
    const float lambda = s.forget;
    for (int o = 0; o < s.outs; ++o) {
        blas::updateCovariance(lambda, (1.0f - lambda) * phitarget->data()[o], s.phiT[o].get(),
                               datain, s.phiT[o].get());
        blas::updateInverseCovariance(lambda, (1.0f - lambda) * phiinterf->data()[o], s.pn[o].get(),
                                      datain, s.pn[o].get());
        blas::scaleWhereTraceAbove(s.pn[o].get(), kTraceLimit, kTraceShrink);
        Complex*** T = s.phiT[o]->data();
        Complex*** P = s.pn[o]->data();
        for (int k = 0; k < s.N; ++k) {
            // Q = Pn Phi_t; the filter is its first column over (trace + beta).
            Complex trace(0.0f, 0.0f);
            for (int i = 0; i < M; ++i)
                for (int j = 0; j < M; ++j) {
                    Complex acc(0.0f, 0.0f);
                    for (int l = 0; l < M; ++l) acc += P[i][l][k] * T[l][j][k];
                    s.q[i * M + j] = acc;
                    if (i == j) trace += acc;
                }
            if (!std::isfinite(std::norm(trace))) {
                s.restartBin(o, k);
                continue;
            }
            const float den = trace.real() + s.beta;
            const float g = den < kMinDenominator ? 1.0f : 1.0f / den;
            for (int m = 0; m < M; ++m) s.cand[m] = std::conj(s.q[m * M] * g);
            accept(s.cand.data(), datain, k, o, s.W.get());
        }
    }
    if (dataout) applyFilters(s.W.get(), datain, dataout);
}

// ---- StereoPMWF ------------------------------------------------------------------------------

struct StereoPMWF::Impl {
    int outs = 0, N = 0;
    std::vector<std::unique_ptr<blas::ComplexTensor3>> phiT, phiN;  // per output, 2 x 2 x N
    std::unique_ptr<blas::ComplexTensor3> W;
};

StereoPMWF::StereoPMWF(int numouts, int numbins) : pp(new Impl) {
    VM_ASSERT(numouts >= 1 && numouts <= NUM_MICS);
    VM_ASSERT(numbins > 0);
    pp->outs = numouts;
    pp->N = numbins;
    for (int o = 0; o < numouts; ++o) {
        pp->phiT.push_back(std::make_unique<blas::ComplexTensor3>(2, 2, numbins));
        pp->phiN.push_back(std::make_unique<blas::ComplexTensor3>(2, 2, numbins));
    }
    pp->W = std::make_unique<blas::ComplexTensor3>(numouts, 2, numbins);
}

StereoPMWF::~StereoPMWF() = default;

int StereoPMWF::numOuts() const {
    return pp->outs;
}
int StereoPMWF::numBins() const {
    return pp->N;
}
const blas::ComplexTensor3* StereoPMWF::filters() const {
    return pp->W.get();
}

void StereoPMWF::process(float forget, float /*beta*/, const blas::Vector* phitarget,
                         const blas::Vector* phiinterf, const blas::ComplexMatrix* datain,
                         blas::ComplexMatrix* dataout) {
    VM_ASSERT(phitarget->size() == numOuts());
    VM_ASSERT(phiinterf->size() == numOuts());
    VM_ASSERT(datain->numRows() == numMics() && datain->numColumns() == numBins());
    if (dataout) VM_ASSERT(dataout->numRows() == numOuts() && dataout->numColumns() == numBins());
    Impl& s = *pp;
    for (int o = 0; o < s.outs; ++o) {
        blas::updateCovariance(forget, (1.0f - forget) * phitarget->data()[o], s.phiT[o].get(),
                               datain, s.phiT[o].get());
        blas::updateCovariance(forget, (1.0f - forget) * phiinterf->data()[o], s.phiN[o].get(),
                               datain, s.phiN[o].get());
        Complex*** T = s.phiT[o]->data();
        Complex*** Nn = s.phiN[o]->data();
        for (int k = 0; k < s.N; ++k) {
            const Complex adj[2][2] = {{Nn[1][1][k], -Nn[0][1][k]}, {-Nn[1][0][k], Nn[0][0][k]}};
            Complex q[2][2];
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 2; ++j)
                    q[i][j] = adj[i][0] * T[0][j][k] + adj[i][1] * T[1][j][k];
            const float trace = q[0][0].real() + q[1][1].real();
            if (!std::isfinite(trace) || !std::isfinite(std::norm(q[1][0]) + std::norm(q[0][0]))) {
                for (blas::ComplexTensor3* c : {s.phiT[o].get(), s.phiN[o].get()})
                    for (int i = 0; i < 2; ++i)
                        for (int j = 0; j < 2; ++j) c->data()[i][j][k] = Complex(0.0f, 0.0f);
                continue;
            }
            const float g = trace < kMinStereoTrace ? 1.0f : 1.0f / trace;
            const Complex cand[2] = {std::conj(q[0][0] * g), std::conj(q[1][0] * g)};
            accept(cand, datain, k, o, s.W.get());
        }
    }
    if (dataout) applyFilters(s.W.get(), datain, dataout);
}

}  // namespace velmora::bf
