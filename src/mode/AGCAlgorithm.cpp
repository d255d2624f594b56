#include "mode/AGCAlgorithm.h"

#include <cstdio>

#include "Error.h"
#include "Params.h"
#include "agc/AGCBypass.h"
#include "agc/AGCInterface.h"

namespace velmora::mode {

struct AGCAlgorithm::Impl {
    std::unique_ptr<agc::AGCInterface> agc;

    // The gain-control classes take their settings as decimal text.
    struct Text {
        char s[16];
        explicit Text(int value) { std::snprintf(s, sizeof(s), "%d", value); }
    };
    // A setting call's result: non-zero means the stage refused `text` for `key`.
    static void checkSetting(int result, const char* key, const char* text) {
        if (result != 0) error("AGCAlgorithm", "Failed to set %s: %s", key, text);
    }
};

namespace {

// The gain control for p->agc_algorithm, or null when none serves that number. One case per
// class; the WebRTC wrappers are then configured through Impl::Text and Impl::checkSetting:
//   1 AGCWrapper(fsout, channels, frames, 1), then setParameter "AGC_Level" = agc_level
//     ("agc_level") and "AGC_Power" = agc_power ("agc_power")
//   2 NSAGCWrapper(fsout, channels, frames, 1), then setNSParameter "NS_Power" = "0"
//     ("ns_power") and "DR_Power" = "0" ("dr_power"), then setAGCParameter "AGC_Level" and
//     "AGC_Power" as for 1
//   3 as 2 with "NS_Power" = "1"
agc::AGCInterface* build(const Params* p, int channels, int frames) {
    switch (p->agc_algorithm) {
        case 0:
            return new agc::AGCBypass(channels, frames);
        default:
            return nullptr;
    }
}

}  // namespace

AGCAlgorithm::AGCAlgorithm(const Params* params) : pp(new Impl) {
    const float product = static_cast<float>(params->fsout) * params->block_size;
    const int frames = static_cast<int>(product);
    pp->agc.reset(build(params, params->numouts, frames));
    if (!pp->agc) error("AGCAlgorithm", "Unknown AGC algorithm: %d\n", params->agc_algorithm);
}

AGCAlgorithm::~AGCAlgorithm() = default;

int AGCAlgorithm::numChannels() const {
    return pp->agc->numChannels();
}
int AGCAlgorithm::blockSize() const {
    return pp->agc->blockSize();
}
int AGCAlgorithm::delay() const {
    return pp->agc->delay();
}
void AGCAlgorithm::process(const float* in, float* out) {
    pp->agc->process(in, out);
}
agc::AGCInterface* AGCAlgorithm::stage() {
    return pp->agc.get();
}

}  // namespace velmora::mode
