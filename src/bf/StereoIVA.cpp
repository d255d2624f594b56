#include "bf/StereoIVA.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "bf/StereoAuxIVA.h"
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
constexpr float kAcrossForget = 0.998f;  // across-bin core, per block
// Samples are full scale +-1, so the weighted covariances of speech in the cores have traces of
// about 1e-3 .. 1 per bin. A loading or start value near 1e-3 outweighs the data and holds the
// filters near the identity: the loading for good, and the start of a per-bin core for seconds,
// since each core is refreshed only every 16 blocks (forget 0.99 per refresh, a time constant of
// about 16 s). The across-bin core forgets 0.998 per block (a time constant of 5 s), so its
// start of 0.001 I fades within the first seconds; it separates no worse than a smaller start.
constexpr float kLoading = 1e-5f;       // StereoIVA's diagonal loading
constexpr float kBinStart = 1e-5f;      // per-bin cores' covariances at start (times I)
constexpr float kAcrossStart = 0.001f;  // across-bin core's covariances at start (times I)
constexpr float kV4Loading = 0.0001f;   // StereoIVAV4's loading when bf_level is 0
constexpr int kLagHalfWidth = 1;        // blocks either side of lag 0 in the mixing sums
constexpr float kMinPower = 0.01f;
constexpr float kShape = -0.9f;

// Inverse of the 2 x 2 matrix w (entries at bin k), or false when it is singular.
bool invert2x2(const Complex* const* const* w, int k, Complex inv[2][2]) {
    const Complex det = w[0][0][k] * w[1][1][k] - w[0][1][k] * w[1][0][k];
    if (!(std::norm(det) > 0.0f) || !std::isfinite(std::norm(det))) return false;
    const Complex r = 1.0f / det;
    inv[0][0] = w[1][1][k] * r;
    inv[0][1] = -w[0][1][k] * r;
    inv[1][0] = -w[1][0][k] * r;
    inv[1][1] = w[0][0][k] * r;
    return true;
}

}  // namespace

struct StereoIVA::Impl {
    int K = 0, type = 0;
    bool twoLevel = false, sslflag = false;
    float loading = kLoading;
    std::unique_ptr<TwoLevelGrid> grid;
    std::vector<std::unique_ptr<StereoAuxIVA>> cores;
    std::unique_ptr<StereoAuxIVA> across;
    std::unique_ptr<blas::ComplexMatrix> clean, X, mid;
    std::unique_ptr<EnergyRing> ring;  // output powers of the last F/2 blocks
    std::unique_ptr<blas::Vector> phi;
    std::vector<Complex> inverse;                  // [i][j][f]: inverse demixing of one bin
    std::unique_ptr<blas::ComplexTensor3> lagged;  // 2 x 2 x K
    std::unique_ptr<blas::ComplexTensor3> ssl;     // 2 x 2 x K, two-level forms
};

StereoIVA::StereoIVA(int numbins, int fcausallen, float level, bool sslflag)
    : StereoIVA(numbins, fcausallen, util::truncateToInt(level) == 2, kLoading,
                util::truncateToInt(level), sslflag) {}

StereoIVAV4::StereoIVAV4(int numbins, int fcausallen, float level, bool sslflag)
    : StereoIVA(numbins, fcausallen, true, level > 0.0f ? level : kV4Loading, 0, sslflag) {}

StereoIVA::StereoIVA(int numbins, int fcausallen, bool twoLevel, float loading, int type,
                     bool sslflag)
    : pp(new Impl) {
    VM_ASSERT(numbins > 0);
    VM_ASSERT(fcausallen >= 0);
    Impl& s = *pp;
    s.K = numbins;
    s.type = type;
    s.twoLevel = twoLevel;
    s.loading = loading;
    s.sslflag = sslflag;
    s.grid = std::make_unique<TwoLevelGrid>(2, 2, s.K, fcausallen);
    const int F = s.grid->secondSize();
    for (int k = 0; k < s.K; ++k) s.cores.push_back(std::make_unique<StereoAuxIVA>(F, kBinStart));
    if (s.twoLevel) {
        s.across = std::make_unique<StereoAuxIVA>(s.K, kAcrossStart);
        s.mid = std::make_unique<blas::ComplexMatrix>(2, s.K);
    }
    s.clean = std::make_unique<blas::ComplexMatrix>(2, s.K);
    s.X = std::make_unique<blas::ComplexMatrix>(2, F);
    s.ring = std::make_unique<EnergyRing>(2, F / 2);
    s.phi = std::make_unique<blas::Vector>(2);
    s.inverse.assign(4 * static_cast<size_t>(F), Complex(0.0f, 0.0f));
    s.lagged = std::make_unique<blas::ComplexTensor3>(2, 2, s.K);
    s.ssl = std::make_unique<blas::ComplexTensor3>(2, 2, s.K);
}

