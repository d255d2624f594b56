#include "mode/GeneralMode.h"

#include <algorithm>

#include "Params.h"
#include "aec/TDE.h"
#include "bf/Fixed.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "mode/AECAlgorithm.h"
#include "mode/AGCAlgorithm.h"
#include "mode/BFAlgorithm.h"
#include "mode/DRAlgorithm.h"
#include "mode/Decimator.h"
#include "mode/HPF.h"
#include "mode/NSAlgorithm.h"
#include "mode/PFAlgorithm.h"
#include "mode/SSLAlgorithm.h"
#include "mode/TDEchoSlot.h"
#include "mode/VADAlgorithm.h"
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
    std::unique_ptr<AECAlgorithm> aec;
    std::unique_ptr<TDEchoSlot> tdEcho;  // time-domain canceller, when aec_algorithm has one
    std::unique_ptr<DRAlgorithm> dr;
    std::unique_ptr<VADAlgorithm> vad;
    std::unique_ptr<BFAlgorithm> bf;
    std::unique_ptr<SSLAlgorithm> ssl;
    std::unique_ptr<NSAlgorithm> ns;
    std::unique_ptr<PFAlgorithm> pf;
    std::unique_ptr<AGCAlgorithm> agc;
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

    const Params* sp = &s.stageParams;
    // A time-domain canceller works on the microphones, ahead of the pre-beamformer.
    s.aec = std::make_unique<AECAlgorithm>(sp, bins, p.nummics);
    s.tdEcho = TDEchoSlot::make(s.aec.get(), *s.analyzer);
    s.dr = std::make_unique<DRAlgorithm>(sp, bins);
    s.vad = std::make_unique<VADAlgorithm>(sp, bins, pilots);
    s.bf = std::make_unique<BFAlgorithm>(sp, s.vad.get());
    s.ssl = std::make_unique<SSLAlgorithm>(sp, s.vad.get(), s.bf.get());
    const int refDelay = s.aec->delay() + s.dr->delay() + s.bf->delay();
    const int echoDelay = s.dr->delay() + s.bf->delay();
    s.ns = std::make_unique<NSAlgorithm>(sp, p.numouts, bins, refDelay, echoDelay, s.vad.get());
    s.pf = std::make_unique<PFAlgorithm>(sp, s.vad.get());
    s.agc = std::make_unique<AGCAlgorithm>(sp);
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
    const Impl& s = *pp;
    const int blocks =
        s.aec->delay() + s.dr->delay() + s.bf->delay() + s.ns->delay() + s.pf->delay();
    return blocks * s.analyzer->blockSize() + s.synthesizer->delay() + s.agc->delay();
}

void GeneralMode::lock(int n, const float* blocks) {
    pp->vad->lock(n, blocks);
    pp->bf->lock(n, blocks);
    pp->ns->lock(n, blocks);
    pp->pf->lock(n, blocks);
}

void GeneralMode::unlock(int n) {
    pp->vad->unlock(n);
    pp->bf->unlock(n);
    pp->ns->unlock(n);
    pp->pf->unlock(n);
}

float GeneralMode::look(int n) {
    const float azimuth = pp->bf->look(n);
    return azimuth == 0.0f ? pp->vad->look(n) : azimuth;
}

void GeneralMode::setLook(int n, float azimuth) {
    pp->bf->setLook(n, azimuth);
    pp->vad->setLook(n, azimuth);
}

void GeneralMode::process(float* in, float* out) {
    Impl& s = *pp;
    const Params& p = *s.params;
    const int frames = s.analyzer->blockSize();

    s.decimator->process(in, in, inFramesPerBlock());
    s.hpf->process(in, in, frames);
    if (s.tde) s.tde->process(in, in);
    if (p.volume_position == kVolumeAtInput) s.volume->process(in);
    if (s.tdEcho) s.tdEcho->process(in, p.nummics + p.numrefs);

    s.analyzer->analyze(in, s.allIn.get());
    s.preBeamformer->process(s.micsIn.get(), s.beams.get());
    s.aec->process(s.beams.get(), s.refsIn.get(), s.nearEnd.get(), s.echoEst.get());
    if (s.tdEcho) s.preBeamformer->process(s.tdEcho->echo(), s.echoEst.get());
    s.dr->process(s.nearEnd.get());
    // A beamformer that runs the detector itself (MaskPF) gets it on this block instead.
    if (!s.bf->drivesDetector()) s.vad->process(s.nearEnd.get());
    if (p.agc_gain != 1.0f) blas::scale(s.nearEnd.get(), p.agc_gain, s.nearEnd.get());
    s.bf->process(s.nearEnd.get(), s.out.get());
    s.ssl->process(s.nearEnd.get());
    s.ns->process(s.out.get(), s.refsIn.get(), s.echoEst.get());
    s.pf->process(s.out.get());

    s.synthesizer->synthesize(s.out.get(), in);
    if (p.volume_position == kVolumeBeforeGainControl) s.volume->process(in);
    s.agc->process(in, in);
    if (p.volume_position == kVolumeAfterGainControl) s.volume->process(in);
    if (out && out != in) std::copy(in, in + p.numouts * frames, out);
}

float GeneralMode::direction(int n) {
    return pp->ssl->direction(n);
}
void GeneralMode::resetLocalization() {
    pp->ssl->reset();
}
float GeneralMode::volume(int n) {
    return pp->volume->volume(n);
}
float GeneralMode::vadValue(int n) {
    return pp->vad->vadValue(n);
}

void GeneralMode::saveState(std::ostream&) {}
void GeneralMode::loadState(std::istream&) {}

}  // namespace velmora::mode
