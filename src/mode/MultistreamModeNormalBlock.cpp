#include "mode/MultistreamModeNormalBlock.h"

#include <algorithm>

#include "Error.h"
#include "Params.h"
#include "aec/TDE.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "mode/AECAlgorithm.h"
#include "mode/AGCAlgorithm.h"
#include "mode/BFAlgorithm.h"
#include "mode/DRAlgorithm.h"
#include "mode/Decimator.h"
#include "mode/HPF.h"
#include "mode/PresetBank.h"
#include "mode/TDEchoSlot.h"
#include "mode/VADAlgorithm.h"
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
constexpr int kKeywordBeamformer = 303;     // KWSMVDR

}  // namespace

struct MultistreamModeNormalBlock::Impl {
    const Params* params;
    int numOuts;     // 2, 3 or 4
    int numStreams;  // min(numOuts, 3)
    int inFrames;
    int outFrames;
    Params kwsParams;  // all microphones, one output, the keyword beamformer
    Params ivaParams;  // the outermost pair, two outputs, no detector
    Params outParams;  // numStreams outputs
    std::unique_ptr<Decimator> decimator;
    std::unique_ptr<HPF> hpf;
    std::unique_ptr<aec::TDE> tde;
    std::unique_ptr<transform::PPFBankAnalyzer> analyzer;
    std::unique_ptr<transform::PPFBankSynthesizer> synthesizer;
    std::unique_ptr<AECAlgorithm> aec;
    std::unique_ptr<TDEchoSlot> tdEcho;  // time-domain canceller, when aec_algorithm has one
    std::unique_ptr<VADAlgorithm> kwsVad;
    std::unique_ptr<VADAlgorithm> ivaVad;
    std::unique_ptr<DRAlgorithm> dr;
    std::unique_ptr<BFAlgorithm> ivaBf;
    std::unique_ptr<BFAlgorithm> kwsBf;  // only with three streams
    std::unique_ptr<AGCAlgorithm> agc;
    std::unique_ptr<VolumeCalculator> volume;
    std::unique_ptr<blas::ComplexMatrix> allIn, micsIn, refsIn, nearEnd, echoEst;
    std::unique_ptr<blas::ComplexMatrix> pair;  // rows: first and last microphone of nearEnd
    std::unique_ptr<blas::ComplexMatrix> out, outPair, outKws;

    explicit Impl(const Params* p) : params(p), kwsParams(*p), ivaParams(*p), outParams(*p) {}
};

MultistreamModeNormalBlock::MultistreamModeNormalBlock(const Params* params, blas::Vector* pilots,
                                                       int preset)
    : pp(std::make_unique<Impl>(params)) {
    Impl& s = *pp;
    const Params& p = *params;
    if (p.nummics < 2)
        error("MultistreamModeNormalBlock", "at least 2 mics required: %d", p.nummics);
    if (p.numouts < 2 || p.numouts > 4)
        error("MultistreamModeNormalBlock", "2, 3 or 4 outputs required: %d", p.numouts);
    const int hop = static_cast<int>(static_cast<float>(p.fsout) * p.block_size);
    const transform::PPFWindowType type =
        preset ? presetWindowType("MultistreamModeNormalBlock", p.block_size)
               : transform::PPFWindowType{0};
    util::requireRange("MultistreamModeNormalBlock", "agc_gain", p.agc_gain, 0.0f, kMaxSubbandGain);

    s.numOuts = p.numouts;
    s.numStreams = std::min(p.numouts, 3);
    s.inFrames = static_cast<int>(static_cast<float>(p.fsin) * p.block_size);
    s.outFrames = hop;
    s.kwsParams.numouts = 1;
    s.kwsParams.bf_algorithm = kKeywordBeamformer;
    s.kwsParams.bf_power = 0;
    s.kwsParams.bf_level = 0.0f;
    s.ivaParams.nummics = 2;
    s.ivaParams.numouts = 2;
    s.ivaParams.vad_algorithm = 0;
    s.outParams.numouts = s.numStreams;

    const int channels = p.nummics + p.numrefs;
    s.decimator = std::make_unique<Decimator>(channels, p.fsin);
    s.hpf = std::make_unique<HPF>(channels, p.hpf_power);
    s.tde = aec::TDE::fromParams(p, hop);
    if (preset) {
        s.analyzer = std::make_unique<transform::PPFBankAnalyzer>(channels, type);
        s.synthesizer = std::make_unique<transform::PPFBankSynthesizer>(s.numStreams, type);
    } else {
        s.analyzer = std::make_unique<transform::PPFBankAnalyzer>(channels, hop);
        s.synthesizer = std::make_unique<transform::PPFBankSynthesizer>(s.numStreams, hop);
    }
    const int bins = s.analyzer->numBins();

    s.aec = std::make_unique<AECAlgorithm>(&s.kwsParams, bins);
    s.tdEcho = TDEchoSlot::make(s.aec.get(), *s.analyzer);
    s.kwsVad = std::make_unique<VADAlgorithm>(&s.kwsParams, bins, pilots);
    s.ivaVad = std::make_unique<VADAlgorithm>(&s.ivaParams, bins, pilots);
    s.dr = std::make_unique<DRAlgorithm>(&s.ivaParams, bins);
    s.ivaBf = std::make_unique<BFAlgorithm>(&s.ivaParams, s.ivaVad.get());
    if (s.numStreams == 3) s.kwsBf = std::make_unique<BFAlgorithm>(&s.kwsParams, s.kwsVad.get());
    s.agc = std::make_unique<AGCAlgorithm>(&s.outParams);
    s.volume = std::make_unique<VolumeCalculator>(&s.outParams, s.analyzer->blockSize());

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
    // The rows of nearEnd never move, so the pair view is set once.
    s.pair = std::make_unique<blas::ComplexMatrix>(2, bins, true);
    s.pair->data()[0] = s.nearEnd->data()[0];
    s.pair->data()[1] = s.nearEnd->data()[p.nummics - 1];
    s.out = std::make_unique<blas::ComplexMatrix>(s.numStreams, bins);
    s.out->fill(0.0f, 0.0f);
    s.outPair = std::make_unique<blas::ComplexMatrix>(2, bins, true);
    s.out->rowsView(0, s.outPair.get());
    if (s.numStreams == 3) {
        s.outKws = std::make_unique<blas::ComplexMatrix>(1, bins, true);
        s.out->rowsView(2, s.outKws.get());
    }
}

