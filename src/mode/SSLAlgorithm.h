#pragma once
// SSLAlgorithm: the pipeline's handle on the localiser. Builds the localiser named by
// ssl_algorithm, owns it and forwards the pipeline's calls to it. Directions are cached per
// output: each process() marks every output stale, and direction(n) runs the (possibly costly)
// scan for output n only when asked and at most once per block.

#include <memory>

namespace velmora {
class Params;
}
namespace velmora::blas {
class ComplexMatrix;
}
namespace velmora::ssl {
class SSLInterface;
}

namespace velmora::mode {

class VADAlgorithm;
class BFAlgorithm;

class SSLAlgorithm {
  public:
    // `vad` and `bf`: the detector and beamformer selectors (not owned).
    SSLAlgorithm(const Params* params, VADAlgorithm* vad, BFAlgorithm* bf);
    // Adopts an already built localiser (owned from now on).
    explicit SSLAlgorithm(ssl::SSLInterface* stage);
    ~SSLAlgorithm();
    SSLAlgorithm(const SSLAlgorithm&) = delete;
    SSLAlgorithm& operator=(const SSLAlgorithm&) = delete;

    int numOuts() const;
    void process(const blas::ComplexMatrix* block);
    // Forgets the localiser's statistics; the next direction() asks the localiser again.
    void reset();
    // Azimuth estimate in degrees for output n, scanned at most once per processed block.
    float direction(int n);

    // The localiser itself (owned by this selector).
    ssl::SSLInterface* stage();

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
    void start();
};

}  // namespace velmora::mode
