#include "mode/train/AECAFRefEcho.h"

#include "Error.h"
#include "Params.h"
#include "bf/Fixed.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "mode/AECAlgorithm.h"
#include "mode/BFAlgorithm.h"
#include "mode/NSAlgorithm.h"
#include "mode/VADAlgorithm.h"
#include "transform/PPFBankSynthesizer.h"
#include "util/Check.h"

namespace velmora::mode {

namespace {

constexpr float kMaxSubbandGain = 1000.0f;  // agc_gain, as in the general pipeline

}  // namespace

struct AECAFRefEcho::Impl {
    int mics, refs, outs, beamOuts, feature;
    float gain;
    Params stageParams;
    std::unique_ptr<transform::PPFBankSynthesizer> synthesizer;
    std::unique_ptr<bf::Fixed> preBeamformer;
    std::unique_ptr<AECAlgorithm> aec;
    std::unique_ptr<VADAlgorithm> vad;
    std::unique_ptr<BFAlgorithm> bf;
    std::unique_ptr<NSAlgorithm> ns;
    std::unique_ptr<blas::ComplexMatrix> micsIn, refsIn, beams, nearEnd, echoEst, out, all;

    explicit Impl(const Params& p) : stageParams(p) {}
};

AECAFRefEcho::AECAFRefEcho(const Params* params, blas::Vector* pilots)
    : pp(std::make_unique<Impl>(*params)) {
    Impl& s = *pp;
    const Params& p = *params;
    s.mics = p.nummics;
    s.refs = p.numrefs;
    s.outs = p.numouts;
    s.feature = p.train_feature;
    s.gain = p.agc_gain;
    util::requireRange("AECAFRefEcho", "agc_gain", p.agc_gain, 0.0f, kMaxSubbandGain);
    const int hop = static_cast<int>(static_cast<float>(p.fsout) * p.block_size);
    s.synthesizer = std::make_unique<transform::PPFBankSynthesizer>(s.outs, hop);
    const int bins = s.synthesizer->numBins();
    const char* model = p.bf_algorithm == 1 ? nullptr : p.bf_model_base;
    s.preBeamformer = std::make_unique<bf::Fixed>(s.mics, 0, bins, model);
    const int beams = s.preBeamformer->numOuts();
    if (s.outs != s.refs + 2 * s.mics)
        error("AECAFRefEcho", "No. of output channels not match: %d, %d", s.outs,
              s.refs + 2 * s.mics);
    s.beamOuts = s.outs - s.mics - s.refs;

    s.stageParams.nummics = beams;
    s.stageParams.numouts = s.beamOuts;
    s.stageParams.ns_algorithm = 0;
    const Params* sp = &s.stageParams;
    s.aec = std::make_unique<AECAlgorithm>(sp, bins);
    // The features start from spectral blocks: there is no time-domain block to cancel on.
    if (s.aec->timeDomain())
        error("AECAFRefEcho", "Time-domain echo canceller not available here: %d", p.aec_algorithm);
    s.vad = std::make_unique<VADAlgorithm>(sp, bins, pilots);
    s.bf = std::make_unique<BFAlgorithm>(sp, s.vad.get());
    s.ns = std::make_unique<NSAlgorithm>(sp, s.beamOuts, bins, s.aec->delay() + s.bf->delay(),
                                         s.bf->delay(), s.vad.get());

    s.micsIn = std::make_unique<blas::ComplexMatrix>(s.mics, bins);
    if (s.refs > 0) s.refsIn = std::make_unique<blas::ComplexMatrix>(s.refs, bins);
    s.beams = std::make_unique<blas::ComplexMatrix>(beams, bins);
    s.nearEnd = std::make_unique<blas::ComplexMatrix>(beams, bins);
    s.echoEst = std::make_unique<blas::ComplexMatrix>(beams, bins);
    s.echoEst->fill(0.0f, 0.0f);
    s.out = std::make_unique<blas::ComplexMatrix>(s.beamOuts, bins);
    s.all = std::make_unique<blas::ComplexMatrix>(s.outs, bins);
    s.all->fill(0.0f, 0.0f);
}

AECAFRefEcho::~AECAFRefEcho() = default;

int AECAFRefEcho::numMics() {
    return pp->mics;
}
int AECAFRefEcho::numRefs() {
    return pp->refs;
}
int AECAFRefEcho::numOuts() {
    return pp->outs;
}
int AECAFRefEcho::numBins() {
    return pp->synthesizer->numBins();
}
int AECAFRefEcho::blockLength() {
    return pp->feature == 5 ? 2 * numBins() : pp->synthesizer->blockSize();
}
int AECAFRefEcho::delay() {
    const Impl& s = *pp;
    const int blocks = s.aec->delay() + s.bf->delay() + s.ns->delay();
    const int samples = blocks * s.synthesizer->blockSize();
    return s.feature == 5 ? samples : samples + s.synthesizer->delay();
}

void AECAFRefEcho::process(const blas::ComplexMatrix* datain, float* dst) {
    VM_ASSERT(datain->numRows() == (numMics() + numRefs()) && datain->numColumns() == numBins());
    Impl& s = *pp;
    datain->getBlock(0, 0, s.micsIn.get());
    s.preBeamformer->process(s.micsIn.get(), s.beams.get());
    if (s.refsIn) datain->getBlock(s.mics, 0, s.refsIn.get());

    s.aec->process(s.beams.get(), s.refsIn.get(), s.nearEnd.get(), s.echoEst.get());
    s.vad->process(s.nearEnd.get());
    if (s.gain != 1.0f) blas::scale(s.nearEnd.get(), s.gain, s.nearEnd.get());
    s.bf->process(s.nearEnd.get(), s.out.get());
    s.ns->process(s.out.get(), s.refsIn.get(), s.echoEst.get());

    s.all->setBlock(0, 0, s.out.get());
    if (const blas::ComplexMatrix* ref = s.ns->delayedReference())
        s.all->setBlock(s.beamOuts, 0, ref);
    s.all->setBlock(s.beamOuts + s.refs, 0, s.ns->delayedEcho());

    if (!dst) return;
    if (s.feature == 4) {
        s.synthesizer->synthesize(s.all.get(), dst);
        return;
    }
    const int bins = numBins();
    const blas::Complex* const* a = static_cast<const blas::ComplexMatrix&>(*s.all).data();
    for (int k = 0; k < bins; ++k) {
        float* re = dst + static_cast<size_t>(2 * k) * s.outs;
        float* im = re + s.outs;
        for (int c = 0; c < s.outs; ++c) {
            re[c] = a[c][k].real() * 32768.0f;
            im[c] = a[c][k].imag() * 32768.0f;
        }
    }
}

const blas::ComplexMatrix* AECAFRefEcho::spectra() {
    return pp->all.get();
}
const blas::Matrix* AECAFRefEcho::features() {
    return nullptr;
}

}  // namespace velmora::mode
