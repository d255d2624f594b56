#pragma once
// FFT_fft4g: real and complex FFTs of any power-of-two length N, computed by an iterative
// decimation-in-time radix-4 / radix-2 transform on split real and imaginary arrays. The real
// transform runs one complex FFT of N/2 points and returns the full half-spectrum: N/2 + 1 bins
// X[0] .. X[N/2], whose bins 0 and N/2 have zero imaginary parts. All tables and buffers are
// built by the constructor; the transforms allocate nothing.

#include <memory>

#include "transform/FFTInterface.h"

class FFT_fft4g : public FFTInterface {
  public:
    // Asserts that fftsize is a power of two.
    explicit FFT_fft4g(int fftsize);
    ~FFT_fft4g() override;
    FFT_fft4g(const FFT_fft4g&) = delete;
    FFT_fft4g& operator=(const FFT_fft4g&) = delete;

    const char* name() const override { return "fft4g"; }
    int fftSize() const override;
    // x: N samples; fx: N/2 + 1 bins.
    void fft(const velmora::blas::Vector* x, velmora::blas::ComplexVector* fx) override;
    // fx: N/2 + 1 bins (imaginary parts of bins 0 and N/2 are ignored); x: N samples.
    void ifft(const velmora::blas::ComplexVector* fx, velmora::blas::Vector* x) override;
    // x and fx: N values each; they may be the same vector.
    void fft(const velmora::blas::ComplexVector* x, velmora::blas::ComplexVector* fx) override;
    void ifft(const velmora::blas::ComplexVector* fx, velmora::blas::ComplexVector* x) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};
