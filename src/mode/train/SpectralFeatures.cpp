#include "mode/train/SpectralFeatures.h"

#include <cmath>

#include "Error.h"
#include "Params.h"
#include "blas/ComplexMatrix.h"
#include "blas/Matrix.h"

namespace velmora::mode {

struct Spec::Impl {
    int mics, refs, outs, bins, frames, feature;
    float scale;
    bool logarithm;
    std::unique_ptr<blas::ComplexMatrix> spectrum;  // outs x bins
    std::unique_ptr<blas::Matrix> values;           // outs x bins
};

Spec::Spec(const Params* params, int numbins) : pp(std::make_unique<Impl>()) {
    Impl& s = *pp;
    s.mics = params->nummics;
    s.refs = params->numrefs;
    s.outs = params->numouts;
    if (s.outs != s.mics + s.refs)
        error("Spec", "No. of output channels not match: %d, %d", s.outs, s.mics + s.refs);
    s.feature = params->train_feature;
    switch (s.feature) {
        case 0:
            s.scale = 32768.0f;
            s.logarithm = false;
            break;
        case 1:
            s.scale = 32768.0f;
            s.logarithm = true;
            break;
        case 2:
            s.scale = 1.0f;
            s.logarithm = false;
            break;
        case 3:
            s.scale = std::sqrt(32768.0f);
            s.logarithm = true;
            break;
        default:
            error("Spec", "Unknown spec feature: %d", s.feature);
    }
    VM_ASSERT(numbins > 0);
    s.bins = numbins;
    s.frames = static_cast<int>(static_cast<float>(params->fsout) * params->block_size);
    s.spectrum = std::make_unique<blas::ComplexMatrix>(s.outs, s.bins);
    s.values = std::make_unique<blas::Matrix>(s.outs, s.bins);
    s.spectrum->fill(0.0f, 0.0f);
    s.values->fill(0.0f);
}

Spec::~Spec() = default;

int Spec::numMics() {
    return pp->mics;
}
int Spec::numRefs() {
    return pp->refs;
}
int Spec::numOuts() {
    return pp->outs;
}
int Spec::numBins() {
    return pp->bins;
}
int Spec::blockLength() {
    return pp->frames;
}
int Spec::delay() {
    return 0;
}

void Spec::process(const blas::ComplexMatrix* datain, float* out) {
    VM_ASSERT(datain->numRows() == (numMics() + numRefs()) && datain->numColumns() == numBins());
    Impl& s = *pp;
    s.spectrum->copy(datain);
    blas::Complex* const* x = s.spectrum->data();
    float* const* v = s.values->data();
    for (int c = 0; c < s.outs; ++c) {
        for (int k = 0; k < s.bins; ++k) {
            x[c][k] *= s.scale;
            const float power = std::norm(x[c][k]);
            v[c][k] = s.logarithm ? std::log10(power + 1.0f) : power;
        }
    }
    if (!out) return;
    // The facade's block holds blockLength() frames: with the bank's bins equal to its hop,
    // the bins fill it exactly.
    VM_ASSERT(s.bins <= s.frames);
    for (int k = 0; k < s.bins; ++k)
        for (int c = 0; c < s.outs; ++c) out[static_cast<size_t>(k) * s.outs + c] = v[c][k];
}

const blas::ComplexMatrix* Spec::spectra() {
    return pp->spectrum.get();
}
const blas::Matrix* Spec::features() {
    return pp->values.get();
}

}  // namespace velmora::mode
