// The one-level (101), two-level (100) and relative-transfer-function (202) echo cancellers and
// the single-tap cores on spectral blocks: selector wiring and refused settings, the one-level
// canceller against its recursion written out plainly, the cores' estimates and limiter, the
// two-level canceller's long filter, delay and start, the relative transfer functions,
// non-finite input and allocation.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Params.h"
#include "aec/AuxIVAAEC.h"
#include "aec/AuxIVAAECMono.h"
#include "aec/AuxIVAAECStereo.h"
#include "aec/DualAFGeneral.h"
#include "aec/OneLevelAEC.h"
#include "aec/RETFAEC.h"
#include "aec/TwoLevelAEC.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "mode/AECAlgorithm.h"
#include "transform/BlockMixer.h"

namespace velmora {
namespace {

using aec::AECInterface;
using blas::Complex;
using blas::ComplexMatrix;
using cd = std::complex<double>;

// Blocks of an echo scene in the spectral domain: R complex Gaussian references reach M
// microphones through per-bin paths of `taps` blocks (path(m, r, l, k): l blocks of delay),
// plus optional near-end noise.
struct Scene {
    int M, R, K, taps;
    std::mt19937 rng;
    std::vector<Complex> path, past;  // past: taps x R x K, slot 0 newest
    Scene(int m, int r, int k, int t, unsigned seed) : M(m), R(r), K(k), taps(t), rng(seed) {
        std::normal_distribution<float> g(0.0f, 1.0f);
        path.resize(static_cast<size_t>(M * R * taps * K));
        for (int i = 0; i < M * R * taps; ++i) {
            const float a = 0.8f * std::exp(-0.4f * static_cast<float>(i % taps));
            for (int k = 0; k < K; ++k)
                path[static_cast<size_t>(i * K + k)] = {a * g(rng), a * g(rng)};
        }
        past.assign(static_cast<size_t>(taps * R * K), Complex());
    }
    Complex& h(int m, int r, int l, int k) {
        return path[static_cast<size_t>(((m * R + r) * taps + l) * K + k)];
    }
    // One block; `nearAmp` scales the near-end noise. `echo` (optional) gets the true echo.
    void next(ComplexMatrix* ref, ComplexMatrix* mic, float nearAmp = 0.0f,
              ComplexMatrix* echo = nullptr) {
        std::normal_distribution<float> g(0.0f, 1.0f);
        std::copy_backward(past.begin(), past.end() - R * K, past.end());
        for (int r = 0; r < R; ++r)
            for (int k = 0; k < K; ++k) {
                past[static_cast<size_t>(r * K + k)] = {g(rng), g(rng)};
                ref->set(r, k, past[static_cast<size_t>(r * K + k)]);
            }
        for (int m = 0; m < M; ++m)
            for (int k = 0; k < K; ++k) {
                Complex e;
                for (int r = 0; r < R; ++r)
                    for (int l = 0; l < taps; ++l)
                        e += h(m, r, l, k) * past[static_cast<size_t>((l * R + r) * K + k)];
                mic->set(m, k, e + Complex(nearAmp * g(rng), nearAmp * g(rng)));
                if (echo) echo->set(m, k, e);
            }
    }
};

double power(const ComplexMatrix& x) {
    double p = 0.0;
    for (int i = 0; i < x.numRows(); ++i)
        for (int k = 0; k < x.numColumns(); ++k) p += x.norm(i, k);
    return p;
}

float l1(Complex z) {
    return std::fabs(z.real()) + std::fabs(z.imag());
}

TEST(MultiTapAEC, SelectorBuildsAndRefuses) {
    Params p;
    p.nummics = 3;
    p.numrefs = 1;
    p.aec_algorithm = 101;
    {
        mode::AECAlgorithm sel(&p, 160);
        auto* a = dynamic_cast<aec::OneLevelAEC*>(sel.stage());
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->taps(), 16);
        EXPECT_EQ(a->filter()->numColumns(), 16);
        EXPECT_EQ(sel.delay(), 0);
    }
    p.aec_algorithm = 100;
    {
        mode::AECAlgorithm sel(&p, 160);
        auto* a = dynamic_cast<aec::TwoLevelAEC*>(sel.stage());
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->taps(), 16);
        EXPECT_EQ(a->secondLevelSize(), 32);
        EXPECT_EQ(a->binsPerBlock(), 10);
        EXPECT_EQ(a->mixer()->filterLength(), 17);
        EXPECT_NE(dynamic_cast<const aec::AuxIVAAECMono*>(a->binCore(0)), nullptr);
        EXPECT_EQ(sel.delay(), 1);
    }
    p.aec_power = 5;
    p.numrefs = 2;
    {
        mode::AECAlgorithm sel(&p, 160);
        auto* a = dynamic_cast<aec::TwoLevelAEC*>(sel.stage());
        EXPECT_EQ(a->secondLevelSize(), 16);
        EXPECT_NE(dynamic_cast<const aec::AuxIVAAECStereo*>(a->finalCore()), nullptr);
    }
    p.numrefs = 3;
    {
        mode::AECAlgorithm sel(&p, 160);
        auto* a = dynamic_cast<aec::TwoLevelAEC*>(sel.stage());
        EXPECT_NE(dynamic_cast<const aec::AuxIVAAEC*>(a->binCore(7)), nullptr);
    }
    p.aec_algorithm = 202;
    p.aec_power = 0;
    EXPECT_EQ(test::errorOf([&] { mode::AECAlgorithm sel(&p, 160); }),
              "velmora, AECAlgorithm: Mono or stereo references required: 3");
    p.numrefs = 1;
    EXPECT_NE(dynamic_cast<aec::RETFAEC*>(mode::AECAlgorithm(&p, 160).stage()), nullptr);

