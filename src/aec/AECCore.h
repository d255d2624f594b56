#pragma once
// AECCore: a single-tap echo estimator over a block of bins. For M microphones, R references
// and K bins it keeps one coefficient per microphone, reference and bin (filter(), M x R x K),
// estimates echo[m][k] = sum_r W[m][r][k] ref[r][k], and adapts W by recursive weighted least
// squares whose per-block (or per-bin) weights come from the auxiliary-function rule
// w = (1 - forget) (p + 0.01)^-0.9 of the residual power p: blocks with a large residual (double
// talk) count little. The near-end output never has a larger L1 magnitude (|Re| + |Im|) than the
// microphone in any bin. The caller's blocks are only read (mic, ref) or written (nearend, echo);
// any of the outputs may be the same matrix as the microphone block.

#include <cstdint>

namespace velmora::blas {
class ComplexMatrix;
class ComplexTensor3;
}  // namespace velmora::blas

namespace velmora::aec {

class AECCore {
  public:
    virtual ~AECCore() = default;
    virtual int numMics() const = 0;
    virtual int numRefs() const = 0;
    virtual int numBins() const = 0;
    // The current coefficients W, M x R x K.
    virtual const blas::ComplexTensor3* filter() const = 0;
    // mic, nearend, echo: M x K; ref: R x K.
    virtual void process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                         blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) = 0;
    // Reserved one-argument hooks: empty, nothing calls them.
    virtual void hook1(int32_t value) = 0;
    virtual void hook2(int32_t value) = 0;
};

}  // namespace velmora::aec
