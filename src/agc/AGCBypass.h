#pragma once
// AGCBypass: the gain control that applies unit gain (agc_algorithm 0): each block leaves as it
// came in. Delay 0 samples.

#include <memory>

#include "agc/AGCInterface.h"

namespace velmora::agc {

class AGCBypass : public AGCInterface {
  public:
    AGCBypass(int numchs, int blocksize);
    ~AGCBypass() override;
    AGCBypass(const AGCBypass&) = delete;
    AGCBypass& operator=(const AGCBypass&) = delete;

    int numChannels() const override;
    int blockSize() const override;
    int delay() const override { return 0; }
    // Copies numChannels() x blockSize() floats from `in` to `out` unless they are the same array.
    void process(const float* in, float* out) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::agc
