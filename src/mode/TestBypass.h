#pragma once
// TestBypass: the test item that passes channels through to the output after the high-pass
// filter (and, with aec_tde_active, after aligning microphones and references in time): kind 0
// all nummics + numrefs channels, kind 1 the microphones, kind 2 the references.
// numouts must equal the number of channels passed. It checks nothing and reports nothing.
// The filtered block is kept in the item's own buffer, so the caller's block (which the other
// items of the run also measure) is left as it was.

#include <memory>

#include "mode/TestItem.h"

namespace velmora {
class Params;
}

namespace velmora::mode {

class TestBypass : public TestItem {
  public:
    TestBypass(const Params* params, int kind);
    ~TestBypass() override;
    TestBypass(const TestBypass&) = delete;
    TestBypass& operator=(const TestBypass&) = delete;

    int blockLength() override;
    void process(const float* block, float* out) override;
    void report() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
