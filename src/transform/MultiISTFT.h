#pragma once
// MultiISTFT: the synthesis twin of MultiSTFT. Each block inverse-transforms every channel's
// N/2 + 1 bins, applies the synthesis window sqrt(hann * 2S/N) and overlap-adds into an
// N-sample buffer, returning S samples per channel. Analysis followed by synthesis reproduces
// the input delayed by N - S samples when N/S is an integer of at least 2.

#include <istream>
#include <memory>
#include <ostream>

#include "transform/SubbandSynthesizer.h"

class MultiISTFT : public velmora::transform::SubbandSynthesizer {
  public:
    MultiISTFT(int numchs, int stftshift, int fftsize);
    ~MultiISTFT() override;
    MultiISTFT(const MultiISTFT&) = delete;
    MultiISTFT& operator=(const MultiISTFT&) = delete;

    int numChannels() const override;
    // The hop S.
    int blockSize() const override;
    // N/2 + 1.
    int numBins() const override;
    // N - S.
    int delay() const override;
    // in: numChannels x numBins; out: numChannels x S samples.
    void synthesize(const velmora::blas::ComplexMatrix* in, velmora::blas::Matrix* out) override;
    // Writes S interleaved frames of numChannels samples each.
    void synthesize(const velmora::blas::ComplexMatrix* in, float* frames);
    // The buffers are not saved: both do nothing.
    void saveState(std::ostream& os) override;
    void loadState(std::istream& is) override;

    int fftSize() const;
    int stftShift() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};
