#include "pf/VADPF.h"

#include "Error.h"
#include "Params.h"
#include "blas/BLAS.h"
#include "util/Numeric.h"
#include "vad/VADInterface.h"

namespace velmora::pf {

namespace {

constexpr float kSpeechThreshold = 0.5f;  // mean probability from which a block counts as speech

}  // namespace

struct VADPF::Impl {
    int numChannels;
    int timeoutBlocks;
    float level;
    vad::VADInterface* vad;  // not owned
    int counter;             // blocks of hang-over left before attenuation starts
};

VADPF::VADPF(const Params* params, vad::VADInterface* vad) {
    VM_ASSERT(params != nullptr && vad != nullptr);
    VM_ASSERT(params->numouts > 0);
    VM_ASSERT(vad->numOuts() > 0 && vad->numBins() > 0);
    VM_ASSERT(params->block_size > 0.0f);
    VM_ASSERT(params->pf_level >= 0.0f && params->pf_level <= 1.0f);
    const int timeout = util::secondsToBlocks(params->pf_timeout, params->block_size);
    pp.reset(new Impl{params->numouts, timeout, params->pf_level, vad, timeout});
}

VADPF::~VADPF() = default;

int VADPF::numChannels() const {
    return pp->numChannels;
}
int VADPF::numBins() const {
    return pp->vad->numBins();
}

void VADPF::process(blas::ComplexMatrix* data) {
    if (pp->level == 1.0f) return;
    const int numbins = pp->vad->numBins();
    float sum = 0.0f;
    for (int k = 0; k < numbins; k++) sum += pp->vad->speechProbability(0, k);
    const float p = sum / static_cast<float>(numbins);
    if (p >= kSpeechThreshold) {
        pp->counter = pp->timeoutBlocks;
    } else if (pp->counter < 1) {
        blas::scale(data, pp->level, data);
    } else {
        pp->counter--;
    }
}

}  // namespace velmora::pf