    // Settings no canceller can work with are refused, naming key and value.
    auto refused = [&](int alg, int refs, int power) {
        p.aec_algorithm = alg;
        p.numrefs = refs;
        p.aec_power = power;
        return test::errorOf([&] { mode::AECAlgorithm sel(&p, 160); });
    };
    EXPECT_EQ(refused(100, 1, -1),
              "velmora, AECAlgorithm: Invalid aec_power: -1, allowed 0 to 256");
    EXPECT_EQ(refused(100, 1, 257),
              "velmora, AECAlgorithm: Invalid aec_power: 257, allowed 0 to 256");
    EXPECT_EQ(refused(100, 9, 0), "velmora, AECAlgorithm: Invalid numrefs: 9, allowed 1 to 8");
    EXPECT_EQ(refused(101, 2, 65), "velmora, AECAlgorithm: Invalid aec_power: 65, allowed 0 to 64");
    EXPECT_EQ(refused(101, 1, -5),
              "velmora, AECAlgorithm: Invalid aec_power: -5, allowed 0 to 128");
    EXPECT_EQ(refused(202, 1, 1001),
              "velmora, AECAlgorithm: Invalid aec_power: 1001, allowed 0 to 1000");
    EXPECT_EQ(refused(201, 2, -1),
              "velmora, AECAlgorithm: Invalid aec_power: -1, allowed 0 to 1000");
    EXPECT_EQ(refused(102, 1, 0), "velmora, AECAlgorithm: Unsupported AEC algorithm: 102");
    // Too many microphones for the two-level state.
    p.nummics = 99;
    EXPECT_EQ(refused(100, 8, 128).rfind("velmora, AECAlgorithm: ", 0), std::string::npos);
    EXPECT_NE(test::errorOf([] { aec::TwoLevelAEC a(99, 8, 640, 128); }).find("above the limit"),
              std::string::npos);
}

