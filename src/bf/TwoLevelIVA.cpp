#include "bf/TwoLevelIVA.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "bf/PilotAuxIVA.h"
#include "bf/TwoLevelGrid.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"
#include "transform/BlockMixer.h"
#include "util/Numeric.h"

namespace velmora::bf {

using blas::Complex;

namespace {

constexpr float kForget = 0.99f;         // per-bin cores, per refresh
constexpr float kAcrossForget = 0.998f;  // across-bin core of mode 2, per block
constexpr float kMinPower = 0.01f;
constexpr float kShape = -0.9f;

}  // namespace

struct TwoLevelIVA::Impl {
    int M = 0, K = 0, mode = 0;
    bool sslflag = false;
    std::unique_ptr<TwoLevelGrid> grid;
    std::vector<std::unique_ptr<PilotAuxIVA>> cores;
    std::unique_ptr<PilotAuxIVA> across;  // mode 2
    std::unique_ptr<blas::ComplexMatrix> clean, X, mid;
    std::unique_ptr<EnergyRing> ring;  // output powers of the last F/2 blocks
    std::vector<float> sums;
    std::unique_ptr<blas::Vector> phi;
    std::unique_ptr<blas::ComplexTensor3> lagged;  // per-bin mixing sums, M x M x K
    std::unique_ptr<blas::ComplexTensor3> ssl;     // what sslData() returns
};

TwoLevelIVA::TwoLevelIVA(int nummics, int numbins, int fcausallen, int mode, bool sslflag)
    : pp(new Impl) {
    VM_ASSERT(nummics >= 2);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(fcausallen >= 0);
    Impl& s = *pp;
    s.M = nummics;
    s.K = numbins;
    s.mode = mode;
    s.sslflag = sslflag;
    s.grid = std::make_unique<TwoLevelGrid>(s.M, s.M, s.K, fcausallen);
    const int F = s.grid->secondSize();
    for (int k = 0; k < s.K; ++k) s.cores.push_back(std::make_unique<PilotAuxIVA>(s.M, F));
    if (s.mode == 2) {
        s.across = std::make_unique<PilotAuxIVA>(s.M, s.K);
        s.mid = std::make_unique<blas::ComplexMatrix>(s.M, s.K);
    }
    s.clean = std::make_unique<blas::ComplexMatrix>(s.M, s.K);
    s.X = std::make_unique<blas::ComplexMatrix>(s.M, F);
    s.ring = std::make_unique<EnergyRing>(s.M, F / 2);
    s.sums.assign(static_cast<size_t>(s.M), 0.0f);
    s.phi = std::make_unique<blas::Vector>(s.M);
    s.lagged = std::make_unique<blas::ComplexTensor3>(s.M, s.M, s.K);
    s.ssl = s.mode == 2 ? std::make_unique<blas::ComplexTensor3>(s.M, s.M, s.K) : nullptr;
}

TwoLevelIVA::~TwoLevelIVA() = default;

int TwoLevelIVA::numMics() const {
    return pp->M;
}
int TwoLevelIVA::numOuts() const {
    return pp->M;
}
int TwoLevelIVA::numBins() const {
    return pp->K;
}
int TwoLevelIVA::delay() const {
    return pp->grid->lookahead();
}

blas::ComplexTensor3* TwoLevelIVA::sslData() {
    return pp->mode == 2 ? pp->ssl.get() : pp->lagged.get();
}

void TwoLevelIVA::process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) {
    VM_ASSERT(in->numRows() == numMics() && in->numColumns() == numBins());
    VM_ASSERT(out->numRows() == numOuts() && out->numColumns() == numBins());
    Impl& s = *pp;
    const int M = s.M, K = s.K, D = s.grid->lookahead();
    for (int m = 0; m < M; ++m) util::zeroAbsurd(in->data()[m], s.clean->data()[m], K);
    BlockMixer* mixer = s.grid->mixer();

    if (s.mode != 2) {
        mixer->process(s.clean.get(), out);
        s.ring->push(out, M, s.sums.data());
        for (int src = 0; src < M; ++src) {
            const float sum = s.sums[static_cast<size_t>(src)];
            s.phi->data()[src] = std::pow(sum > kMinPower ? sum : kMinPower, kShape);
        }
    }

    s.grid->push(s.clean.get());
    for (int i = 0; i < s.grid->binsPerBlock(); ++i) {
        const int b = s.grid->nextBin();
        s.grid->analyse(b, s.X.get());
        PilotAuxIVA& core = *s.cores[b];
        if (s.mode == 2)
            core.process(kForget, false, s.X.get(), nullptr);
        else
            core.update(kForget, s.mode == 1, s.phi.get(), s.X.get());
        const Complex* const* const* wpb = core.filters()->data();
        for (int n = 0; n < M; ++n)
            for (int c = 0; c < M; ++c) s.grid->setTaps(n, c, b, wpb[n][c]);
        if (s.sslflag) {
            const Complex* const* const* A = core.mixing()->data();
            for (int j = 0; j < M; ++j)
                for (int src = 0; src < M; ++src)
                    s.lagged->data()[j][src][b] = s.grid->lagSum(A[j][src], D);
        }
    }

    if (s.mode == 2) {
        mixer->process(s.clean.get(), s.mid.get());
        s.across->process(kAcrossForget, true, s.mid.get(), out);
        if (s.sslflag) {
            const Complex* const* const* A2 = s.across->mixing()->data();
            Complex*** L = s.lagged->data();
            Complex*** T = s.ssl->data();
            for (int j = 0; j < M; ++j)
                for (int src = 0; src < M; ++src)
                    for (int k = 0; k < K; ++k) {
                        Complex acc(0.0f, 0.0f);
                        for (int l = 0; l < M; ++l) acc += L[j][l][k] * A2[l][src][k];
                        T[j][src][k] = acc;
                    }
        }
    }
}

}  // namespace velmora::bf
