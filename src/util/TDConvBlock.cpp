#include "util/TDConvBlock.h"

#include <algorithm>
#include <vector>

#include "Error.h"

namespace velmora::util {

struct TDConvBlock::Impl {
    int numchout;
    int size;
    // Tap-major coefficients: coef[j * numchout + i] = h_i[j], so that one tap of every filter
    // is a contiguous run and the loop over filters vectorises.
    std::vector<float> coef;
    // Input history stored twice (2 * size floats): the sample at ring position p is at hist[p]
    // and hist[p + size], so x[n - j] = hist[pos + size - j] without wrapping.
    std::vector<float> hist;
    int pos = 0;
    std::vector<float> acc;  // numchout partial sums
};

TDConvBlock::TDConvBlock(int numchout, int size) {
    // The condition texts below are the reported assertion texts: keep them unformatted.
    // clang-format off
    VM_ASSERT(numchout>0);
    VM_ASSERT(size>0);
    // clang-format on
    pp = std::make_unique<Impl>();
    pp->numchout = numchout;
    pp->size = size;
    pp->coef.assign(static_cast<size_t>(numchout) * size, 0.0f);
    pp->hist.assign(2 * static_cast<size_t>(size), 0.0f);
    pp->acc.assign(numchout, 0.0f);
}

TDConvBlock::~TDConvBlock() = default;

int TDConvBlock::numChannelsOut() const {
    return pp->numchout;
}
int TDConvBlock::size() const {
    return pp->size;
}

void TDConvBlock::setFilter(int chidx, const float* coeffs, int count) {
    // clang-format off
    VM_ASSERT(chidx>=0&&chidx<pp->numchout);
    // clang-format on
    const int n = std::max(0, std::min(count, pp->size));
    for (int j = 0; j < pp->size; ++j)
        pp->coef[static_cast<size_t>(j) * pp->numchout + chidx] = j < n ? coeffs[j] : 0.0f;
}

void TDConvBlock::process(float x, float* out) {
    Impl& s = *pp;
    const int m = s.numchout;
    const int len = s.size;
    s.hist[s.pos] = x;
    s.hist[s.pos + len] = x;
    const float* __restrict__ newest = s.hist.data() + s.pos + len;  // newest[-j] = x[n - j]
    const float* __restrict__ h = s.coef.data();
    float* __restrict__ acc = s.acc.data();
    if (m == 1) {
        float a = 0.0f;
        for (int j = 0; j < len; ++j) a += h[j] * newest[-j];
        out[0] = a;
    } else {
        std::fill(acc, acc + m, 0.0f);
        for (int j = 0; j < len; ++j) {
            const float xj = newest[-j];
            const float* __restrict__ hj = h + static_cast<size_t>(j) * m;
            for (int i = 0; i < m; ++i) acc[i] += hj[i] * xj;
        }
        std::copy(acc, acc + m, out);
    }
    if (++s.pos == len) s.pos = 0;
}

}  // namespace velmora::util
