#include "agc/NSAGCWrapper.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "Error.h"

namespace velmora::agc {

namespace {

// Delay in samples of the suppressor followed by the gain control. The suppressor overlaps a
// 256-sample analysis window on 160-sample hops of the 0-8 kHz band (96 samples at 16 kHz, 48
// at 8 kHz, scaled by the band split above 16 kHz), plus the band-splitting filters of both
// engines at 32 and 48 kHz (measured on speech, as for AGCWrapper).
int suppressorPathDelay(int fs) {
    switch (fs) {
        case 8000:
            return 48;
        case 32000:
            return 200;
        case 48000:
            return 384;
        default:
            return 96;
    }
}

}  // namespace

struct NSAGCWrapper::Impl {
    int numChannels;
    int blockSize;
    int mode;
    int fs;
    std::vector<std::unique_ptr<WebRTCEngine>> suppressor;  // one per channel
    std::vector<std::unique_ptr<WebRTCEngine>> gain;        // one per channel
    std::vector<int16_t> work;                              // one channel's block
    GainSetting setting;
};

NSAGCWrapper::NSAGCWrapper(int fs, int numchs, int blocksize, int mode) : pp(new Impl) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(blocksize == 160 || blocksize == 320 || blocksize == 480 || blocksize == 640);
    pp->numChannels = numchs;
    pp->blockSize = blocksize;
    pp->mode = mode;
    pp->fs = fs;
    pp->suppressor = makeEngines(WebRTCEngine::NoiseSuppressor, fs, mode, numchs);
    pp->gain = makeEngines(WebRTCEngine::GainControl, fs, mode, numchs);
    const int frameSize = pp->gain[0]->frameSize();
    VM_ASSERT(pp->blockSize % frameSize == 0);
    pp->work.assign(static_cast<size_t>(blocksize), 0);
}

NSAGCWrapper::~NSAGCWrapper() = default;

int NSAGCWrapper::numChannels() const {
    return pp->numChannels;
}
int NSAGCWrapper::blockSize() const {
    return pp->blockSize;
}
int NSAGCWrapper::delay() const {
    return suppressorPathDelay(pp->fs);
}

void NSAGCWrapper::process(const float* in, float* out) {
    const int nch = pp->numChannels, n = pp->blockSize;
    int16_t* work = pp->work.data();
    for (int i = 0; i < nch; ++i) {
        WebRTCEngine& suppressor = *pp->suppressor[static_cast<size_t>(i)];
        WebRTCEngine& gain = *pp->gain[static_cast<size_t>(i)];
        const int frame = gain.frameSize();
        toPCM16(in + i, nch, n, work);
        for (int f = 0; f < n; f += frame) {
            suppressor.process(work + f);
            gain.process(work + f);
        }
        fromPCM16(work, n, nch, out + i);
    }
}

int NSAGCWrapper::setNSParameter(const char* name, const char* value) {
    if (name == nullptr) return RET_ERROR;
    const bool policy = std::strcmp(name, "NS_Power") == 0;
    if (!policy && std::strcmp(name, "DR_Power") != 0) return RET_ERROR;
    const int v = settingValue(value);
    for (int i = 0; i < pp->numChannels; ++i) {
        WebRTCEngine* e = pp->suppressor[static_cast<size_t>(i)].get();
        if (e == nullptr) return RET_NO_HANDLE;
        // The library's suppressor has no dereverberation step: only "off" is accepted.
        const int r = policy ? e->setPolicy(v) : (v == 0 ? RET_OK : RET_ERROR);
        if (r != RET_OK) return r;
    }
    return RET_OK;
}

int NSAGCWrapper::setAGCParameter(const char* name, const char* value) {
    return pp->setting.apply(name, value, pp->gain.data(), pp->numChannels);
}

const WebRTCEngine& NSAGCWrapper::suppressor(int ch) const {
    VM_ASSERT(ch >= 0 && ch < pp->numChannels);
    return *pp->suppressor[static_cast<size_t>(ch)];
}
const WebRTCEngine& NSAGCWrapper::gainControl(int ch) const {
    VM_ASSERT(ch >= 0 && ch < pp->numChannels);
    return *pp->gain[static_cast<size_t>(ch)];
}

}  // namespace velmora::agc
