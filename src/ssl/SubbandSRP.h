#pragma once
// SubbandSRP: the subband SRP-PHAT localiser (ssl_algorithm 1). process() accumulates one
// spatial covariance per bin of the band [ssl_f_low, ssl_f_high] (summed over the whole run when
// ssl_forget is 1, otherwise exponentially forgotten), optionally weighting each bin by the
// detector's speech probability; direction() phase-transforms the covariances and scans the
// steered response power over the grid's scan range (azimuths -90..90 with ssl_halfscan),
// returning the azimuth of the peak. All outputs share one estimate. Steering vectors for every
// scan are computed at construction; nothing is allocated per block or per scan.

#include <memory>

#include "ssl/SSLInterface.h"

namespace velmora {
class Params;
}
namespace velmora::vad {
class VADInterface;
}

namespace velmora::ssl {

class DOASpectrum;

class SubbandSRP : public SSLInterface {
  public:
    // Reads fsout, block_size, nummics, numouts, miccoor and the ssl_* settings; weights by
    // `vad` (not owned, must outlive this object) when vad_algorithm is not 0. Invalid values
    // are assertions; an unsupported block size raises the bank's error, more than 3600 scans
    // "Too many scans: %d (at most %d)".
    SubbandSRP(const Params* params, vad::VADInterface* vad);
    ~SubbandSRP() override;
    SubbandSRP(const SubbandSRP&) = delete;
    SubbandSRP& operator=(const SubbandSRP&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    int numScans() const override;
    // Blocks holding a non-finite value are skipped.
    void process(const blas::ComplexMatrix* data) override;
    // The same estimate for every n; the whole spectrum is left in spectrum().
    float direction(int n, int* index, float* value) override;
    void reset() override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    // The scan grid with the responses of the last direction() call.
    const DOASpectrum* spectrum() const;
    // First and last bank bin of the analysed band.
    int binLow() const;
    int binHigh() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::ssl
