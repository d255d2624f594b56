#pragma once
// BFAlgorithm: the pipeline's handle on the beamformer. Builds the beamformer named by
// bf_algorithm (the pass-through for a single microphone) on the detector's bins, steers output
// 0 to bf_look and locks it when bf_islocked is set, owns the beamformer and forwards the
// pipeline's calls to it. Unknown numbers and unmet constraints raise from the constructor.

#include <cstdint>
#include <memory>

namespace velmora {
class Params;
}
namespace velmora::blas {
class ComplexMatrix;
class ComplexTensor3;
}  // namespace velmora::blas
namespace velmora::bf {
class BFInterface;
}

namespace velmora::mode {

class VADAlgorithm;

class BFAlgorithm {
  public:
    // `vad`: the detector selector (not owned); its outputs must match numouts.
    BFAlgorithm(const Params* params, VADAlgorithm* vad);
    // Adopts an already built beamformer (owned from now on), then steers and locks it as the
    // other constructor does.
    BFAlgorithm(const Params* params, bf::BFInterface* stage);
    ~BFAlgorithm();
    BFAlgorithm(const BFAlgorithm&) = delete;
    BFAlgorithm& operator=(const BFAlgorithm&) = delete;

    int numMics() const;
    int numOuts() const;
    int numBins() const;
    // Extra delay in blocks.
    int delay() const;
    void lock(int n, const float* blocks);
    void unlock(int n);
    float look(int n) const;
    void setLook(int n, float azimuth);
    void process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out);
    blas::ComplexTensor3* sslData();
    void hook1(int32_t value);
    void hook2(int32_t value);

    // The beamformer itself (owned by this selector).
    // True when the beamformer runs the detector on each block itself (MaskPF): the pipeline
    // then leaves out its own detector call, so that the detector sees every block once.
    bool drivesDetector() const;
    bf::BFInterface* stage();

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
    void start(const Params* params);
};

}  // namespace velmora::mode
