#include "mode/StageChain.h"

#include "transform/PPFBankAnalyzer.h"

namespace velmora::mode {

StageChain::StageChain(const Params* params, const transform::PPFBankAnalyzer& analyzer,
                       int timeDomainMics, blas::Vector* pilots, int nsChannels, Suppression where)
    : where(where) {
    const int bins = analyzer.numBins();
    aec = std::make_unique<AECAlgorithm>(params, bins, timeDomainMics);
    tdEcho = TDEchoSlot::make(aec.get(), analyzer);
    dr = std::make_unique<DRAlgorithm>(params, bins);
    vad = std::make_unique<VADAlgorithm>(params, bins, pilots);
    if (where == Suppression::BeforeBeamformer) {
        // The suppressor's reference and echo blocks wait only for the canceller and the
        // dereverberation.
        ns = std::make_unique<NSAlgorithm>(params, nsChannels, bins, aec->delay() + dr->delay(),
                                           dr->delay(), vad.get());
        bf = std::make_unique<BFAlgorithm>(params, vad.get());
        ssl = std::make_unique<SSLAlgorithm>(params, vad.get(), bf.get());
    } else {
        bf = std::make_unique<BFAlgorithm>(params, vad.get());
        ssl = std::make_unique<SSLAlgorithm>(params, vad.get(), bf.get());
        const int refDelay = aec->delay() + dr->delay() + bf->delay();
        const int echoDelay = dr->delay() + bf->delay();
        ns =
            std::make_unique<NSAlgorithm>(params, nsChannels, bins, refDelay, echoDelay, vad.get());
    }
    pf = std::make_unique<PFAlgorithm>(params, vad.get());
    agc = std::make_unique<AGCAlgorithm>(params);
}

int StageChain::delay(int hop) const {
    const int blocks = aec->delay() + dr->delay() + bf->delay() + ns->delay() + pf->delay();
    return blocks * hop + agc->delay();
}

void StageChain::lock(int n, const float* blocks) {
    vad->lock(n, blocks);
    if (where == Suppression::BeforeBeamformer) {
        ns->lock(n, blocks);
        bf->lock(n, blocks);
    } else {
        bf->lock(n, blocks);
        ns->lock(n, blocks);
    }
    pf->lock(n, blocks);
}

void StageChain::unlock(int n) {
    vad->unlock(n);
    if (where == Suppression::BeforeBeamformer) {
        ns->unlock(n);
        bf->unlock(n);
    } else {
        bf->unlock(n);
        ns->unlock(n);
    }
    pf->unlock(n);
}

float StageChain::look(int n) const {
    const float azimuth = bf->look(n);
    return azimuth == 0.0f ? vad->look(n) : azimuth;
}

void StageChain::setLook(int n, float azimuth) {
    bf->setLook(n, azimuth);
    vad->setLook(n, azimuth);
}

}  // namespace velmora::mode
