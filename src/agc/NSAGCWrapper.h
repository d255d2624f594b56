#pragma once
// NSAGCWrapper: per output channel, the WebRTC noise suppressor followed by the library's gain
// control (as in AGCWrapper), each 10 ms frame of 16-bit samples going through both in turn.
// The suppressor's overlap (256-sample analysis window over 160-sample hops at 16 kHz) delays
// the output by 96 samples; engines adapt from construction on and are never reset.

#include <memory>

#include "agc/AGCInterface.h"
#include "agc/WebRTCEngine.h"

namespace velmora::agc {

class NSAGCWrapper : public AGCInterface {
  public:
    // Arguments as for AGCWrapper.
    NSAGCWrapper(int fs, int numchs, int blocksize, int mode);
    ~NSAGCWrapper() override;
    NSAGCWrapper(const NSAGCWrapper&) = delete;
    NSAGCWrapper& operator=(const NSAGCWrapper&) = delete;

    int numChannels() const override;
    int blockSize() const override;
    // 96 at 16 kHz, whatever the block size.
    int delay() const override;
    void process(const float* in, float* out) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    // "NS_Power" (policy 0 to 3) or "DR_Power" on the suppressors. "DR_Power" accepts only 0:
    // the library has no dereverberation step to switch on. RET_OK, RET_ERROR or RET_NO_HANDLE.
    int setNSParameter(const char* name, const char* value);
    // "AGC_Level" or "AGC_Power" on the gain controls, as AGCWrapper::setParameter.
    int setAGCParameter(const char* name, const char* value);

    // The engines of channel `ch`, to read their settings back.
    const WebRTCEngine& suppressor(int ch) const;
    const WebRTCEngine& gainControl(int ch) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::agc
