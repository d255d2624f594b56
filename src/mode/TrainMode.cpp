#include "mode/TrainMode.h"

#include "Error.h"
#include "Params.h"
#include "aec/TDE.h"
#include "blas/ComplexMatrix.h"
#include "mode/Decimator.h"
#include "mode/HPF.h"
#include "mode/train/AECAFRefEcho.h"
#include "mode/train/SpectralFeatures.h"
#include "transform/PPFBankAnalyzer.h"

namespace velmora::mode {

struct TrainMode::Impl {
    const Params* params;
    int inFrames;
    std::unique_ptr<Decimator> decimator;
    std::unique_ptr<HPF> hpf;
    std::unique_ptr<aec::TDE> tde;
    std::unique_ptr<transform::PPFBankAnalyzer> analyzer;
    std::unique_ptr<Feature> feature;
    std::unique_ptr<blas::ComplexMatrix> allIn;
};

TrainMode::TrainMode(const Params* params, blas::Vector* pilots) : pp(std::make_unique<Impl>()) {
    Impl& s = *pp;
    const Params& p = *params;
    const int channels = p.nummics + p.numrefs;
    const int hop = static_cast<int>(static_cast<float>(p.fsout) * p.block_size);
    s.params = params;
    s.inFrames = static_cast<int>(static_cast<float>(p.fsin) * p.block_size);
    s.decimator = std::make_unique<Decimator>(channels, p.fsin);
    s.hpf = std::make_unique<HPF>(channels, p.hpf_power);
    s.tde = aec::TDE::fromParams(p, hop);
    s.analyzer = std::make_unique<transform::PPFBankAnalyzer>(channels, hop);
    const int bins = s.analyzer->numBins();
    switch (p.train_feature) {
        case 0:
        case 1:
        case 2:
        case 3:
            s.feature = std::make_unique<Spec>(params, bins);
            break;
        case 4:
        case 5:
            s.feature = std::make_unique<AECAFRefEcho>(params, pilots);
            break;
        default:
            error("TrainMode", "Unknown feature: %d", p.train_feature);
    }
    s.allIn = std::make_unique<blas::ComplexMatrix>(channels, bins);
}

TrainMode::~TrainMode() = default;

int TrainMode::numMics() {
    return pp->feature->numMics();
}
int TrainMode::numRefs() {
    return pp->feature->numRefs();
}
int TrainMode::numOuts() {
    return pp->feature->numOuts();
}
int TrainMode::inFramesPerBlock() {
    return pp->inFrames;
}
int TrainMode::outFramesPerBlock() {
    return pp->feature->blockLength();
}
int TrainMode::delay() {
    return pp->feature->delay();
}
void TrainMode::lock(int, const float*) {}
void TrainMode::unlock(int) {}
float TrainMode::look(int) {
    return 0.0f;
}
void TrainMode::setLook(int, float) {}

void TrainMode::process(float* in, float* out) {
    Impl& s = *pp;
    s.decimator->process(in, in, s.inFrames);
    s.hpf->process(in, in, s.analyzer->blockSize());
    if (s.tde) s.tde->process(in, in);
    s.analyzer->analyze(in, s.allIn.get());
    s.feature->process(s.allIn.get(), out);
}

float TrainMode::direction(int) {
    return 0.0f;
}
void TrainMode::resetLocalization() {}
float TrainMode::volume(int) {
    return 0.0f;
}
float TrainMode::vadValue(int) {
    return 0.0f;
}
void TrainMode::saveState(std::ostream&) {}
void TrainMode::loadState(std::istream&) {}

}  // namespace velmora::mode
