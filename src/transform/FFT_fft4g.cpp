#include "transform/FFT_fft4g.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "Error.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "transform/FFTWrapper.h"
#include "transform/Simd.h"

using velmora::blas::ComplexVector;
using velmora::blas::Vector;

namespace {

using namespace velmora::transform::simd;

// Writes n complex values held as split arrays (n a multiple of 4) into interleaved `out`,
// multiplied by `scale`. With `swap` the real and imaginary arrays trade places, which turns
// the result of a forward transform of swapped input into the inverse transform.
template <bool swap>
void interleave(const float* re, const float* im, int n, float scale, float* out) {
    const v4sf s = {scale, scale, scale, scale};
    for (int i = 0; i < n; i += 4) {
        const v4sf a = (swap ? load4(im + i) : load4(re + i)) * s;
        const v4sf b = (swap ? load4(re + i) : load4(im + i)) * s;
        store4(out + 2 * i, shuffle<0, 4, 1, 5>(a, b));
        store4(out + 2 * i + 4, shuffle<2, 6, 3, 7>(a, b));
    }
}

// Complex DFT of a power-of-two length n by decimation in time. The input is gathered in
// bit-reversed order from interleaved storage, the first two radix-2 stages are fused into one
// 4-point pass, and the remaining stages run as radix-4 passes (plus one radix-2 pass when
// their number is odd) over split arrays, four butterflies per SIMD operation. Every pass has
// its own contiguous twiddle arrays, so the inner loops read memory strictly in order.
class Pow2Plan {
  public:
    explicit Pow2Plan(int n) : n_(n) {
        int bits = 0;
        while ((1 << bits) < n) ++bits;
        rev_.resize(n);
        for (int i = 0; i < n; ++i) {
            int r = 0;
            for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
            rev_[i] = 2 * r;  // float offset of the complex element
        }
        if (bits <= 2) return;
        int h = 4;
        int remaining = bits - 2;
        if (remaining % 2 == 1) {
            passes_.push_back({h, false, static_cast<int>(tw_.size())});
            for (int part = 0; part < 2; ++part) {
                for (int j = 0; j < h; ++j) {
                    const double a = -2.0 * M_PI * j / (2.0 * h);
                    tw_.push_back(static_cast<float>(part == 0 ? std::cos(a) : std::sin(a)));
                }
            }
            h *= 2;
            remaining -= 1;
        }
        for (; remaining > 0; remaining -= 2, h *= 4) {
            passes_.push_back({h, true, static_cast<int>(tw_.size())});
            for (int m = 1; m <= 3; ++m) {
                for (int part = 0; part < 2; ++part) {
                    for (int j = 0; j < h; ++j) {
                        const double a = -2.0 * M_PI * m * j / (4.0 * h);
                        tw_.push_back(static_cast<float>(part == 0 ? std::cos(a) : std::sin(a)));
                    }
                }
            }
        }
    }

    int size() const { return n_; }

    // Transforms the n complex values of interleaved `src` (real part at float offset `ore`,
    // imaginary part at `oim` of each pair) into split arrays re and im (n floats each, in
    // natural order). Passing ore = 1, oim = 0 transforms the swapped input.
    void run(const float* src, int ore, int oim, float* re, float* im) const {
        const int n = n_;
        if (n == 1) {
            re[0] = src[ore];
            im[0] = src[oim];
            return;
        }
        if (n == 2) {
            const float ar = src[ore], ai = src[oim], br = src[2 + ore], bi = src[2 + oim];
            re[0] = ar + br;
            im[0] = ai + bi;
            re[1] = ar - br;
            im[1] = ai - bi;
            return;
        }
        const int* rv = rev_.data();
        const float* sr = src + ore;
        const float* si = src + oim;
        for (int g = 0; g < n; g += 4) {
            const int p0 = rv[g], p1 = rv[g + 1], p2 = rv[g + 2], p3 = rv[g + 3];
            const float b0r = sr[p0] + sr[p1], b0i = si[p0] + si[p1];
            const float b1r = sr[p0] - sr[p1], b1i = si[p0] - si[p1];
            const float b2r = sr[p2] + sr[p3], b2i = si[p2] + si[p3];
            const float b3r = sr[p2] - sr[p3], b3i = si[p2] - si[p3];
            re[g] = b0r + b2r;
            im[g] = b0i + b2i;
            re[g + 2] = b0r - b2r;
            im[g + 2] = b0i - b2i;
            // Twiddle -i on b3.
            re[g + 1] = b1r + b3i;
            im[g + 1] = b1i - b3r;
            re[g + 3] = b1r - b3i;
            im[g + 3] = b1i + b3r;
        }
        for (const Pass& p : passes_) {
            if (p.radix4)
                radix4(p.h, tw_.data() + p.tw, re, im);
            else
                radix2(p.h, tw_.data() + p.tw, re, im);
        }
    }

  private:
    struct Pass {
        int h;        // length of the sub-transforms combined by this pass
        bool radix4;  // combines four of them (else two)
        int tw;       // offset of this pass's twiddle arrays in tw_
    };

