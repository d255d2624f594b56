#include "vad/DominantVAD.h"

#include <cmath>

#include "Error.h"
#include "Params.h"
#include "blas/ComplexMatrix.h"
#include "util/Numeric.h"
#include "vad/CHMM.h"

namespace velmora::vad {

namespace {

constexpr int kWarmupBlocks = 100;
constexpr float kWarmupProbability = 0.8f;
constexpr float kKeep = 0.9f;  // level smoothing after the warm-up

}  // namespace

struct DominantVAD::Impl {
    int numMics;
    int numBins;
    int warmup = kWarmupBlocks;
    float level = 0.0f;
    float probability = kWarmupProbability;
    CHMM model;
};

DominantVAD::DominantVAD(const Params* params, int numbins) : pp(new Impl) {
    VM_ASSERT(numbins > 0);
    pp->numMics = params->nummics;
    pp->numBins = numbins;
    CHMM& m = pp->model;
    if (params->vad_minsnr != 0.0f) m.setMinSNR(params->vad_minsnr);
    if (params->vad_noise_minvar != 0.0f) m.setMinVariance(0, params->vad_noise_minvar);
    if (params->vad_target_minvar != 0.0f) m.setMinVariance(1, params->vad_target_minvar);
    m.setGaussian(0, 50.0f, 10.0f);
    m.setGaussian(1, 60.0f, 20.0f);
}

DominantVAD::~DominantVAD() = default;

int DominantVAD::numMics() const {
    return pp->numMics;
}
int DominantVAD::numBins() const {
    return pp->numBins;
}
int DominantVAD::delay() const {
    return pp->numBins == 160 ? 5 : (pp->numBins == 320 ? 2 : 1);
}
const CHMM* DominantVAD::model() const {
    return &pp->model;
}
void DominantVAD::print() const {
    pp->model.print();
}

void DominantVAD::process(const blas::ComplexMatrix* data) {
    VM_ASSERT(data->numRows() == numMics() && data->numColumns() == numBins());
    Impl& s = *pp;
    const blas::Complex* x = data->data()[0];
    float power = 0.0f;
    for (int k = 0; k < s.numBins; ++k) {
        const float p = x[k].real() * x[k].real() + x[k].imag() * x[k].imag();
        // A NaN, infinite or absurd bin (see util::hasAbsurd) counts as silence.
        if (p <= util::kAbsurdPower) power += p;
    }
    const float d = util::levelDb(static_cast<float>(s.numBins) * power);
    if (s.warmup >= 1) {
        s.level += d;
        if (--s.warmup == 0) {
            s.level /= static_cast<float>(kWarmupBlocks);
            s.model.setGaussian(0, s.level, 10.0f);
            s.model.setGaussian(1, s.model.minSNR() + s.level, 20.0f);
        }
        s.probability = kWarmupProbability;
        return;
    }
    s.level = kKeep * s.level + (1.0f - kKeep) * d;
    s.probability = s.model.update(s.level)[1];
}

float DominantVAD::speechProbability(int, int) const {
    return pp->probability;
}

}  // namespace velmora::vad
