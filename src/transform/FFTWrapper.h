#pragma once
// FFTWrapper: the FFT used by stages that run their own transforms. Owns one FFT_fft4g of a
// power-of-two size, forwards the four transforms to it and adds row-wise transforms of whole
// matrices (each row is attached to an internal view, never copied). The static helpers cover
// power-of-two sizes, the half swap and the Hann windows.

#include <memory>

#include "transform/FFTInterface.h"

namespace velmora::blas {
class Matrix;
class ComplexMatrix;
}  // namespace velmora::blas

class FFTWrapper {
  public:
    // fftsize must be a power of two.
    explicit FFTWrapper(int fftsize);
    ~FFTWrapper();
    FFTWrapper(const FFTWrapper&) = delete;
    FFTWrapper& operator=(const FFTWrapper&) = delete;

    const char* name() const;
    int fftSize() const;

    // Layouts as FFT_fft4g: real transforms use the full half-spectrum of fftSize()/2 + 1 bins.
    void fft(const velmora::blas::Vector* x, velmora::blas::ComplexVector* fx);
    void ifft(const velmora::blas::ComplexVector* fx, velmora::blas::Vector* x);
    void fft(const velmora::blas::ComplexVector* x, velmora::blas::ComplexVector* fx);
    void ifft(const velmora::blas::ComplexVector* fx, velmora::blas::ComplexVector* x);

    // Row-wise real transforms: x is rows x fftSize(), fx is rows x (fftSize()/2 + 1).
    void fft(const velmora::blas::Matrix* x, velmora::blas::ComplexMatrix* fx);
    void ifft(const velmora::blas::ComplexMatrix* fx, velmora::blas::Matrix* x);

    // True when n > 0 and n is a power of two.
    static bool isPowOf2(int n);
    // n itself when it is a power of two, else 2 raised to the bit length of n (0 gives 1).
    // n must lie in 0 .. 2^30.
    static int nextPowOf2(int n);
    // In place: elements from index ceil(n/2) on are swapped pairwise with those from index 0
    // on (for even n the two halves trade places).
    static void halfSwap(velmora::blas::Vector* x);
    static void halfSwap(velmora::blas::ComplexVector* x);
    // Periodic Hann window of length w->size(): w[i] = 0.5 (1 - cos(2 pi i / n)).
    static void hannWindow(velmora::blas::Vector* w);
    // Square root of the periodic Hann window.
    static void rootHannWindow(velmora::blas::Vector* w);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};
