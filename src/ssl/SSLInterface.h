#pragma once
// SSLInterface: a sound-source localiser. It accumulates statistics from numMics() x numBins()
// blocks and, on request, scans numScans() candidate azimuths for each output. direction() may be
// costly; callers ask at most once per block and output. The virtual slots keep this order;
// every localiser overrides all of them.

#include <cstdint>

namespace velmora::blas {
class ComplexMatrix;
}

namespace velmora::ssl {

class SSLInterface {
  public:
    virtual ~SSLInterface() = default;
    virtual int numMics() const = 0;
    virtual int numOuts() const = 0;
    virtual int numBins() const = 0;
    // Candidate azimuths scanned (0 for the pass-through).
    virtual int numScans() const = 0;
    virtual void process(const blas::ComplexMatrix* data) = 0;
    // Azimuth estimate (degrees) for output n; when not null, *index and *value receive the
    // winning scan index and its response.
    virtual float direction(int n, int* index, float* value) = 0;
    // Forgets all accumulated statistics.
    virtual void reset() = 0;
    // Reserved one-argument hooks: empty in every localiser, nothing calls them.
    virtual void hook1(int32_t value) = 0;
    virtual void hook2(int32_t value) = 0;
};

}  // namespace velmora::ssl
