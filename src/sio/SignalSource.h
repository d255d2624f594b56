#pragma once
// SignalSource: a multi-channel recording delivered as float samples in [-1, 1], interleaved by
// frame (channel 0 first). Subclasses implement readSample(); readFrames() pulls whole frames
// through the protected bulk hook readSamples(), which readers override with a tight conversion
// loop so that block reads cost no virtual call per sample.

namespace velmora::sio {

class SignalSource {
  public:
    SignalSource() = default;
    virtual ~SignalSource() = default;
    SignalSource(const SignalSource&) = delete;
    SignalSource& operator=(const SignalSource&) = delete;

    virtual int numChannels() const = 0;
    virtual void close() = 0;
    // Delivers the next sample; false at the end of the data.
    virtual bool readSample(float* value) = 0;

    // Reads up to numFrames frames of numChannels() samples into consecutive places of buffer
    // and returns the number of complete frames. A frame broken by the end of the data ends the
    // read; its samples already stored stay in the buffer.
    int readFrames(float* buffer, int numFrames);

  protected:
    // Stores up to `count` consecutive samples and returns how many were stored; fewer than
    // `count` only at the end of the data. The default calls readSample() per sample.
    virtual int readSamples(float* values, int count);

    // Lets a wrapping source reach the bulk hook of the source it reads from.
    static int readSamplesFrom(SignalSource* source, float* values, int count) {
        return source->readSamples(values, count);
    }
};

}  // namespace velmora::sio
