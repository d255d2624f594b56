#include "bf/PilotPMWF.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "bf/PMWF.h"
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

constexpr float kForget = 0.99f;        // the Wiener cores, per refresh
constexpr float kMinEnergy = 0.01f;     // PilotPMWF: floor of the ring sums ...
constexpr float kShape = -0.9f;         // ... raised to this power
constexpr float kStereoOffset = 0.01f;  // StereoPilotPMWF: 1 / (sqrt(sum) + this)

}  // namespace

struct PilotPMWF::Impl {
    vad::VADInterface* vad = nullptr;
    bool stereo = false;
    int M = 0, outs = 0, K = 0;
    float beta = 0.0f;
    std::unique_ptr<TwoLevelGrid> grid;
    std::vector<std::unique_ptr<blas::ComplexMatrix>> line;  // input delay line, a ring
    int linePos = 0;                                         // slot of the oldest block
    std::vector<float> target, interf;                       // [k][o][F/2] energy rings
    int ringPos = 0;
    std::vector<std::unique_ptr<PMWF>> cores;
    std::vector<std::unique_ptr<StereoPMWF>> stereoCores;
    std::unique_ptr<blas::ComplexMatrix> X;
    std::unique_ptr<blas::Vector> phiT, phiI;
};

PilotPMWF::PilotPMWF(int fcausallen, float beta, vad::VADInterface* vad)
    : PilotPMWF(fcausallen, beta, vad, false) {}

StereoPilotPMWF::StereoPilotPMWF(int fcausallen, float beta, vad::VADInterface* vad)
    : PilotPMWF(fcausallen, beta, vad, true) {}

PilotPMWF::PilotPMWF(int fcausallen, float beta, vad::VADInterface* vad, bool stereo)
    : pp(new Impl) {
    VM_ASSERT(fcausallen >= 0);
    VM_ASSERT(beta >= 0.0);
    VM_ASSERT(vad != NULL);
    Impl& s = *pp;
    s.vad = vad;
    s.stereo = stereo;
    s.M = vad->numMics();
    s.outs = vad->numOuts();
    s.K = vad->numBins();
    s.beta = beta;
    if (stereo) VM_ASSERT(s.M == StereoPMWF::NUM_MICS);
    s.grid = std::make_unique<TwoLevelGrid>(s.M, s.outs, s.K, fcausallen);
    const int F = s.grid->secondSize();
    for (int i = 0; i <= vad->delay(); ++i)
        s.line.push_back(std::make_unique<blas::ComplexMatrix>(s.M, s.K));
    s.target.assign(static_cast<size_t>(s.K) * s.outs * (F / 2), 0.0f);
    s.interf.assign(s.target.size(), 0.0f);
    for (int k = 0; k < s.K; ++k) {
        if (stereo)
            s.stereoCores.push_back(std::make_unique<StereoPMWF>(s.outs, F));
        else
            s.cores.push_back(std::make_unique<PMWF>(s.M, s.outs, F, kForget, beta));
    }
    s.X = std::make_unique<blas::ComplexMatrix>(s.M, F);
    s.phiT = std::make_unique<blas::Vector>(s.outs);
    s.phiI = std::make_unique<blas::Vector>(s.outs);
}

PilotPMWF::~PilotPMWF() = default;

int PilotPMWF::numMics() const {
    return pp->M;
}
int PilotPMWF::numOuts() const {
    return pp->outs;
}
int PilotPMWF::numBins() const {
    return pp->K;
}
int PilotPMWF::delay() const {
    return pp->vad->delay() + pp->grid->lookahead();
}
float PilotPMWF::look(int n) const {
    return pp->vad->look(n);
}
void PilotPMWF::setLook(int n, float azimuth) {
    pp->vad->setLook(n, azimuth);
}

void PilotPMWF::process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) {
    VM_ASSERT(in->numRows() == numMics() && in->numColumns() == numBins());
    VM_ASSERT(out->numRows() == numOuts() && out->numColumns() == numBins());
    Impl& s = *pp;
    const int M = s.M, K = s.K, F = s.grid->secondSize(), half = F / 2;
    // The newest block replaces the oldest slot; the block after it is now the oldest.
    blas::ComplexMatrix* newest = s.line[s.linePos].get();
    for (int m = 0; m < M; ++m) util::zeroAbsurd(in->data()[m], newest->data()[m], K);
    s.linePos = (s.linePos + 1) % static_cast<int>(s.line.size());
    const blas::ComplexMatrix* x = s.line[s.linePos].get();

    float e = 0.0f;
    for (int k = 0; k < K; ++k) e += std::norm(x->data()[0][k]);
    for (int k = 0; k < K; ++k)
        for (int o = 0; o < s.outs; ++o) {
            const float p = std::min(std::max(s.vad->speechProbability(o, k), 0.0f), 1.0f);
            const size_t at = (static_cast<size_t>(k) * s.outs + o) * half + s.ringPos;
            s.target[at] = p * e;
            s.interf[at] = (1.0f - p) * e;
        }
    s.ringPos = (s.ringPos + 1) % half;

    s.grid->push(x);
    for (int i = 0; i < s.grid->binsPerBlock(); ++i) {
        const int b = s.grid->nextBin();
        s.grid->analyse(b, s.X.get());
        for (int o = 0; o < s.outs; ++o) {
            const size_t at = (static_cast<size_t>(b) * s.outs + o) * half;
            float st = 0.0f, si = 0.0f;
            for (int j = 0; j < half; ++j) st += s.target[at + j], si += s.interf[at + j];
            if (s.stereo) {
                st = 1.0f / (std::sqrt(st) + kStereoOffset);
                si = 1.0f / (std::sqrt(si) + kStereoOffset);
            } else {
                st = std::pow(st > kMinEnergy ? st : kMinEnergy, kShape);
                si = std::pow(si > kMinEnergy ? si : kMinEnergy, kShape);
            }
            // The target covariance grows where the interference is weak, and vice versa.
            s.phiT->data()[o] = si;
            s.phiI->data()[o] = st;
        }
        const blas::ComplexTensor3* W;
        if (s.stereo) {
            s.stereoCores[b]->process(kForget, s.beta, s.phiT.get(), s.phiI.get(), s.X.get(),
                                      nullptr);
            W = s.stereoCores[b]->filters();
        } else {
            s.cores[b]->process(s.phiT.get(), s.phiI.get(), s.X.get(), nullptr);
            W = s.cores[b]->filters();
        }
        for (int n = 0; n < s.outs; ++n)
            for (int c = 0; c < M; ++c) s.grid->setTaps(n, c, b, W->data()[n][c]);
    }
    s.grid->mixer()->process(x, out);
}

}  // namespace velmora::bf