    void radix2(int h, const float* tw, float* re, float* im) const {
        const float* wr = tw;
        const float* wi = tw + h;
        for (int b = 0; b < n_; b += 2 * h) {
            float* r0 = re + b;
            float* i0 = im + b;
            float* r1 = r0 + h;
            float* i1 = i0 + h;
            for (int j = 0; j < h; j += 4) {
                const v4sf cr = load4(wr + j), ci = load4(wi + j);
                const v4sf xr = load4(r1 + j), xi = load4(i1 + j);
                const v4sf tr = xr * cr - xi * ci, ti = xr * ci + xi * cr;
                const v4sf ar = load4(r0 + j), ai = load4(i0 + j);
                store4(r0 + j, ar + tr);
                store4(i0 + j, ai + ti);
                store4(r1 + j, ar - tr);
                store4(i1 + j, ai - ti);
            }
        }
    }

    // Combines four transforms of length h, found (because of the bit-reversed input order) at
    // offsets 0, 2h, h and 3h for the residues 0, 1, 2 and 3, into one of length 4h.
    void radix4(int h, const float* tw, float* re, float* im) const {
        const float* w1r = tw;
        const float* w1i = tw + h;
        const float* w2r = tw + 2 * h;
        const float* w2i = tw + 3 * h;
        const float* w3r = tw + 4 * h;
        const float* w3i = tw + 5 * h;
        for (int b = 0; b < n_; b += 4 * h) {
            float* r0 = re + b;
            float* i0 = im + b;
            float* r1 = r0 + h;
            float* i1 = i0 + h;
            float* r2 = r1 + h;
            float* i2 = i1 + h;
            float* r3 = r2 + h;
            float* i3 = i2 + h;
            for (int j = 0; j < h; j += 4) {
                v4sf cr = load4(w1r + j), ci = load4(w1i + j);
                v4sf xr = load4(r2 + j), xi = load4(i2 + j);
                const v4sf t1r = xr * cr - xi * ci, t1i = xr * ci + xi * cr;
                cr = load4(w2r + j);
                ci = load4(w2i + j);
                xr = load4(r1 + j);
                xi = load4(i1 + j);
                const v4sf t2r = xr * cr - xi * ci, t2i = xr * ci + xi * cr;
                cr = load4(w3r + j);
                ci = load4(w3i + j);
                xr = load4(r3 + j);
                xi = load4(i3 + j);
                const v4sf t3r = xr * cr - xi * ci, t3i = xr * ci + xi * cr;
                const v4sf t0r = load4(r0 + j), t0i = load4(i0 + j);
                const v4sf s02r = t0r + t2r, s02i = t0i + t2i;
                const v4sf d02r = t0r - t2r, d02i = t0i - t2i;
                const v4sf s13r = t1r + t3r, s13i = t1i + t3i;
                const v4sf d13r = t1r - t3r, d13i = t1i - t3i;
                store4(r0 + j, s02r + s13r);
                store4(i0 + j, s02i + s13i);
                store4(r2 + j, s02r - s13r);
                store4(i2 + j, s02i - s13i);
                store4(r1 + j, d02r + d13i);
                store4(i1 + j, d02i - d13r);
                store4(r3 + j, d02r - d13i);
                store4(i3 + j, d02i + d13r);
            }
        }
    }

    int n_;
    std::vector<int> rev_;
    std::vector<Pass> passes_;
    std::vector<float> tw_;
};

}  // namespace

struct FFT_fft4g::Impl {
    int fftsize;
    Pow2Plan full;              // complex transform of fftsize points
    Pow2Plan half;              // complex transform of fftsize/2 points (real transform)
    std::vector<float> wr, wi;  // e^(-2 pi i k / fftsize), k = 0 .. fftsize/4
    std::vector<float> re, im;  // split work arrays, fftsize floats each (+ padding)
    std::vector<float> packed;  // interleaved complex buffer of fftsize/2 values (+ padding)

    explicit Impl(int n)
        : fftsize(n),
          full(n),
          half(n >= 2 ? n / 2 : 1),
          wr(n / 4 + 1),
          wi(n / 4 + 1),
          re(n + 4),
          im(n + 4),
          packed(n + 8) {
        for (int k = 0; k <= n / 4; ++k) {
            const double a = -2.0 * M_PI * k / n;
            wr[k] = static_cast<float>(std::cos(a));
            wi[k] = static_cast<float>(std::sin(a));
        }
    }
};

FFT_fft4g::FFT_fft4g(int fftsize) {
    VM_ASSERT(FFTWrapper::isPowOf2(fftsize));
    pp = std::make_unique<Impl>(fftsize);
}

FFT_fft4g::~FFT_fft4g() = default;

int FFT_fft4g::fftSize() const {
    return pp->fftsize;
}