MultistreamModeNormalBlock::~MultistreamModeNormalBlock() = default;

int MultistreamModeNormalBlock::numMics() {
    return pp->params->nummics;
}
int MultistreamModeNormalBlock::numRefs() {
    return pp->params->numrefs;
}
int MultistreamModeNormalBlock::numOuts() {
    return pp->numOuts;
}
int MultistreamModeNormalBlock::inFramesPerBlock() {
    return pp->inFrames;
}
int MultistreamModeNormalBlock::outFramesPerBlock() {
    return pp->outFrames;
}

int MultistreamModeNormalBlock::delay() {
    const Impl& s = *pp;
    const int blocks = s.aec->delay() + s.dr->delay() + s.ivaBf->delay();
    return blocks * s.analyzer->blockSize() + s.synthesizer->delay() + s.agc->delay();
}

void MultistreamModeNormalBlock::lock(int n, const float* blocks) {
    pp->kwsVad->lock(n, blocks);
    pp->ivaBf->lock(n, blocks);
    if (pp->kwsBf) pp->kwsBf->lock(n, blocks);
}

void MultistreamModeNormalBlock::unlock(int n) {
    pp->kwsVad->unlock(n);
    pp->ivaBf->unlock(n);
    if (pp->kwsBf) pp->kwsBf->unlock(n);
}

float MultistreamModeNormalBlock::look(int n) {
    const float azimuth = pp->ivaBf->look(n);
    return azimuth == 0.0f ? pp->kwsVad->look(n) : azimuth;
}

void MultistreamModeNormalBlock::setLook(int n, float azimuth) {
    pp->ivaBf->setLook(n, azimuth);
    if (pp->kwsBf) pp->kwsBf->setLook(n, azimuth);
    pp->kwsVad->setLook(n, azimuth);
}

void MultistreamModeNormalBlock::process(float* in, float* out) {
    Impl& s = *pp;
    const Params& p = s.outParams;
    const int frames = s.outFrames;

    s.decimator->process(in, in, s.inFrames);
    s.hpf->process(in, in, frames);
    if (s.tde) s.tde->process(in, in);
    if (p.volume_position == kVolumeAtInput) s.volume->process(in);
    if (s.tdEcho) s.tdEcho->process(in, p.nummics + p.numrefs);

    s.analyzer->analyze(in, s.allIn.get());
    s.aec->process(s.micsIn.get(), s.refsIn.get(), s.nearEnd.get(), s.echoEst.get());
    if (s.tdEcho) s.echoEst->copy(s.tdEcho->echo());
    s.kwsVad->process(s.nearEnd.get());
    if (p.agc_gain != 1.0f) blas::scale(s.nearEnd.get(), p.agc_gain, s.nearEnd.get());
    if (s.kwsBf) s.kwsBf->process(s.nearEnd.get(), s.outKws.get());
    s.dr->process(s.pair.get());
    s.ivaBf->process(s.pair.get(), s.outPair.get());

    s.synthesizer->synthesize(s.out.get(), in);
    if (p.volume_position == kVolumeBeforeGainControl) s.volume->process(in);
    s.agc->process(in, in);
    if (p.volume_position == kVolumeAfterGainControl) s.volume->process(in);

    if (!out) return;
    if (s.numOuts < 4) {
        if (out != in) std::copy(in, in + s.numStreams * frames, out);
        return;
    }
    // Three streams and the activity level per frame, from the last frame down so that `out`
    // may be `in`.
    const float level = s.kwsVad->vadValue(0);
    for (int n = frames - 1; n >= 0; --n) {
        const float a = in[3 * n], b = in[3 * n + 1], c = in[3 * n + 2];
        out[4 * n] = a;
        out[4 * n + 1] = b;
        out[4 * n + 2] = c;
        out[4 * n + 3] = level;
    }
}

float MultistreamModeNormalBlock::direction(int) {
    return 0.0f;
}
void MultistreamModeNormalBlock::resetLocalization() {}
float MultistreamModeNormalBlock::volume(int n) {
    return pp->volume->volume(n);
}
float MultistreamModeNormalBlock::vadValue(int n) {
    return pp->kwsVad->vadValue(n);
}
void MultistreamModeNormalBlock::saveState(std::ostream&) {}
void MultistreamModeNormalBlock::loadState(std::istream&) {}

}  // namespace velmora::mode
