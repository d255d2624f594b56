#include "mode/AGCAlgorithm.h"

#include <cstdio>

#include "Error.h"
#include "Params.h"
#include "agc/AGCBypass.h"
#include "agc/AGCInterface.h"
#include "agc/AGCWrapper.h"
#include "agc/NSAGCWrapper.h"

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
    // "AGC_Level" = agc_level and "AGC_Power" = agc_power through `set`, failing on a refusal.
    template <class Set>
    static void setGain(const Params* p, Set set) {
        const Text level(p->agc_level), power(p->agc_power);
        checkSetting(set("AGC_Level", level.s), "agc_level", level.s);
        checkSetting(set("AGC_Power", power.s), "agc_power", power.s);
    }

    static agc::AGCInterface* build(const Params* p, int channels, int frames);
};

// The gain control for p->agc_algorithm, or null when none serves that number. One case per
// class; the WebRTC wrappers are then configured through Impl::Text and Impl::checkSetting:
//   1 AGCWrapper(fsout, channels, frames, 1), then setParameter "AGC_Level" = agc_level
//     ("agc_level") and "AGC_Power" = agc_power ("agc_power")
//   2 NSAGCWrapper(fsout, channels, frames, 1), then setNSParameter "NS_Power" = "0"
//     ("ns_power") and "DR_Power" = "0" ("dr_power"), then setAGCParameter "AGC_Level" and
//     "AGC_Power" as for 1
//   3 as 2 with "NS_Power" = "1"
agc::AGCInterface* AGCAlgorithm::Impl::build(const Params* p, int channels, int frames) {
    switch (p->agc_algorithm) {
        case 0:
            return new agc::AGCBypass(channels, frames);
        case 1: {
            std::unique_ptr<agc::AGCWrapper> w(new agc::AGCWrapper(p->fsout, channels, frames, 1));
            setGain(p, [&](const char* name, const char* value) {
                return w->setParameter(name, value);
            });
            return w.release();
        }
        case 2:
        case 3: {
            std::unique_ptr<agc::NSAGCWrapper> w(
                new agc::NSAGCWrapper(p->fsout, channels, frames, 1));
            const char* policy = p->agc_algorithm == 2 ? "0" : "1";
            checkSetting(w->setNSParameter("NS_Power", policy), "ns_power", policy);
            checkSetting(w->setNSParameter("DR_Power", "0"), "dr_power", "0");
            setGain(p, [&](const char* name, const char* value) {
                return w->setAGCParameter(name, value);
            });
            return w.release();
        }
        default:
            return nullptr;
    }
}

AGCAlgorithm::AGCAlgorithm(const Params* params) : pp(new Impl) {
    const float product = static_cast<float>(params->fsout) * params->block_size;
    const int frames = static_cast<int>(product);
    pp->agc.reset(Impl::build(params, params->numouts, frames));
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
