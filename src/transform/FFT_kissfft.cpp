#include "transform/FFT_kissfft.h"

#include <cstring>

#include "Error.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"

#ifdef VELMORA_HAVE_KISSFFT
#include <kiss_fft.h>
#include <kiss_fftr.h>
#endif

using velmora::blas::Complex;
using velmora::blas::ComplexVector;
using velmora::blas::Vector;

#ifdef VELMORA_HAVE_KISSFFT

static_assert(sizeof(kiss_fft_cpx) == sizeof(Complex), "KISS complex must be two floats");

namespace {

struct KissDeleter {
    void operator()(void* cfg) const { kiss_fft_free(cfg); }
};
using RealCfg = std::unique_ptr<kiss_fftr_state, KissDeleter>;
using CplxCfg = std::unique_ptr<kiss_fft_state, KissDeleter>;

kiss_fft_cpx* cpx(Complex* p) {
    return reinterpret_cast<kiss_fft_cpx*>(p);
}
const kiss_fft_cpx* cpx(const Complex* p) {
    return reinterpret_cast<const kiss_fft_cpx*>(p);
}

}  // namespace

struct FFT_kissfft::Impl {
    int fftsize;
    RealCfg realForward, realInverse;
    CplxCfg cplxForward, cplxInverse;
    // Unpacked half-spectrum of the real transforms (N/2 + 1 bins), and the copy of the input
    // of an in-place complex transform (N values).
    ComplexVector scratch;

    explicit Impl(int n) : fftsize(n), scratch(n + 1) {}

    kiss_fftr_cfg real(bool inverse) {
        RealCfg& cfg = inverse ? realInverse : realForward;
        if (!cfg) {
            cfg.reset(kiss_fftr_alloc(fftsize, inverse ? 1 : 0, nullptr, nullptr));
            if (!cfg)
                velmora::error("FFT_kissfft", "Cannot create a real transform of %d points",
                               fftsize);
        }
        return cfg.get();
    }
    kiss_fft_cfg complex(bool inverse) {
        CplxCfg& cfg = inverse ? cplxInverse : cplxForward;
        if (!cfg) {
            cfg.reset(kiss_fft_alloc(fftsize, inverse ? 1 : 0, nullptr, nullptr));
            if (!cfg)
                velmora::error("FFT_kissfft", "Cannot create a complex transform of %d points",
                               fftsize);
        }
        return cfg.get();
    }
};

FFT_kissfft::FFT_kissfft(int fftsize) {
    VM_ASSERT(fftsize > 0);
    pp = std::make_unique<Impl>(fftsize);
}

FFT_kissfft::~FFT_kissfft() = default;

int FFT_kissfft::fftSize() const {
    return pp->fftsize;
}

void FFT_kissfft::fft(const Vector* x, ComplexVector* fx) {
    VM_ASSERT(x->size() == pp->fftsize);
    VM_ASSERT(fx->size() == pp->fftsize / 2);
    VM_ASSERT(pp->fftsize % 2 == 0);
    const int h = pp->fftsize / 2;
    Complex* bins = pp->scratch.data();
    kiss_fftr(pp->real(false), x->data(), cpx(bins));
    std::memcpy(fx->data(), bins, sizeof(Complex) * h);
    fx->data()[0].imag(bins[h].real());
}

void FFT_kissfft::ifft(const ComplexVector* fx, Vector* x) {
    VM_ASSERT(x->size() == pp->fftsize);
    VM_ASSERT(fx->size() == pp->fftsize / 2);
    VM_ASSERT(pp->fftsize % 2 == 0);
    const int n = pp->fftsize;
    const int h = n / 2;
    Complex* bins = pp->scratch.data();
    std::memcpy(bins, fx->data(), sizeof(Complex) * h);
    bins[h] = Complex(bins[0].imag(), 0.0f);
    bins[0].imag(0.0f);
    float* out = x->data();
    kiss_fftri(pp->real(true), cpx(bins), out);
    const float scale = 1.0f / static_cast<float>(n);
    for (int i = 0; i < n; ++i) out[i] *= scale;
}

void FFT_kissfft::fft(const ComplexVector* x, ComplexVector* fx) {
    VM_ASSERT(x->size() == pp->fftsize);
    VM_ASSERT(fx->size() == pp->fftsize);
    const Complex* in = x->data();
    if (in == fx->data()) {  // the library would allocate a buffer for in-place calls
        std::memcpy(pp->scratch.data(), in, sizeof(Complex) * pp->fftsize);
        in = pp->scratch.data();
    }
    kiss_fft(pp->complex(false), cpx(in), cpx(fx->data()));
}

void FFT_kissfft::ifft(const ComplexVector* fx, ComplexVector* x) {
    VM_ASSERT(x->size() == pp->fftsize);
    VM_ASSERT(fx->size() == pp->fftsize);
    const int n = pp->fftsize;
    const Complex* in = fx->data();
    if (in == x->data()) {
        std::memcpy(pp->scratch.data(), in, sizeof(Complex) * n);
        in = pp->scratch.data();
    }
    kiss_fft(pp->complex(true), cpx(in), cpx(x->data()));
    float* out = reinterpret_cast<float*>(x->data());
    const float scale = 1.0f / static_cast<float>(n);
    for (int i = 0; i < 2 * n; ++i) out[i] *= scale;
}

#else  // no KISS FFT in this build

struct FFT_kissfft::Impl {
    int fftsize;
};

FFT_kissfft::FFT_kissfft(int fftsize) {
    VM_ASSERT(fftsize > 0);
    velmora::error("FFT_kissfft", "KISS FFT is not available in this build");
}

FFT_kissfft::~FFT_kissfft() = default;

int FFT_kissfft::fftSize() const {
    return pp->fftsize;
}

void FFT_kissfft::fft(const Vector*, ComplexVector*) {}
void FFT_kissfft::ifft(const ComplexVector*, Vector*) {}
void FFT_kissfft::fft(const ComplexVector*, ComplexVector*) {}
void FFT_kissfft::ifft(const ComplexVector*, ComplexVector*) {}

#endif
