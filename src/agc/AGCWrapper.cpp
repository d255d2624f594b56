#include "agc/AGCWrapper.h"

#include <cstdint>
#include <vector>

#include "Error.h"

namespace velmora::agc {

namespace {

// Delay of the library's gain-control path in samples: none where it runs on one band (8 and
// 16 kHz); its band-splitting filters delay the output at 32 and 48 kHz (measured on speech;
// the three-band filters at 48 kHz are not linear-phase, so that figure is within 2 samples).
int gainPathDelay(int fs) {
    return fs == 32000 ? 4 : (fs == 48000 ? 48 : 0);
}

}  // namespace

struct AGCWrapper::Impl {
    int numChannels;
    int blockSize;
    int mode;
    int fs;
    std::vector<std::unique_ptr<WebRTCEngine>> gain;  // one per channel
    std::vector<int16_t> work;                        // one channel's block
    GainSetting setting;
};

AGCWrapper::AGCWrapper(int fs, int numchs, int blocksize, int mode) : pp(new Impl) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(blocksize == 160 || blocksize == 320 || blocksize == 480 || blocksize == 640);
    pp->numChannels = numchs;
    pp->blockSize = blocksize;
    pp->mode = mode;
    pp->fs = fs;
    pp->gain = makeEngines(WebRTCEngine::GainControl, fs, mode, numchs);
    const int frameSize = pp->gain[0]->frameSize();
    VM_ASSERT(pp->blockSize % frameSize == 0);
    pp->work.assign(static_cast<size_t>(blocksize), 0);
}

AGCWrapper::~AGCWrapper() = default;

int AGCWrapper::numChannels() const {
    return pp->numChannels;
}
int AGCWrapper::blockSize() const {
    return pp->blockSize;
}
int AGCWrapper::delay() const {
    return gainPathDelay(pp->fs);
}

void AGCWrapper::process(const float* in, float* out) {
    const int nch = pp->numChannels, n = pp->blockSize;
    int16_t* work = pp->work.data();
    for (int i = 0; i < nch; ++i) {
        WebRTCEngine& gain = *pp->gain[static_cast<size_t>(i)];
        const int frame = gain.frameSize();
        toPCM16(in + i, nch, n, work);
        // A refused frame (which the construction checks rule out) passes through unchanged.
        for (int f = 0; f < n; f += frame) gain.process(work + f);
        fromPCM16(work, n, nch, out + i);
    }
}

int AGCWrapper::setParameter(const char* name, const char* value) {
    return pp->setting.apply(name, value, pp->gain.data(), pp->numChannels);
}

const WebRTCEngine& AGCWrapper::engine(int ch) const {
    VM_ASSERT(ch >= 0 && ch < pp->numChannels);
    return *pp->gain[static_cast<size_t>(ch)];
}

}  // namespace velmora::agc
