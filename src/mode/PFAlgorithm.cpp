#include "mode/PFAlgorithm.h"

#include "Error.h"
#include "Params.h"
#include "mode/VADAlgorithm.h"
#include "pf/DominantPF.h"
#include "pf/ExclusivePF.h"
#include "pf/PFBypass.h"
#include "pf/PFInterface.h"
#include "pf/PWFPF.h"
#include "pf/VADPF.h"
#include "util/Check.h"

namespace velmora::mode {

struct PFAlgorithm::Impl {
    std::unique_ptr<pf::PFInterface> pf;
};

namespace {

// The post-filter for p->pf_algorithm, or null when none serves that number. K is the
// detector's bin count; the detector goes in as vad->stage(). One case per class:
//   1 VADPF(params, vad)
//   2 ExclusivePF(params)
//   3 DominantPF(params)
//   4 PWFPF(numouts, K, 0, pf_level)
// Settings of the level-driven post-filters: a gain floor in [0, 1], waits and timeouts up to
// an hour, levels in dB within +-200.
void checkSettings(const Params* p) {
    constexpr float kMaxSeconds = 3600.0f, kMaxDb = 200.0f;
    if (p->pf_algorithm < 1 || p->pf_algorithm > 3) return;
    util::requireRange("PFAlgorithm", "pf_level", p->pf_level, 0.0f, 1.0f);
    util::requireRange("PFAlgorithm", "pf_wait", p->pf_wait, 0.0f, kMaxSeconds);
    util::requireRange("PFAlgorithm", "pf_timeout", p->pf_timeout, 0.0f, kMaxSeconds);
    util::requireRange("PFAlgorithm", "pf_res_floor", p->pf_res_floor, -kMaxDb, kMaxDb);
    util::requireRange("PFAlgorithm", "pf_speech_minsnr", p->pf_speech_minsnr, -kMaxDb, kMaxDb);
}

pf::PFInterface* build(const Params* p, VADAlgorithm* vad) {
    checkSettings(p);
    if (p->pf_algorithm == 4)
        util::requireRange("PFAlgorithm", "pf_level", p->pf_level, 0.0f, 1000.0f);
    switch (p->pf_algorithm) {
        case 0:
            return new pf::PFBypass(p->numouts, vad->numBins());
        case 1:
            return new pf::VADPF(p, vad->stage());
        case 2:
            return new pf::ExclusivePF(p);
        case 3:
            return new pf::DominantPF(p);
        case 4:
            return new pf::PWFPF(p->numouts, vad->numBins(), 0, p->pf_level);
        default:
            return nullptr;
    }
}

}  // namespace

PFAlgorithm::PFAlgorithm(const Params* params, VADAlgorithm* vad) : pp(new Impl) {
    VM_ASSERT(vad != nullptr);
    pp->pf.reset(build(params, vad));
    if (!pp->pf) error("PFAlgorithm", "Unsupported PF algorithm: %d", params->pf_algorithm);
    start(params);
}

PFAlgorithm::PFAlgorithm(const Params* params, pf::PFInterface* stage) : pp(new Impl) {
    VM_ASSERT(stage != nullptr);
    pp->pf.reset(stage);
    start(params);
}

// A configuration that starts locked locks every channel.
void PFAlgorithm::start(const Params* params) {
    if (!params->bf_islocked) return;
    const int numchs = pp->pf->numChannels();
    for (int i = 0; i < numchs; i++) pp->pf->lock(i, nullptr);
}

PFAlgorithm::~PFAlgorithm() = default;

int PFAlgorithm::numChannels() const {
    return pp->pf->numChannels();
}
int PFAlgorithm::delay() const {
    return pp->pf->delay();
}
void PFAlgorithm::process(blas::ComplexMatrix* block) {
    pp->pf->process(block);
}
void PFAlgorithm::lock(int n, const float* blocks) {
    pp->pf->lock(n, blocks);
}
void PFAlgorithm::unlock(int n) {
    pp->pf->unlock(n);
}
void PFAlgorithm::hook1(int32_t value) {
    pp->pf->hook1(value);
}
void PFAlgorithm::hook2(int32_t value) {
    pp->pf->hook2(value);
}
pf::PFInterface* PFAlgorithm::stage() {
    return pp->pf.get();
}

}  // namespace velmora::mode
