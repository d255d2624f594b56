#pragma once
// FFT_kissfft: real and complex transforms of any length on the KISS FFT library. The real
// transform (even lengths only) uses the packed layout: N/2 bins, bin 0 holds (X[0], X[N/2]).
// The four library configurations (real and complex, forward and inverse) are created on first
// use and kept; after that the transforms allocate nothing. Same operations as FFTInterface.

#include <memory>

namespace velmora::blas {
class Vector;
class ComplexVector;
}  // namespace velmora::blas

class FFT_kissfft {
  public:
    // Raises an error when the library is not available in this build.
    explicit FFT_kissfft(int fftsize);
    ~FFT_kissfft();
    FFT_kissfft(const FFT_kissfft&) = delete;
    FFT_kissfft& operator=(const FFT_kissfft&) = delete;

    const char* name() const { return "kissfft"; }
    int fftSize() const;
    // x: N samples; fx: N/2 bins, packed.
    void fft(const velmora::blas::Vector* x, velmora::blas::ComplexVector* fx);
    void ifft(const velmora::blas::ComplexVector* fx, velmora::blas::Vector* x);
    // x and fx: N values each; they may be the same vector.
    void fft(const velmora::blas::ComplexVector* x, velmora::blas::ComplexVector* fx);
    void ifft(const velmora::blas::ComplexVector* fx, velmora::blas::ComplexVector* x);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};
