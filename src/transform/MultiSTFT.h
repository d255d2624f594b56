#pragma once
// MultiSTFT: multichannel short-time Fourier analysis with a power-of-two frame of N samples and
// a free hop S (1 <= S <= N). Each block shifts S new samples into every channel's N-sample
// history, applies the analysis window sqrt(hann * 2S/N) and returns the full half-spectrum of
// N/2 + 1 bins per channel (bins 0 and N/2 real). Histories start at zero.

#include <istream>
#include <memory>
#include <ostream>

#include "transform/SubbandAnalyzer.h"

class MultiSTFT : public velmora::transform::SubbandAnalyzer {
  public:
    MultiSTFT(int numchs, int stftshift, int fftsize);
    ~MultiSTFT() override;
    MultiSTFT(const MultiSTFT&) = delete;
    MultiSTFT& operator=(const MultiSTFT&) = delete;

    int numChannels() const override;
    // The hop S.
    int blockSize() const override;
    // N/2 + 1.
    int numBins() const override;
    // floor(f * 2 (numBins - 1) / fs + 0.5), clamped to the bins.
    int freqToBin(float fs, float f) const override;
    float binToFreq(float fs, int fi) const override;
    // in: numChannels x S samples; out: numChannels x numBins.
    void analyze(const velmora::blas::Matrix* in, velmora::blas::ComplexMatrix* out) override;
    // S interleaved frames of numChannels samples each.
    void analyze(const float* frames, velmora::blas::ComplexMatrix* out);
    // The histories are not saved: both do nothing.
    void saveState(std::ostream& os) override;
    void loadState(std::istream& is) override;

    int fftSize() const;
    int stftShift() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};