StereoIVA::~StereoIVA() = default;

int StereoIVA::numMics() const {
    return 2;
}
int StereoIVA::numOuts() const {
    return 2;
}
int StereoIVA::numBins() const {
    return pp->K;
}
int StereoIVA::delay() const {
    return pp->grid->lookahead();
}

blas::ComplexTensor3* StereoIVA::sslData() {
    return pp->twoLevel ? pp->ssl.get() : pp->lagged.get();
}

void StereoIVA::process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) {
    VM_ASSERT(in->numRows() == numMics() && in->numColumns() == numBins());
    VM_ASSERT(out->numRows() == numOuts() && out->numColumns() == numBins());
    Impl& s = *pp;
    const int K = s.K, F = s.grid->secondSize();
    for (int m = 0; m < 2; ++m) util::zeroAbsurd(in->data()[m], s.clean->data()[m], K);
    BlockMixer* mixer = s.grid->mixer();

    if (!s.twoLevel) {
        mixer->process(s.clean.get(), out);
        float sums[2];
        s.ring->push(out, 2, sums);
        for (int src = 0; src < 2; ++src)
            s.phi->data()[src] = std::pow(sums[src] > kMinPower ? sums[src] : kMinPower, kShape);
    }

    s.grid->push(s.clean.get());
    for (int i = 0; i < s.grid->binsPerBlock(); ++i) {
        const int b = s.grid->nextBin();
        s.grid->analyse(b, s.X.get());
        StereoAuxIVA& core = *s.cores[b];
        if (s.twoLevel)
            core.process(kForget, s.loading, 0, s.X.get(), nullptr);
        else
            core.update(kForget, s.loading, s.type, s.phi.get(), s.X.get());
        const Complex* const* const* W = core.demixing()->data();
        for (int n = 0; n < 2; ++n)
            for (int c = 0; c < 2; ++c) s.grid->setTaps(n, c, b, W[n][c]);
        if (s.sslflag) {
            // Per sub-bin inverse of the demixing filters (identity where singular).
            for (int f = 0; f < F; ++f) {
                Complex inv[2][2] = {{1.0f, 0.0f}, {0.0f, 1.0f}};
                invert2x2(W, f, inv);
                for (int j = 0; j < 2; ++j)
                    for (int src = 0; src < 2; ++src)
                        s.inverse[(static_cast<size_t>(j) * 2 + src) * F + f] = inv[j][src];
            }
            for (int j = 0; j < 2; ++j)
                for (int src = 0; src < 2; ++src)
                    s.lagged->data()[j][src][b] = s.grid->lagSum(
                        s.inverse.data() + (static_cast<size_t>(j) * 2 + src) * F, kLagHalfWidth);
        }
    }

    if (s.twoLevel) {
        mixer->process(s.clean.get(), s.mid.get());
        s.across->process(kAcrossForget, s.loading, 1, s.mid.get(), out);
        if (s.sslflag) {
            const Complex* const* const* W2 = s.across->demixing()->data();
            Complex*** L = s.lagged->data();
            Complex*** T = s.ssl->data();
            for (int k = 0; k < K; ++k) {
                Complex A2[2][2] = {{1.0f, 0.0f}, {0.0f, 1.0f}};
                invert2x2(W2, k, A2);
                for (int j = 0; j < 2; ++j)
                    for (int src = 0; src < 2; ++src)
                        T[j][src][k] = L[j][0][k] * A2[0][src] + L[j][1][k] * A2[1][src];
            }
        }
    }
}

}  // namespace velmora::bf
