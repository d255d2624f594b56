#pragma once
// STFT160: the fixed 16 kHz / 10 ms short-time Fourier transform: frames of 320 samples with a
// hop of 160, weighted by the square root of the periodic Hann window and transformed with
// FFT_fft160 into 160 packed bins (bin 0 = (DC, fs/2)). The per-channel frame history starts at
// zero and is the only state; analyze() allocates nothing.

#include <istream>
#include <memory>
#include <ostream>

#include "transform/SubbandAnalyzer.h"

namespace velmora::transform {

class STFT160 : public SubbandAnalyzer {
  public:
    explicit STFT160(int numchs);
    ~STFT160() override;
    STFT160(const STFT160&) = delete;
    STFT160& operator=(const STFT160&) = delete;

    int numChannels() const override;
    int blockSize() const override;  // the hop, 160
    int numBins() const override;    // 160
    int freqToBin(float fs, float f) const override;
    float binToFreq(float fs, int fi) const override;
    void analyze(const blas::Matrix* in, blas::ComplexMatrix* out) override;
    // The history is not stored: both do nothing.
    void saveState(std::ostream& os) override;
    void loadState(std::istream& is) override;

    int stftShift() const;  // 160

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::transform
