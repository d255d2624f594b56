#include "mode/TDEchoSlot.h"

#include <vector>

#include "aec/TDAECInterface.h"
#include "blas/ComplexMatrix.h"
#include "mode/AECAlgorithm.h"
#include "transform/PPFBankAnalyzer.h"

namespace velmora::mode {

struct TDEchoSlot::Impl {
    aec::TDAECInterface* canceller = nullptr;  // owned by the selector
    std::unique_ptr<transform::PPFBankAnalyzer> analyzer;
    std::vector<float> echoTime;  // blockSize x microphones, interleaved
    std::unique_ptr<blas::ComplexMatrix> echo;
};

TDEchoSlot::TDEchoSlot() : pp(std::make_unique<Impl>()) {}
TDEchoSlot::~TDEchoSlot() = default;

std::unique_ptr<TDEchoSlot> TDEchoSlot::make(AECAlgorithm* aec,
                                             const transform::PPFBankAnalyzer& like) {
    aec::TDAECInterface* canceller = aec->timeDomain();
    if (!canceller) return nullptr;
    VM_ASSERT(canceller->blockSize() == like.blockSize());
    std::unique_ptr<TDEchoSlot> slot(new TDEchoSlot);
    Impl& s = *slot->pp;
    const int mics = canceller->numMics();
    s.canceller = canceller;
    s.analyzer = std::make_unique<transform::PPFBankAnalyzer>(
        mics, transform::PPFWindowType{like.windowType()});
    s.echoTime.assign(static_cast<size_t>(like.blockSize()) * mics, 0.0f);
    s.echo = std::make_unique<blas::ComplexMatrix>(mics, s.analyzer->numBins());
    return slot;
}

void TDEchoSlot::process(float* block, int channels) {
    Impl& s = *pp;
    s.canceller->process(block, channels, s.echoTime.data());
    s.analyzer->analyze(s.echoTime.data(), s.echo.get());
}

const blas::ComplexMatrix* TDEchoSlot::echo() const {
    return pp->echo.get();
}

}  // namespace velmora::mode