// OneLevelAEC's recursion written out plainly in double precision: G and Q per bin, W = G Q.
struct OneLevelModel {
    int M, R, K, L, N;
    std::vector<cd> X, Q, G, W;  // per bin: N; N x N; M x N; M x N
    OneLevelModel(int m, int r, int k, int l) : M(m), R(r), K(k), L(l), N(r * l) {
        X.assign(static_cast<size_t>(K * N), 0.0);
        Q.assign(static_cast<size_t>(K * N * N), 0.0);
        G.assign(static_cast<size_t>(K * M * N), 0.0);
        W.assign(static_cast<size_t>(K * M * N), 0.0);
        for (int k = 0; k < K; ++k)
            for (int i = 0; i < N; ++i) Q[static_cast<size_t>((k * N + i) * N + i)] = 100000.0;
    }
    void process(const ComplexMatrix& mic, const ComplexMatrix& ref, std::vector<cd>* near,
                 std::vector<cd>* echo) {
        const double lambda = 0.995f;
        for (int k = 0; k < K; ++k) {
            cd* x = &X[static_cast<size_t>(k * N)];
            for (int j = N - 1; j >= R; --j) x[j] = x[j - R];
            for (int r = 0; r < R; ++r) x[r] = cd(ref.get(r, k));
            cd* q = &Q[static_cast<size_t>(k * N * N)];
            cd* g = &G[static_cast<size_t>(k * M * N)];
            cd* w = &W[static_cast<size_t>(k * M * N)];
            double p = 0.0;
            for (int m = 0; m < M; ++m) {
                cd e = 0.0;
                for (int j = 0; j < N; ++j) e += w[m * N + j] * x[j];
                const cd d = cd(mic.get(m, k));
                cd n = d - e;
                if (std::abs(n.real()) + std::abs(n.imag()) >
                    std::abs(d.real()) + std::abs(d.imag()))
                    n = d;
                (*near)[static_cast<size_t>(m * K + k)] = n;
                (*echo)[static_cast<size_t>(m * K + k)] = e;
                p += std::norm(n);
            }
            const double s = (1.0 - lambda) * std::pow(p + 0.01, -0.9);
            std::vector<cd> u(static_cast<size_t>(N), 0.0);
            double xqx = 0.0;
            for (int i = 0; i < N; ++i) {
                for (int j = 0; j < N; ++j) u[i] += q[i * N + j] * x[j];
                xqx += (std::conj(x[i]) * u[i]).real();
            }
            double trace = 0.0;
            for (int i = 0; i < N; ++i) {
                for (int j = 0; j < N; ++j)
                    q[i * N + j] =
                        (q[i * N + j] - s / (lambda + s * xqx) * u[i] * std::conj(u[j])) / lambda;
                trace += q[i * N + i].real();
            }
            if (trace > 100000.0 * N)
                for (int i = 0; i < N * N; ++i) q[i] *= 0.01;
            for (int m = 0; m < M; ++m) {
                const cd d = cd(mic.get(m, k));
                for (int j = 0; j < N; ++j)
                    g[m * N + j] = lambda * g[m * N + j] + s * d * std::conj(x[j]);
                for (int j = 0; j < N; ++j) {
                    cd acc = 0.0;
                    for (int i = 0; i < N; ++i) acc += g[m * N + i] * q[i * N + j];
                    w[m * N + j] = acc;
                }
            }
        }
    }
};

TEST(MultiTapAEC, OneLevelFollowsThePlainRecursion) {
    for (int R : {1, 2}) {
        const int M = 2, K = 6, L = 3;
        Scene scene(M, R, K, 3, 10 + R);
        aec::OneLevelAEC aec(M, R, K, L);
        OneLevelModel model(M, R, K, L);
        ComplexMatrix mic(M, K), ref(R, K), near(M, K), echo(M, K);
        std::vector<cd> mNear(static_cast<size_t>(M * K)), mEcho(static_cast<size_t>(M * K));
        double worst = 0.0;
        for (int b = 0; b < 400; ++b) {
            scene.next(&ref, &mic, b >= 200 && b < 260 ? 1.0f : 0.05f);  // a burst of double talk
            aec.process(&mic, &ref, &near, &echo);
            model.process(mic, ref, &mNear, &mEcho);
            double diff = 0.0, size = 0.0;
            for (int m = 0; m < M; ++m)
                for (int k = 0; k < K; ++k) {
                    ASSERT_LE(l1(near.get(m, k)), l1(mic.get(m, k)));
                    diff += std::norm(cd(echo.get(m, k)) - mEcho[static_cast<size_t>(m * K + k)]);
                    size += std::norm(cd(mic.get(m, k)));
                }
            worst = std::max(worst, std::sqrt(diff / size));
        }
        EXPECT_LT(worst, 1e-3) << R << " references";
        // And it has learnt the path: the echo-only residual is far below the microphone.
        double pm = 0.0, pn = 0.0;
        for (int b = 0; b < 50; ++b) {
            scene.next(&ref, &mic);
            aec.process(&mic, &ref, &near, &echo);
            pm += power(mic);
            pn += power(near);
        }
        EXPECT_GT(10.0 * std::log10(pm / pn), 30.0) << R << " references";
        // Long runs stay converged (the inverse correlation is kept exactly Hermitian).
        pm = pn = 0.0;
        for (int b = 0; b < 20000; ++b) {
            scene.next(&ref, &mic, 0.01f);
            aec.process(&mic, &ref, &near, &echo);
            if (b >= 19900) pm += power(mic), pn += power(near);
        }
        EXPECT_GT(10.0 * std::log10(pm / pn), 30.0) << R << " references";
    }
}

