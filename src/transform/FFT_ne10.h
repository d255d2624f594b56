#pragma once
// FFT_ne10: placeholder for an ARM NEON transform that is disabled in this build. It keeps the
// interface (power-of-two size, full half-spectrum layout of N/2 + 1 bins) and checks the sizes
// of its arguments, but performs no transform and leaves the outputs unchanged. The processing
// chain never selects it.

#include <memory>

#include "transform/FFTInterface.h"

class FFT_ne10 : public FFTInterface {
  public:
    // Asserts that fftsize is a power of two.
    explicit FFT_ne10(int fftsize);
    ~FFT_ne10() override;
    FFT_ne10(const FFT_ne10&) = delete;
    FFT_ne10& operator=(const FFT_ne10&) = delete;

    const char* name() const override { return "NE10 (disabled)"; }
    int fftSize() const override;
    void fft(const velmora::blas::Vector* x, velmora::blas::ComplexVector* fx) override;
    void ifft(const velmora::blas::ComplexVector* fx, velmora::blas::Vector* x) override;
    void fft(const velmora::blas::ComplexVector* x, velmora::blas::ComplexVector* fx) override;
    void ifft(const velmora::blas::ComplexVector* fx, velmora::blas::ComplexVector* x) override;

  private:
    struct Impl {
        int fftsize;
    };
    std::unique_ptr<Impl> pp;
};
