#include "pf/VADPF.h"

#include "Error.h"
#include "Params.h"
#include "blas/BLAS.h"
#include "vad/VADInterface.h"

namespace velmora::pf {

namespace {

constexpr float kSpeechThreshold = 0.5f;  // mean probability from which a block counts as speech

// int(seconds / blockSize), saturated so that a huge or NaN setting cannot overflow.
int secondsToBlocks(float seconds, float blockSize) {
    const float x = seconds / blockSize;
    // 2147483520 is the largest float below 2^31.
    if (!(x > -2147483520.0f)) return x < 0.0f ? -2147483520 : 0;
    if (x > 2147483520.0f) return 2147483520;
    return static_cast<int>(x);
}

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
    const int timeout = secondsToBlocks(params->pf_timeout, params->block_size);
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
