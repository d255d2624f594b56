#pragma once
// PPFBankAnalyzer: the analysis half of the weighted-overlap-add polyphase filter bank. Each
// block of B new samples per channel is pre-emphasised into a history of C blocks, weighted by
// the time-reversed prototype segments, folded into a 2B frame (even blocks into the first half,
// odd ones into the second) and transformed into B packed bins (bin 0 = (DC, fs/2)). All buffers
// are made at construction; analyze() allocates nothing.

#include <istream>
#include <memory>
#include <ostream>

#include "transform/PPFPrototypes.h"
#include "transform/SubbandAnalyzer.h"

namespace velmora::transform {

class PPFBankAnalyzer : public SubbandAnalyzer {
  public:
    // Block sizes 160, 320, 480, 640 (window types 0, 3, 5, 6); others raise
    // "Unsupported block size: %d".
    PPFBankAnalyzer(int numchs, int blockSize);
    // Window types 0..6; others raise "Unknown window type: %d".
    PPFBankAnalyzer(int numchs, PPFWindowType type);
    ~PPFBankAnalyzer() override;
    PPFBankAnalyzer(const PPFBankAnalyzer&) = delete;
    PPFBankAnalyzer& operator=(const PPFBankAnalyzer&) = delete;

    int numChannels() const override;
    int blockSize() const override;
    int numBins() const override;
    int freqToBin(float fs, float f) const override;
    float binToFreq(float fs, int fi) const override;
    void analyze(const blas::Matrix* input, blas::ComplexMatrix* output) override;
    // blockSize() interleaved frames: sample t of channel c at frames[t * numChannels() + c].
    void analyze(const float* frames, blas::ComplexMatrix* output);
    // Emphasis memories, then the history blocks oldest first, as raw floats. A failed read
    // leaves the stream failed and the analyzer in its initial (all-zero) state.
    void saveState(std::ostream& os) override;
    void loadState(std::istream& is) override;

    int windowType() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::transform
