#pragma once
// TestFreq (test item 105): the frequency responses of the microphones. Every block is
// high-passed (in the item's own buffer) and analysed with the polyphase bank; the power of
// every microphone bin is accumulated. The report turns the mean powers into dB curves
// (max(10 log10 p, -75)) and prints, per microphone pair, the similarity of the two curves
// (FAILED below test_freqdb_min_similarity), and per microphone whether its curve stays inside
// the mask test_freqdb_lower .. test_freqdb_upper, optionally followed by the curves.
//
// The mask holds one value per 50 Hz band (the bins of 0.01 s blocks). With longer blocks the
// bank has finer bins: bin j is compared with the mask entry of the 50 Hz band that holds its
// centre frequency, entry floor(j * 160 / K).
// After zero processed blocks every verdict is FAILED (the curves are the -75 dB floor).

#include <memory>

#include "mode/TestItem.h"

namespace velmora {
class Params;
}

namespace velmora::mode {

class TestFreq : public TestItem {
  public:
    explicit TestFreq(const Params* params);
    ~TestFreq() override;
    int blockLength() override;
    void process(const float* block, float* out) override;
    void report() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
