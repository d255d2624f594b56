#include "mode/SSLAlgorithm.h"

#include <vector>

#include "Error.h"
#include "Params.h"
#include "mode/BFAlgorithm.h"
#include "mode/VADAlgorithm.h"
#include "ssl/SSLBypass.h"
#include "ssl/SSLInterface.h"
#include "ssl/ScanChecks.h"
#include "ssl/SubbandSRP.h"
#include "util/Check.h"

namespace velmora::mode {

struct SSLAlgorithm::Impl {
    std::unique_ptr<ssl::SSLInterface> ssl;
    std::vector<char> dirty;    // per output: the cached direction is out of date
    std::vector<float> cached;  // per output: the last direction asked of the localiser
};

namespace {

// The localiser for p->ssl_algorithm, or null when none serves that number. One case per
// class (detector and beamformer go in as vad->stage() and bf->stage()):
//   1 SubbandSRP(params, vad)
//   100 PostSRP(params, bf)
ssl::SSLInterface* build(const Params* p, VADAlgorithm* vad, BFAlgorithm* /*bf*/) {
    switch (p->ssl_algorithm) {
        case 0:
            return new ssl::SSLBypass(p->nummics, p->numouts, vad->numBins());
        case 1:
            ssl::checkScanSettings("SSLAlgorithm", p);
            ssl::checkGeometry("SSLAlgorithm", p);
            util::requireRange("SSLAlgorithm", "ssl_forget", p->ssl_forget, 0.0f, 1.0f);
            return new ssl::SubbandSRP(p, vad->stage());
        default:
            return nullptr;
    }
}

}  // namespace

SSLAlgorithm::SSLAlgorithm(const Params* params, VADAlgorithm* vad, BFAlgorithm* bf)
    : pp(new Impl) {
    VM_ASSERT(params->numouts > 0);
    VM_ASSERT(vad != nullptr);
    pp->ssl.reset(build(params, vad, bf));
    if (!pp->ssl) error("SSLAlgorithm", "Unknown SSL algorithm: %d", params->ssl_algorithm);
    start();
}

SSLAlgorithm::SSLAlgorithm(ssl::SSLInterface* stage) : pp(new Impl) {
    VM_ASSERT(stage != nullptr);
    pp->ssl.reset(stage);
    start();
}

void SSLAlgorithm::start() {
    pp->dirty.assign(pp->ssl->numOuts(), 1);
    pp->cached.assign(pp->ssl->numOuts(), 0.0f);
}

SSLAlgorithm::~SSLAlgorithm() = default;

int SSLAlgorithm::numOuts() const {
    return pp->ssl->numOuts();
}

void SSLAlgorithm::process(const blas::ComplexMatrix* block) {
    pp->ssl->process(block);
    for (char& d : pp->dirty) d = 1;
}

void SSLAlgorithm::reset() {
    pp->ssl->reset();
    for (char& d : pp->dirty) d = 1;
}

float SSLAlgorithm::direction(int n) {
    VM_ASSERT(n >= 0 && n < pp->ssl->numOuts());
    if (pp->dirty[n]) {
        pp->cached[n] = pp->ssl->direction(n, nullptr, nullptr);
        pp->dirty[n] = 0;
    }
    return pp->cached[n];
}

ssl::SSLInterface* SSLAlgorithm::stage() {
    return pp->ssl.get();
}

}  // namespace velmora::mode
