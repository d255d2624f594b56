#pragma once
// PostSRP: localisation of every output of a separating beamformer (ssl_algorithm 100). The
// beamformer's sslData() holds per bin how each output reaches each microphone (a column of its
// mixing estimate); direction(n) normalises output n's columns over the band [ssl_f_low,
// ssl_f_high] and returns the azimuth whose unit-norm steering vectors match them best (largest
// sum over the band of |v^H a|^2). process() does nothing. Without spatial data (null sslData)
// every direction is 0. Steering vectors are computed at construction; nothing is allocated
// per call.

#include <memory>

#include "ssl/SSLInterface.h"

namespace velmora {
class Params;
}
namespace velmora::bf {
class BFInterface;
}

namespace velmora::ssl {

class DOASpectrum;

class PostSRP : public SSLInterface {
  public:
    // Reads fsout, block_size, nummics, numouts, miccoor and the ssl_* settings; bf (not owned)
    // must outlive this object and have numouts outputs.
    PostSRP(const Params* params, bf::BFInterface* bf);
    ~PostSRP() override;
    PostSRP(const PostSRP&) = delete;
    PostSRP& operator=(const PostSRP&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    int numScans() const override;
    void process(const blas::ComplexMatrix*) override {}
    float direction(int n, int* index, float* value) override;
    void reset() override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    const DOASpectrum* spectrum() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::ssl
