#pragma once
// StageChain: the adaptive subband stages of a pipeline, each held through its selector: the
// echo canceller (with the slot of a time-domain canceller), dereverberation, the detector, the
// beamformer, the localiser, the noise suppressor, the post-filter and gain control. The
// pipeline owns one chain, runs its stages in its own order and keeps its banks and spectral
// blocks itself; the chain builds the stages and fans the target and look calls out to them.
// The suppressor either cleans the beamformer's outputs or, ahead of the beamformer, every
// channel; the fan-out follows that order.

#include <memory>

#include "mode/AECAlgorithm.h"
#include "mode/AGCAlgorithm.h"
#include "mode/BFAlgorithm.h"
#include "mode/DRAlgorithm.h"
#include "mode/NSAlgorithm.h"
#include "mode/PFAlgorithm.h"
#include "mode/SSLAlgorithm.h"
#include "mode/TDEchoSlot.h"
#include "mode/VADAlgorithm.h"

namespace velmora {
class Params;
}
namespace velmora::blas {
class Vector;
}
namespace velmora::transform {
class PPFBankAnalyzer;
}

namespace velmora::mode {

struct StageChain {
    // Where the noise suppressor sits.
    enum class Suppression {
        AfterBeamformer,   // on the beamformer's outputs: its inputs are delayed by the beamformer
        BeforeBeamformer,  // on every channel ahead of the beamformer
    };

    // Builds the selectors from `params` (kept by the caller for the chain's lifetime) in the
    // order the pipeline runs them; construction errors of the stages pass through. `analyzer`
    // is the pipeline's bank (bin count, and the bank of the time-domain echo slot);
    // `timeDomainMics` the microphones of the time-domain block (those a time-domain canceller
    // works on); `nsChannels` the channels the suppressor cleans.
    StageChain(const Params* params, const transform::PPFBankAnalyzer& analyzer, int timeDomainMics,
               blas::Vector* pilots, int nsChannels, Suppression where);

    // Algorithmic delay in samples of the chain and gain control, for blocks of `hop` samples.
    int delay(int hop) const;
    // Forward to the detector, then the beamformer and the suppressor in processing order, then
    // the post-filter.
    void lock(int n, const float* blocks);
    void unlock(int n);
    // The beamformer's look direction; the detector's where the beamformer reports exactly 0.
    float look(int n) const;
    // Steers the beamformer, then the detector.
    void setLook(int n, float azimuth);

    Suppression where;
    std::unique_ptr<AECAlgorithm> aec;
    std::unique_ptr<TDEchoSlot> tdEcho;  // time-domain canceller, when aec_algorithm has one
    std::unique_ptr<DRAlgorithm> dr;
    std::unique_ptr<VADAlgorithm> vad;
    std::unique_ptr<BFAlgorithm> bf;
    std::unique_ptr<SSLAlgorithm> ssl;
    std::unique_ptr<NSAlgorithm> ns;
    std::unique_ptr<PFAlgorithm> pf;
    std::unique_ptr<AGCAlgorithm> agc;
};

}  // namespace velmora::mode
