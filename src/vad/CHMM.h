#pragma once
// CHMM: an online two-state hidden Markov model over one scalar feature per block, state 0 =
// noise, state 1 = target speech, one Gaussian emission per state. Each update() runs one
// forward step and re-estimates the transition matrix and both Gaussians with a forgetting
// factor weighted by the state posterior. Invariants kept by every setter: transition rows sum
// to 1 with both switching probabilities at least 0.01; each variance is at least its state's
// minimum; the speech mean lies at least minSNR() above the noise mean.
//
// Used by the detectors and post-filters that decide speech/noise from a level-like feature:
//
//     CHMM model;                          // defaults below
//     model.setGaussian(0, 50.0f, 10.0f);  // configure the noise state, then the speech state
//     model.setGaussian(1, 60.0f, 20.0f);
//     float p = model.update(feature)[1];  // per block: the speech posterior
//
// Defaults: forget 0.99; A = [[0.6, 0.4], [0.4, 0.6]]; Gaussians (20, 400) and (50, 400);
// minSNR 3; minimum variance 4 for both states; forward probabilities (0.1, 0.9).

#include <cstdio>
#include <memory>

namespace velmora::vad {

class CHMM {
  public:
    CHMM();
    ~CHMM();
    CHMM(const CHMM&) = delete;
    CHMM& operator=(const CHMM&) = delete;

    // Always 2 (noise, speech).
    int numStates() const { return 2; }

    // Forgetting factor of the online re-estimation, in [0, 1] (asserted); 1 freezes the model.
    float forget() const;
    void setForget(float forget);

    // Smallest allowed distance of the speech mean above the noise mean (feature units).
    float minSNR() const;
    void setMinSNR(float minsnr);

    // Smallest allowed variance of state n; applies from the next setGaussian/update on.
    float minVariance(int n) const;
    void setMinVariance(int n, float minvar);

    // Transition probability from statei to statej.
    float transitionProbability(int statei, int statej) const;
    // Stores the matrix (row = from-state), normalises each row to sum 1 (a row summing to
    // almost 0 becomes 0.5, 0.5), then resets row 0 to (0.99, 0.01) if a01 < 0.01 and row 1 to
    // (0.01, 0.99) if a10 < 0.01.
    void setTransitionProbability(float a00, float a01, float a10, float a11);

    // Gaussian likelihood of x in `state`, at least 2.220446e-16.
    float emissionProbability(float x, int state) const;

    // Mean and variance of a state's Gaussian (either output may be null).
    void getGaussian(int state, float* mu, float* var) const;
    // Stores (mu, var) with the rules: var raised to the state's minimum variance (and kept
    // strictly positive); for state 1, mu raised to (noise mean + minSNR()).
    void setGaussian(int state, float mu, float var);

    // One forward step and re-estimation with observation x. Returns the state posteriors
    // (numStates() values, summing to 1; [1] is the speech probability), valid until the next
    // update.
    const float* update(float x);
    // The posteriors of the last update (0.5, 0.5 before the first one).
    float posterior(int state) const;

    // "Transition probability:", the two rows of A, "Emission probability:" and one
    // "Gaussian %d: mu=%f, var=%f" line per state, on standard output (or `out`).
    void print() const;
    void print(std::FILE* out) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::vad
