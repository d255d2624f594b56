#pragma once
// The abstract processing mode. The facade owns exactly one mode and talks to it only
// through these operations. `process` works in place: `in` holds inFramesPerBlock() frames of
// numMics() microphone samples followed by numRefs() reference samples (frame-major, floats in
// [-1, 1]) and must be large enough to hold the output too; the output (outFramesPerBlock()
// frames of numOuts() samples) is left in `in` and copied to `out` when `out` is not null and
// differs from `in`. The hardware test and training-feature modes are the exceptions: they
// write only to `out` (nothing when `out` is null) and use `in` as work space.

#include <istream>
#include <ostream>

namespace velmora::mode {

class ModeInterface {
  public:
    virtual ~ModeInterface() = default;
    virtual int numMics() = 0;
    virtual int numRefs() = 0;
    virtual int numOuts() = 0;
    virtual int inFramesPerBlock() = 0;
    virtual int outFramesPerBlock() = 0;
    // Total algorithmic delay in output samples.
    virtual int delay() = 0;
    // Target of output n confirmed over the last `blocks` blocks (null: the stage's default).
    virtual void lock(int n, const float* blocks) = 0;
    virtual void unlock(int n) = 0;
    virtual float look(int n) = 0;
    virtual void setLook(int n, float azimuth) = 0;
    virtual void process(float* in, float* out) = 0;
    virtual float direction(int n) = 0;
    virtual void resetLocalization() = 0;
    virtual float volume(int n) = 0;
    virtual float vadValue(int n) = 0;
    virtual void saveState(std::ostream& stream) = 0;
    virtual void loadState(std::istream& stream) = 0;
};

}  // namespace velmora::mode
