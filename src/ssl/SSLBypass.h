#pragma once
// SSLBypass: the localiser that localises nothing (ssl_algorithm 0): no scan candidates, every
// direction is 0.0 and the index/value outputs are left untouched; blocks and resets are
// ignored.

#include <memory>

#include "ssl/SSLInterface.h"

namespace velmora::ssl {

class SSLBypass : public SSLInterface {
  public:
    SSLBypass(int nummics, int numouts, int numbins);
    ~SSLBypass() override;
    SSLBypass(const SSLBypass&) = delete;
    SSLBypass& operator=(const SSLBypass&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    int numScans() const override { return 0; }
    void process(const blas::ComplexMatrix*) override {}
    float direction(int, int*, float*) override { return 0.0f; }
    void reset() override {}
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::ssl
