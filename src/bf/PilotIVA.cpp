#include "bf/PilotIVA.h"

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
#include "vad/VADInterface.h"

namespace velmora::bf {

using blas::Complex;

namespace {

constexpr float kForget = 0.99f;  // per refresh of a bin

}  // namespace

struct PilotIVA::Impl {
    vad::VADInterface* vad = nullptr;
    int M = 0, outs = 0, K = 0;
    std::unique_ptr<TwoLevelGrid> grid;
    std::vector<std::unique_ptr<blas::ComplexMatrix>> line;  // input delay line, a ring
    int linePos = 0;                                         // slot of the oldest block
    std::vector<float> ring;                                 // [k][o][F/2] speech probabilities
    int ringPos = 0;
    std::unique_ptr<blas::Vector> targetprob;  // read by the cores
    std::vector<std::unique_ptr<PilotAuxIVA>> cores;
    std::unique_ptr<blas::ComplexMatrix> X;
    std::unique_ptr<blas::ComplexTensor3> ssl;
};

PilotIVA::PilotIVA(int fcausallen, float pilotratio, vad::VADInterface* vad) : pp(new Impl) {
    VM_ASSERT(fcausallen >= 0);
    VM_ASSERT(vad != NULL);
    VM_ASSERT(vad->numOuts() <= vad->numMics());
    Impl& s = *pp;
    s.vad = vad;
    s.M = vad->numMics();
    s.outs = vad->numOuts();
    s.K = vad->numBins();
    s.grid = std::make_unique<TwoLevelGrid>(s.M, s.outs, s.K, fcausallen);
    const int F = s.grid->secondSize();
    for (int i = 0; i <= vad->delay(); ++i)
        s.line.push_back(std::make_unique<blas::ComplexMatrix>(s.M, s.K));
    s.ring.assign(static_cast<size_t>(s.K) * s.outs * (F / 2), 0.0f);
    s.targetprob = std::make_unique<blas::Vector>(s.outs);
    for (int k = 0; k < s.K; ++k)
        s.cores.push_back(std::make_unique<PilotAuxIVA>(s.M, F, pilotratio, s.targetprob.get()));
    s.X = std::make_unique<blas::ComplexMatrix>(s.M, F);
    s.ssl = std::make_unique<blas::ComplexTensor3>(s.M, s.outs, s.K);
}

PilotIVA::~PilotIVA() = default;

int PilotIVA::numMics() const {
    return pp->M;
}
int PilotIVA::numOuts() const {
    return pp->outs;
}
int PilotIVA::numBins() const {
    return pp->K;
}
int PilotIVA::delay() const {
    return pp->vad->delay() + pp->grid->lookahead();
}
float PilotIVA::look(int n) const {
    return pp->vad->look(n);
}
void PilotIVA::setLook(int n, float azimuth) {
    pp->vad->setLook(n, azimuth);
}

blas::ComplexTensor3* PilotIVA::sslData() {
    Impl& s = *pp;
    const int D = s.grid->lookahead();
    for (int b = 0; b < s.K; ++b) {
        const Complex* const* const* A = s.cores[b]->mixing()->data();
        for (int j = 0; j < s.M; ++j)
            for (int o = 0; o < s.outs; ++o) s.ssl->data()[j][o][b] = s.grid->lagSum(A[j][o], D);
    }
    return s.ssl.get();
}

void PilotIVA::process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) {
    VM_ASSERT(in->numRows() == numMics() && in->numColumns() == numBins());
    VM_ASSERT(out->numRows() == numOuts() && out->numColumns() == numBins());
    Impl& s = *pp;
    const int M = s.M, K = s.K, half = s.grid->secondSize() / 2;
    blas::ComplexMatrix* newest = s.line[s.linePos].get();
    for (int m = 0; m < M; ++m) util::zeroAbsurd(in->data()[m], newest->data()[m], K);
    s.linePos = (s.linePos + 1) % static_cast<int>(s.line.size());
    const blas::ComplexMatrix* x = s.line[s.linePos].get();

    for (int k = 0; k < K; ++k)
        for (int o = 0; o < s.outs; ++o)
            s.ring[(static_cast<size_t>(k) * s.outs + o) * half + s.ringPos] =
                std::min(std::max(s.vad->speechProbability(o, k), 0.0f), 1.0f);
    s.ringPos = (s.ringPos + 1) % half;

    s.grid->push(x);
    for (int i = 0; i < s.grid->lookahead(); ++i) {
        const int b = s.grid->nextBin();
        s.grid->analyse(b, s.X.get());
        for (int o = 0; o < s.outs; ++o) {
            const float* r = s.ring.data() + (static_cast<size_t>(b) * s.outs + o) * half;
            float sum = 0.0f;
            for (int j = 0; j < half; ++j) sum += r[j];
            s.targetprob->data()[o] = sum / static_cast<float>(half);
        }
        PilotAuxIVA& core = *s.cores[b];
        core.process(kForget, true, s.X.get(), nullptr);
        const Complex* const* const* wpb = core.filters()->data();
        for (int n = 0; n < s.outs; ++n)
            for (int c = 0; c < M; ++c) s.grid->setTaps(n, c, b, wpb[n][c]);
    }
    s.grid->mixer()->process(x, out);
}

}  // namespace velmora::bf
