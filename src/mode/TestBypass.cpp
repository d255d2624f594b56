#include "mode/TestBypass.h"

#include <cstring>
#include <vector>

#include "Error.h"
#include "Params.h"
#include "aec/TDE.h"
#include "mode/HPF.h"

namespace velmora::mode {

struct TestBypass::Impl {
    int kind;
    int numChannels;  // nummics + numrefs per input frame
    int first;        // first channel passed through
    int count;        // channels passed through
    int blockLength;
    std::unique_ptr<HPF> hpf;
    std::unique_ptr<aec::TDE> tde;  // aligns microphones and references; null when inactive
    std::vector<float> filtered;    // blockLength x numChannels
};

TestBypass::TestBypass(const Params* params, int kind) {
    const int total = params->nummics + params->numrefs;
    int first = 0;
    int count = 0;
    switch (kind) {
        case 0:
            count = total;
            break;
        case 1:
            count = params->nummics;
            break;
        case 2:
            first = params->nummics;
            count = params->numrefs;
            break;
        default:
            error("TestBypass", "Unknown bypass item: %d", kind);
    }
    if (params->numouts != count)
        error("TestBypass", "No. of outputs not match: %d, %d", params->numouts, count);
    pp = std::make_unique<Impl>();
    pp->kind = kind;
    pp->numChannels = total;
    pp->first = first;
    pp->count = count;
    pp->blockLength = static_cast<int>(static_cast<float>(params->fsout) * params->block_size);
    pp->hpf = std::make_unique<HPF>(total, params->hpf_power);
    pp->tde = aec::TDE::fromParams(*params, pp->blockLength);
    pp->filtered.assign(static_cast<size_t>(pp->blockLength) * total, 0.0f);
}

TestBypass::~TestBypass() = default;

int TestBypass::blockLength() {
    return pp->blockLength;
}

void TestBypass::process(const float* block, float* out) {
    if (out == nullptr) return;
    Impl& s = *pp;
    const int frames = s.blockLength;
    const int nc = s.numChannels;
    s.hpf->process(block, s.filtered.data(), frames);
    if (s.tde) s.tde->process(s.filtered.data(), s.filtered.data());
    if (s.count == nc) {
        std::memcpy(out, s.filtered.data(), sizeof(float) * nc * static_cast<size_t>(frames));
        return;
    }
    const float* src = s.filtered.data() + s.first;
    for (int f = 0; f < frames; ++f) {
        std::memcpy(out + static_cast<size_t>(f) * s.count, src + static_cast<size_t>(f) * nc,
                    sizeof(float) * s.count);
    }
}

void TestBypass::report() {}

}  // namespace velmora::mode
