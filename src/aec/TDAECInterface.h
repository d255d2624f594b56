#pragma once
// TDAECInterface: an echo canceller that works on the time-domain block, ahead of the subband
// analysis. A pipeline that hosts one runs it on every block of high-passed (and delay-aligned)
// samples, analyses the residual in place of the microphones and the canceller's echo estimate
// as the echo block of the suppression stage.

namespace velmora::aec {

class TDAECInterface {
  public:
    virtual ~TDAECInterface() = default;
    virtual int numMics() const = 0;
    virtual int numRefs() const = 0;
    // Frames per block.
    virtual int blockSize() const = 0;
    // Delay added by the canceller, in samples.
    virtual int delay() const = 0;
    // `block`: blockSize() frames of `channels` interleaved samples, numMics() microphones first,
    // then numRefs() references (channels >= numMics() + numRefs()). The microphone samples are
    // replaced by the residual (microphone minus estimated echo); `echo` receives the echo
    // estimate, blockSize() frames of numMics() interleaved samples.
    virtual void process(float* block, int channels, float* echo) = 0;
};

}  // namespace velmora::aec
