#include "agc/WebRTCEngine.h"

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "Error.h"

#ifdef VELMORA_HAVE_WEBRTC_APM
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>
#endif

namespace velmora::agc {

int settingValue(const char* text) {
    if (text == nullptr) return 0;
    const char* c = text;
    while (*c == ' ' || *c == '\t') ++c;
    bool negative = false;
    if (*c == '+' || *c == '-') negative = *c++ == '-';
    long long v = 0;
    for (; *c >= '0' && *c <= '9'; ++c) {
        v = v * 10 + (*c - '0');
        if (v > INT_MAX) v = static_cast<long long>(INT_MAX) + 1;  // saturated, stays refused
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

void toPCM16(const float* in, int stride, int count, int16_t* out) {
    for (int j = 0; j < count; ++j) {
        // Saturating before rounding gives the same codes; in double the + 0.5 is exact.
        double v = static_cast<double>(in[static_cast<size_t>(j) * stride]) * 32768.0;
        v = v == v ? v : 0.0;
        v = v < -32768.0 ? -32768.0 : (v > 32767.0 ? 32767.0 : v);
        out[j] = static_cast<int16_t>(std::floor(v + 0.5));
    }
}

void fromPCM16(const int16_t* in, int count, int stride, float* out) {
    // s / 32768 lies in [-1, 0.99997], inside the clamp range, for every 16-bit s.
    for (int j = 0; j < count; ++j)
        out[static_cast<size_t>(j) * stride] = static_cast<float>(in[j]) * (1.0f / 32768.0f);
}

int GainSetting::apply(const char* name, const char* value,
                       const std::unique_ptr<WebRTCEngine>* engines, int count) {
    if (name == nullptr) return RET_ERROR;
    int newLevel = level, newGain = gain;
    if (std::strcmp(name, "AGC_Level") == 0)
        newLevel = settingValue(value);
    else if (std::strcmp(name, "AGC_Power") == 0)
        newGain = settingValue(value);
    else
        return RET_ERROR;
    if (count <= 0) return RET_NO_HANDLE;
    for (int i = 0; i < count; ++i) {
        if (!engines[i]) return RET_NO_HANDLE;
        const int r = engines[i]->configureGain(newLevel, newGain);
        if (r != RET_OK) return r;
    }
    level = newLevel;
    gain = newGain;
    return RET_OK;
}

#ifdef VELMORA_HAVE_WEBRTC_APM

namespace {

constexpr int kMinCaptureLevel = 0;    // capture-level range handed to the gain control
constexpr int kMaxCaptureLevel = 255;  // (255 is the library's 100 %)
constexpr int kStartPolicy = 1;        // moderate suppression until a policy is set

bool nativeRate(int fs) {
    return fs == 8000 || fs == 16000 || fs == 32000 || fs == 48000;
}

}  // namespace

struct WebRTCEngine::Impl {
    Component component;
    int frameSize = 0;
    std::unique_ptr<webrtc::AudioProcessing> apm;
    std::unique_ptr<webrtc::AudioFrame> frame;  // the library's 10 ms frame, reused

    int create(int fs, int mode) {
        if (!nativeRate(fs)) return RET_ERROR;
        // The experimental controller, on by default, would take over the legacy gain control
        // and replace its target level and compression gain with its own.
        webrtc::Config config;
        config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
        config.Set<webrtc::ExperimentalNs>(new webrtc::ExperimentalNs(false));
        apm.reset(webrtc::AudioProcessing::Create(config));
        if (!apm) return RET_ERROR;
        using AP = webrtc::AudioProcessing;
        if (apm->Initialize(fs, fs, fs, AP::kMono, AP::kMono, AP::kMono) != AP::kNoError)
            return RET_ERROR;
        frameSize = fs / 100;
        frame.reset(new webrtc::AudioFrame);
        frame->sample_rate_hz_ = fs;
        frame->num_channels_ = 1;
        frame->samples_per_channel_ = static_cast<size_t>(frameSize);
        if (component == GainControl) {
            webrtc::GainControl* gc = apm->gain_control();
            if (mode < 0 || mode > 2) return RET_ERROR;
            if (gc->set_analog_level_limits(kMinCaptureLevel, kMaxCaptureLevel) != 0 ||
                gc->set_mode(static_cast<webrtc::GainControl::Mode>(mode)) != 0 ||
                gc->enable_limiter(true) != 0 || gc->Enable(true) != 0)
                return RET_ERROR;
        } else {
            webrtc::NoiseSuppression* ns = apm->noise_suppression();
            if (ns->set_level(static_cast<webrtc::NoiseSuppression::Level>(kStartPolicy)) != 0 ||
                ns->Enable(true) != 0)
                return RET_ERROR;
        }
        return RET_OK;
    }
};

WebRTCEngine::WebRTCEngine(Component component, int fs, int mode, int* retcode) : pp(new Impl) {
    pp->component = component;
    *retcode = pp->create(fs, mode);
    if (*retcode != RET_OK) pp->apm.reset();
}

WebRTCEngine::~WebRTCEngine() = default;

int WebRTCEngine::frameSize() const {
    return pp->frameSize;
}

int WebRTCEngine::configureGain(int targetLevel, int compressionGain) {
    if (!pp->apm || pp->component != GainControl) return RET_NO_HANDLE;
    webrtc::GainControl* gc = pp->apm->gain_control();
    // Check both before touching the engine, so that a refusal changes nothing.
    if (targetLevel < 0 || targetLevel > 31) return RET_ERROR;
    const int oldGain = gc->compression_gain_db();
    if (gc->set_compression_gain_db(compressionGain) != 0) return RET_ERROR;
    if (gc->set_target_level_dbfs(targetLevel) != 0) {
        gc->set_compression_gain_db(oldGain);
        return RET_ERROR;
    }
    return gc->enable_limiter(true) == 0 ? RET_OK : RET_ERROR;
}

int WebRTCEngine::setPolicy(int policy) {
    if (!pp->apm || pp->component != NoiseSuppressor) return RET_NO_HANDLE;
    if (policy < 0 || policy > 3) return RET_ERROR;
    webrtc::NoiseSuppression* ns = pp->apm->noise_suppression();
    if (ns->set_level(static_cast<webrtc::NoiseSuppression::Level>(kStartPolicy)) != 0 ||
        ns->set_level(static_cast<webrtc::NoiseSuppression::Level>(policy)) != 0)
        return RET_ERROR;
    return RET_OK;
}

int WebRTCEngine::targetLevel() const {
    return pp->apm ? pp->apm->gain_control()->target_level_dbfs() : RET_NO_HANDLE;
}
int WebRTCEngine::compressionGain() const {
    return pp->apm ? pp->apm->gain_control()->compression_gain_db() : RET_NO_HANDLE;
}
int WebRTCEngine::limiter() const {
    return pp->apm ? static_cast<int>(pp->apm->gain_control()->is_limiter_enabled())
                   : RET_NO_HANDLE;
}
int WebRTCEngine::gainMode() const {
    return pp->apm ? static_cast<int>(pp->apm->gain_control()->mode()) : RET_NO_HANDLE;
}
int WebRTCEngine::policy() const {
    return pp->apm ? static_cast<int>(pp->apm->noise_suppression()->level()) : RET_NO_HANDLE;
}

int WebRTCEngine::process(int16_t* frame) {
    if (!pp->apm) return RET_NO_HANDLE;
    webrtc::AudioFrame& f = *pp->frame;
    const size_t bytes = sizeof(int16_t) * static_cast<size_t>(pp->frameSize);
    std::memcpy(f.data_, frame, bytes);
    if (pp->component == GainControl) {
        // Capture level 0 for the virtual microphone; the library hands the level it returns
        // on to its processing step.
        const int r = pp->apm->gain_control()->set_stream_analog_level(kMinCaptureLevel);
        if (r != 0) return r;
    }
    const int r = pp->apm->ProcessStream(&f);
    if (r != 0) return r;
    std::memcpy(frame, f.data_, bytes);
    return RET_OK;
}

#else  // built without the library: every engine refuses creation

struct WebRTCEngine::Impl {};

WebRTCEngine::WebRTCEngine(Component, int, int, int*) {
    error("WebRTCEngine", "built without the WebRTC audio processing library");
}
WebRTCEngine::~WebRTCEngine() = default;
int WebRTCEngine::frameSize() const {
    return 0;
}
int WebRTCEngine::configureGain(int, int) {
    return RET_NO_HANDLE;
}
int WebRTCEngine::setPolicy(int) {
    return RET_NO_HANDLE;
}
int WebRTCEngine::targetLevel() const {
    return RET_NO_HANDLE;
}
int WebRTCEngine::compressionGain() const {
    return RET_NO_HANDLE;
}
int WebRTCEngine::limiter() const {
    return RET_NO_HANDLE;
}
int WebRTCEngine::gainMode() const {
    return RET_NO_HANDLE;
}
int WebRTCEngine::policy() const {
    return RET_NO_HANDLE;
}
int WebRTCEngine::process(int16_t*) {
    return RET_NO_HANDLE;
}

#endif

std::vector<std::unique_ptr<WebRTCEngine>> makeEngines(WebRTCEngine::Component component, int fs,
                                                       int mode, int numchs) {
    std::vector<std::unique_ptr<WebRTCEngine>> engines;
    for (int i = 0; i < numchs; ++i) {
        int retcode = RET_ERROR;
        engines.emplace_back(new WebRTCEngine(component, fs, mode, &retcode));
        VM_ASSERT(retcode == RET_OK);
    }
    return engines;
}

}  // namespace velmora::agc
