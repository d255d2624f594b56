#include "mode/MISOMode.h"

#include <algorithm>

#include "Error.h"
#include "Params.h"
#include "aec/TDE.h"
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

constexpr int kVolumeAtInput = 0;
constexpr int kVolumeBeforeGainControl = 1;
constexpr int kVolumeAfterGainControl = 2;
constexpr float kMaxSubbandGain = 1000.0f;  // agc_gain, as in the general pipeline

}  // namespace

struct MISOMode::Impl {
    const Params* params;
    int numOuts;
    Params stageParams;  // one output
    int inFrames;
    std::unique_ptr<Decimator> decimator;
    std::unique_ptr<HPF> hpf;
    std::unique_ptr<aec::TDE> tde;
    std::unique_ptr<transform::PPFBankAnalyzer> analyzer;
    std::unique_ptr<transform::PPFBankSynthesizer> synthesizer;
    std::unique_ptr<StageChain> stages;  // the selectors, all given stageParams
    std::unique_ptr<VolumeCalculator> volume;
    std::unique_ptr<blas::ComplexMatrix> allIn, micsIn, refsIn, nearEnd, echoEst, out;

    explicit Impl(const Params* p) : params(p), stageParams(*p) {}
};

MISOMode::MISOMode(const Params* params, blas::Vector* pilots)
    : pp(std::make_unique<Impl>(params)) {
    Impl& s = *pp;
    const Params& p = *params;
    if (p.numouts != 1 && p.numouts != 2)
        error("MISOMode", "Mono or stereo outputs required: %d", p.numouts);
    s.numOuts = p.numouts;
    s.stageParams.numouts = 1;
    const int channels = p.nummics + p.numrefs;
    const int hop = static_cast<int>(static_cast<float>(p.fsout) * p.block_size);
    s.inFrames = static_cast<int>(static_cast<float>(p.fsin) * p.block_size);

    s.decimator = std::make_unique<Decimator>(channels, p.fsin);
    s.hpf = std::make_unique<HPF>(channels, p.hpf_power);
    s.tde = aec::TDE::fromParams(p, hop);
    util::requireRange("MISOMode", "agc_gain", p.agc_gain, 0.0f, kMaxSubbandGain);
    s.analyzer = std::make_unique<transform::PPFBankAnalyzer>(channels, hop);
    s.synthesizer = std::make_unique<transform::PPFBankSynthesizer>(1, hop);
    const int bins = s.analyzer->numBins();

    const Params* sp = &s.stageParams;
    s.stages = std::make_unique<StageChain>(sp, *s.analyzer, p.nummics, pilots, 1,
                                            StageChain::Suppression::AfterBeamformer);
    s.volume = std::make_unique<VolumeCalculator>(sp, s.analyzer->blockSize());

    s.allIn = std::make_unique<blas::ComplexMatrix>(channels, bins);
    s.micsIn = std::make_unique<blas::ComplexMatrix>(p.nummics, bins, true);
    s.allIn->rowsView(0, s.micsIn.get());
    if (p.numrefs > 0) {
        s.refsIn = std::make_unique<blas::ComplexMatrix>(p.numrefs, bins, true);
        s.allIn->rowsView(p.nummics, s.refsIn.get());
    }
    s.nearEnd = std::make_unique<blas::ComplexMatrix>(p.nummics, bins);
    s.echoEst = std::make_unique<blas::ComplexMatrix>(p.nummics, bins);
    s.echoEst->fill(0.0f, 0.0f);
    s.out = std::make_unique<blas::ComplexMatrix>(1, bins);
}

MISOMode::~MISOMode() = default;

int MISOMode::numMics() {
    return pp->params->nummics;
}
int MISOMode::numRefs() {
    return pp->params->numrefs;
}
int MISOMode::numOuts() {
    return pp->numOuts;
}
int MISOMode::inFramesPerBlock() {
    return pp->inFrames;
}
int MISOMode::outFramesPerBlock() {
    return pp->analyzer->blockSize();
}

int MISOMode::delay() {
    return pp->stages->delay(pp->analyzer->blockSize()) + pp->synthesizer->delay();
}

void MISOMode::lock(int n, const float* blocks) {
    pp->stages->lock(n, blocks);
}
void MISOMode::unlock(int n) {
    pp->stages->unlock(n);
}
float MISOMode::look(int n) {
    return pp->stages->look(n);
}
void MISOMode::setLook(int n, float azimuth) {
    pp->stages->setLook(n, azimuth);
}

void MISOMode::process(float* in, float* out) {
    Impl& s = *pp;
    StageChain& c = *s.stages;
    const Params& p = s.stageParams;
    const int frames = s.analyzer->blockSize();

    s.decimator->process(in, in, s.inFrames);
    s.hpf->process(in, in, frames);
    if (s.tde) s.tde->process(in, in);
    if (p.volume_position == kVolumeAtInput) s.volume->process(in);
    if (c.tdEcho) c.tdEcho->process(in, p.nummics + p.numrefs);

    s.analyzer->analyze(in, s.allIn.get());
    c.aec->process(s.micsIn.get(), s.refsIn.get(), s.nearEnd.get(), s.echoEst.get());
    if (c.tdEcho) s.echoEst->copy(c.tdEcho->echo());
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
    if (s.numOuts == 2) {
        // From the last frame down, so that the mono samples are not overwritten before they
        // move.
        const float level = c.vad->vadValue(0);
        for (int i = frames - 1; i >= 0; --i) {
            in[2 * i] = in[i];
            in[2 * i + 1] = level;
        }
    }
    if (out && out != in) std::copy(in, in + s.numOuts * frames, out);
}

float MISOMode::direction(int n) {
    return pp->stages->ssl->direction(n);
}
void MISOMode::resetLocalization() {
    pp->stages->ssl->reset();
}
float MISOMode::volume(int n) {
    return pp->volume->volume(n);
}
float MISOMode::vadValue(int n) {
    return pp->stages->vad->vadValue(n);
}
void MISOMode::saveState(std::ostream&) {}
void MISOMode::loadState(std::istream&) {}

}  // namespace velmora::mode
