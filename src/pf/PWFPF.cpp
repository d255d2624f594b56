#include "pf/PWFPF.h"

#include <vector>

#include "Error.h"
#include "blas/BLAS.h"

namespace velmora::pf {

namespace {

constexpr int kDefaultLength = 2;         // filter length used when none (< 1) is given
constexpr float kInitialPn = 100000.0f;   // start of the inverse interference covariance
constexpr float kForget = 0.2f;           // weight of the old statistics per block
constexpr float kLearn = 0.8f;            // weight of the new snapshot per block
constexpr float kTraceLimit = 100000.0f;  // Pn traces above this are scaled down ...
constexpr float kTraceScale = 0.01f;      // ... by this factor, so silence cannot blow Pn up
constexpr float kMinDenominator = 1e-6f;  // below this the Wiener normalisation is skipped

}  // namespace

struct PWFPF::Impl {
    int numchs;
    int numbins;
    float beta;
    bool locked = false;
    int length;  // L
    // L x numchs x numbins, oldest block in slice 0, newest in slice L - 1.
    blas::ComplexTensor3 input;
    blas::ComplexTensor3 interference;
    // Per channel, L x L x numbins.
    std::vector<std::unique_ptr<blas::ComplexTensor3>> phix;
    std::vector<std::unique_ptr<blas::ComplexTensor3>> pn;
    blas::ComplexTensor3 filters;  // L x numchs x numbins
    // Scratch.
    blas::ComplexTensor3 product;  // Pn Phi_x, L x L x numbins
    blas::Vector traces;           // numbins
    blas::ComplexMatrix xView;     // L x numbins views on one channel of a history
    blas::ComplexMatrix vView;

    Impl(int numchs_, int numbins_, int len, float beta_)
        : numchs(numchs_),
          numbins(numbins_),
          beta(beta_),
          length(len),
          input(len, numchs_, numbins_),
          interference(len, numchs_, numbins_),
          filters(len, numchs_, numbins_),
          product(len, len, numbins_),
          traces(numbins_),
          xView(len, numbins_, true),
          vView(len, numbins_, true) {
        for (int i = 0; i < numchs; i++) {
            phix.emplace_back(new blas::ComplexTensor3(len, len, numbins));
            pn.emplace_back(new blas::ComplexTensor3(len, len, numbins));
            blas::loadDiagonal(pn.back().get(), kInitialPn);
        }
    }
};

PWFPF::PWFPF(int numchs, int numbins, int pflen, float beta) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(pflen >= 0);
    VM_ASSERT(beta >= 0.0);
    pp.reset(new Impl(numchs, numbins, pflen < 1 ? kDefaultLength : pflen, beta));
}

PWFPF::~PWFPF() = default;

int PWFPF::numChannels() const {
    return pp->numchs;
}
int PWFPF::numBins() const {
    return pp->numbins;
}
void PWFPF::lock(int, const float*) {
    pp->locked = true;
}
void PWFPF::unlock(int) {
    pp->locked = false;
}

void PWFPF::process(blas::ComplexMatrix* data) {
    VM_ASSERT(data->numRows() == numChannels() && data->numColumns() == numBins());
    Impl& s = *pp;
    const int numchs = s.numchs, numbins = s.numbins, len = s.length;

    s.input.pushBottom(data);
    s.interference.pushBottom();
    const blas::Complex* const* rows = data->data();
    blas::Complex** oldest = s.interference.data()[0];
    float* traces = s.traces.data();

    for (int i = 0; i < numchs; i++) {
        // Interference reference: the other channels of the current block.
        blas::Complex* ref = oldest[i];
        for (int c = 0; c < numchs; c++) {
            if (c == i) continue;
            const blas::Complex* row = rows[c];
            for (int k = 0; k < numbins; k++) ref[k] += row[k];
        }

        blas::ComplexTensor3* phix = s.phix[i].get();
        blas::ComplexTensor3* pn = s.pn[i].get();
        s.input.lateralView(i, &s.xView);
        blas::updateCovariance(kForget, kLearn, phix, &s.xView, phix);
        // Pn = (0.2 Pn^-1 + 0.8 v v^H)^-1 by the rank-one inverse update.
        s.interference.lateralView(i, &s.vView);
        blas::updateInverseCovariance(kForget, kLearn, pn, &s.vView, pn);
        blas::scaleWhereTraceAbove(pn, kTraceLimit, kTraceScale);

        // w = first column of Pn Phi_x over (trace + beta); the stored filter is conj(w).
        blas::multiplyPerBin(pn, phix, &s.product);
        s.product.trace(&s.traces);
        for (int k = 0; k < numbins; k++) {
            const float d = traces[k] + s.beta;
            traces[k] = d < kMinDenominator ? 1.0f : d;
        }
        blas::Complex*** m = s.product.data();
        blas::Complex*** w = s.filters.data();
        for (int l = 0; l < len; l++) {
            const blas::Complex* col0 = m[l][0];
            blas::Complex* f = w[l][i];
            for (int k = 0; k < numbins; k++) f[k] = std::conj(col0[k] / traces[k]);
        }
    }

    if (!s.locked) return;
    // Every row is rebuilt from the history, which holds a copy of the input block.
    blas::Complex** out = data->data();
    const blas::Complex* const* const* w = s.filters.data();
    const blas::Complex* const* const* x = s.input.data();
    for (int i = 0; i < numchs; i++) {
        blas::Complex* o = out[i];
        for (int k = 0; k < numbins; k++) o[k] = blas::Complex(0.0f, 0.0f);
        for (int l = 0; l < len; l++) {
            const blas::Complex* f = w[l][i];
            const blas::Complex* h = x[l][i];
            for (int k = 0; k < numbins; k++) o[k] += f[k] * h[k];
        }
    }
}

}  // namespace velmora::pf
