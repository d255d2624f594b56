#include "transform/FFT_fft160.h"

#include <cmath>
#include <cstring>

#include "Error.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "transform/Simd.h"

namespace velmora::transform {

namespace {

using namespace velmora::transform::simd;

// Four complex values, split into real and imaginary lanes.
struct cv {
    v4sf r, i;
};
inline cv operator+(cv a, cv b) {
    return {a.r + b.r, a.i + b.i};
}
inline cv operator-(cv a, cv b) {
    return {a.r - b.r, a.i - b.i};
}
inline cv operator*(v4sf s, cv a) {
    return {s * a.r, s * a.i};
}
inline cv cmul(cv a, v4sf wr, v4sf wi) {
    return {a.r * wr - a.i * wi, a.r * wi + a.i * wr};
}
// -i * a
inline cv mulNegI(cv a) {
    return {a.i, -a.r};
}

constexpr int kN = 160;   // complex transform length
constexpr int kPad = 12;  // lanes per row of the transposed work arrays (10 used)

// Shared twiddle tables. The two base tables hold e^(-2 pi i k / 160), k = 0..159, and
// e^(-2 pi i k / 320), k = 1..79; the others are the same values arranged for SIMD access.
struct Tables {
    float w160r[kN], w160i[kN];
    float w320r[80], w320i[80];
    // W80^(r k1) for 10-point output k1 of column c = 2 r + parity (applied before the
    // 8-point butterflies of the 80-point transforms).
    float colr[10][16], coli[10][16];
    // W160^(k1 + 10 k2) of the final radix-2 stage, lanes k1 (10 used, 2 padding).
    float finr[8][kPad], fini[8][kPad];

    Tables() {
        for (int k = 0; k < kN; ++k) {
            const double a = -2.0 * M_PI * k / kN;
            w160r[k] = static_cast<float>(std::cos(a));
            w160i[k] = static_cast<float>(std::sin(a));
        }
        // The quarter points are exact.
        w160r[40] = 0.0f;
        w160i[40] = -1.0f;
        w160r[120] = 0.0f;
        w160i[120] = 1.0f;
        w320r[0] = 1.0f;
        w320i[0] = 0.0f;
        for (int k = 1; k < 80; ++k) {
            const double a = -2.0 * M_PI * k / 320.0;
            w320r[k] = static_cast<float>(std::cos(a));
            w320i[k] = static_cast<float>(std::sin(a));
        }
        for (int k1 = 0; k1 < 10; ++k1) {
            for (int c = 0; c < 16; ++c) {
                const int idx = (2 * (c >> 1) * k1) % kN;  // W80^(r k1) = W160^(2 r k1)
                colr[k1][c] = w160r[idx];
                coli[k1][c] = w160i[idx];
            }
        }
        for (int k2 = 0; k2 < 8; ++k2) {
            for (int k1 = 0; k1 < kPad; ++k1) {
                finr[k2][k1] = k1 < 10 ? w160r[k1 + 10 * k2] : 0.0f;
                fini[k2][k1] = k1 < 10 ? w160i[k1 + 10 * k2] : 0.0f;
            }
        }
    }
};

const Tables& tables() {
    static const Tables t;  // built once, thread-safe
    return t;
}

// 5-point DFT (forward direction).
inline void dft5(cv x0, cv x1, cv x2, cv x3, cv x4, cv* y0, cv* y1, cv* y2, cv* y3, cv* y4) {
    const v4sf c1 = splat(0.309016994374947424f);   // cos(2 pi / 5)
    const v4sf c2 = splat(-0.809016994374947424f);  // cos(4 pi / 5)
    const v4sf s1 = splat(0.951056516295153572f);   // sin(2 pi / 5)
    const v4sf s2 = splat(0.587785252292473129f);   // sin(4 pi / 5)
    const cv a14 = x1 + x4, d14 = x1 - x4, a23 = x2 + x3, d23 = x2 - x3;
    *y0 = x0 + a14 + a23;
    const cv p1 = x0 + c1 * a14 + c2 * a23;
    const cv p2 = x0 + c2 * a14 + c1 * a23;
    const cv q1 = mulNegI(s1 * d14 + s2 * d23);
    const cv q2 = mulNegI(s2 * d14 - s1 * d23);
    *y1 = p1 + q1;
    *y4 = p1 - q1;
    *y2 = p2 + q2;
    *y3 = p2 - q2;
}

// 4-point DFT (forward direction).
inline void dft4(cv x0, cv x1, cv x2, cv x3, cv* y) {
    const cv s02 = x0 + x2, d02 = x0 - x2, s13 = x1 + x3, d13 = mulNegI(x1 - x3);
    y[0] = s02 + s13;
    y[2] = s02 - s13;
    y[1] = d02 + d13;
    y[3] = d02 - d13;
}

inline void transpose4(v4sf a, v4sf b, v4sf c, v4sf d, v4sf* out) {
    const v4sf t0 = shuffle<0, 4, 1, 5>(a, b);
    const v4sf t1 = shuffle<2, 6, 3, 7>(a, b);
    const v4sf t2 = shuffle<0, 4, 1, 5>(c, d);
    const v4sf t3 = shuffle<2, 6, 3, 7>(c, d);
    out[0] = shuffle<0, 1, 4, 5>(t0, t2);
    out[1] = shuffle<2, 3, 6, 7>(t0, t2);
    out[2] = shuffle<0, 1, 4, 5>(t1, t3);
    out[3] = shuffle<2, 3, 6, 7>(t1, t3);
}

}  // namespace

struct FFT_fft160::Impl {
    // Work arrays of the complex kernel: U holds the twiddled 10-point transforms, one row of
    // kPad lanes per column c = 2 r + parity; V the two 80-point transforms, one row per k2.
    alignas(16) float ur[16 * kPad], ui[16 * kPad];
    alignas(16) float vr[2 * 8 * kPad], vi[2 * 8 * kPad];
    // The 160-point result in natural order (split), plus padding.
    alignas(16) float zr[kN + 4], zi[kN + 4];
    // Interleaved 160-point spectrum rebuilt by the real inverse transform.
    alignas(16) float scratch[2 * kN];

