// The adaptive stages fed a block whose bins hold NaN, infinities and absurd magnitudes, in the
// microphones and the reference, chained as the general pipeline chains them: every output after
// the bad block is finite, and a few seconds later the output is as strong as in the same run
// without the bad block (the poisoned bins started over instead of staying unusable).

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "Params.h"
#include "blas/ComplexMatrix.h"
#include "mode/AECAlgorithm.h"
#include "mode/BFAlgorithm.h"
#include "mode/DRAlgorithm.h"
#include "mode/NSAlgorithm.h"
#include "mode/PFAlgorithm.h"
#include "mode/SSLAlgorithm.h"
#include "mode/VADAlgorithm.h"

namespace velmora::mode {
namespace {

using blas::Complex;
using blas::ComplexMatrix;

constexpr int K = 160, M = 7, kBlocks = 700, kBadBlock = 200;

struct Chain {
    AECAlgorithm aec;
    DRAlgorithm dr;
    VADAlgorithm vad;
    BFAlgorithm bf;
    SSLAlgorithm ssl;
    NSAlgorithm ns;
    PFAlgorithm pf;
    explicit Chain(const Params* p)
        : aec(p, K),
          dr(p, K),
          vad(p, K, nullptr),
          bf(p, &vad),
          ssl(p, &vad, &bf),
          ns(p, 1, K, 0, 0, &vad),
          pf(p, &vad) {}
};

// Output power per block of the whole chain on an echo scene (a random reference through a
// fixed per-bin path to every microphone, plus a weak near-end noise); block kBadBlock is
// spoiled when `spoil` is set.
std::vector<double> run(const Params& p, bool spoil, bool* finite) {
    Chain c(&p);
    std::mt19937 rng(5);
    std::normal_distribution<float> n(0.0f, 1.0f);
    std::vector<Complex> path(M * K);
    for (Complex& h : path) h = Complex(0.5f * n(rng), 0.5f * n(rng));
    ComplexMatrix mic(M, K), ref(1, K), nearEnd(M, K), echo(M, K), out(1, K);
    std::vector<double> power;
    *finite = true;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (int b = 0; b < kBlocks; ++b) {
        for (int k = 0; k < K; ++k) {
            const Complex x(0.1f * n(rng), 0.1f * n(rng));
            ref.set(0, k, x);
            for (int m = 0; m < M; ++m)
                mic.set(m, k, path[m * K + k] * x + Complex(0.003f * n(rng), 0.003f * n(rng)));
        }
        if (spoil && b == kBadBlock) {
            for (int k = 0; k < K; k += 3) {
                const float v = k % 9 == 0 ? nan : (k % 9 == 3 ? inf : 1e30f);
                mic.set(k % M, k, Complex(v, -v));
                ref.set(0, (k + 1) % K, Complex(v, v));
            }
        }
        c.aec.process(&mic, &ref, &nearEnd, &echo);
        c.dr.process(&nearEnd);
        c.vad.process(&nearEnd);
        c.bf.process(&nearEnd, &out);
        c.ssl.process(&nearEnd);
        c.ns.process(&out, &ref, &echo);
        c.pf.process(&out);
        double pw = 0.0;
        for (int k = 0; k < K; ++k) pw += std::norm(out.get(0, k));
        if (b > kBadBlock && (!std::isfinite(pw) || !std::isfinite(c.ssl.direction(0))))
            *finite = false;
        power.push_back(pw);
    }
    return power;
}

double meanDb(const std::vector<double>& p, int from) {
    double s = 0.0;
    for (size_t i = from; i < p.size(); ++i) s += p[i];
    return 10.0 * std::log10(s / (p.size() - from) + 1e-30);
}

TEST(HostileBlocks, EveryAdaptiveStageRestartsPoisonedBins) {
    for (int pf : {1, 2, 3, 4}) {
        Params p;
        p.dr_algorithm = 1;
        p.vad_algorithm = 1;
        p.ssl_algorithm = 1;
        p.ns_algorithm = 1;
        p.pf_algorithm = pf;
        bool cleanFinite = false, badFinite = false;
        const std::vector<double> clean = run(p, false, &cleanFinite);
        const std::vector<double> bad = run(p, true, &badFinite);
        EXPECT_TRUE(cleanFinite) << "pf " << pf;
        EXPECT_TRUE(badFinite) << "pf " << pf;
        // 3 s after the bad block.
        EXPECT_NEAR(meanDb(bad, kBadBlock + 300), meanDb(clean, kBadBlock + 300), 3.0)
            << "pf " << pf;
    }
}

}  // namespace
}  // namespace velmora::mode
