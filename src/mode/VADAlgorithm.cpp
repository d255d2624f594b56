#include "mode/VADAlgorithm.h"

#include "Error.h"
#include "Params.h"
#include "blas/Vector.h"
#include "ssl/ScanChecks.h"
#include "util/Check.h"
#include "vad/SRPPHATVAD.h"
#include "vad/VADBypass.h"
#include "vad/VADInterface.h"

namespace velmora::mode {

struct VADAlgorithm::Impl {
    std::unique_ptr<vad::VADInterface> vad;
};

namespace {

// Pilot detectors take one pilot value per output.
void checkPilotCount(const Params* p) {
    if (p->numouts != p->numpilots)
        error("VADAlgorithm", "Equal no. of output and pilot channels required: %d, %d", p->numouts,
              p->numpilots);
}

// Checks what an algorithm number demands of the configuration before anything is built.
void checkConstraints(const Params* p, const blas::Vector* pilots) {
    switch (p->vad_algorithm) {
        case 1:  // SRPPHATVAD
            ssl::checkScanSettings("VADAlgorithm", p);
            ssl::checkGeometry("VADAlgorithm", p);
            util::requireRange("VADAlgorithm", "vad_forget", p->vad_forget, 0.0f, 1.0f);
            util::requireRange("VADAlgorithm", "vad_target_radius", p->vad_target_radius, 1.0e-3f,
                               360.0f);
            util::requireRange("VADAlgorithm", "bf_look", p->bf_look, -180.0f, 180.0f);
            break;
        case 3:  // PilotVAD
            if (!pilots) error("VADAlgorithm", "Pilot information required.");
            checkPilotCount(p);
            break;
        case 100:  // NNMask
            if (pilots)
                checkPilotCount(p);
            else if (p->numouts != 1)
                error("VADAlgorithm", "Mono output required: %d", p->numouts);
            break;
        default:
            break;
    }
}

// The detector for p->vad_algorithm, or null when none serves that number. One case per class:
//   1 SRPPHATVAD(params)
//   2 DominantVAD(params, numbins)
//   3 PilotVAD(nummics, numbins, pilots)
//   100 NNMask(vad_model_base, nummics, pilots)
vad::VADInterface* build(const Params* p, int numbins, blas::Vector* /*pilots*/) {
    switch (p->vad_algorithm) {
        case 0:
            return new vad::VADBypass(p->nummics, p->numouts, numbins);
        case 1:
            return new vad::SRPPHATVAD(p);
        default:
            return nullptr;
    }
}

}  // namespace

VADAlgorithm::VADAlgorithm(const Params* params, int numbins, blas::Vector* pilots) : pp(new Impl) {
    checkConstraints(params, pilots);
    pp->vad.reset(build(params, numbins, pilots));
    if (!pp->vad) error("VADAlgorithm", "Unknown VAD algorithm: %d", params->vad_algorithm);
}

VADAlgorithm::VADAlgorithm(vad::VADInterface* stage) : pp(new Impl) {
    VM_ASSERT(stage != nullptr);
    pp->vad.reset(stage);
}

VADAlgorithm::~VADAlgorithm() = default;

int VADAlgorithm::numMics() const {
    return pp->vad->numMics();
}
int VADAlgorithm::numOuts() const {
    return pp->vad->numOuts();
}
int VADAlgorithm::numBins() const {
    return pp->vad->numBins();
}
int VADAlgorithm::delay() const {
    return pp->vad->delay();
}
float VADAlgorithm::look(int n) const {
    return pp->vad->look(n);
}
void VADAlgorithm::setLook(int n, float azimuth) {
    pp->vad->setLook(n, azimuth);
}
void VADAlgorithm::lock(int n, const float* blocks) {
    pp->vad->lock(n, blocks);
}
void VADAlgorithm::unlock(int n) {
    pp->vad->unlock(n);
}
void VADAlgorithm::process(const blas::ComplexMatrix* block) {
    pp->vad->process(block);
}

float VADAlgorithm::speechProbability(int n, int k) const {
    return pp->vad->speechProbability(n, k);
}

float VADAlgorithm::vadValue(int n) const {
    VM_ASSERT(n >= 0 && n < pp->vad->numOuts());
    const int numbins = pp->vad->numBins();
    float sum = 0.0f;
    for (int k = 0; k < numbins; k++) sum += pp->vad->speechProbability(n, k);
    return sum / static_cast<float>(numbins);
}

vad::VADInterface* VADAlgorithm::stage() {
    return pp->vad.get();
}

}  // namespace velmora::mode
