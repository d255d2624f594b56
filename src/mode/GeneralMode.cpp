#include "mode/GeneralMode.h"

#include <algorithm>

#include "Params.h"
#include "aec/TDE.h"
#include "bf/Fixed.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "mode/Decimator.h"
#include "mode/HPF.h"
#include "mode/StageChain.h"
#include "mode/VolumeCalculator.h"
#include "transform/PPFBankAnalyzer.h"
#include "transform/PPFBankSynthesizer.h"
#include "util/Check.h"

namespace velmora::mode {

namespace {

// Where the volume is metered (volume_position).
constexpr int kVolumeAtInput = 0;
constexpr int kVolumeBeforeGainControl = 1;
constexpr int kVolumeAfterGainControl = 2;

// Largest subband gain before beamforming (agc_gain): 60 dB.
constexpr float kMaxSubbandGain = 1000.0f;

int framesPerBlock(int rate, float blockSeconds) {
    return static_cast<int>(static_cast<float>(rate) * blockSeconds);
}

}  // namespace

struct GeneralMode::Impl {
    const Params* params;
    Params stageParams;
    std::unique_ptr<Decimator> decimator;
    std::unique_ptr<HPF> hpf;
    std::unique_ptr<aec::TDE> tde;
    std::unique_ptr<transform::PPFBankAnalyzer> analyzer;
    std::unique_ptr<transform::PPFBankSynthesizer> synthesizer;
    std::unique_ptr<bf::Fixed> preBeamformer;
    std::unique_ptr<StageChain> stages;  // the selectors, all given stageParams
    std::unique_ptr<VolumeCalculator> volume;
    std::unique_ptr<blas::ComplexMatrix> allIn;
    std::unique_ptr<blas::ComplexMatrix> micsIn;
    std::unique_ptr<blas::ComplexMatrix> refsIn;
    std::unique_ptr<blas::ComplexMatrix> beams;
    std::unique_ptr<blas::ComplexMatrix> nearEnd;
    std::unique_ptr<blas::ComplexMatrix> echoEst;
    std::unique_ptr<blas::ComplexMatrix> out;

