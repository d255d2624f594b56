#pragma once
// Element-wise complex kernels over contiguous runs of n Complex values (interleaved re, im
// floats), two complex products per four-float SIMD operation. Internal to the echo cancellers
// and dereverberators, whose per-bin state is stored bin-innermost so that every update is one
// such run per matrix element.

#include "blas/Complex.h"
#include "transform/Simd.h"

namespace velmora::aec::runs {

using blas::Complex;
using transform::simd::load4;
using transform::simd::shuffle;
using transform::simd::store4;
using transform::simd::v4sf;

inline float* fl(Complex* p) {
    return reinterpret_cast<float*>(p);
}
inline const float* fl(const Complex* p) {
    return reinterpret_cast<const float*>(p);
}

// (a * b) or (a * conj(b)) of two pairs of complex values held in x and y.
inline v4sf mul2(v4sf x, v4sf y) {
    const v4sf sign = {-1.0f, 1.0f, -1.0f, 1.0f};
    const v4sf yr = shuffle<0, 0, 2, 2>(y);
    const v4sf yi = shuffle<1, 1, 3, 3>(y);
    const v4sf xs = shuffle<1, 0, 3, 2>(x);
    return x * yr + xs * yi * sign;
}
inline v4sf mulConj2(v4sf x, v4sf y) {
    const v4sf sign = {1.0f, -1.0f, 1.0f, -1.0f};
    const v4sf yr = shuffle<0, 0, 2, 2>(y);
    const v4sf yi = shuffle<1, 1, 3, 3>(y);
    const v4sf xs = shuffle<1, 0, 3, 2>(x);
    return x * yr + xs * yi * sign;
}

// acc[k] += a[k] b[k]
inline void mac(const Complex* a, const Complex* b, int n, Complex* acc) {
    const float *pa = fl(a), *pb = fl(b);
    float* pc = fl(acc);
    int k = 0;
    for (; k + 2 <= n; k += 2)
        store4(pc + 2 * k, load4(pc + 2 * k) + mul2(load4(pa + 2 * k), load4(pb + 2 * k)));
    if (k < n) acc[k] += a[k] * b[k];
}

// acc[k] += a[k] conj(b[k])
inline void macConj(const Complex* a, const Complex* b, int n, Complex* acc) {
    const float *pa = fl(a), *pb = fl(b);
    float* pc = fl(acc);
    int k = 0;
    for (; k + 2 <= n; k += 2)
        store4(pc + 2 * k, load4(pc + 2 * k) + mulConj2(load4(pa + 2 * k), load4(pb + 2 * k)));
    if (k < n) acc[k] += a[k] * std::conj(b[k]);
}

// q[k] = (q[k] - a[k] conj(b[k])) * s
inline void rankOneScaled(const Complex* a, const Complex* b, float s, int n, Complex* q) {
    const float *pa = fl(a), *pb = fl(b);
    float* pq = fl(q);
    const v4sf vs = {s, s, s, s};
    int k = 0;
    for (; k + 2 <= n; k += 2)
        store4(pq + 2 * k,
               (load4(pq + 2 * k) - mulConj2(load4(pa + 2 * k), load4(pb + 2 * k))) * vs);
    if (k < n) q[k] = (q[k] - a[k] * std::conj(b[k])) * s;
}

// y[k] = s[k] x[k] for a real per-element factor s.
inline void scaleBy(const float* s, const Complex* x, int n, Complex* y) {
    for (int k = 0; k < n; ++k) y[k] = Complex(s[k] * x[k].real(), s[k] * x[k].imag());
}

// y[k] = conj(x[k])
inline void conjugate(const Complex* x, int n, Complex* y) {
    for (int k = 0; k < n; ++k) y[k] = Complex(x[k].real(), -x[k].imag());
}

}  // namespace velmora::aec::runs
