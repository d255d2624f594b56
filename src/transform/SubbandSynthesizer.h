#pragma once
// Abstract multichannel subband synthesis: turns numChannels() x numBins() complex subband
// samples back into one block of numChannels() x blockSize() time samples. The output lags the
// analysed input by delay() samples; saveState/loadState move the pending state as raw floats.

#include <istream>
#include <ostream>

namespace velmora::blas {
class Matrix;
class ComplexMatrix;
}  // namespace velmora::blas

namespace velmora::transform {

class SubbandSynthesizer {
  public:
    virtual ~SubbandSynthesizer() = default;

    virtual int numChannels() const = 0;
    // Time samples produced per channel per block.
    virtual int blockSize() const = 0;
    virtual int numBins() const = 0;
    // Analysis-plus-synthesis delay of the bank in samples.
    virtual int delay() const = 0;
    // One block: input numChannels() x numBins(), output numChannels() x blockSize().
    virtual void synthesize(const blas::ComplexMatrix* input, blas::Matrix* output) = 0;
    // Writes the pending synthesis state as raw floats.
    virtual void saveState(std::ostream& os) = 0;
    // Reads back what saveState wrote.
    virtual void loadState(std::istream& is) = 0;
};

}  // namespace velmora::transform
