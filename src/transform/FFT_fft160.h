#pragma once
// FFT_fft160: the fixed transform of the 16 kHz / 10 ms framing: a 320-point real transform
// built on one 160-point complex FFT (split into even and odd halves, each computed as 8 x 10,
// joined by a radix-2 stage). The real transform uses the packed layout: 160 bins, bin 0 holds
// (X[0], X[160]) and bins 1..159 are X[1]..X[159]. The complex transforms have 160 points.
// Twiddle tables are shared by all instances and built once per process; nothing is allocated
// by the transforms.

#include <memory>

#include "transform/FFTInterface.h"

namespace velmora::transform {

class FFT_fft160 : public FFTInterface {
  public:
    FFT_fft160();
    ~FFT_fft160() override;
    FFT_fft160(const FFT_fft160&) = delete;
    FFT_fft160& operator=(const FFT_fft160&) = delete;

    const char* name() const override { return "fft160"; }
    // 320: the real transform length.
    int fftSize() const override { return 320; }
    // x: 320 samples; fx: 160 bins, packed.
    void fft(const blas::Vector* x, blas::ComplexVector* fx) override;
    void ifft(const blas::ComplexVector* fx, blas::Vector* x) override;
    // x and fx: 160 values each; they may be the same vector.
    void fft(const blas::ComplexVector* x, blas::ComplexVector* fx) override;
    void ifft(const blas::ComplexVector* fx, blas::ComplexVector* x) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::transform