// A long silence of the reference: the inverse correlation would grow by 1 / lambda per block
// (beyond float range within 20000 blocks); the trace guard keeps it at most at its initial
// trace, and the canceller converges again as soon as the echo comes back. The same for the
// general single-tap core.
TEST(MultiTapAEC, TraceGuardsCatchARunawayInverse) {
    const int M = 1, R = 1, K = 4, L = 16, N = R * L;
    Scene scene(M, R, K, 3, 7);
    aec::OneLevelAEC aec(M, R, K, L);
    ComplexMatrix mic(M, K), ref(R, K), near(M, K), echo(M, K), silence(R, K);
    auto erleOf = [&](int blocks) {
        double pm = 0.0, pn = 0.0;
        for (int b = 0; b < blocks; ++b) {
            scene.next(&ref, &mic);
            aec.process(&mic, &ref, &near, &echo);
            if (b >= blocks / 2) pm += power(mic), pn += power(near);
        }
        return 10.0 * std::log10(pm / pn);
    };
    EXPECT_GT(erleOf(100), 30.0);
    double worst = 0.0;
    for (int b = 0; b < 20000; ++b) {
        aec.process(&silence, &silence, &near, &echo);
        for (int k = 0; k < K; ++k) {
            double trace = 0.0;
            for (int i = 0; i < N; ++i) trace += aec.inverseCorrelation()->get(i, i, k).real();
            worst = std::max(worst, trace);
        }
    }
    EXPECT_LE(worst, 100000.0 * N * 1.01);
    EXPECT_GT(erleOf(200), 30.0);

    aec::AuxIVAAEC core(M, 3, K, 0.99f, true);
    ComplexMatrix silent3(3, K);
    worst = 0.0;
    for (int b = 0; b < 20000; ++b) {
        core.process(&silence, &silent3, &near, &echo);
        for (int k = 0; k < K; ++k) {
            double trace = 0.0;
            for (int i = 0; i < 3; ++i) trace += core.inverseCovariance()->get(i, i, k).real();
            worst = std::max(worst, trace);
        }
    }
    EXPECT_LE(worst, 300000.0 * 1.02);
}

TEST(MultiTapAEC, CoresLearnSingleTapPathsAndLimitTheNearEnd) {
    const int M = 3, K = 12;
    for (int R : {1, 2, 3}) {
        std::unique_ptr<aec::AECCore> cores[2];
        cores[0] = std::make_unique<aec::AuxIVAAEC>(M, R, K, 0.99f, true);
        if (R == 1) cores[1] = std::make_unique<aec::AuxIVAAECMono>(M, K, 0.99f, false);
        if (R == 2) cores[1] = std::make_unique<aec::AuxIVAAECStereo>(M, K, 0.99f, false);
        for (auto& core : cores) {
            if (!core) continue;
            Scene scene(M, R, K, 1, 20 + R);
            ComplexMatrix mic(M, K), ref(R, K), copy(R, K), near(M, K), echo(M, K);
            for (int b = 0; b < 300; ++b) {
                scene.next(&ref, &mic, 0.01f);
                copy.copy(&ref);
                core->process(&mic, &ref, &near, &echo);
                for (int m = 0; m < M; ++m)
                    for (int k = 0; k < K; ++k) {
                        ASSERT_LE(l1(near.get(m, k)), l1(mic.get(m, k)));
                        const Complex n = near.get(m, k), x = mic.get(m, k);
                        ASSERT_TRUE(n == x || n == x - echo.get(m, k));
                    }
                // The caller's references are never changed (the offset goes on a copy).
                for (int r = 0; r < R; ++r)
                    for (int k = 0; k < K; ++k) ASSERT_EQ(ref.get(r, k), copy.get(r, k));
            }
            double worst = 0.0;
            for (int m = 0; m < M; ++m)
                for (int r = 0; r < R; ++r)
                    for (int k = 0; k < K; ++k)
                        worst = std::max(worst, double(std::abs(core->filter()->get(m, r, k) -
                                                                scene.h(m, r, 0, k))));
            EXPECT_LT(worst, 0.05) << R << " references, core " << (&core - cores);
        }
    }
    // Two identical references: the stereo covariance stays invertible and the echo (any split
    // of the path between the two) is cancelled.
    aec::AuxIVAAECStereo core(1, 4, 0.99f, true);
    ComplexMatrix mic(1, 4), ref(2, 4), near(1, 4), echo(1, 4);
    std::mt19937 rng(5);
    std::normal_distribution<float> g(0.0f, 1.0f);
    double pm = 0.0, pn = 0.0;
    for (int b = 0; b < 400; ++b) {
        for (int k = 0; k < 4; ++k) {
            const Complex x(g(rng), g(rng));
            ref.set(0, k, x);
            ref.set(1, k, x);
            mic.set(0, k, Complex(0.5f, -0.3f) * x);
        }
        core.process(&mic, &ref, &near, &echo);
        if (b >= 300) pm += power(mic), pn += power(near);
    }
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) ASSERT_TRUE(std::isfinite(core.inverse()->real(i, j, k)));
    EXPECT_GT(10.0 * std::log10(pm / pn), 30.0);
}

