#pragma once
// MISOMode: the single-output pipeline (mode 5). The general chain without the fixed
// pre-beamformer: echo cancellation on the microphones, dereverberation, detection, beamforming
// to one channel, localisation, suppression, post-filtering, synthesis and gain control. With
// numouts 2 the second channel carries the voice-activity level of the block (vadValue(0),
// constant over the block) on every odd sample. numouts must be 1 or 2.
#include <memory>

#include "mode/ModeInterface.h"

namespace velmora {
class Params;
}
namespace velmora::blas {
class Vector;
}

namespace velmora::mode {

class MISOMode : public ModeInterface {
  public:
    // `params` (the facade's set) must outlive the mode; `pilots` may be null.
    MISOMode(const Params* params, blas::Vector* pilots);
    ~MISOMode() override;
    MISOMode(const MISOMode&) = delete;
    MISOMode& operator=(const MISOMode&) = delete;

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
