#pragma once
// GeneralMode: the full front end (mode 4). One block goes through resampling to 16 kHz,
// high-pass filtering, optional reference alignment, subband analysis, the fixed pre-beamformer,
// echo cancellation, dereverberation, voice-activity detection, beamforming, localisation,
// residual-echo and noise suppression, post-filtering, synthesis and gain control, with the
// volume metered at the configured point. Each adaptive stage is held through its selector. The
// time-domain steps work in place in the caller's block, which must hold the larger of the input
// and the output; everything else is allocated at construction.

#include <memory>

#include "mode/ModeInterface.h"

namespace velmora {
class Params;
}
namespace velmora::blas {
class Vector;
}

namespace velmora::mode {

class GeneralMode : public ModeInterface {
  public:
    // `params` (the facade's set) must outlive the mode; `pilots` may be null.
    GeneralMode(const Params* params, blas::Vector* pilots);
    ~GeneralMode() override;
    GeneralMode(const GeneralMode&) = delete;
    GeneralMode& operator=(const GeneralMode&) = delete;

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
