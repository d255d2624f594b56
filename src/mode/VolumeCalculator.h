#pragma once
// VolumeCalculator: meters the level of one time-domain block per call, for a level display:
// RMS or peak, raw or as a percentage of a full-scale reference, on the microphone channels
// (volume_position 0) or on the output channels before (1) or after (2) gain control. One value
// per metered channel is kept until the next block; all start at 0.

#include <memory>

namespace velmora {
class Params;
}

namespace velmora::mode {

class VolumeCalculator {
  public:
    // `params` is not owned and must outlive the calculator; blocksize: frames per block.
    VolumeCalculator(const Params* params, int blocksize);
    ~VolumeCalculator();
    VolumeCalculator(const VolumeCalculator&) = delete;
    VolumeCalculator& operator=(const VolumeCalculator&) = delete;

    // Meters a frame-major block of blocksize frames: nummics + numrefs channels per frame at
    // position 0, numouts at positions 1 and 2.
    void process(const float* block);
    // Value of channel n from the last block (0 before the first or when not metered). Accepts
    // n below nummics + numrefs, and below numouts when that is larger.
    float volume(int n) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
