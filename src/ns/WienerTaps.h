#pragma once
// The multi-frame Wiener filter of the per-channel suppressors: from M = (interference
// covariance)^-1 (input covariance), L x L per bin, tap l of channel c's filter is
// conj(M[l][0]) / (Re tr M + beta), left unnormalised where that sum is below 1e-6.

#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"

namespace velmora::ns {

// `product` L x L x K, `filter` L x channels x K; `gain` (K values) is work space.
inline void wienerTaps(const blas::ComplexTensor3& product, float beta, int c, blas::Vector* gain,
                       blas::ComplexTensor3* filter) {
    constexpr float kMinNorm = 1e-6f;
    const int L = product.numRows();
    const int K = gain->size();
    product.trace(gain);
    float* g = gain->data();
    for (int k = 0; k < K; ++k) {
        const float t = g[k] + beta;
        g[k] = t >= kMinNorm ? 1.0f / t : 1.0f;
    }
    for (int l = 0; l < L; ++l) {
        const blas::Complex* m = product.data()[l][0];
        blas::Complex* w = filter->data()[l][c];
        for (int k = 0; k < K; ++k) w[k] = blas::Complex(m[k].real() * g[k], -m[k].imag() * g[k]);
    }
}

}  // namespace velmora::ns