    explicit Impl(const Params* p) : params(p), stageParams(*p) {}
};

GeneralMode::GeneralMode(const Params* params, blas::Vector* pilots)
    : pp(std::make_unique<Impl>(params)) {
    Impl& s = *pp;
    const Params& p = *params;
    const int channels = p.nummics + p.numrefs;
    const int hop = framesPerBlock(p.fsout, p.block_size);

    s.decimator = std::make_unique<Decimator>(channels, p.fsin);
    s.hpf = std::make_unique<HPF>(channels, p.hpf_power);
    s.tde = aec::TDE::fromParams(p, hop);
    util::requireRange("GeneralMode", "agc_gain", p.agc_gain, 0.0f, kMaxSubbandGain);
    s.analyzer = std::make_unique<transform::PPFBankAnalyzer>(channels, hop);
    s.synthesizer = std::make_unique<transform::PPFBankSynthesizer>(p.numouts, hop);
    const int bins = s.analyzer->numBins();

    // With bf_algorithm 1 the fixed beamformer is the main beamformer, so the front end passes
    // the microphones through.
    const char* model = p.bf_algorithm == 1 ? nullptr : p.bf_model_base;
    s.preBeamformer = std::make_unique<bf::Fixed>(p.nummics, 0, bins, model);
    const int beamCount = s.preBeamformer->numOuts();
    s.stageParams.nummics = beamCount;

    // A time-domain canceller works on the microphones, ahead of the pre-beamformer.
    s.stages = std::make_unique<StageChain>(&s.stageParams, *s.analyzer, p.nummics, pilots,
                                            p.numouts, StageChain::Suppression::AfterBeamformer);
    s.volume = std::make_unique<VolumeCalculator>(params, s.analyzer->blockSize());

    s.allIn = std::make_unique<blas::ComplexMatrix>(channels, bins);
    s.micsIn = std::make_unique<blas::ComplexMatrix>(p.nummics, bins, true);
    s.allIn->rowsView(0, s.micsIn.get());
    if (p.numrefs > 0) {
        s.refsIn = std::make_unique<blas::ComplexMatrix>(p.numrefs, bins, true);
        s.allIn->rowsView(p.nummics, s.refsIn.get());
    }
    s.beams = std::make_unique<blas::ComplexMatrix>(beamCount, bins);
    s.nearEnd = std::make_unique<blas::ComplexMatrix>(beamCount, bins);
    s.echoEst = std::make_unique<blas::ComplexMatrix>(beamCount, bins);
    s.out = std::make_unique<blas::ComplexMatrix>(p.numouts, bins);
}

GeneralMode::~GeneralMode() = default;

int GeneralMode::numMics() {
    return pp->params->nummics;
}
int GeneralMode::numRefs() {
    return pp->params->numrefs;
}
int GeneralMode::numOuts() {
    return pp->params->numouts;
}

int GeneralMode::inFramesPerBlock() {
    return framesPerBlock(pp->params->fsin, pp->params->block_size);
}

int GeneralMode::outFramesPerBlock() {
    return pp->analyzer->blockSize();
}

int GeneralMode::delay() {
    return pp->stages->delay(pp->analyzer->blockSize()) + pp->synthesizer->delay();
}

void GeneralMode::lock(int n, const float* blocks) {
    pp->stages->lock(n, blocks);
}
void GeneralMode::unlock(int n) {
    pp->stages->unlock(n);
}
float GeneralMode::look(int n) {
    return pp->stages->look(n);
}
void GeneralMode::setLook(int n, float azimuth) {
    pp->stages->setLook(n, azimuth);
}

void GeneralMode::process(float* in, float* out) {
    Impl& s = *pp;
    StageChain& c = *s.stages;
    const Params& p = *s.params;
    const int frames = s.analyzer->blockSize();

    s.decimator->process(in, in, inFramesPerBlock());
    s.hpf->process(in, in, frames);
    if (s.tde) s.tde->process(in, in);
    if (p.volume_position == kVolumeAtInput) s.volume->process(in);
    if (c.tdEcho) c.tdEcho->process(in, p.nummics + p.numrefs);

    s.analyzer->analyze(in, s.allIn.get());
    s.preBeamformer->process(s.micsIn.get(), s.beams.get());
    c.aec->process(s.beams.get(), s.refsIn.get(), s.nearEnd.get(), s.echoEst.get());
    if (c.tdEcho) s.preBeamformer->process(c.tdEcho->echo(), s.echoEst.get());
    c.dr->process(s.nearEnd.get());
    // A beamformer that runs the detector itself (MaskPF) gets it on this block instead.
    if (!c.bf->drivesDetector()) c.vad->process(s.nearEnd.get());
    if (p.agc_gain != 1.0f) blas::scale(s.nearEnd.get(), p.agc_gain, s.nearEnd.get());
    c.bf->process(s.nearEnd.get(), s.out.get());
    c.ssl->process(s.nearEnd.get());
    c.ns->process(s.out.get(), s.refsIn.get(), s.echoEst.get());
    c.pf->process(s.out.get());

    s.synthesizer->synthesize(s.out.get(), in);
    if (p.volume_position == kVolumeBeforeGainControl) s.volume->process(in);
    c.agc->process(in, in);
    if (p.volume_position == kVolumeAfterGainControl) s.volume->process(in);
    if (out && out != in) std::copy(in, in + p.numouts * frames, out);
}

float GeneralMode::direction(int n) {
    return pp->stages->ssl->direction(n);
}
void GeneralMode::resetLocalization() {
    pp->stages->ssl->reset();
}
float GeneralMode::volume(int n) {
    return pp->volume->volume(n);
}
float GeneralMode::vadValue(int n) {
    return pp->stages->vad->vadValue(n);
}

void GeneralMode::saveState(std::ostream&) {}
void GeneralMode::loadState(std::istream&) {}

}  // namespace velmora::mode
