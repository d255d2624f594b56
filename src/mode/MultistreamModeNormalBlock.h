#pragma once
// MultistreamModeNormalBlock: the multistream pipeline (mode 9). After echo cancellation over
// all microphones, the outermost pair (the first and the last microphone) is dereverberated and
// separated by the configured two-channel beamformer into two streams; with numouts 3 or 4 a
// third stream comes from the keyword beamformer (bf_algorithm 303) over all microphones, and
// with numouts 4 a fourth channel carries the keyword detector's activity level. The filter
// banks are the preset ones (0.01 s or 0.02 s blocks). Stage numbers that the build does not
// provide are refused by the selectors when the mode is built.
#include <memory>

#include "mode/ModeInterface.h"

namespace velmora {
class Params;
}
namespace velmora::blas {
class Vector;
}

namespace velmora::mode {

class MultistreamModeNormalBlock : public ModeInterface {
  public:
    // `params` (the facade's set) must outlive the mode; `pilots` may be null; `preset`: 1 for the
    // preset filter banks (the only form).
    MultistreamModeNormalBlock(const Params* params, blas::Vector* pilots, int preset);
    ~MultistreamModeNormalBlock() override;
    MultistreamModeNormalBlock(const MultistreamModeNormalBlock&) = delete;
    MultistreamModeNormalBlock& operator=(const MultistreamModeNormalBlock&) = delete;

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
