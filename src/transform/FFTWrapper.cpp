#include "transform/FFTWrapper.h"

#include <cmath>
#include <utility>

#include "Error.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Matrix.h"
#include "blas/Vector.h"
#include "transform/FFT_fft4g.h"

using velmora::blas::ComplexMatrix;
using velmora::blas::ComplexVector;
using velmora::blas::Matrix;
using velmora::blas::Vector;

struct FFTWrapper::Impl {
    FFT_fft4g fft;
    Vector row;          // view of one time-domain row
    ComplexVector bins;  // view of one spectrum row

    explicit Impl(int fftsize) : fft(fftsize), row(fftsize, true), bins(fftsize / 2 + 1, true) {}
};

FFTWrapper::FFTWrapper(int fftsize) : pp(std::make_unique<Impl>(fftsize)) {}

FFTWrapper::~FFTWrapper() = default;

const char* FFTWrapper::name() const {
    return pp->fft.name();
}

int FFTWrapper::fftSize() const {
    return pp->fft.fftSize();
}

void FFTWrapper::fft(const Vector* x, ComplexVector* fx) {
    pp->fft.fft(x, fx);
}

void FFTWrapper::ifft(const ComplexVector* fx, Vector* x) {
    pp->fft.ifft(fx, x);
}

void FFTWrapper::fft(const ComplexVector* x, ComplexVector* fx) {
    pp->fft.fft(x, fx);
}

void FFTWrapper::ifft(const ComplexVector* fx, ComplexVector* x) {
    pp->fft.ifft(fx, x);
}

void FFTWrapper::fft(const Matrix* x, ComplexMatrix* fx) {
    VM_ASSERT(x->numRows() == fx->numRows());
    // The row view only reads the input row.
    Matrix* in = const_cast<Matrix*>(x);
    for (int i = 0; i < x->numRows(); ++i) {
        in->rowView(i, &pp->row);
        fx->rowView(i, &pp->bins);
        pp->fft.fft(&pp->row, &pp->bins);
    }
}

void FFTWrapper::ifft(const ComplexMatrix* fx, Matrix* x) {
    VM_ASSERT(x->numRows() == fx->numRows());
    ComplexMatrix* in = const_cast<ComplexMatrix*>(fx);
    for (int i = 0; i < x->numRows(); ++i) {
        in->rowView(i, &pp->bins);
        x->rowView(i, &pp->row);
        pp->fft.ifft(&pp->bins, &pp->row);
    }
}

bool FFTWrapper::isPowOf2(int n) {
    return n > 0 && (n & (n - 1)) == 0;
}

int FFTWrapper::nextPowOf2(int n) {
    VM_ASSERT(n >= 0 && n <= (1 << 30));
    if (isPowOf2(n)) return n;
    int p = 1;
    while (p <= n) p <<= 1;  // 2^(bit length of n)
    return p;
}

void FFTWrapper::halfSwap(Vector* x) {
    const int n = x->size();
    const int h = (n + 1) / 2;
    float* d = x->data();
    for (int i = 0; h + i < n; ++i) std::swap(d[i], d[h + i]);
}

void FFTWrapper::halfSwap(ComplexVector* x) {
    const int n = x->size();
    const int h = (n + 1) / 2;
    velmora::blas::Complex* d = x->data();
    for (int i = 0; h + i < n; ++i) std::swap(d[i], d[h + i]);
}

void FFTWrapper::hannWindow(Vector* w) {
    const int n = w->size();
    float* d = w->data();
    for (int i = 0; i < n; ++i)
        d[i] = static_cast<float>(0.5 * (1.0 - std::cos(2.0 * M_PI * i / n)));
}

void FFTWrapper::rootHannWindow(Vector* w) {
    const int n = w->size();
    float* d = w->data();
    for (int i = 0; i < n; ++i)
        d[i] = static_cast<float>(std::sqrt(0.5 * (1.0 - std::cos(2.0 * M_PI * i / n))));
}
