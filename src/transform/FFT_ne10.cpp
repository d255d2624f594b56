#include "transform/FFT_ne10.h"

#include "Error.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "transform/FFTWrapper.h"

using velmora::blas::ComplexVector;
using velmora::blas::Vector;

FFT_ne10::FFT_ne10(int fftsize) {
    VM_ASSERT(FFTWrapper::isPowOf2(fftsize));
    pp = std::make_unique<Impl>(Impl{fftsize});
}

FFT_ne10::~FFT_ne10() = default;

int FFT_ne10::fftSize() const {
    return pp->fftsize;
}

void FFT_ne10::fft(const Vector* x, ComplexVector* fx) {
    VM_ASSERT(x->size() == pp->fftsize);
    VM_ASSERT(fx->size() == pp->fftsize / 2 + 1);
}

void FFT_ne10::ifft(const ComplexVector* fx, Vector* x) {
    VM_ASSERT(x->size() == pp->fftsize);
    VM_ASSERT(fx->size() == pp->fftsize / 2 + 1);
}

void FFT_ne10::fft(const ComplexVector* x, ComplexVector* fx) {
    VM_ASSERT(x->size() == pp->fftsize);
    VM_ASSERT(fx->size() == pp->fftsize);
}

void FFT_ne10::ifft(const ComplexVector* fx, ComplexVector* x) {
    VM_ASSERT(x->size() == pp->fftsize);
    VM_ASSERT(fx->size() == pp->fftsize);
}
