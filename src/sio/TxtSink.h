#pragma once
// TxtSink: a text dump with one line per frame, the channel values in the stream's default float
// formatting (6 significant digits) separated by single blanks. Every completed line is flushed
// to the file.

#include <memory>

#include "sio/SignalSink.h"

namespace velmora::sio {

class TxtSink : public SignalSink {
  public:
    TxtSink(int numchs, const char* path);
    ~TxtSink() override;

    int numChannels() const override;
    void flush() override;
    void close() override;
    void writeSample(float value) override;
    bool failed() const override;

  protected:
    void writeSamples(const float* values, int count) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::sio
