#pragma once
// PPFBankSynthesizer: the synthesis half of the polyphase filter bank. Each channel's B packed
// bins are inverse-transformed into a 2B frame whose halves, weighted by the prototype segments,
// are added into C accumulating blocks; the block completed next is de-emphasised into the output.
// The output lags the analysed input by delay() samples. The input spectra are left unchanged.
// All buffers are made at construction; synthesize() allocates nothing.

#include <istream>
#include <memory>
#include <ostream>

#include "transform/PPFPrototypes.h"
#include "transform/SubbandSynthesizer.h"

namespace velmora::transform {

class PPFBankSynthesizer : public SubbandSynthesizer {
  public:
    // Block sizes 160, 320, 480, 640 (window types 0, 3, 5, 6); others raise
    // "Unsupported block size: %d".
    PPFBankSynthesizer(int numchs, int blockSize);
    // Window types 0..6; others raise "Unknown window type: %d".
    PPFBankSynthesizer(int numchs, PPFWindowType type);
    ~PPFBankSynthesizer() override;
    PPFBankSynthesizer(const PPFBankSynthesizer&) = delete;
    PPFBankSynthesizer& operator=(const PPFBankSynthesizer&) = delete;

    int numChannels() const override;
    int blockSize() const override;
    int numBins() const override;
    int delay() const override;
    void synthesize(const blas::ComplexMatrix* input, blas::Matrix* output) override;
    // Writes blockSize() interleaved frames: sample t of channel c at frames[t * numChannels() +
    // c].
    void synthesize(const blas::ComplexMatrix* input, float* frames);
    // Emphasis memories, then the accumulation blocks (next completed first), as raw floats. A
    // failed read leaves the stream failed and the synthesizer in its initial (all-zero) state.
    void saveState(std::ostream& os) override;
    void loadState(std::istream& is) override;

    int windowType() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::transform
