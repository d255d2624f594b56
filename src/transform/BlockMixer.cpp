#include "transform/BlockMixer.h"

#include <cstring>
#include <vector>

#include "Error.h"
#include "blas/ComplexMatrix.h"
#include "transform/Simd.h"

using velmora::blas::Complex;
using velmora::blas::ComplexMatrix;

namespace {

using namespace velmora::transform::simd;

// acc[k] += a[k] * b[k] for k < n (complex, interleaved), two products per SIMD operation.
void multiplyAccumulate(const Complex* a, const Complex* b, int n, Complex* acc) {
    const float* pa = reinterpret_cast<const float*>(a);
    const float* pb = reinterpret_cast<const float*>(b);
    float* pc = reinterpret_cast<float*>(acc);
    const v4sf sign = {-1.0f, 1.0f, -1.0f, 1.0f};
    int k = 0;
    for (; k + 2 <= n; k += 2) {
        const v4sf x = load4(pa + 2 * k), y = load4(pb + 2 * k);
        const v4sf yr = shuffle<0, 0, 2, 2>(y);
        const v4sf yi = shuffle<1, 1, 3, 3>(y);
        const v4sf xs = shuffle<1, 0, 3, 2>(x);
        store4(pc + 2 * k, load4(pc + 2 * k) + x * yr + xs * yi * sign);
    }
    if (k < n) acc[k] += a[k] * b[k];
}

}  // namespace

struct BlockMixer::Impl {
    int numIns;
    int numOuts;
    int numBins;
    int flen;
    std::vector<std::unique_ptr<ComplexMatrix>> history;  // per input: flen x numBins, row 0 newest
    std::vector<std::unique_ptr<ComplexMatrix>> filters;  // [m * numIns + n]: flen x numBins

    Impl(int numins, int numouts, int numbins, int filterlen)
        : numIns(numins), numOuts(numouts), numBins(numbins), flen(filterlen) {
        for (int n = 0; n < numins; ++n)
            history.push_back(std::make_unique<ComplexMatrix>(filterlen, numbins));
        for (int i = 0; i < numins * numouts; ++i)
            filters.push_back(std::make_unique<ComplexMatrix>(filterlen, numbins));
    }
};

BlockMixer::BlockMixer(int numins, int numouts, int numbins, int flen) {
    VM_ASSERT(numins > 0);
    VM_ASSERT(numouts > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(flen > 0);
    pp = std::make_unique<Impl>(numins, numouts, numbins, flen);
}

BlockMixer::~BlockMixer() = default;

int BlockMixer::numIns() const {
    return pp->numIns;
}
int BlockMixer::numOuts() const {
    return pp->numOuts;
}
int BlockMixer::numBins() const {
    return pp->numBins;
}
int BlockMixer::filterLength() const {
    return pp->flen;
}

ComplexMatrix* BlockMixer::filter(int m, int n) {
    VM_ASSERT(m >= 0 && m < numOuts());
    VM_ASSERT(n >= 0 && n < numIns());
    return pp->filters[m * pp->numIns + n].get();
}

void BlockMixer::process(const ComplexMatrix* blockin, ComplexMatrix* blockout) {
    VM_ASSERT(blockin->numRows() == numIns() && blockin->numColumns() == numBins());
    VM_ASSERT(blockout->numRows() == numOuts() && blockout->numColumns() == numBins());
    const int nb = pp->numBins;
    for (int n = 0; n < pp->numIns; ++n) {
        ComplexMatrix* h = pp->history[n].get();
        h->rotateDown();
        std::memcpy(h->data()[0], blockin->data()[n], sizeof(Complex) * nb);
    }
    for (int m = 0; m < pp->numOuts; ++m) {
        Complex* out = blockout->data()[m];
        std::memset(static_cast<void*>(out), 0, sizeof(Complex) * nb);
        for (int n = 0; n < pp->numIns; ++n) {
            const Complex* const* f = pp->filters[m * pp->numIns + n]->data();
            const Complex* const* h = pp->history[n]->data();
            for (int t = 0; t < pp->flen; ++t) multiplyAccumulate(f[t], h[t], nb, out);
        }
    }
}
