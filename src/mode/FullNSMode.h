#pragma once
// FullNSMode: the pipeline that suppresses noise on every channel before beamforming (modes 7
// and 8): as the general pipeline, but the residual-echo and noise suppressor cleans all beams of
// the echo canceller right after detection, and the beamformer combines the cleaned channels.
// With `preset` set (mode 7) the filter banks are the preset ones of 0.01 s or 0.02 s blocks
// (longer synthesis delay); without it (mode 8) they follow the block size as in mode 4.
#include <memory>

#include "mode/ModeInterface.h"

namespace velmora {
class Params;
}
namespace velmora::blas {
class Vector;
}

namespace velmora::mode {

class FullNSMode : public ModeInterface {
  public:
    // `params` (the facade's set) must outlive the mode; `pilots` may be null; `preset`: 1 for the
    // preset filter banks.
    FullNSMode(const Params* params, blas::Vector* pilots, int preset);
    ~FullNSMode() override;
    FullNSMode(const FullNSMode&) = delete;
    FullNSMode& operator=(const FullNSMode&) = delete;

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
