#pragma once
// DelayedBuffer: delays a stream of frames of numChannels() floats by delay() whole frames; the
// delay can be changed between frames (0 .. capacity()). The frames are kept in a ring of
// capacity + 1 slots, of which delay + 1 are in use: delay pending frames and the slot written
// next. Raising the delay inserts silence before the pending frames; lowering it drops the
// oldest pending frames. All storage is created by the constructor.

#include <memory>

namespace velmora::util {

class DelayedBuffer {
  public:
    DelayedBuffer(int numchs, int capacity);
    ~DelayedBuffer();
    DelayedBuffer(const DelayedBuffer&) = delete;
    DelayedBuffer& operator=(const DelayedBuffer&) = delete;

    int numChannels() const;
    int capacity() const;
    int delay() const;

    // One frame of numChannels() floats; `out` may equal `in`.
    void process(const float* in, float* out);
    // numFrames consecutive frames; `out` may equal `in`.
    void process(const float* in, float* out, int numFrames);

    // Changes the delay; the frames already pending are kept as far as the new delay allows.
    void setDelay(int delay);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::util
