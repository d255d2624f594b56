#pragma once
// TestMode: the hardware test bench for a microphone array. Each block is decimated to 16 kHz in
// place and handed to every test item of `test_items` in list order; pass-through items write
// the output. When the mode is destroyed, at the end of the run, every item prints its report,
// consecutive reports separated by a line of dashes. The mode keeps its own copy of the
// parameters, which the items read until they are destroyed.

#include <istream>
#include <memory>
#include <ostream>

#include "mode/ModeInterface.h"

namespace velmora {
class Params;
}

namespace velmora::mode {

class TestMode : public ModeInterface {
  public:
    explicit TestMode(const Params* params);
    ~TestMode() override;
    TestMode(const TestMode&) = delete;
    TestMode& operator=(const TestMode&) = delete;

    int numMics() override;
    int numRefs() override;
    int numOuts() override;
    int inFramesPerBlock() override;
    int outFramesPerBlock() override;
    int delay() override;
    void lock(int n, const float* blocks) override;
    void unlock(int n) override;
    float look(int n) override;
    void setLook(int n, float azimuth) override;
    // `in`: inFramesPerBlock() frames of numMics() + numRefs() channels, decimated in place;
    // `out`: outFramesPerBlock() frames of numOuts() channels written by pass-through items, or
    // null.
    void process(float* in, float* out) override;
    float direction(int n) override;
    void resetLocalization() override;
    float volume(int n) override;
    float vadValue(int n) override;
    void saveState(std::ostream& stream) override;
    void loadState(std::istream& stream) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
