#pragma once
// TDEchoSlot: the place of a time-domain echo canceller in a pipeline (aec_algorithm 300). The
// pipeline calls process() on every block after high-pass filtering and reference alignment and
// before its subband analysis: the canceller replaces the microphone samples by the residual in
// place, and the slot analyses the canceller's echo estimate with a bank like the pipeline's, so
// that the suppression stage still receives an echo block of microphones x bins (echo()). The
// subband canceller of the selector then passes the analysed residual through. The slot adds no
// delay: the echo estimate goes through a bank of the same delay as the microphones.

#include <memory>

namespace velmora::blas {
class ComplexMatrix;
}
namespace velmora::transform {
class PPFBankAnalyzer;
}

namespace velmora::mode {

class AECAlgorithm;

class TDEchoSlot {
  public:
    // The slot for the selector's time-domain canceller, or null when it has none. `like` is the
    // pipeline's analysis bank (its window type is reused).
    static std::unique_ptr<TDEchoSlot> make(AECAlgorithm* aec,
                                            const transform::PPFBankAnalyzer& like);
    ~TDEchoSlot();
    TDEchoSlot(const TDEchoSlot&) = delete;
    TDEchoSlot& operator=(const TDEchoSlot&) = delete;

    // `block`: one block of `channels` interleaved samples, microphones first, then references.
    void process(float* block, int channels);
    // The analysed echo estimate of the last block: microphones x bins.
    const blas::ComplexMatrix* echo() const;

  private:
    TDEchoSlot();
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
