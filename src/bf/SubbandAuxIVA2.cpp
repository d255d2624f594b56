#include "bf/SubbandAuxIVA2.h"

#include <cmath>
#include <vector>

#include "Error.h"
#include "bf/StereoAuxIVA.h"
#include "bf/TwoLevelGrid.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"
#include "transform/BlockMixer.h"
#include "transform/FFTWrapper.h"
#include "util/Numeric.h"

namespace velmora::bf {

using blas::Complex;

namespace {

constexpr float kForget = 0.99f;
constexpr float kLoading = 1e-5f;     // diagonal loading per sub-bin
constexpr float kGrowthLimit = 5.0f;  // a sub-bin's covariances may grow at most this much
// The weighted covariances start empty: the demixed powers behind phi are full-band sums over
// 16 blocks, so the weighted covariances stay small (traces of 1e-3 .. 1 on speech at
// -20 dBFS) and any start value of that order would outweigh the data for seconds; the loading
// above keeps the closed-form solution defined meanwhile.
constexpr float kInitialCovariance = 0.0f;
constexpr float kPowerOffset = 0.01f;  // phi = (sum + this)^kShape
constexpr float kShape = -0.9f;

}  // namespace

struct SubbandAuxIVA2::Impl {
    std::unique_ptr<TwoLevelGrid> grid;
    std::vector<std::unique_ptr<StereoAuxIVA>> cores;
    std::unique_ptr<blas::ComplexMatrix> clean, X;
    std::unique_ptr<EnergyRing> ring;  // output powers of the last F/2 blocks
    std::unique_ptr<blas::Vector> phi;
};

SubbandAuxIVA2::SubbandAuxIVA2(int fftsize, int /*flag*/) : pp(new Impl) {
    VM_ASSERT(FFTWrapper::isPowOf2(fftsize) && fftsize >= 8);
    Impl& s = *pp;
    // Lc = F/2 and D = 4 (160 bins) give exactly F second-level bins and taps F/2 - 4 .. F - 1.
    s.grid = std::make_unique<TwoLevelGrid>(2, 2, NUM_BINS, fftsize / 2);
    const int F = s.grid->secondSize();
    for (int k = 0; k < NUM_BINS; ++k) {
        s.cores.push_back(std::make_unique<StereoAuxIVA>(F, kInitialCovariance));
        s.cores.back()->setGrowthLimit(kGrowthLimit);
    }
    s.clean = std::make_unique<blas::ComplexMatrix>(2, NUM_BINS);
    s.X = std::make_unique<blas::ComplexMatrix>(2, F);
    s.ring = std::make_unique<EnergyRing>(2, F / 2);
    s.phi = std::make_unique<blas::Vector>(2);
}

SubbandAuxIVA2::~SubbandAuxIVA2() = default;

int SubbandAuxIVA2::delay() const {
    return pp->grid->lookahead();
}

void SubbandAuxIVA2::process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) {
    VM_ASSERT(in->numRows() == numMics() && in->numColumns() == numBins());
    VM_ASSERT(out->numRows() == numOuts() && out->numColumns() == numBins());
    Impl& s = *pp;
    for (int m = 0; m < 2; ++m) util::zeroAbsurd(in->data()[m], s.clean->data()[m], NUM_BINS);
    s.grid->mixer()->process(s.clean.get(), out);
    float sums[2];
    s.ring->push(out, 2, sums);
    for (int src = 0; src < 2; ++src)
        s.phi->data()[src] = std::pow((sums[src] > 0.0f ? sums[src] : 0.0f) + kPowerOffset, kShape);

    s.grid->push(s.clean.get());
    for (int i = 0; i < s.grid->binsPerBlock(); ++i) {
        const int b = s.grid->nextBin();
        s.grid->analyse(b, s.X.get());
        StereoAuxIVA& core = *s.cores[b];
        core.update(kForget, kLoading, 0, s.phi.get(), s.X.get());
        const Complex* const* const* W = core.demixing()->data();
        for (int n = 0; n < 2; ++n)
            for (int c = 0; c < 2; ++c) s.grid->setTaps(n, c, b, W[n][c]);
    }
}

}  // namespace velmora::bf