    // 160-point DFT of the interleaved complex sequence `src` into zr / zi. With `swapIn` the
    // real and imaginary parts of the input are exchanged on reading (used for inverses).
    //
    // Index n = 16 t + c with t = 0..9 and c = 2 r + p: p selects the even (0) or odd (1)
    // half, r = 0..7 the group of the 8 x 10 split of that 80-point half.
    template <bool swapIn>
    void dft160(const float* src) {
        const Tables& tb = tables();
        for (int cb = 0; cb < 4; ++cb) {
            // Ten-point transforms along t for the four columns 4 cb .. 4 cb + 3.
            cv a[10];
#pragma GCC unroll 16
            for (int t = 0; t < 10; ++t) {
                const float* p = src + 2 * (16 * t + 4 * cb);
                const v4sf v0 = load4(p), v1 = load4(p + 4);
                const v4sf re = shuffle<0, 2, 4, 6>(v0, v1);
                const v4sf im = shuffle<1, 3, 5, 7>(v0, v1);
                a[t] = swapIn ? cv{im, re} : cv{re, im};
            }
            cv e[5], o[5], y[12];
            dft5(a[0], a[2], a[4], a[6], a[8], &e[0], &e[1], &e[2], &e[3], &e[4]);
            dft5(a[1], a[3], a[5], a[7], a[9], &o[0], &o[1], &o[2], &o[3], &o[4]);
            y[0] = e[0] + o[0];
            y[5] = e[0] - o[0];
#pragma GCC unroll 16
            for (int k = 1; k < 5; ++k) {
                // W10^k = W160^(16 k)
                const cv t = cmul(o[k], splat(tb.w160r[16 * k]), splat(tb.w160i[16 * k]));
                y[k] = e[k] + t;
                y[k + 5] = e[k] - t;
            }
#pragma GCC unroll 16
            for (int k1 = 1; k1 < 10; ++k1)
                y[k1] = cmul(y[k1], load4(tb.colr[k1] + 4 * cb), load4(tb.coli[k1] + 4 * cb));
            y[10] = y[11] = cv{splat(0.0f), splat(0.0f)};
// Transpose so that each column's ten values lie contiguously.
#pragma GCC unroll 16
            for (int kb = 0; kb < 3; ++kb) {
                v4sf tr[4], ti[4];
                transpose4(y[4 * kb].r, y[4 * kb + 1].r, y[4 * kb + 2].r, y[4 * kb + 3].r, tr);
                transpose4(y[4 * kb].i, y[4 * kb + 1].i, y[4 * kb + 2].i, y[4 * kb + 3].i, ti);
#pragma GCC unroll 16
                for (int q = 0; q < 4; ++q) {
                    store4(ur + (4 * cb + q) * kPad + 4 * kb, tr[q]);
                    store4(ui + (4 * cb + q) * kPad + 4 * kb, ti[q]);
                }
            }
        }
        // Eight-point butterflies across the groups r of each half.
        const v4sf h = splat(0.707106781186547524f);
        for (int p = 0; p < 2; ++p) {
            for (int kb = 0; kb < 3; ++kb) {
                cv x[8];
#pragma GCC unroll 16
                for (int r = 0; r < 8; ++r) {
                    const int off = (2 * r + p) * kPad + 4 * kb;
                    x[r] = cv{load4(ur + off), load4(ui + off)};
                }
                cv e[4], o[4];
                dft4(x[0], x[2], x[4], x[6], e);
                dft4(x[1], x[3], x[5], x[7], o);
                const cv o1 = h * cv{o[1].r + o[1].i, o[1].i - o[1].r};     // W8^1 o1
                const cv o2 = mulNegI(o[2]);                                // W8^2 o2
                const cv o3 = h * cv{o[3].i - o[3].r, -(o[3].r + o[3].i)};  // W8^3 o3
                const cv yv[8] = {e[0] + o[0], e[1] + o1, e[2] + o2, e[3] + o3,
                                  e[0] - o[0], e[1] - o1, e[2] - o2, e[3] - o3};
#pragma GCC unroll 16
                for (int k2 = 0; k2 < 8; ++k2) {
                    const int off = (p * 8 + k2) * kPad + 4 * kb;
                    store4(vr + off, yv[k2].r);
                    store4(vi + off, yv[k2].i);
                }
            }
        }
        // Radix-2 stage joining the even and odd halves: X[k] = E[k] + W160^k O[k] and
        // X[k + 80] = E[k] - W160^k O[k], k = k1 + 10 k2.
        for (int k2 = 0; k2 < 8; ++k2) {
            for (int kb = 0; kb < 3; ++kb) {
                const int off = k2 * kPad + 4 * kb;
                const cv ev{load4(vr + off), load4(vi + off)};
                const cv od{load4(vr + 8 * kPad + off), load4(vi + 8 * kPad + off)};
                const cv t = cmul(od, load4(tb.finr[k2] + 4 * kb), load4(tb.fini[k2] + 4 * kb));
                const cv lo = ev + t, hi = ev - t;
                const int k = 10 * k2 + 4 * kb;
                if (kb < 2) {
                    store4(zr + k, lo.r);
                    store4(zi + k, lo.i);
                    store4(zr + 80 + k, hi.r);
                    store4(zi + 80 + k, hi.i);
                } else {
                    store2(zr + k, lo.r);
                    store2(zi + k, lo.i);
                    store2(zr + 80 + k, hi.r);
                    store2(zi + 80 + k, hi.i);
                }
            }
        }
    }

