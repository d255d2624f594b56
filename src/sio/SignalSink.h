#pragma once
// SignalSink: takes float samples interleaved by frame (channel 0 first) and writes them to a
// file. The driver ends a run with flush(), then close(), then destruction; close() also writes
// out anything still buffered. writeFrames() hands whole blocks to the protected bulk hook
// writeSamples(), which writers override with a tight loop so that block writes cost no virtual
// call per sample. Write errors never throw: they are remembered and reported by failed().

namespace velmora::sio {

class SignalSink {
  public:
    SignalSink() = default;
    virtual ~SignalSink() = default;
    SignalSink(const SignalSink&) = delete;
    SignalSink& operator=(const SignalSink&) = delete;

    virtual int numChannels() const = 0;
    virtual void flush() = 0;
    virtual void close() = 0;
    virtual void writeSample(float value) = 0;
    // True once a write to the file has failed (disk full, closed file, ...). Callers check it
    // after flush() or close() to tell a complete output file from a damaged one.
    virtual bool failed() const { return false; }

    // Writes numFrames * numChannels() consecutive values of buffer.
    void writeFrames(const float* buffer, int numFrames);

  protected:
    // Accepts `count` consecutive samples. The default calls writeSample() per sample.
    virtual void writeSamples(const float* values, int count);

    // Lets a wrapping sink reach the bulk hook of the sink it writes to.
    static void writeSamplesTo(SignalSink* sink, const float* values, int count) {
        sink->writeSamples(values, count);
    }
};

}  // namespace velmora::sio
