#include "mode/BFAlgorithm.h"

#include "Error.h"
#include "Params.h"
#include "bf/BFBypass.h"
#include "bf/BFInterface.h"
#include "bf/Fixed.h"
#include "mode/VADAlgorithm.h"
#include "util/Check.h"

namespace velmora::mode {

struct BFAlgorithm::Impl {
    std::unique_ptr<bf::BFInterface> bf;
};

namespace {

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
        case 2:    // MaskPF
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
bf::BFInterface* build(const Params* p, VADAlgorithm* vad) {
    const int numbins = vad->numBins();
    switch (p->bf_algorithm) {
        case 0:
            return new bf::BFBypass(p->nummics, p->numouts, numbins);
        case 1:
            return new bf::Fixed(p->nummics, p->numouts, numbins, p->bf_model_base);
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
bf::BFInterface* BFAlgorithm::stage() {
    return pp->bf.get();
}

}  // namespace velmora::mode
