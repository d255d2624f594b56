#pragma once
// WebRTCEngine: one mono 16-bit stream through one component of the WebRTC audio processing
// library, either its legacy gain control (adaptive digital, limiter on) or its noise
// suppressor, each in an instance of its own so that the components run in the order the
// caller chooses. Frames are 10 ms at the engine's rate (fs / 100 samples). The library's
// experimental gain controller is switched off, so the target level and compression gain
// read back as set. Everything is allocated at construction.

#include <cstdint>
#include <memory>
#include <vector>

namespace velmora::agc {

// Results of the engine and of the set-by-name calls of the wrappers.
constexpr int RET_OK = 0;
constexpr int RET_ERROR = -97;      // unknown name, refused value or failed creation
constexpr int RET_NO_HANDLE = -99;  // no engine to configure

// The decimal value of a setting text: optional blanks and sign, then leading digits; 0 when
// there are none (or for a null text). Saturates instead of overflowing.
int settingValue(const char* text);

class WebRTCEngine {
  public:
    enum Component { GainControl, NoiseSuppressor };

    // Creates the engine for `fs` (8000, 16000, 32000 or 48000) and stores RET_OK or
    // RET_ERROR in *retcode. The gain control gets the capture-level range 0 to 255 and the
    // library's gain-control mode `mode` (0 adaptive analog, 1 adaptive digital, 2 fixed
    // digital); the noise suppressor starts at policy 1. `mode` is ignored for it.
    WebRTCEngine(Component component, int fs, int mode, int* retcode);
    ~WebRTCEngine();
    WebRTCEngine(const WebRTCEngine&) = delete;
    WebRTCEngine& operator=(const WebRTCEngine&) = delete;

    int frameSize() const;

    // Gain control: sets the target level (dB below full scale, 0 to 31) and the compression
    // gain (dB, as the library accepts) with the limiter on. A refused value leaves the engine
    // as it was. RET_OK or RET_ERROR.
    int configureGain(int targetLevel, int compressionGain);
    // Noise suppressor: policy 0 (least suppression) to 3 (most). RET_OK or RET_ERROR.
    int setPolicy(int policy);

    // Read back from the library: target level, compression gain, limiter on (1/0),
    // gain-control mode, suppression policy.
    int targetLevel() const;
    int compressionGain() const;
    int limiter() const;
    int gainMode() const;
    int policy() const;

    // One frame of frameSize() samples, in place. For the gain control the virtual
    // microphone runs with capture level 0 and hands its level on to the processing step.
    // RET_OK, or the library's error code (the frame is then left as the library left it).
    int process(int16_t* frame);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

// Block conversions shared by the wrappers. toPCM16 reads `count` samples `stride` floats apart
// and writes x * 32768 rounded with floor(x + 0.5), saturated to [-32768, 32767] (NaN gives
// 0); fromPCM16 writes s / 32768 back at the same strided positions.
void toPCM16(const float* in, int stride, int count, int16_t* out);
void fromPCM16(const int16_t* in, int count, int stride, float* out);

// One engine of `component` per channel, each asserted to have been created ("retcode ==
// RET_OK").
std::vector<std::unique_ptr<WebRTCEngine>> makeEngines(WebRTCEngine::Component component, int fs,
                                                       int mode, int numchs);

// The target level and compression gain of one wrapper. The library sets both at once, so a
// call naming one keeps the other from the wrapper's previous call (4 and 5 before any).
// Each wrapper holds its own, so engines in one process never change each other's settings.
struct GainSetting {
    static constexpr int kStartLevel = 4;
    static constexpr int kStartGain = 5;
    int level = kStartLevel;
    int gain = kStartGain;

    // "AGC_Level" or "AGC_Power" with decimal `value`, applied to engines[0 .. count-1] in turn:
    // RET_OK, or the first failure (later engines untouched; nothing remembered). Any other
    // name is RET_ERROR, no engines RET_NO_HANDLE.
    int apply(const char* name, const char* value, const std::unique_ptr<WebRTCEngine>* engines,
              int count);
};

}  // namespace velmora::agc
