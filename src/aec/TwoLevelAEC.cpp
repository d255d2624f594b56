#include "aec/TwoLevelAEC.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "aec/AuxIVAAEC.h"
#include "aec/AuxIVAAECMono.h"
#include "aec/AuxIVAAECStereo.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "transform/BinSequenceTransform.h"
#include "transform/BlockMixer.h"
#include "transform/FFTWrapper.h"

namespace velmora::aec {

namespace {

constexpr int kDefaultTaps = 16;
constexpr float kBinForget = 0.99f;
constexpr float kFinalForget = 0.995f;
constexpr int kSpread = 16;  // each bin's long filter is re-estimated every 16 blocks
// Bound on the complex values of the state (histories, second-level statistics, long filter;
// 2^24 values are 128 MB), so that absurd channel counts or filter lengths are refused instead
// of allocating gigabytes.
constexpr long long kMaxStateValues = 1LL << 24;

std::unique_ptr<AECCore> makeCore(int M, int R, int K, float forget, bool perBin) {
    if (R == 1) return std::make_unique<AuxIVAAECMono>(M, K, forget, perBin);
    if (R == 2) return std::make_unique<AuxIVAAECStereo>(M, K, forget, perBin);
    return std::make_unique<AuxIVAAEC>(M, R, K, forget, perBin);
}

}  // namespace

struct TwoLevelAEC::Impl {
    int M, R, K, L, E;
    blas::ComplexTensor3 micHist, refHist;    // E x M x K, E x R x K; row E - 1 newest
    blas::ComplexTensor3 micDelay, refDelay;  // 2 x M x K, 2 x R x K; row 0 one block old
    BinSequenceTransform second;              // the second-level analysis along blocks
    blas::ComplexMatrix micSpec, refSpec;     // M x E, R x E
    blas::ComplexMatrix specNear, specEcho;   // M x E: outputs of a bin core (unused)
    std::vector<std::unique_ptr<AECCore>> binCores;
    BlockMixer mixer;
    std::unique_ptr<AECCore> finalCore;
    int binsPerBlock;
    int nextBin = 0;
    blas::ComplexMatrix longEcho, residual;  // M x K
    blas::ComplexMatrix cleanRef;            // R x K: the input references, finite
    blas::ComplexMatrix delayedRef;          // view of row 0 of the reference delay line

    Impl(int m, int r, int k, int l, int e)
        : M(m),
          R(r),
          K(k),
          L(l),
          E(e),
          micHist(e, m, k),
          refHist(e, r, k),
          micDelay(2, m, k),
          refDelay(2, r, k),
          second(e),
          micSpec(m, e),
          refSpec(r, e),
          specNear(m, e),
          specEcho(m, e),
          mixer(r, m, k, l + 1),
          binsPerBlock(k / kSpread),
          longEcho(m, k),
          residual(m, k),
          cleanRef(r, k),
          delayedRef(r, k, true) {
        for (int b = 0; b < k; ++b) binCores.push_back(makeCore(m, r, e, kBinForget, false));
        finalCore = makeCore(m, r, k, kFinalForget, true);
    }

    void reestimate(int b) {
        for (int m = 0; m < M; ++m) second.analyse(micHist, m, b, &micSpec, m);
        for (int r = 0; r < R; ++r) second.analyse(refHist, r, b, &refSpec, r);
        AECCore* core = binCores[static_cast<size_t>(b)].get();
        core->process(&micSpec, &refSpec, &specNear, &specEcho);
        const blas::ComplexTensor3* W = core->filter();
        for (int m = 0; m < M; ++m)
            for (int r = 0; r < R; ++r) second.toTaps(W->data()[m][r], L, mixer.filter(m, r), b);
    }
};

TwoLevelAEC::TwoLevelAEC(int nummics, int numrefs, int numbins, int aflen) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numrefs > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(aflen >= 0);
    if (aflen > kMaxTaps)
        error("TwoLevelAEC", "Filter length %d blocks is above the limit of %d", aflen, kMaxTaps);
    const int L = aflen > 0 ? aflen : kDefaultTaps;
    const int E = std::max(2, FFTWrapper::nextPowOf2(2 * L));
    const long long M = nummics, R = numrefs, K = numbins;
    // Per bin: the second-level core (G, W, two work blocks, the reference copy, the covariance
    // and its inverse), the histories, and the mixer's history and filters.
    const long long values =
        K * (E * (2 * M * R + 2 * M + R + 2 * R * R + M + R) + (L + 1) * (R + M * R));
    if (values > kMaxStateValues)
        error("TwoLevelAEC",
              "%d microphones, %d references and %d taps need %lld state values, above the "
              "limit of %lld",
              nummics, numrefs, L, values, kMaxStateValues);
    pp = std::make_unique<Impl>(nummics, numrefs, numbins, L, E);
}

