#pragma once
// WPE: multi-channel linear-prediction dereverberator (weighted prediction error). Per bin, the
// late reverberation of every channel is predicted from the blocks D+1 .. D+T back of all
// channels and subtracted; the prediction filters follow a recursive-least-squares update with
// the inverse weighted correlation matrix kept exactly Hermitian. The filters start at zero (the
// first blocks pass unchanged); only binsPerBlock bins adapt per block, visited cyclically.
// Delay 0 blocks; all storage is created by the constructor.

#include <memory>

#include "dr/DRInterface.h"

namespace velmora::blas {
class ComplexTensor3;
}

namespace velmora::dr {

class WPE : public DRInterface {
  public:
    // delay 0 selects the default prediction delay of the bin count (3 for 160 bins, 1 for 320,
    // otherwise 0); taps 0 selects 5. A spread s adapts numbins / s bins per block (0 counts as
    // 1; a negative spread adapts none, so the block passes unchanged).
    WPE(int numchs, int numbins, int delay, int taps, int spread);
    ~WPE() override;
    WPE(const WPE&) = delete;
    WPE& operator=(const WPE&) = delete;

    int numChannels() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    void process(blas::ComplexMatrix* block) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    // The prediction delay D and the taps T in effect (after the defaults), and the number of
    // bins adapted per block.
    int predictionDelay() const;
    int taps() const;
    int binsPerBlock() const;
    // The adapted state: prediction coefficients G (bins x channels x M T) and the inverse
    // weighted correlation matrices P (bins x M T x M T).
    const blas::ComplexTensor3* predictor() const;
    const blas::ComplexTensor3* invCorr() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::dr
