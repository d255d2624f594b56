#pragma once
// AGCWrapper: the gain control of the WebRTC audio processing library (legacy controller,
// adaptive digital with limiter) on every output channel: one engine per channel, fed the
// channel's block as consecutive 10 ms frames of 16-bit samples. Channels adapt independently
// from construction on and are never reset. Delay 0 samples at 8 and 16 kHz.

#include <memory>

#include "agc/AGCInterface.h"
#include "agc/WebRTCEngine.h"

namespace velmora::agc {

class AGCWrapper : public AGCInterface {
  public:
    // `fs` 8000, 16000, 32000 or 48000; `blocksize` 160, 320, 480 or 640 samples and a whole
    // number of 10 ms frames at `fs`; `mode` 1 is adaptive digital.
    AGCWrapper(int fs, int numchs, int blocksize, int mode);
    ~AGCWrapper() override;
    AGCWrapper(const AGCWrapper&) = delete;
    AGCWrapper& operator=(const AGCWrapper&) = delete;

    int numChannels() const override;
    int blockSize() const override;
    int delay() const override;
    void process(const float* in, float* out) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    // "AGC_Level" (0 to 31 dB below full scale) or "AGC_Power" (compression gain in dB) as
    // decimal text, applied to the engine of every channel: RET_OK, RET_ERROR (unknown name
    // or refused value) or RET_NO_HANDLE.
    int setParameter(const char* name, const char* value);

    // The engine of channel `ch`, to read its settings back.
    const WebRTCEngine& engine(int ch) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::agc
