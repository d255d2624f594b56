#pragma once
// TrainMode: the training-feature mode (mode 6). Each block is resampled to 16 kHz, high-passed,
// aligned when aec_tde_active, analysed with the polyphase bank, and handed to the feature named
// by train_feature (0-3 Spec, 4-5 AECAFRefEcho), which writes the output block. Counts, output
// frames and delay are the feature's. The output is written to `out` only (nothing when it is
// null); `in` is used as work space.

#include <memory>

#include "mode/ModeInterface.h"

namespace velmora {
class Params;
}
namespace velmora::blas {
class Vector;
}

namespace velmora::mode {

class TrainMode : public ModeInterface {
  public:
    // `params` (the facade's set) must outlive the mode; `pilots` may be null.
    TrainMode(const Params* params, blas::Vector* pilots);
    ~TrainMode() override;
    TrainMode(const TrainMode&) = delete;
    TrainMode& operator=(const TrainMode&) = delete;

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
