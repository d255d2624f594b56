#pragma once
// Abstract multichannel subband analysis: turns one block of numChannels() x blockSize() time
// samples into numChannels() x numBins() complex subband samples. Implementations keep their own
// history between blocks; saveState/loadState move that history through a stream as raw floats.

#include <istream>
#include <ostream>

namespace velmora::blas {
class Matrix;
class ComplexMatrix;
}  // namespace velmora::blas

namespace velmora::transform {

class SubbandAnalyzer {
  public:
    virtual ~SubbandAnalyzer() = default;

    // Channels analysed per block.
    virtual int numChannels() const = 0;
    // New time samples per channel per block (the hop).
    virtual int blockSize() const = 0;
    // Frequency bins per channel in the output.
    virtual int numBins() const = 0;
    // Bin index of frequency f at sample rate fs.
    virtual int freqToBin(float fs, float f) const = 0;
    // Centre frequency of bin fi at sample rate fs.
    virtual float binToFreq(float fs, int fi) const = 0;
    // One block: input numChannels() x blockSize(), output numChannels() x numBins().
    virtual void analyze(const blas::Matrix* input, blas::ComplexMatrix* output) = 0;
    // Writes the analysis history as raw floats.
    virtual void saveState(std::ostream& os) = 0;
    // Reads back what saveState wrote.
    virtual void loadState(std::istream& is) = 0;
};

}  // namespace velmora::transform