void FFT_fft4g::fft(const Vector* x, ComplexVector* fx) {
    // The assertion texts are kept exactly as written (reports and tests match them).
    // clang-format off
    VM_ASSERT(x->size()==pp->fftsize);
    VM_ASSERT(fx->size()==pp->fftsize/2+1);
    // clang-format on
    const int n = pp->fftsize;
    float* out = reinterpret_cast<float*>(fx->data());
    if (n == 1) {
        out[0] = x->data()[0];
        out[1] = 0.0f;
        return;
    }
    // The even samples become the real parts and the odd samples the imaginary parts of an
    // N/2-point complex sequence z; its transform Z is split into the transforms of the two
    // halves and combined with the twiddles of the N-point transform.
    const int m = n / 2;
    float* zr = pp->re.data();
    float* zi = pp->im.data();
    pp->half.run(x->data(), 0, 1, zr, zi);
    const float* wr = pp->wr.data();
    const float* wi = pp->wi.data();
    out[0] = zr[0] + zi[0];
    out[1] = 0.0f;
    out[2 * m] = zr[0] - zi[0];
    out[2 * m + 1] = 0.0f;
    for (int k = 1; k <= m / 2; ++k) {
        const int l = m - k;
        const float er = 0.5f * (zr[k] + zr[l]), ei = 0.5f * (zi[k] - zi[l]);
        const float orr = 0.5f * (zi[k] + zi[l]), oi = 0.5f * (zr[l] - zr[k]);
        const float tr = wr[k] * orr - wi[k] * oi, ti = wr[k] * oi + wi[k] * orr;
        out[2 * k] = er + tr;
        out[2 * k + 1] = ei + ti;
        out[2 * l] = er - tr;
        out[2 * l + 1] = ti - ei;
    }
}

void FFT_fft4g::ifft(const ComplexVector* fx, Vector* x) {
    // clang-format off
    VM_ASSERT(fx->size()==pp->fftsize/2+1);
    VM_ASSERT(x->size()==pp->fftsize);
    // clang-format on
    const int n = pp->fftsize;
    const float* in = reinterpret_cast<const float*>(fx->data());
    float* out = x->data();
    if (n == 1) {
        out[0] = in[0];
        return;
    }
    // Rebuild the N/2-point spectrum Z (times 2) of z[n] = x[2n] + i x[2n+1], then take its
    // inverse by transforming the swapped sequence.
    const int m = n / 2;
    float* z = pp->packed.data();
    const float* wr = pp->wr.data();
    const float* wi = pp->wi.data();
    const float x0 = in[0], xm = in[2 * m];
    z[0] = x0 + xm;
    z[1] = x0 - xm;
    for (int k = 1; k <= m / 2; ++k) {
        const int l = m - k;
        const float ar = in[2 * k] + in[2 * l], ai = in[2 * k + 1] - in[2 * l + 1];
        const float br = in[2 * k] - in[2 * l], bi = in[2 * k + 1] + in[2 * l + 1];
        const float cr = wr[k] * br + wi[k] * bi, ci = wr[k] * bi - wi[k] * br;
        z[2 * k] = ar - ci;
        z[2 * k + 1] = ai + cr;
        z[2 * l] = ar + ci;
        z[2 * l + 1] = cr - ai;
    }
    float* zr = pp->re.data();
    float* zi = pp->im.data();
    pp->half.run(z, 1, 0, zr, zi);
    const float scale = 1.0f / static_cast<float>(n);
    if (m % 4 == 0) {
        interleave<true>(zr, zi, m, scale, out);
    } else {
        for (int i = 0; i < m; ++i) {
            out[2 * i] = zi[i] * scale;
            out[2 * i + 1] = zr[i] * scale;
        }
    }
}

void FFT_fft4g::fft(const ComplexVector* x, ComplexVector* fx) {
    // clang-format off
    VM_ASSERT(x->size()==pp->fftsize);
    VM_ASSERT(fx->size()==pp->fftsize);
    // clang-format on
    const int n = pp->fftsize;
    float* zr = pp->re.data();
    float* zi = pp->im.data();
    pp->full.run(reinterpret_cast<const float*>(x->data()), 0, 1, zr, zi);
    float* out = reinterpret_cast<float*>(fx->data());
    if (n % 4 == 0) {
        interleave<false>(zr, zi, n, 1.0f, out);
    } else {
        for (int i = 0; i < n; ++i) {
            out[2 * i] = zr[i];
            out[2 * i + 1] = zi[i];
        }
    }
}

void FFT_fft4g::ifft(const ComplexVector* fx, ComplexVector* x) {
    // clang-format off
    VM_ASSERT(fx->size()==pp->fftsize);
    VM_ASSERT(x->size()==pp->fftsize);
    // clang-format on
    const int n = pp->fftsize;
    float* zr = pp->re.data();
    float* zi = pp->im.data();
    pp->full.run(reinterpret_cast<const float*>(fx->data()), 1, 0, zr, zi);
    float* out = reinterpret_cast<float*>(x->data());
    const float scale = 1.0f / static_cast<float>(n);
    if (n % 4 == 0) {
        interleave<true>(zr, zi, n, scale, out);
    } else {
        for (int i = 0; i < n; ++i) {
            out[2 * i] = zi[i] * scale;
            out[2 * i + 1] = zr[i] * scale;
        }
    }
}
