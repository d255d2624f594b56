#pragma once
// TestPhaseDiff (test item 104): the time offset between microphones. Every block's first 160
// frames of the microphone channels are analysed with the 16 kHz / 10 ms STFT, and for every
// pair j < k the cross-spectrum conj(X_j) X_k is accumulated bin by bin. The report whitens each
// accumulated cross-spectrum (phase transform), turns it back into a 320-point lag function and
// prints the lag of its maximum in samples (positive: microphone k lags microphone j); a pair
// passes only with lag 0. After zero processed blocks every pair prints lag 0 and FAILED.
// Requires at least two microphones ("Two mics required at least: %d").

#include <memory>

#include "mode/TestItem.h"

namespace velmora {
class Params;
}

namespace velmora::mode {

class TestPhaseDiff : public TestItem {
  public:
    explicit TestPhaseDiff(const Params* params);
    ~TestPhaseDiff() override;
    int blockLength() override;
    void process(const float* block, float* out) override;
    void report() override;
    // The lag in samples of every microphone pair j < k, in report order (what report() prints).
    int lag(int pair);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
