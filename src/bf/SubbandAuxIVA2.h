#pragma once
// SubbandAuxIVA2 (bf_algorithm 401): blind separation of two microphones into two outputs on the
// 160-bin blocks of 10 ms (the bank's geometry is fixed: F = 32 second-level bins, 16-block
// energy rings, 20 taps per bin with the identity at tap 4, 10 bins refreshed per block, delay 4
// blocks). Per refreshed bin a two-source closed-form IVA core (StereoAuxIVA with loading 1e-5,
// forget 0.99, projection back onto each source's own microphone) is weighted by the full-band
// output powers of the last 16 blocks, phi = (max(sum, 0) + 0.01)^-0.9; a sub-bin where either
// covariance's trace would grow more than 5 times in one update keeps both, and rows whose output
// would exceed 30 times microphone 0's power are refused. Input bins that are NaN, infinite or
// absurd count as silence.

#include <memory>

#include "bf/BFInterface.h"

namespace velmora::bf {

class SubbandAuxIVA2 : public BFInterface {
  public:
    static constexpr int NUM_BINS = 160;

    // fftsize: the second-level size (32 in the engine); the second argument has no effect.
    SubbandAuxIVA2(int fftsize, int flag);
    ~SubbandAuxIVA2() override;
    SubbandAuxIVA2(const SubbandAuxIVA2&) = delete;
    SubbandAuxIVA2& operator=(const SubbandAuxIVA2&) = delete;

    int numMics() const override { return 2; }
    int numOuts() const override { return 2; }
    int numBins() const override { return NUM_BINS; }
    int delay() const override;
    void lock(int, const float*) override {}
    void unlock(int) override {}
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    void process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) override;
    blas::ComplexTensor3* sslData() override { return nullptr; }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::bf
