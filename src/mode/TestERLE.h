#pragma once
// TestERLE (test item 200): the echo return loss enhancement of the configured echo canceller
// and suppressor on the recording. Every block is high-passed (in the item's own buffer),
// aligned when aec_tde_active, analysed, echo-cancelled, suppressed and synthesised per
// microphone. Only blocks whose reference activity (mean reference power over references and
// bins, in dB) reaches -40 dB count: for them the energy of the raw microphone block goes into
// the input sum and that of the cleaned microphone block into the output sum. The report prints
// 10 log10(input / output) per microphone and over all microphones, at least -75 dB; an output
// below 1e-6 (nothing counted, or no echo left at all) prints -75.

#include <memory>

#include "mode/TestItem.h"

namespace velmora {
class Params;
}

namespace velmora::mode {

class TestERLE : public TestItem {
  public:
    explicit TestERLE(const Params* params);
    ~TestERLE() override;
    int blockLength() override;
    void process(const float* block, float* out) override;
    void report() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