    // Writes zr / zi interleaved into `out`, times `scale`; with `swapOut` the parts trade places.
    template <bool swapOut>
    void interleave(float scale, float* out) const {
        const v4sf s = splat(scale);
        for (int i = 0; i < kN; i += 4) {
            const v4sf a = (swapOut ? load4(zi + i) : load4(zr + i)) * s;
            const v4sf b = (swapOut ? load4(zr + i) : load4(zi + i)) * s;
            store4(out + 2 * i, shuffle<0, 4, 1, 5>(a, b));
            store4(out + 2 * i + 4, shuffle<2, 6, 3, 7>(a, b));
        }
    }
};

FFT_fft160::FFT_fft160() : pp(std::make_unique<Impl>()) {
    tables();
}

FFT_fft160::~FFT_fft160() = default;

void FFT_fft160::fft(const blas::Vector* x, blas::ComplexVector* fx) {
    VM_ASSERT(x->size() == fftSize());
    VM_ASSERT(fx->size() == fftSize() / 2);
    const Tables& tb = tables();
    // z[n] = x[2n] + i x[2n+1]; Z = DFT160(z) is then split into the spectra of the even and
    // odd samples and joined with the twiddles of the 320-point transform.
    pp->dft160<false>(x->data());
    const float* zr = pp->zr;
    const float* zi = pp->zi;
    float* out = reinterpret_cast<float*>(fx->data());
    out[0] = zr[0] + zi[0];
    out[1] = zr[0] - zi[0];
    out[2 * 80] = zr[80];
    out[2 * 80 + 1] = -zi[80];
    for (int k = 1; k < 80; ++k) {
        const int l = kN - k;
        const float er = 0.5f * (zr[k] + zr[l]), ei = 0.5f * (zi[k] - zi[l]);
        const float orr = 0.5f * (zi[k] + zi[l]), oi = 0.5f * (zr[l] - zr[k]);
        const float wr = tb.w320r[k], wi = tb.w320i[k];
        const float tr = wr * orr - wi * oi, ti = wr * oi + wi * orr;
        out[2 * k] = er + tr;
        out[2 * k + 1] = ei + ti;
        out[2 * l] = er - tr;
        out[2 * l + 1] = ti - ei;
    }
}

void FFT_fft160::ifft(const blas::ComplexVector* fx, blas::Vector* x) {
    VM_ASSERT(x->size() == fftSize());
    VM_ASSERT(fx->size() == fftSize() / 2);
    const Tables& tb = tables();
    // Rebuild 2 Z, the 160-point spectrum of z[n] = x[2n] + i x[2n+1], then invert it.
    const float* in = reinterpret_cast<const float*>(fx->data());
    float* z = pp->scratch;
    const float x0 = in[0], x160 = in[1];
    z[0] = x0 + x160;
    z[1] = x0 - x160;
    z[2 * 80] = 2.0f * in[2 * 80];
    z[2 * 80 + 1] = -2.0f * in[2 * 80 + 1];
    for (int k = 1; k < 80; ++k) {
        const int l = kN - k;
        const float ar = in[2 * k] + in[2 * l], ai = in[2 * k + 1] - in[2 * l + 1];
        const float br = in[2 * k] - in[2 * l], bi = in[2 * k + 1] + in[2 * l + 1];
        const float wr = tb.w320r[k], wi = tb.w320i[k];
        const float cr = wr * br + wi * bi, ci = wr * bi - wi * br;
        z[2 * k] = ar - ci;
        z[2 * k + 1] = ai + cr;
        z[2 * l] = ar + ci;
        z[2 * l + 1] = cr - ai;
    }
    pp->dft160<true>(z);
    pp->interleave<true>(1.0f / 320.0f, x->data());
}

void FFT_fft160::fft(const blas::ComplexVector* x, blas::ComplexVector* fx) {
    VM_ASSERT(x->size() == fftSize() / 2);
    VM_ASSERT(fx->size() == fftSize() / 2);
    pp->dft160<false>(reinterpret_cast<const float*>(x->data()));
    pp->interleave<false>(1.0f, reinterpret_cast<float*>(fx->data()));
}

void FFT_fft160::ifft(const blas::ComplexVector* fx, blas::ComplexVector* x) {
    VM_ASSERT(x->size() == fftSize() / 2);
    VM_ASSERT(fx->size() == fftSize() / 2);
    pp->dft160<true>(reinterpret_cast<const float*>(fx->data()));
    pp->interleave<true>(1.0f / 160.0f, reinterpret_cast<float*>(x->data()));
}

}  // namespace velmora::transform
