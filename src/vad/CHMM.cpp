#include "vad/CHMM.h"

#include <algorithm>
#include <cmath>

#include "Error.h"
#include "blas/BLAS.h"

namespace velmora::vad {

namespace {

constexpr int kStates = 2;
// Below this a row sum, posterior sum or likelihood counts as zero (double epsilon).
constexpr float kTiny = 2.220446049250313e-16f;
// Floor of every emission likelihood, so no state is ever ruled out completely.
constexpr float kMinLikelihood = 2.220446e-16f;
// Smallest switching probability a transition row may have.
constexpr float kMinSwitch = 0.01f;
// Floors of the normalising scale and of the posterior divisor in the re-estimation.
constexpr float kMinScale = 0.0001f;
constexpr float kMinPosterior = 0.0001f;
// Every variance stays at least this, even with a non-positive minimum variance, so the
// cached 1 / sqrt(2 pi var) and 1 / (2 var) stay finite.
constexpr float kVarianceFloor = 1e-6f;
constexpr float kTwoPi = 6.283185307179586f;

}  // namespace

struct CHMM::Impl {
    float a[kStates][kStates];  // transition matrix, row = from-state
    float mu[kStates];
    float var[kStates];
    float norm[kStates];     // 1 / sqrt(2 pi var)
    float halfInv[kStates];  // 1 / (2 var)
    float forget;
    float minsnr;
    float minvar[kStates];
    float alpha[kStates];  // forward probabilities
    float gamma[kStates];  // posteriors
    float xi[kStates][kStates];
};

CHMM::CHMM() : pp(new Impl) {
    Impl& s = *pp;
    s.forget = 0.99f;
    s.minsnr = 0.0f;
    s.minvar[0] = s.minvar[1] = 0.0f;
    s.alpha[0] = 0.1f;
    s.alpha[1] = 0.9f;
    blas::normalizeSum(s.alpha, kStates);
    s.gamma[0] = s.gamma[1] = 0.5f;
    for (auto& row : s.xi) row[0] = row[1] = 0.0f;
    setTransitionProbability(0.6f, 0.4f, 0.4f, 0.6f);
    setGaussian(0, 20.0f, 400.0f);
    setGaussian(1, 50.0f, 400.0f);
    s.minsnr = 3.0f;
    s.minvar[0] = s.minvar[1] = 4.0f;
}

CHMM::~CHMM() = default;

float CHMM::forget() const {
    return pp->forget;
}

void CHMM::setForget(float forget) {
    VM_ASSERT(forget >= 0.0 && forget <= 1.0);
    pp->forget = forget;
}

float CHMM::minSNR() const {
    return pp->minsnr;
}

void CHMM::setMinSNR(float minsnr) {
    pp->minsnr = minsnr;
}

float CHMM::minVariance(int n) const {
    VM_ASSERT(n >= 0 && n < numStates());
    return pp->minvar[n];
}

void CHMM::setMinVariance(int n, float minvar) {
    VM_ASSERT(n >= 0 && n < numStates());
    pp->minvar[n] = minvar;
}

float CHMM::transitionProbability(int statei, int statej) const {
    VM_ASSERT(statei >= 0 && statei < numStates());
    VM_ASSERT(statej >= 0 && statej < numStates());
    return pp->a[statei][statej];
}

void CHMM::setTransitionProbability(float a00, float a01, float a10, float a11) {
    float(&a)[kStates][kStates] = pp->a;
    a[0][0] = a00;
    a[0][1] = a01;
    a[1][0] = a10;
    a[1][1] = a11;
    for (auto& row : a) blas::normalizeSum(row, kStates);
    if (a[0][1] < kMinSwitch) {
        a[0][0] = 1.0f - kMinSwitch;
        a[0][1] = kMinSwitch;
    }
    if (a[1][0] < kMinSwitch) {
        a[1][0] = kMinSwitch;
        a[1][1] = 1.0f - kMinSwitch;
    }
}

float CHMM::emissionProbability(float x, int state) const {
    VM_ASSERT(state >= 0 && state < numStates());
    const float d = x - pp->mu[state];
    const float b = pp->norm[state] * std::exp(-d * d * pp->halfInv[state]);
    return b < kMinLikelihood ? kMinLikelihood : b;
}

void CHMM::getGaussian(int state, float* mu, float* var) const {
    VM_ASSERT(state >= 0 && state < numStates());
    if (mu) *mu = pp->mu[state];
    if (var) *var = pp->var[state];
}

void CHMM::setGaussian(int state, float mu, float var) {
    VM_ASSERT(state >= 0 && state < numStates());
    Impl& s = *pp;
    if (var < s.minvar[state]) var = s.minvar[state];
    if (!(var >= kVarianceFloor)) var = kVarianceFloor;
    if (state == 1 && mu < s.mu[0] + s.minsnr) mu = s.mu[0] + s.minsnr;
    s.mu[state] = mu;
    s.var[state] = var;
    s.norm[state] = 1.0f / std::sqrt(kTwoPi * var);
    s.halfInv[state] = 1.0f / (2.0f * var);
}

const float* CHMM::update(float x) {
    Impl& s = *pp;
    float b[kStates];
    for (int p = 0; p < kStates; ++p) b[p] = emissionProbability(x, p);

    // Forward step: joint probabilities of (previous, current) state and current posteriors.
    float total = 0.0f;
    for (int p = 0; p < kStates; ++p) s.gamma[p] = 0.0f;
    for (int q = 0; q < kStates; ++q) {
        for (int p = 0; p < kStates; ++p) {
            s.xi[q][p] = s.a[q][p] * s.alpha[q] * b[p];
            s.gamma[p] += s.xi[q][p];
            total += s.xi[q][p];
        }
    }
    const float scale = std::max(1.0f / total, kMinScale);
    for (auto& row : s.xi)
        for (float& v : row) v *= scale;
    blas::normalizeSum(s.gamma, kStates);

    // Re-estimation: a state learns faster the more likely it is now.
    for (int st = 0; st < kStates; ++st) {
        const float lambda = s.forget + (1.0f - s.gamma[st]) * (1.0f - s.forget);
        const float g = std::max(s.gamma[st], kMinPosterior);
        for (int j = 0; j < kStates; ++j)
            s.a[st][j] = lambda * s.a[st][j] + (1.0f - lambda) * s.xi[st][j] / g;
        const float mu = lambda * s.mu[st] + (1.0f - lambda) * x;
        const float d = x - mu;
        const float var = lambda * s.var[st] + (1.0f - lambda) * d * d;
        setGaussian(st, mu, var);
    }
    setTransitionProbability(s.a[0][0], s.a[0][1], s.a[1][0], s.a[1][1]);

    for (int p = 0; p < kStates; ++p) s.alpha[p] = s.gamma[p];
    return s.gamma;
}

float CHMM::posterior(int state) const {
    VM_ASSERT(state >= 0 && state < numStates());
    return pp->gamma[state];
}

void CHMM::print() const {
    print(stdout);
}

void CHMM::print(std::FILE* out) const {
    const Impl& s = *pp;
    std::fprintf(out, "Transition probability:\n");
    for (const auto& row : s.a)
        std::fprintf(out, "%f %f\n", static_cast<double>(row[0]), static_cast<double>(row[1]));
    std::fprintf(out, "Emission probability:\n");
    for (int st = 0; st < kStates; ++st)
        std::fprintf(out, "Gaussian %d: mu=%f, var=%f\n", st, static_cast<double>(s.mu[st]),
                     static_cast<double>(s.var[st]));
}

}  // namespace velmora::vad
