#include "mode/NSAlgorithm.h"

#include "Error.h"
#include "Params.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "mode/VADAlgorithm.h"
#include "ns/KWSRESBatch.h"
#include "ns/LeakageRES.h"
#include "ns/MaskModel.h"
#include "ns/NNMaskAECPF.h"
#include "ns/NSBypass.h"
#include "ns/NSInterface.h"
#include "ns/PMWFAES.h"
#include "ns/PWFRES.h"
#include "util/Check.h"

namespace velmora::mode {

// The delay lines hold one horizontal slice per block, oldest first: pushing a block rotates
// the slices up (by pointer) and writes the new block into the last one, so slice 0 is always
// the block from `delay` blocks ago. The views are re-pointed at slice 0 after every push.
struct NSAlgorithm::Impl {
    std::unique_ptr<ns::NSInterface> ns;
    std::unique_ptr<blas::ComplexTensor3> refLine;   // (refdelay + 1) x numrefs x K, if refs
    std::unique_ptr<blas::ComplexMatrix> refView;    // numrefs x K view of refLine slice 0
    std::unique_ptr<blas::ComplexTensor3> echoLine;  // (echodelay + 1) x nummics x K
    std::unique_ptr<blas::ComplexMatrix> echoView;   // nummics x K view of echoLine slice 0
    std::unique_ptr<blas::ComplexMatrix> echoRows;   // its first numchs rows
    bool refGiven = false;  // whether the last process() had a reference block

    void pointViews() {
        if (refLine) refLine->horizontalView(0, refView.get());
        echoLine->horizontalView(0, echoView.get());
        echoView->rowsView(0, echoRows.get());
    }
};

namespace {

// The suppressor for p->ns_algorithm with references present, or null when none serves that
// number. One case per class (the detector goes in as vad->stage()):
//   1 PWFRES(numchs, numrefs, K, ns_power, ns_level * agc_gain)
//   2 PMWFAES(numchs, numrefs, K, ns_power, ns_level * agc_gain)
//   3 KWSRESBatch(numchs, numrefs, K, ns_power, ns_level * agc_gain, vad)
//   100 NNMaskAECPF(numchs, numrefs, ns_model_base)
//   101 NNRES(numchs, numrefs, ns_power, ns_level * agc_gain, ns_model_base)
//   300 LeakageRES(numchs, numrefs, K, ns_level): ns_level is its residual-echo gain floor
//       (amplitude, 0 to 1); ns_power and agc_gain do not apply (the leakage it learns takes up
//       any scaling of the near end against the echo estimate)
// Most filter taps of the suppressors (their cost grows with the cube of the taps: 32 runs at
// about a tenth of real time per channel), and the largest over-subtraction factor.
constexpr int kMaxTaps = 32;
constexpr float kMaxLevel = 1000.0f;

// The settings every suppressor with references reads.
void checkSettings(const Params* p) {
    util::requireRange("NSAlgorithm", "ns_power", p->ns_power, 0, kMaxTaps);
    util::requireRange("NSAlgorithm", "ns_level", p->ns_level, 0.0f, kMaxLevel);
    util::requireRange("NSAlgorithm", "agc_gain", p->agc_gain, 0.0f, kMaxLevel);
}

// The mask models work on 160 bins (10 ms blocks at 16 kHz).
void checkMaskBins(int numbins) {
    if (numbins != ns::MaskModel::kBins)
        error("NSAlgorithm", "Invalid number of bins: %d, the mask model needs %d", numbins,
              ns::MaskModel::kBins);
}

ns::NSInterface* build(const Params* p, int numchs, int numbins, VADAlgorithm* vad) {
    if (p->ns_algorithm != 0) checkSettings(p);
    const float beta = p->ns_level * p->agc_gain;
    switch (p->ns_algorithm) {
        case 0:
            return new ns::NSBypass(numchs, p->numrefs, numbins);
        case 1:
            return new ns::PWFRES(numchs, p->numrefs, numbins, p->ns_power, beta);
        case 2: {
            // One snapshot stacks every channel's taps: at most PMWFAES::kMaxStack entries.
            const int most = ns::PMWFAES::kMaxStack;
            util::requireRange("NSAlgorithm", "numouts", numchs, 1, most / 2);
            util::requireRange("NSAlgorithm", "ns_power", p->ns_power, 0, most / numchs);
            return new ns::PMWFAES(numchs, p->numrefs, numbins, p->ns_power, beta);
        }
        case 3:
            return new ns::KWSRESBatch(numchs, p->numrefs, numbins, p->ns_power, beta,
                                       vad ? vad->stage() : nullptr);
        case 100:
            checkMaskBins(numbins);
            return new ns::NNMaskAECPF(numchs, p->numrefs, p->ns_model_base);
        case 101:
            checkMaskBins(numbins);
            return new ns::NNRES(numchs, p->numrefs, p->ns_power, beta, p->ns_model_base);
        case 300:
            util::requireRange("NSAlgorithm", "ns_level", p->ns_level, 0.0f, 1.0f);
            return new ns::LeakageRES(numchs, p->numrefs, numbins, p->ns_level);
        default:
            return nullptr;
    }
}

}  // namespace

NSAlgorithm::NSAlgorithm(const Params* params, int numchs, int numbins, int refdelay, int echodelay,
                         VADAlgorithm* vad)
    : pp(new Impl) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(refdelay >= 0);
    VM_ASSERT(echodelay >= 0);
    if (params->ns_algorithm != 0 && params->numrefs == 0) {
        // Residual echo cannot be estimated without a reference, whatever the configured number.
        pp->ns.reset(new ns::NSBypass(numchs, params->numrefs, numbins));
    } else {
        pp->ns.reset(build(params, numchs, numbins, vad));
        if (!pp->ns) error("NSAlgorithm", "Unsupported NS algorithm: %d", params->ns_algorithm);
    }
    buildLines(params, numchs, numbins, refdelay, echodelay);
}

