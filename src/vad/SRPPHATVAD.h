#pragma once
// SRPPHATVAD: the spatial voice-activity detector (vad_algorithm 1). Per block it normalises the
// microphone snapshot of every bin in the band [ssl_f_low, ssl_f_high], smooths the per-bin
// spatial covariances, and takes as feature the largest steered response power over the look
// direction and its neighbours 10 degrees apart (within vad_target_radius). A two-state model
// (CHMM) turns the feature into one speech probability, reported for every output and bin.
// Blocks below -55 dB on microphone 0, or holding a non-finite value, are skipped entirely; the
// first 200 counted blocks are a warm-up that ends with the model re-initialised from the feature
// history. One output; the steering set is rebuilt only when the wrapped look direction changes.

#include <memory>

#include "vad/VADInterface.h"

namespace velmora {
class Params;
}

namespace velmora::vad {

class CHMM;

class SRPPHATVAD : public VADInterface {
  public:
    // Reads fsout, block_size, nummics, miccoor, ssl_* band and elevation, vad_* settings and
    // bf_look. Invalid values are assertions; an unsupported block size raises the bank's error.
    explicit SRPPHATVAD(const Params* params);
    ~SRPPHATVAD() override;
    SRPPHATVAD(const SRPPHATVAD&) = delete;
    SRPPHATVAD& operator=(const SRPPHATVAD&) = delete;

    int numMics() const override;
    int numOuts() const override { return 1; }
    int numBins() const override;
    int delay() const override;
    // The look azimuth of the single output (-500 before any was set), whatever n is.
    float look(int n) const override;
    void setLook(int n, float azimuth) override;
    // Re-trains the model from the history: the newest N = min(*blocks, 100) features (100 when
    // blocks is null) as speech, the older 200 - N as noise. A count below 1 (or not a number)
    // leaves the model unchanged.
    void lock(int n, const float* blocks) override;
    void unlock(int) override {}
    void process(const blas::ComplexMatrix* data) override;
    float speechProbability(int n, int k) const override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    // The decision model and the last block's feature, for diagnostics and tests.
    const CHMM* model() const;
    float feature() const;
    // Blocks left in the warm-up (200 after construction, 0 once it is over).
    int warmup() const;
    // First and last bank bin of the analysed band.
    int binLow() const;
    int binHigh() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::vad
