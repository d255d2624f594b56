#pragma once
// DRFilter: per-channel multi-tap filter across blocks. Output i at bin k is the sum over taps t
// of filter(i)[t][k] times input i at bin k from t blocks ago (t = 0: the current block). The
// filters are filled by the caller and may change between blocks; histories start at zero.

#include <memory>

namespace velmora::blas {
class ComplexMatrix;
}

namespace velmora::dr {

class DRFilter {
  public:
    DRFilter(int numchs, int numbins, int flen);
    ~DRFilter();
    DRFilter(const DRFilter&) = delete;
    DRFilter& operator=(const DRFilter&) = delete;

    int numChannels() const;
    int numBins() const;
    int filterLength() const;
    // The flen x numBins filter of channel i; row t applies to the block t blocks old.
    blas::ComplexMatrix* filter(int i);
    // in, out: numChannels() x numBins().
    void process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::dr
