#pragma once
// LeakageRES: residual-echo suppressor behind an echo canceller (ns_algorithm 300). Per channel
// and bin it predicts the power of the echo the canceller left from the power of its echo
// estimate (in the bin and its neighbours) and of the reference (now and decaying over the
// room's reverberation), with weights learned online by recursive least squares on blocks where
// the far end plays and the near end keeps quiet; a minimum-statistics noise floor is tracked on
// what the prediction leaves, in bins where the predicted residual is a small share of the power.
// A block whose power rises clearly above the prediction holds near-end talk (clear talk, or talk
// over 30 ms, is kept for 0.2 s): it gets a decision-directed Wiener gain against the residual
// echo that costs no bin more than 3 dB; the other blocks go to the floor, `echoFloor` (amplitude)
// on the residual echo and at most 20 dB down on the noise. Gains rise smoothly (at once in clear
// talk) and fall at once, and never exceed 1. A bin that meets a NaN, infinity or absurd value is
// muted for that block and its state restarts. Nothing allocates after construction.

#include <memory>

#include "ns/NSInterface.h"

namespace velmora::ns {

class LeakageRES : public NSInterface {
  public:
    // echoFloor: smallest gain on residual echo, 0 .. 1 (0.01 keeps it at least 40 dB down).
    LeakageRES(int numchs, int numrefs, int numbins, float echoFloor);
    ~LeakageRES() override;
    LeakageRES(const LeakageRES&) = delete;
    LeakageRES& operator=(const LeakageRES&) = delete;

    int numChannels() const override;
    int numRefs() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    void lock(int, const float*) override {}
    void unlock(int) override {}
    // `ref` is not used; `echo` holds the canceller's echo estimate of the numChannels() channels.
    void process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
                 const blas::ComplexMatrix* echo) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::ns