TEST(MultiTapAEC, TwoLevelLongPathDelayAndStart) {
    // A path of 12 blocks per bin; 32 bins, so each bin's long filter is re-estimated every 16
    // blocks. The output is the near end of the previous block; the first block is zero.
    const int M = 2, R = 1, K = 32;
    Scene scene(M, R, K, 12, 31);
    aec::TwoLevelAEC aec(M, R, K, 0);
    ComplexMatrix mic(M, K), ref(R, K), near(M, K), echo(M, K), trueEcho(M, K), prevEcho(M, K);
    double pe = 0.0, pn = 0.0;
    for (int b = 0; b < 1500; ++b) {
        prevEcho.copy(&trueEcho);
        scene.next(&ref, &mic, 0.0f, &trueEcho);
        aec.process(&mic, &ref, &near, &echo);
        if (b == 0) {
            EXPECT_EQ(power(near) + power(echo), 0.0);
        }
        if (b >= 1300) {
            pe += power(prevEcho);
            pn += power(near);
        }
    }
    EXPECT_GT(10.0 * std::log10(pe / pn), 20.0);

    // Fewer than 16 bins: no long filter; the final canceller alone cancels a one-block path
    // against the delayed microphone, and its near end never exceeds that microphone.
    Scene small(1, 1, 8, 1, 32);
    aec::TwoLevelAEC shortAec(1, 1, 8, 0);
    EXPECT_EQ(shortAec.binsPerBlock(), 0);
    ComplexMatrix m1(1, 8), r1(1, 8), n1(1, 8), e1(1, 8), last(1, 8);
    double pm1 = 0.0, pn1 = 0.0;
    for (int b = 0; b < 600; ++b) {
        last.copy(&m1);
        small.next(&r1, &m1, 0.01f);
        shortAec.process(&m1, &r1, &n1, &e1);
        for (int k = 0; k < 8; ++k) ASSERT_LE(l1(n1.get(0, k)), l1(last.get(0, k)));
        if (b >= 500) pm1 += power(last), pn1 += power(n1);
    }
    EXPECT_GT(10.0 * std::log10(pm1 / pn1), 20.0);
    for (int t = 0; t < 17; ++t)
        for (int k = 0; k < 8; ++k) ASSERT_EQ(shortAec.mixer()->filter(0, 0)->get(t, k), Complex());
}

TEST(MultiTapAEC, RelativeTransferFunctions) {
    const int K = 16;
    // One microphone: exactly the default canceller's core with the level-0 preset.
    {
        aec::DualAFGeneral dual(1, 1, K, 0, 0);
        ComplexMatrix mic(1, K), n1(1, K), e1(1, K), n2(1, K), e2(1, K);
        Scene s1(1, 1, K, 3, 42);
        aec::RETFAEC a(1, 1, K, 0);
        ComplexMatrix r(1, K);
        for (int b = 0; b < 300; ++b) {
            s1.next(&r, &mic, b % 50 < 5 ? 0.5f : 0.0f);
            a.process(&mic, &r, &n1, &e1);
            dual.process(&mic, &r, &n2, &e2);
            for (int k = 0; k < K; ++k) {
                ASSERT_EQ(n1.get(0, k), n2.get(0, k)) << b;
                ASSERT_EQ(e1.get(0, k), e2.get(0, k)) << b;
            }
        }
    }
    // Microphones whose echo is a fixed per-bin multiple of the first one's: once the first
    // microphone's estimate has built up, their echo goes too; the first microphone's near end
    // never carries more power than its microphone.
    const int M = 4;
    Scene scene(1, 1, K, 4, 43);
    std::vector<Complex> rtf(static_cast<size_t>(M * K));
    std::mt19937 rng(44);
    std::normal_distribution<float> g(0.0f, 1.0f);
    for (Complex& c : rtf) c = {g(rng), g(rng)};
    aec::RETFAEC aec(M, 1, K, 0);
    ComplexMatrix mic0(1, K), mic(M, K), ref(1, K), near(M, K), echo(M, K);
    std::vector<double> pm(M, 0.0), pn(M, 0.0);
    for (int b = 0; b < 2000; ++b) {
        scene.next(&ref, &mic0);
        for (int m = 0; m < M; ++m)
            for (int k = 0; k < K; ++k)
                mic.set(
                    m, k,
                    m == 0 ? mic0.get(0, k) : rtf[static_cast<size_t>(m * K + k)] * mic0.get(0, k));
        aec.process(&mic, &ref, &near, &echo);
        for (int k = 0; k < K; ++k) ASSERT_LE(near.norm(0, k), mic.norm(0, k));
        if (b >= 1500)
            for (int m = 0; m < M; ++m)
                for (int k = 0; k < K; ++k) pm[m] += mic.norm(m, k), pn[m] += near.norm(m, k);
    }
    EXPECT_GT(10.0 * std::log10(pm[0] / pn[0]), 30.0);
    for (int m = 1; m < M; ++m) EXPECT_GT(10.0 * std::log10(pm[m] / pn[m]), 30.0) << m;
}

