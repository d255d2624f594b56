#include "mode/DRAlgorithm.h"

#include <climits>

#include "Error.h"
#include "Params.h"
#include "dr/DRBypass.h"
#include "dr/DRInterface.h"
#include "dr/TwoLevelDR.h"
#include "dr/WPE.h"
#include "util/Check.h"
#include "util/Numeric.h"

namespace velmora::mode {

struct DRAlgorithm::Impl {
    std::unique_ptr<dr::DRInterface> dr;
};

namespace {

// Most prediction taps of the dereverberator: 32 blocks (0.32 s at 10 ms) already run at about a
// real-time factor of 1 on seven microphones.
constexpr int kMaxPredictionTaps = 32;

// The dereverberator for p->dr_algorithm, or null when none serves that number. One case per
// class:
//   1 WPE(nummics, numbins, 0, dr_power, dr_level)
//   2 TwoLevelDR(nummics, numbins, dr_power)
dr::DRInterface* build(const Params* p, int numbins) {
    switch (p->dr_algorithm) {
        case 0:
            return new dr::DRBypass(p->nummics, numbins);
        case 1:
            // The prediction's cost grows with the square of channels times taps.
            util::requireRange("DRAlgorithm", "dr_power", p->dr_power, 0, kMaxPredictionTaps);
            return new dr::WPE(p->nummics, numbins, 0, p->dr_power,
                               util::truncateToInt(p->dr_level));
        case 2:
            util::requireRange("DRAlgorithm", "dr_power", p->dr_power, 0, dr::TwoLevelDR::kMaxTaps);
            return new dr::TwoLevelDR(p->nummics, numbins, p->dr_power);
        default:
            return nullptr;
    }
}

}  // namespace

DRAlgorithm::DRAlgorithm(const Params* params, int numbins) : pp(new Impl) {
    pp->dr.reset(build(params, numbins));
    if (!pp->dr)
        error("DRAlgorithm", "Unknown deverberation algorithm: %d\n", params->dr_algorithm);
}

DRAlgorithm::~DRAlgorithm() = default;

int DRAlgorithm::numChannels() const {
    return pp->dr->numChannels();
}
int DRAlgorithm::numBins() const {
    return pp->dr->numBins();
}
int DRAlgorithm::delay() const {
    return pp->dr->delay();
}
void DRAlgorithm::process(blas::ComplexMatrix* block) {
    pp->dr->process(block);
}
void DRAlgorithm::hook1(int32_t value) {
    pp->dr->hook1(value);
}
void DRAlgorithm::hook2(int32_t value) {
    pp->dr->hook2(value);
}
dr::DRInterface* DRAlgorithm::stage() {
    return pp->dr.get();
}

}  // namespace velmora::mode
