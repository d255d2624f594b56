#pragma once
// Four-float SIMD values for the transforms' inner loops, written with the compiler's generic
// vector extension: SSE on x86-64, NEON on ARM, scalar code elsewhere, with no -march flag.
// Loads and stores go through memcpy, so no alignment is assumed.

#include <cstring>

namespace velmora::transform::simd {

typedef float v4sf __attribute__((vector_size(16)));
typedef int v4si __attribute__((vector_size(16)));

inline v4sf load4(const float* p) {
    v4sf v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store4(float* p, v4sf v) { std::memcpy(p, &v, sizeof v); }
inline void store2(float* p, v4sf v) { std::memcpy(p, &v, 2 * sizeof(float)); }
inline v4sf splat(float x) { return v4sf{x, x, x, x}; }

// Lanes of x (indices 0-3), or of x and y (0-3 from x, 4-7 from y), in the order given.
template <int A, int B, int C, int D>
inline v4sf shuffle(v4sf x) {
#if defined(__clang__)
    return __builtin_shufflevector(x, x, A, B, C, D);
#else
    return __builtin_shuffle(x, v4si{A, B, C, D});
#endif
}
template <int A, int B, int C, int D>
inline v4sf shuffle(v4sf x, v4sf y) {
#if defined(__clang__)
    return __builtin_shufflevector(x, y, A, B, C, D);
#else
    return __builtin_shuffle(x, y, v4si{A, B, C, D});
#endif
}

// y[i] = a[i] * b[i] over n rounded up to a multiple of 4: all three arrays must be container
// storage, which is padded to whole groups of four floats. y may equal a.
inline void multiplyPadded(const float* a, const float* b, int n, float* y) {
    for (int i = 0; i < n; i += 4) store4(y + i, load4(a + i) * load4(b + i));
}

}  // namespace velmora::transform::simd