NSAlgorithm::NSAlgorithm(const Params* params, ns::NSInterface* stage, int refdelay, int echodelay)
    : pp(new Impl) {
    VM_ASSERT(stage != nullptr);
    pp->ns.reset(stage);
    VM_ASSERT(refdelay >= 0);
    VM_ASSERT(echodelay >= 0);
    buildLines(params, stage->numChannels(), stage->numBins(), refdelay, echodelay);
}

void NSAlgorithm::buildLines(const Params* params, int numchs, int numbins, int refdelay,
                             int echodelay) {
    // The echo rows handed on are the first numchs of the nummics rows in the echo line.
    util::requireRange("NSAlgorithm", "numouts", numchs, 1, params->nummics);
    if (params->numrefs > 0) {
        pp->refLine.reset(new blas::ComplexTensor3(refdelay + 1, params->numrefs, numbins));
        pp->refView.reset(new blas::ComplexMatrix(params->numrefs, numbins, true));
    }
    pp->echoLine.reset(new blas::ComplexTensor3(echodelay + 1, params->nummics, numbins));
    pp->echoView.reset(new blas::ComplexMatrix(params->nummics, numbins, true));
    pp->echoRows.reset(new blas::ComplexMatrix(numchs, numbins, true));
    pp->pointViews();
}

NSAlgorithm::~NSAlgorithm() = default;

int NSAlgorithm::numChannels() const {
    return pp->ns->numChannels();
}
int NSAlgorithm::numRefs() const {
    return pp->ns->numRefs();
}
int NSAlgorithm::numBins() const {
    return pp->ns->numBins();
}
int NSAlgorithm::delay() const {
    return pp->ns->delay();
}
void NSAlgorithm::lock(int n, const float* blocks) {
    pp->ns->lock(n, blocks);
}
void NSAlgorithm::unlock(int n) {
    pp->ns->unlock(n);
}

void NSAlgorithm::process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
                          const blas::ComplexMatrix* echo) {
    pp->refGiven = pp->refLine && ref;
    if (pp->refGiven) pp->refLine->pushBottom(ref);
    pp->echoLine->pushBottom(echo);  // null pushes silence
    pp->pointViews();
    pp->ns->process(nearend, pp->refGiven ? pp->refView.get() : nullptr, pp->echoRows.get());
}

const blas::ComplexMatrix* NSAlgorithm::delayedReference() const {
    return pp->refLine ? pp->refView.get() : nullptr;
}

const blas::ComplexMatrix* NSAlgorithm::delayedEcho() const {
    return pp->echoRows.get();
}

ns::NSInterface* NSAlgorithm::stage() {
    return pp->ns.get();
}

}  // namespace velmora::mode
