#include "dr/TwoLevelDR.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "dr/AuxIVADR.h"
#include "dr/DRFilter.h"
#include "transform/BinSequenceTransform.h"
#include "transform/FFTWrapper.h"

namespace velmora::dr {

namespace {

constexpr int kDefaultTaps = 16;
constexpr float kBinForget = 0.99f;
constexpr float kFinalForget = 0.995f;
constexpr int kSpread = 16;  // each bin's long filter is re-estimated every 16 blocks
// Bound on the complex values of the state (histories, second-level statistics, long filter;
// 2^24 values are 128 MB), so that absurd channel counts or filter lengths are refused instead
// of allocating gigabytes.
constexpr long long kMaxStateValues = 1LL << 24;

}  // namespace

struct TwoLevelDR::Impl {
    int M, K, L, E;
    blas::ComplexTensor3 delay3;             // 3 x M x K: row 0 two blocks old
    blas::ComplexTensor3 dataHist, refHist;  // E x M x K: row E - 1 newest
    blas::ComplexTensor3 inDelay, refDelay;  // 2 x M x K: row 0 one block old
    BinSequenceTransform second;             // the second-level analysis along blocks
    blas::ComplexMatrix dataSpec, refSpec;   // M x E
    std::vector<std::unique_ptr<AuxIVADR>> binCores;
    DRFilter longFilter;
    AuxIVADR finalCore;
    int binsPerBlock;
    int nextBin = 0;
    blas::ComplexMatrix input;       // M x K: the block, non-finite values as zero
    blas::ComplexMatrix prediction;  // M x K
    blas::ComplexMatrix out;         // M x K
    blas::ComplexMatrix view;        // M x K view of a delay-line row

    Impl(int m, int k, int l, int e)
        : M(m),
          K(k),
          L(l),
          E(e),
          delay3(3, m, k),
          dataHist(e, m, k),
          refHist(e, m, k),
          inDelay(2, m, k),
          refDelay(2, m, k),
          second(e),
          dataSpec(m, e),
          refSpec(m, e),
          longFilter(m, k, l + 1),
          finalCore(m, k, kFinalForget, true),
          binsPerBlock(k / kSpread),
          input(m, k),
          prediction(m, k),
          out(m, k),
          view(m, k, true) {
        for (int b = 0; b < k; ++b)
            binCores.push_back(std::make_unique<AuxIVADR>(m, e, kBinForget, false));
    }

    void reestimate(int b) {
        for (int c = 0; c < M; ++c) {
            second.analyse(dataHist, c, b, &dataSpec, c);
            second.analyse(refHist, c, b, &refSpec, c);
        }
        AuxIVADR* core = binCores[static_cast<size_t>(b)].get();
        core->process(&dataSpec, &refSpec);
        const blas::ComplexMatrix* W = core->filter();
        for (int c = 0; c < M; ++c) second.toTaps(W->data()[c], L, longFilter.filter(c), b);
    }
};

TwoLevelDR::TwoLevelDR(int numchs, int numbins, int aflen) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(aflen >= 0);
    if (aflen > kMaxTaps)
        error("TwoLevelDR", "Filter length %d blocks is above the limit of %d", aflen, kMaxTaps);
    const int L = aflen > 0 ? aflen : kDefaultTaps;
    const int E = std::max(2, FFTWrapper::nextPowOf2(2 * L));
    const long long M = numchs, K = numbins;
    // Per bin and channel: the second-level estimator's statistics and work, the two histories,
    // and the long filter's history and taps.
    const long long values = K * M * (6LL * E + 2LL * (L + 1));
    if (values > kMaxStateValues)
        error("TwoLevelDR",
              "%d channels and %d taps need %lld state values, above the limit of %lld", numchs, L,
              values, kMaxStateValues);
    pp = std::make_unique<Impl>(numchs, numbins, L, E);
}

TwoLevelDR::~TwoLevelDR() = default;

int TwoLevelDR::numChannels() const {
    return pp->M;
}
int TwoLevelDR::numBins() const {
    return pp->K;
}
int TwoLevelDR::taps() const {
    return pp->L;
}
int TwoLevelDR::secondLevelSize() const {
    return pp->E;
}
int TwoLevelDR::binsPerBlock() const {
    return pp->binsPerBlock;
}
int TwoLevelDR::nextBin() const {
    return pp->nextBin;
}
DRFilter* TwoLevelDR::longFilter() {
    return &pp->longFilter;
}
const AuxIVADR* TwoLevelDR::binCore(int k) const {
    VM_ASSERT(k >= 0 && k < pp->K);
    return pp->binCores[static_cast<size_t>(k)].get();
}
const AuxIVADR* TwoLevelDR::finalCore() const {
    return &pp->finalCore;
}

void TwoLevelDR::process(blas::ComplexMatrix* block) {
    VM_ASSERT(block->numRows() == numChannels() && block->numColumns() == numBins());
    Impl& s = *pp;
    // Non-finite input values are taken as silence, so they cannot stay in the histories.
    for (int m = 0; m < s.M; ++m)
        for (int k = 0; k < s.K; ++k) {
            const blas::Complex x = block->data()[m][k];
            s.input.data()[m][k] =
                std::isfinite(x.real()) && std::isfinite(x.imag()) ? x : blas::Complex();
        }
    // 1. Delay lines and histories: x_t, and x_{t-2} as the reference.
    s.delay3.pushBottom(&s.input);
    s.dataHist.pushBottom(&s.input);
    s.inDelay.pushBottom(&s.input);
    s.delay3.horizontalView(0, &s.view);  // x_{t-2}
    s.refHist.pushBottom(&s.view);
    s.refDelay.pushBottom(&s.view);
    // 2. Re-estimate the long filter of a share of the bins.
    for (int i = 0; i < s.binsPerBlock; ++i) {
        s.reestimate(s.nextBin);
        if (++s.nextBin == s.K) s.nextBin = 0;
    }
    // 3./4. Predict x_{t-1} from x_{t-2} and older, subtract.
    s.longFilter.process(&s.view, &s.prediction);
    s.inDelay.horizontalView(0, &s.view);  // x_{t-1}
    for (int m = 0; m < s.M; ++m)
        for (int k = 0; k < s.K; ++k)
            s.out.data()[m][k] = s.view.data()[m][k] - s.prediction.data()[m][k];
    // 5. Final single-tap stage against x_{t-3}.
    s.refDelay.horizontalView(0, &s.view);
    s.finalCore.process(&s.out, &s.view);
    // 6.
    block->copy(&s.out);
}

}  // namespace velmora::dr
