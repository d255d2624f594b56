#pragma once
// Feature: what the training-feature mode (mode 6) computes from one analysed block. The mode
// hands every block's spectra (nummics + numrefs rows, one column per bin) to the feature,
// which writes blockLength() frames of numOuts() values to the output block.

namespace velmora::blas {
class ComplexMatrix;
class Matrix;
}  // namespace velmora::blas

namespace velmora::mode {

class Feature {
  public:
    virtual ~Feature() = default;
    virtual int numMics() = 0;
    virtual int numRefs() = 0;
    virtual int numOuts() = 0;
    virtual int numBins() = 0;
    // Output frames per block.
    virtual int blockLength() = 0;
    // Delay of the written frames against the input, in output samples.
    virtual int delay() = 0;
    // datain: (numMics() + numRefs()) x numBins(); `out` (blockLength() frames of numOuts()
    // values, frame-major) may be null.
    virtual void process(const blas::ComplexMatrix* datain, float* out) = 0;
    // The spectra of the last block that the feature is computed from (numOuts() rows).
    virtual const blas::ComplexMatrix* spectra() = 0;
    // The real feature matrix of the last block, or null when the feature has none.
    virtual const blas::Matrix* features() = 0;
};

}  // namespace velmora::mode
