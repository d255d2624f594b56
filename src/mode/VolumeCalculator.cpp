#include "mode/VolumeCalculator.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "Params.h"

namespace velmora::mode {

namespace {

enum VolumeType { kOff = 0, kRMS = 1, kPeak = 2, kRMSPercent = 3, kPeakPercent = 4 };

}  // namespace

// The value table holds a slot for every input channel and every output channel, so that
// metering the outputs never writes past it whatever the channel counts.
struct VolumeCalculator::Impl {
    const Params* params;
    int blocksize;
    float maxLevel;             // full-scale reference of the percentage measures
    std::vector<float> values;  // max(nummics + numrefs, numouts) entries
    int numMetered;             // channels written per block
    int stride;                 // floats per frame of the metered block
};

VolumeCalculator::VolumeCalculator(const Params* params, int blocksize) : pp(new Impl) {
    VM_ASSERT(blocksize > 0);
    if (params->volume_type < 0 || params->volume_type > 4)
        error("VolumeCalculator", "Unknown volume type: %d", params->volume_type);
    if (params->volume_position < 0 || params->volume_position > 2)
        error("VolumeCalculator", "Unknown volume position: %d", params->volume_position);
    pp->params = params;
    pp->blocksize = blocksize;
    pp->maxLevel = 1.0f;
    if (params->volume_position == 2 && params->agc_algorithm != 0) {
        // After gain control full scale is the gain control's target level, agc_level dB below
        // 1.0 (an amplitude, hence the square root of the power ratio).
        pp->maxLevel = std::sqrt(std::pow(10.0f, -static_cast<float>(params->agc_level) / 10.0f));
    }
    const int numins = params->nummics + params->numrefs;
    pp->values.assign(std::max(numins, params->numouts), 0.0f);
    if (params->volume_position == 0) {
        pp->numMetered = params->nummics;
        pp->stride = numins;
    } else {
        pp->numMetered = params->numouts;
        pp->stride = params->numouts;
    }
}

VolumeCalculator::~VolumeCalculator() = default;

void VolumeCalculator::process(const float* block) {
    const int type = pp->params->volume_type;
    if (type == kOff) return;
    const int nc = pp->numMetered, stride = pp->stride, frames = pp->blocksize;
    float* __restrict__ v = pp->values.data();
    for (int i = 0; i < nc; i++) v[i] = 0.0f;
    // Frame by frame, all channels of a frame together: contiguous reads, and each channel's
    // sum or maximum still runs over its frames in order.
    if (type == kRMS || type == kRMSPercent) {
        for (int f = 0; f < frames; f++) {
            const float* __restrict__ x = block + static_cast<size_t>(f) * stride;
            for (int i = 0; i < nc; i++) v[i] += x[i] * x[i];
        }
        for (int i = 0; i < nc; i++) v[i] = std::sqrt(v[i] / static_cast<float>(frames));
    } else {
        for (int f = 0; f < frames; f++) {
            const float* __restrict__ x = block + static_cast<size_t>(f) * stride;
            for (int i = 0; i < nc; i++) v[i] = std::max(v[i], std::fabs(x[i]));
        }
    }
    if (type == kRMSPercent || type == kPeakPercent) {
        const float m = pp->maxLevel;
        for (int i = 0; i < nc; i++) v[i] = 100.0f * std::min(v[i], m) / m;
    }
}

float VolumeCalculator::volume(int n) const {
    if (n >= 0 && n < static_cast<int>(pp->values.size())) return pp->values[n];
    // The table covers every input channel, so this always fails for an n that got here.
    VM_ASSERT(n >= 0 && n < pp->params->nummics + pp->params->numrefs);
    return 0.0f;
}

}  // namespace velmora::mode
