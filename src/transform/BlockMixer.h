#pragma once
// BlockMixer: per-bin multi-tap mixing of a stream of spectrum blocks. Output m at bin k is
// sum over inputs n and taps t of filter(m, n)[t][k] * (input n at bin k, t blocks ago). Every
// filter is a flen x numBins ComplexMatrix (row t is the tap applied to the frame t blocks old)
// that the caller fills and may change between blocks; input histories start at zero.

#include <memory>

namespace velmora::blas {
class ComplexMatrix;
}  // namespace velmora::blas

class BlockMixer {
  public:
    BlockMixer(int numins, int numouts, int numbins, int flen);
    ~BlockMixer();
    BlockMixer(const BlockMixer&) = delete;
    BlockMixer& operator=(const BlockMixer&) = delete;

    int numIns() const;
    int numOuts() const;
    int numBins() const;
    int filterLength() const;

    // The filter from input n to output m (flen x numBins), owned by the mixer.
    velmora::blas::ComplexMatrix* filter(int m, int n);

    // blockin: numIns x numBins; blockout: numOuts x numBins.
    void process(const velmora::blas::ComplexMatrix* blockin,
                 velmora::blas::ComplexMatrix* blockout);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};
