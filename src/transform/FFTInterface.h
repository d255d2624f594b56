#pragma once
// FFTInterface: the one calling convention of every FFT in the engine. Real transforms map a
// Vector of fftSize() samples to a ComplexVector of bins, complex transforms map ComplexVector to
// ComplexVector. Forward transforms are the unscaled DFT X[k] = sum_n x[n] e^(-2 pi i k n / N);
// every inverse includes 1/N, so inverse(forward(x)) == x up to rounding. The bin layout of the
// real transforms (packed or full half-spectrum) is documented by each implementation.

namespace velmora::blas {
class Vector;
class ComplexVector;
}  // namespace velmora::blas

class FFTInterface {
  public:
    virtual ~FFTInterface() = default;

    // Implementation name, for reports.
    virtual const char* name() const = 0;
    // Transform length N.
    virtual int fftSize() const = 0;
    // Forward real transform.
    virtual void fft(const velmora::blas::Vector* x, velmora::blas::ComplexVector* fx) = 0;
    // Inverse real transform (takes the layout its forward twin produces).
    virtual void ifft(const velmora::blas::ComplexVector* fx, velmora::blas::Vector* x) = 0;
    // Forward complex transform.
    virtual void fft(const velmora::blas::ComplexVector* x, velmora::blas::ComplexVector* fx) = 0;
    // Inverse complex transform.
    virtual void ifft(const velmora::blas::ComplexVector* fx, velmora::blas::ComplexVector* x) = 0;
};