// A block of NaN in the microphones and references: the output is finite again right after it
// and the cancellation recovers (201 for comparison).
TEST(MultiTapAEC, NonFiniteInputRecovers) {
    const int M = 2, R = 1, K = 32;
    for (int alg : {100, 101, 202, 201}) {
        std::unique_ptr<AECInterface> aec;
        if (alg == 201) aec = std::make_unique<aec::DualAFGeneral>(M, R, K, 4, 0);
        if (alg == 100) aec = std::make_unique<aec::TwoLevelAEC>(M, R, K, 4);
        if (alg == 101) aec = std::make_unique<aec::OneLevelAEC>(M, R, K, 4);
        if (alg == 202) aec = std::make_unique<aec::RETFAEC>(M, R, K, 4);
        Scene scene(M, R, K, 2, 50);
        ComplexMatrix mic(M, K), ref(R, K), near(M, K), echo(M, K);
        double pm = 0.0, pn = 0.0;
        for (int b = 0; b < 2400; ++b) {
            scene.next(&ref, &mic);
            if (b == 400) {
                mic.fill(NAN, 0.0f);
                ref.fill(INFINITY, NAN);
            }
            aec->process(&mic, &ref, &near, &echo);
            if (b > 401) {
                for (int m = 0; m < M; ++m)
                    for (int k = 0; k < K; ++k)
                        ASSERT_TRUE(std::isfinite(near.real(m, k)) &&
                                    std::isfinite(near.imag(m, k)))
                            << alg << " block " << b;
            }
            // (The first microphone: 202's other ones need echo paths related by one tap.)
            if (b >= 2200)
                for (int k = 0; k < K; ++k) pm += mic.norm(0, k), pn += near.norm(0, k);
        }
        EXPECT_GT(10.0 * std::log10(pm / pn), 15.0) << alg;
    }
}

TEST(MultiTapAEC, ProcessAllocatesNothing) {
    for (int alg : {100, 101, 202}) {
        Params p;
        p.nummics = 7;
        p.numrefs = 2;
        p.aec_algorithm = alg;
        mode::AECAlgorithm sel(&p, 160);
        Scene scene(7, 2, 160, 2, 60);
        ComplexMatrix mic(7, 160), ref(2, 160), near(7, 160), echo(7, 160);
        scene.next(&ref, &mic);
        sel.process(&mic, &ref, &near, &echo);
        test::AllocCounter count;
        for (int b = 0; b < 40; ++b) sel.process(&mic, &ref, &near, &echo);
        EXPECT_EQ(count.allocations(), 0) << alg;
    }
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

TEST(MultiTapAECDeathTest, Preconditions) {
    EXPECT_DEATH(aec::AuxIVAAECMono(1, 4, 1.5f, true), "forget >= 0.0 && forget <= 1.0");
    EXPECT_DEATH(aec::AuxIVAAECStereo(0, 4, 0.9f, true), "nummics > 0");
    EXPECT_DEATH(aec::AuxIVAAEC(1, 2, 0, 0.9f, false), "numbins > 0");
    EXPECT_DEATH(aec::OneLevelAEC(1, 0, 4, 0), "numrefs > 0");
    EXPECT_DEATH(aec::TwoLevelAEC(1, 1, 4, -1), "aflen >= 0");
    EXPECT_DEATH(aec::RETFAEC(1, 1, 4, -1), "aflen >= 0");
}

}  // namespace
}  // namespace velmora