TwoLevelAEC::~TwoLevelAEC() = default;

int TwoLevelAEC::numMics() const {
    return pp->M;
}
int TwoLevelAEC::numRefs() const {
    return pp->R;
}
int TwoLevelAEC::numBins() const {
    return pp->K;
}
int TwoLevelAEC::taps() const {
    return pp->L;
}
int TwoLevelAEC::secondLevelSize() const {
    return pp->E;
}
int TwoLevelAEC::binsPerBlock() const {
    return pp->binsPerBlock;
}
int TwoLevelAEC::nextBin() const {
    return pp->nextBin;
}
const AECCore* TwoLevelAEC::binCore(int k) const {
    VM_ASSERT(k >= 0 && k < pp->K);
    return pp->binCores[static_cast<size_t>(k)].get();
}
const AECCore* TwoLevelAEC::finalCore() const {
    return pp->finalCore.get();
}
BlockMixer* TwoLevelAEC::mixer() {
    return &pp->mixer;
}

void TwoLevelAEC::process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                          blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) {
    VM_ASSERT(mic->numRows() == numMics() && mic->numColumns() == numBins());
    VM_ASSERT(ref->numRows() == numRefs() && ref->numColumns() == numBins());
    VM_ASSERT(nearend->numRows() == numMics() && nearend->numColumns() == numBins());
    VM_ASSERT(echo->numRows() == numMics() && echo->numColumns() == numBins());
    Impl& s = *pp;
    // 1. Histories and one-block delay lines. A non-finite reference value is taken as silence,
    // so that it cannot stay in the histories and the long filter's input for many blocks.
    for (int r = 0; r < s.R; ++r)
        for (int k = 0; k < s.K; ++k) {
            const blas::Complex x = ref->data()[r][k];
            s.cleanRef.data()[r][k] =
                std::isfinite(x.real()) && std::isfinite(x.imag()) ? x : blas::Complex();
        }
    s.micHist.pushBottom(mic);
    s.refHist.pushBottom(&s.cleanRef);
    s.micDelay.pushBottom(mic);
    s.refDelay.pushBottom(&s.cleanRef);
    // 2. Re-estimate the long filter of a share of the bins.
    for (int i = 0; i < s.binsPerBlock; ++i) {
        s.reestimate(s.nextBin);
        if (++s.nextBin == s.K) s.nextBin = 0;
    }
    // 3./4. Long-filter echo and the residual of the delayed microphone.
    s.mixer.process(&s.cleanRef, &s.longEcho);
    const blas::Complex* const* dm = s.micDelay.data()[0];
    for (int m = 0; m < s.M; ++m)
        for (int k = 0; k < s.K; ++k) s.residual.data()[m][k] = dm[m][k] - s.longEcho.data()[m][k];
    // 5. Final single-tap canceller against the delayed reference; the echo adds up.
    s.refDelay.horizontalView(0, &s.delayedRef);
    s.finalCore->process(&s.residual, &s.delayedRef, nearend, echo);
    for (int m = 0; m < s.M; ++m)
        for (int k = 0; k < s.K; ++k) echo->data()[m][k] += s.longEcho.data()[m][k];
}

}  // namespace velmora::aec
