#pragma once
// The test items that measure the time-domain channels of the hardware test mode directly:
//   TestSaturation     (100) share of clipped samples per channel,
//   TestDiscontinuity  (101) share of blocks with a jump per channel,
//   TestSimilarity     (102) channels that carry the same signal,
//   TestAmpDiff        (103) level mismatch between channels.
// Each consumes 16 kHz blocks of int(fsout * block_size) frames (nummics microphones, then
// numrefs references per frame) and prints its report with a PASSED or FAILED verdict per
// channel (MIC i / REF i) or per pair i < j within each group.
//
// After zero processed blocks nothing was measured: every value prints as 0 and every verdict
// is FAILED, so that an array whose recording was too short to test never passes.

#include <memory>

#include "mode/TestItem.h"

namespace velmora {
class Params;
}

namespace velmora::mode {

class TestSaturation : public TestItem {
  public:
    explicit TestSaturation(const Params* params);
    ~TestSaturation() override;
    int blockLength() override;
    void process(const float* block, float* out) override;
    void report() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

class TestDiscontinuity : public TestItem {
  public:
    explicit TestDiscontinuity(const Params* params);
    ~TestDiscontinuity() override;
    int blockLength() override;
    void process(const float* block, float* out) override;
    void report() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

class TestSimilarity : public TestItem {
  public:
    explicit TestSimilarity(const Params* params);
    ~TestSimilarity() override;
    int blockLength() override;
    void process(const float* block, float* out) override;
    void report() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

// The rate of a pair i < j is |rms_i - rms_j| / rms_i. When channel i is silent (rms below
// 1e-6) the rate is 0 if channel j is silent too and 1 otherwise: a dead channel has lost its
// whole level against a live one, whichever of the two comes first.
class TestAmpDiff : public TestItem {
  public:
    explicit TestAmpDiff(const Params* params);
    ~TestAmpDiff() override;
    int blockLength() override;
    void process(const float* block, float* out) override;
    void report() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

// Similarity of two equally long runs: |sum a b| / (sqrt(sum a^2) sqrt(sum b^2)), and 1 when
// the denominator is below 1e-6 (two silent channels count as equal). `stride` steps between
// consecutive samples of each run.
double similarity(const float* a, const float* b, int count, int stride);

}  // namespace velmora::mode
