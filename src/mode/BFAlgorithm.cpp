#include "mode/BFAlgorithm.h"

#include "Error.h"
#include "Params.h"
#include "bf/BFBypass.h"
#include "bf/BFInterface.h"
#include "bf/Fixed.h"
#include "bf/PilotIVA.h"
#include "bf/PilotPMWF.h"
#include "bf/StereoIVA.h"
#include "bf/SubbandAuxIVA2.h"
#include "bf/TwoLevelGrid.h"
#include "bf/TwoLevelIVA.h"
#include "bf/KWSMVDR.h"
#include "bf/MaskPF.h"
#include "mode/VADAlgorithm.h"
#include "util/Check.h"
#include "util/Numeric.h"

namespace velmora::mode {

struct BFAlgorithm::Impl {
    std::unique_ptr<bf::BFInterface> bf;
    bool drivesDetector = false;
};

namespace {

constexpr int kKeywordDefaultTaps = 4;  // KWSMVDR's taps when bf_power is 0

void requireVAD(const Params* p) {
    if (p->vad_algorithm == 0) error("BFAlgorithm", "VAD required");
}

void requireStereoInputs(const Params* p) {
    if (p->nummics != 2) error("BFAlgorithm", "Stereo inputs required: %d", p->nummics);
}

void requireStereo(const Params* p) {
    requireStereoInputs(p);
    if (p->numouts != 2) error("BFAlgorithm", "Stereo outputs required: %d", p->numouts);
}

// Checks what an algorithm number demands of the configuration before anything is built.
void checkConstraints(const Params* p) {
    switch (p->bf_algorithm) {
        case 2:  // MaskPF: microphone i feeds output i
            requireVAD(p);
            util::requireRange("BFAlgorithm", "numouts", p->numouts, 1, p->nummics);
            break;
        case 302:  // PilotPMWF
        case 501:  // PilotIVA
            requireVAD(p);
            break;
        case 200:  // StereoPilotPMWF
            requireVAD(p);
            requireStereoInputs(p);
            break;
        case 303:  // KWSMVDR
            if (p->numouts != 1) error("BFAlgorithm", "Mono output required: %d", p->numouts);
            break;
        case 401:  // SubbandAuxIVA2
        case 402:  // StereoIVA
        case 403:  // StereoIVAV4
            requireStereo(p);
            break;
        case 500:  // TwoLevelIVA
            if (p->nummics != p->numouts)
                error("BFAlgorithm", "Equal no. of mics and outputs required: %d, %d", p->nummics,
                      p->numouts);
            break;
        default:
            break;
    }
}

// The beamformer for p->bf_algorithm on at least two microphones, or null when none serves
// that number. K is the detector's bin count; detectors go in as vad->stage(). One case per
// class:
//   1 Fixed(nummics, numouts, K, bf_model_base)
//   2 MaskPF(vad)
//   200 StereoPilotPMWF(bf_power, bf_level, vad)
//   302 PilotPMWF(bf_power, bf_level, vad)
//   303 KWSMVDR(vad->numMics(), K, bf_power)
//   401 SubbandAuxIVA2(32, bf_level == 0.0f ? 0 : 1)
//   402 StereoIVA(K, bf_power, bf_level, ssl_algorithm == 100)
//   403 StereoIVAV4(K, bf_power, bf_level, ssl_algorithm == 100)
//   500 TwoLevelIVA(nummics, K, bf_power, bf_level, ssl_algorithm == 100)
//   501 PilotIVA(bf_power, 1, vad)
// Largest state of a two-level separator (its per-bin cores), bytes: bounds nummics and
// bf_power so that no configuration allocates gigabytes or runs for hours.
constexpr double kMaxSeparatorState = 256.0 * 1024 * 1024;
constexpr int kMaxCausalLength = 64;    // bf_power of the two-level stages, in blocks
constexpr int kMaxSeparatorMics = 16;   // 302, 500, 501: the cost grows with nummics^3
constexpr float kMaxLoading = 1000.0f;  // StereoIVAV4's diagonal loading (bf_level)
constexpr float kMaxBeta = 1000.0f;     // the Wiener filters' beta (bf_level)

// bf_power of a two-level stage whose per-bin cores hold `tensors` nummics x nummics tensors of
// F second-level bins each (F follows from bf_power); the bound is stated in the message.
void checkCausalLength(const Params* p, int numbins, int nummics, int tensors) {
    util::requireRange("BFAlgorithm", "bf_power", p->bf_power, 0, kMaxCausalLength);
    int hi = kMaxCausalLength;
    auto bytes = [&](int lc) {
        return double(numbins) * tensors * nummics * nummics *
               bf::TwoLevelGrid::secondSizeFor(numbins, lc) * 8.0;
    };
    if (bytes(1) > kMaxSeparatorState)
        error("BFAlgorithm",
              "Too many microphones and outputs for bf_algorithm %d: %d, %d (state above %d MB)",
              p->bf_algorithm, p->nummics, p->numouts,
              static_cast<int>(kMaxSeparatorState / (1024 * 1024)));
    while (hi > 1 && bytes(hi) > kMaxSeparatorState) --hi;
    if (bytes(p->bf_power) > kMaxSeparatorState)
        error("BFAlgorithm", "Invalid bf_power: %d, allowed 1 to %d", p->bf_power, hi);
}

bf::BFInterface* build(const Params* p, VADAlgorithm* vad) {
    const int numbins = vad->numBins();
    const bool ssl = p->ssl_algorithm == 100;
    switch (p->bf_algorithm) {
        case 0:
            return new bf::BFBypass(p->nummics, p->numouts, numbins);
        case 1:
            return new bf::Fixed(p->nummics, p->numouts, numbins, p->bf_model_base);
        case 200:
        case 302: {
            const bool stereo = p->bf_algorithm == 200;
            util::requireRange("BFAlgorithm", "nummics", p->nummics, 2, kMaxSeparatorMics);
            util::requireRange("BFAlgorithm", "numouts", p->numouts, 1, stereo ? 2 : p->nummics);
            util::requireRange("BFAlgorithm", "bf_level", p->bf_level, 0.0f, kMaxBeta);
            checkCausalLength(p, numbins, p->nummics, 2 * p->numouts + 1);
            if (stereo) return new bf::StereoPilotPMWF(p->bf_power, p->bf_level, vad->stage());
            return new bf::PilotPMWF(p->bf_power, p->bf_level, vad->stage());
        }
        case 401:
            // Its geometry is that of the 10 ms bank.
            if (numbins != bf::SubbandAuxIVA2::NUM_BINS)
                error("BFAlgorithm", "Invalid block_size: %g, 401 requires 0.01 s blocks",
                      static_cast<double>(p->block_size));
            util::requireFinite("BFAlgorithm", "bf_level", p->bf_level);
            return new bf::SubbandAuxIVA2(32, p->bf_level == 0.0f ? 0 : 1);
        case 402:
            util::requireRange("BFAlgorithm", "bf_level", p->bf_level, 0.0f, 3.0f);
            checkCausalLength(p, numbins, 2, 3);
            return new bf::StereoIVA(numbins, p->bf_power, p->bf_level, ssl);
        case 403:
            util::requireRange("BFAlgorithm", "bf_level", p->bf_level, 0.0f, kMaxLoading);
            checkCausalLength(p, numbins, 2, 3);
            return new bf::StereoIVAV4(numbins, p->bf_power, p->bf_level, ssl);
        case 500:
            util::requireRange("BFAlgorithm", "nummics", p->nummics, 2, kMaxSeparatorMics);
            util::requireRange("BFAlgorithm", "bf_level", p->bf_level, 0.0f, 2.0f);
            checkCausalLength(p, numbins, p->nummics, p->nummics + 3);
            return new bf::TwoLevelIVA(p->nummics, numbins, p->bf_power,
                                       util::truncateToInt(p->bf_level), ssl);
        case 501:
            util::requireRange("BFAlgorithm", "nummics", p->nummics, 2, kMaxSeparatorMics);
            util::requireRange("BFAlgorithm", "numouts", p->numouts, 1, p->nummics);
            checkCausalLength(p, numbins, p->nummics, p->nummics + 3);
            return new bf::PilotIVA(p->bf_power, 1.0f, vad->stage());
        case 2:
            return new bf::MaskPF(vad->stage());
        case 303: {
            // The stack of microphones x taps is bounded by the per-bin inverse.
            const int mics = vad->numMics();
            util::requireRange("BFAlgorithm", "nummics", mics, 2,
                               bf::KWSMVDR::kMaxStack / kKeywordDefaultTaps);
            util::requireRange("BFAlgorithm", "bf_power", p->bf_power, 0,
                               bf::KWSMVDR::kMaxStack / mics);
            return new bf::KWSMVDR(mics, numbins, p->bf_power);
        }
        default:
            return nullptr;
    }
}

}  // namespace

BFAlgorithm::BFAlgorithm(const Params* params, VADAlgorithm* vad) : pp(new Impl) {
    VM_ASSERT(vad != nullptr);
    if (vad->numOuts() != params->numouts)
        error("BFAlgorithm", "No. of vad outputs not match: %d, %d", vad->numOuts(),
              params->numouts);
    if (params->nummics <= 1 || params->bf_algorithm == 0) {
        // The pass-through hands on the first numouts microphones.
        util::requireRange("BFAlgorithm", "numouts", params->numouts, 1, params->nummics);
    }
    if (params->nummics <= 1) {
        // Nothing to combine with one microphone, whatever the configured number.
        pp->bf.reset(new bf::BFBypass(params->nummics, params->numouts, vad->numBins()));
    } else {
        checkConstraints(params);
        pp->bf.reset(build(params, vad));
        if (!pp->bf)
            error("BFAlgorithm", "Unsupported beamforming algorithm: %d", params->bf_algorithm);
        pp->drivesDetector = params->bf_algorithm == 2;
    }
    start(params);
}

BFAlgorithm::BFAlgorithm(const Params* params, bf::BFInterface* stage) : pp(new Impl) {
    VM_ASSERT(stage != nullptr);
    pp->bf.reset(stage);
    start(params);
}

// Output 0 starts steered to the configured look direction, locked when so configured.
void BFAlgorithm::start(const Params* params) {
    util::requireRange("BFAlgorithm", "bf_look", params->bf_look, -180.0f, 180.0f);
    pp->bf->setLook(0, params->bf_look);
    if (params->bf_islocked) pp->bf->lock(0, nullptr);
}

BFAlgorithm::~BFAlgorithm() = default;

int BFAlgorithm::numMics() const {
    return pp->bf->numMics();
}
int BFAlgorithm::numOuts() const {
    return pp->bf->numOuts();
}
int BFAlgorithm::numBins() const {
    return pp->bf->numBins();
}
int BFAlgorithm::delay() const {
    return pp->bf->delay();
}
void BFAlgorithm::lock(int n, const float* blocks) {
    pp->bf->lock(n, blocks);
}
void BFAlgorithm::unlock(int n) {
    pp->bf->unlock(n);
}
float BFAlgorithm::look(int n) const {
    return pp->bf->look(n);
}
void BFAlgorithm::setLook(int n, float azimuth) {
    pp->bf->setLook(n, azimuth);
}

void BFAlgorithm::process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) {
    pp->bf->process(in, out);
}

blas::ComplexTensor3* BFAlgorithm::sslData() {
    return pp->bf->sslData();
}
void BFAlgorithm::hook1(int32_t value) {
    pp->bf->hook1(value);
}
void BFAlgorithm::hook2(int32_t value) {
    pp->bf->hook2(value);
}
bool BFAlgorithm::drivesDetector() const {
    return pp->drivesDetector;
}
bf::BFInterface* BFAlgorithm::stage() {
    return pp->bf.get();
}

}  // namespace velmora::mode
