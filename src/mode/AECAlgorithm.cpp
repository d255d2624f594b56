#include "mode/AECAlgorithm.h"

#include "Error.h"
#include "Params.h"
#include "aec/AECBypass.h"
#include "aec/AECInterface.h"
#include "aec/DualAFGeneral.h"
#include "aec/OneLevelAEC.h"
#include "aec/PBFDKF.h"
#include "aec/RETFAEC.h"
#include "aec/TwoLevelAEC.h"
#include "util/Check.h"
#include "util/Numeric.h"

namespace velmora::mode {

struct AECAlgorithm::Impl {
    std::unique_ptr<aec::AECInterface> aec;
    std::unique_ptr<aec::TDAECInterface> timeDomain;
};

namespace {

// Longest echo filter in blocks of the dual-filter cores (10 s at 10 ms blocks): beyond any
// room, and still within real time for the default array.
constexpr int kMaxFilterBlocks = 1000;
// Most references the one- and two-level cancellers take (their per-bin statistics grow with
// the square of the count).
constexpr int kMaxRefsMultiTap = 8;

// Checks what an algorithm number demands of the configuration before anything is built, and
// refuses settings the canceller cannot work with (naming key and value).
void checkConstraints(const Params* p) {
    const char* cls = "AECAlgorithm";
    switch (p->aec_algorithm) {
        case 100:  // TwoLevelAEC
            util::requireRange(cls, "numrefs", p->numrefs, 1, kMaxRefsMultiTap);
            util::requireRange(cls, "aec_power", p->aec_power, 0, aec::TwoLevelAEC::kMaxTaps);
            break;
        case 101:  // OneLevelAEC: references times taps are bounded
            util::requireRange(cls, "numrefs", p->numrefs, 1, kMaxRefsMultiTap);
            util::requireRange(cls, "aec_power", p->aec_power, 0,
                               aec::OneLevelAEC::kMaxStackedTaps / p->numrefs);
            break;
        case 300:  // PBFDKF (time domain)
            if (p->numrefs != 1 && p->numrefs != 2)
                error(cls, "Mono or stereo references required: %d", p->numrefs);
            util::requireRange(cls, "aec_power", p->aec_power, 0, aec::PBFDKF::kMaxPartitions);
            break;
        case 201:  // DualAFGeneral
        case 202:  // RETFAEC
            if (p->numrefs != 1 && p->numrefs != 2)
                error(cls, "Mono or stereo references required: %d", p->numrefs);
            util::requireRange(cls, "aec_power", p->aec_power, 0,
                               p->aec_algorithm == 201 ? kMaxFilterBlocks : aec::RETFAEC::kMaxTaps);
            break;
        default:
            break;
    }
}

// The canceller for p->aec_algorithm, or null when no canceller serves that number. One case
// per class:
//   100 TwoLevelAEC(nummics, numrefs, numbins, aec_power)
//   101 OneLevelAEC(nummics, numrefs, numbins, aec_power)
//   201 DualAFGeneral(nummics, numrefs, numbins, aec_power, aec_level)
//   202 RETFAEC(nummics, numrefs, numbins, aec_power)
//   300 the pass-through here; the canceller itself runs on the time-domain block (below)
aec::AECInterface* build(const Params* p, int numbins) {
    switch (p->aec_algorithm) {
        case 0:
            return new aec::AECBypass(p->nummics, p->numrefs, numbins);
        case 100:
            return new aec::TwoLevelAEC(p->nummics, p->numrefs, numbins, p->aec_power);
        case 101:
            return new aec::OneLevelAEC(p->nummics, p->numrefs, numbins, p->aec_power);
        case 201:
            return new aec::DualAFGeneral(p->nummics, p->numrefs, numbins, p->aec_power,
                                          util::truncateToInt(p->aec_level));
        case 202:
            return new aec::RETFAEC(p->nummics, p->numrefs, numbins, p->aec_power);
        case 300:
            return new aec::AECBypass(p->nummics, p->numrefs, numbins);
        default:
            return nullptr;
    }
}

}  // namespace

AECAlgorithm::AECAlgorithm(const Params* params, int numbins, int timeDomainMics) : pp(new Impl) {
    if (params->numrefs == 0) {
        // Nothing to cancel without a reference, whatever the configured number.
        pp->aec.reset(new aec::AECBypass(params->nummics, 0, numbins));
        return;
    }
    checkConstraints(params);
    pp->aec.reset(build(params, numbins));
    if (!pp->aec) error("AECAlgorithm", "Unsupported AEC algorithm: %d", params->aec_algorithm);
    if (params->aec_algorithm == 300) {
        // 300: PBFDKF(microphones of the time-domain block, numrefs, block size, aec_power)
        const int mics = timeDomainMics > 0 ? timeDomainMics : params->nummics;
        pp->timeDomain =
            std::make_unique<aec::PBFDKF>(mics, params->numrefs, numbins, params->aec_power);
    }
}

AECAlgorithm::~AECAlgorithm() = default;

int AECAlgorithm::numMics() const {
    return pp->aec->numMics();
}
int AECAlgorithm::numRefs() const {
    return pp->aec->numRefs();
}
int AECAlgorithm::numBins() const {
    return pp->aec->numBins();
}
int AECAlgorithm::delay() const {
    return pp->aec->delay();
}

void AECAlgorithm::process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                           blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) {
    pp->aec->process(mic, ref, nearend, echo);
}

aec::AECInterface* AECAlgorithm::stage() {
    return pp->aec.get();
}

aec::TDAECInterface* AECAlgorithm::timeDomain() {
    return pp->timeDomain.get();
}

}  // namespace velmora::mode
