// The dual-filter echo canceller: construction and presets, reference activity and convergence
// bookkeeping, the choice between the two filters and their exchanges, the output limiter, two
// references, and echo cancellation through the whole engine in a synthetic room.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Params.h"
#include "aec/CSAECFDGeneral2.h"
#include "aec/DualAFGeneral.h"
#include "app/Velmora.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "mode/AECAlgorithm.h"
#include "scene/Scene.h"
#include "sio/WavSource.h"

using velmora::Params;
using velmora::aec::CSAECFDGeneral2;
using velmora::aec::DualAFGeneral;
using velmora::blas::Complex;
using velmora::blas::ComplexMatrix;
using velmora::blas::ComplexVector;

using velmora::test::errorOf;

namespace {

constexpr int K = 160;  // bins of a 10 ms block at 16 kHz

float power(const ComplexMatrix& m, int row) {
    float p = 0.0f;
    for (int k = 0; k < m.numColumns(); ++k) p += m.norm(row, k);
    return p;
}

bool columnIsZero(const ComplexMatrix* w, int k) {
    for (int l = 0; l < w->numRows(); ++l)
        if (w->get(l, k) != Complex(0.0f, 0.0f)) return false;
    return true;
}

// Spectral blocks of an echo scene: R random references (complex Gaussian, `refPower` per bin)
// reach each of M microphones through a per-bin FIR path of `pathTaps` blocks; an optional
// near-end signal is added. `echo` receives the true echo, `near` the true near-end.
class SubbandScene {
  public:
    SubbandScene(int M, int R, int pathTaps, unsigned seed, float refPower = 0.01f)
        : M_(M), R_(R), taps_(pathTaps), rng_(seed), refAmp_(std::sqrt(refPower / 2.0f)) {
        std::normal_distribution<float> n(0.0f, 1.0f);
        path_.resize(static_cast<size_t>(M * R * taps_ * K));
        for (int m = 0; m < M; ++m)
            for (int r = 0; r < R; ++r)
                for (int l = 0; l < taps_; ++l)
                    for (int k = 0; k < K; ++k) {
                        const float g = 0.7f * std::exp(-0.5f * static_cast<float>(l));
                        h(m, r, l, k) = Complex(g * n(rng_), g * n(rng_));
                    }
        past_.assign(static_cast<size_t>(R * taps_ * K), Complex(0.0f, 0.0f));
    }
    Complex& h(int m, int r, int l, int k) {
        return path_[static_cast<size_t>(((m * R_ + r) * taps_ + l) * K + k)];
    }
    // Zeroes every tap except `tap`: the path becomes a pure delay of that many blocks.
    void keepOnlyTap(int tap) {
        for (int m = 0; m < M_; ++m)
            for (int r = 0; r < R_; ++r)
                for (int l = 0; l < taps_; ++l)
                    for (int k = 0; k < K; ++k)
                        if (l != tap) h(m, r, l, k) = Complex(0.0f, 0.0f);
    }
    void negatePath() {
        for (Complex& c : path_) c = -c;
    }
    // One block. refScale scales the references (0: silent); nearPower the near-end per bin.
    void next(ComplexMatrix* ref, ComplexMatrix* mic, float refScale = 1.0f, float nearPower = 0.0f,
              ComplexMatrix* near = nullptr, ComplexMatrix* echo = nullptr, bool sameRefs = false) {
        std::normal_distribution<float> n(0.0f, 1.0f);
        // Shift the reference history: slot 0 of each reference is the newest block.
        for (int r = 0; r < R_; ++r) {
            Complex* p = &past_[static_cast<size_t>(r * taps_ * K)];
            std::copy_backward(p, p + (taps_ - 1) * K, p + taps_ * K);
            for (int k = 0; k < K; ++k) {
                p[k] = (sameRefs && r > 0)
                           ? past_[static_cast<size_t>(k)]
                           : Complex(refScale * refAmp_ * n(rng_), refScale * refAmp_ * n(rng_));
                ref->set(r, k, p[k]);
            }
        }
        const float nearAmp = std::sqrt(nearPower / 2.0f);
        for (int m = 0; m < M_; ++m)
            for (int k = 0; k < K; ++k) {
                Complex e(0.0f, 0.0f);
                for (int r = 0; r < R_; ++r)
                    for (int l = 0; l < taps_; ++l)
                        e += h(m, r, l, k) * past_[static_cast<size_t>((r * taps_ + l) * K + k)];
                const Complex s(nearAmp * n(rng_), nearAmp * n(rng_));
                mic->set(m, k, e + s);
                if (near) near->set(m, k, s);
                if (echo) echo->set(m, k, e);
            }
    }

  private:
    int M_, R_, taps_;
    std::mt19937 rng_;
    float refAmp_;
    std::vector<Complex> path_;
    std::vector<Complex> past_;
};

// A core with the parameters of the preset for aec_level 0.
std::unique_ptr<CSAECFDGeneral2> level0Core(int R, int aflen = 0) {
    auto c = std::make_unique<CSAECFDGeneral2>(16000, R, aflen, K);
    c->setStepSize(0.1f);
    c->setTapProfile(0);
    c->setUpdateLast(1);
    return c;
}

// ---- Time-domain scenes through the whole engine ----

constexpr int kFs = 16000;

std::vector<float> readWav(const std::string& path) {
    velmora::sio::WavSource src(path.c_str());
    const int ch = src.numChannels();
    std::vector<float> frame(static_cast<size_t>(ch)), mono;
    while (src.readFrames(frame.data(), 1) == 1) mono.push_back(frame[0]);
    return mono;
}

// Pink-ish noise (white noise through a leaky integrator), the stand-in for missing recordings.
std::vector<float> pinkNoise(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<float> v(static_cast<size_t>(n));
    float y = 0.0f;
    for (float& s : v) s = y = 0.95f * y + 0.05f * g(rng);
    return v;
}

// `seconds` of the named recordings one after the other (noise when there are none), scaled to
// an RMS of `rms`.
std::vector<float> signalOf(const std::vector<std::string>& files, double seconds, float rms,
                            unsigned seed) {
    const size_t n = static_cast<size_t>(seconds * kFs);
    std::vector<float> x;
    const std::string dir = velmora::test::testdataDir();
    if (!dir.empty()) {
        for (int pass = 0; pass < 8 && x.size() < n; ++pass)
            for (const std::string& f : files) {
                const std::vector<float> part = readWav(dir + "/" + f);
                x.insert(x.end(), part.begin(), part.end());
            }
    }
    if (x.size() < n) x = pinkNoise(static_cast<int>(n), seed);
    x.resize(n);
    double p = 0.0;
    for (float s : x) p += static_cast<double>(s) * s;
    const float g = rms / static_cast<float>(std::sqrt(p / static_cast<double>(n)) + 1e-12);
    for (float& s : x) s *= g;
    return x;
}

// Runs frame-major input (nummics + numrefs channels) through the engine and returns the
// single output channel advanced by the engine's delay, so it lines up with the input.
std::vector<float> runEngine(int aecAlgorithm, int numMics, int numRefs,
                             const std::vector<float>& in) {
    Params p;
    p.nummics = numMics;
    p.numrefs = numRefs;
    p.numouts = 1;
    p.aec_algorithm = aecAlgorithm;
    p.agc_algorithm = 0;
    p.ns_algorithm = 0;
    p.init_time = 0.0f;
    velmora::Velmora engine(p);
    return velmora::test::runAligned(engine, in, numMics + numRefs);
}

double energy(const std::vector<float>& x, size_t from, size_t to) {
    double e = 0.0;
    for (size_t i = from; i < to; ++i) e += static_cast<double>(x[i]) * x[i];
    return e;
}

double siSdr(const std::vector<float>& est, const std::vector<float>& target, size_t from,
             size_t to) {
    double et = 0.0, tt = 0.0;
    for (size_t i = from; i < to; ++i) et += static_cast<double>(est[i]) * target[i];
    tt = energy(target, from, to);
    const double a = et / tt;
    double num = 0.0, den = 0.0;
    for (size_t i = from; i < to; ++i) {
        const double t = a * target[i], d = t - est[i];
        num += t * t;
        den += d * d;
    }
    return 10.0 * std::log10(num / den);
}

const std::vector<std::string> kSpeech = {
    "speech/cmu_arctic_us_aew_a0001.wav", "speech/cmu_arctic_us_aew_a0002.wav",
    "speech/cmu_arctic_us_aew_a0003.wav", "speech/arctic_a0010.wav"};

}  // namespace

TEST(DualAFGeneral, ConstructionPresetsAndPreconditions) {
    DualAFGeneral aec(3, 2, K, 0, 0);
    EXPECT_EQ(aec.numMics(), 3);
    EXPECT_EQ(aec.numRefs(), 2);
    EXPECT_EQ(aec.numBins(), K);
    EXPECT_EQ(aec.delay(), 0);
    EXPECT_EQ(aec.core(2)->taps(), 15);    // aflen 0 selects 15 taps
    EXPECT_EQ(aec.core(0)->bandLow(), 5);  // 300 Hz .. 3450 Hz at 50 Hz per bin
    EXPECT_EQ(aec.core(0)->bandHigh(), 68);
    EXPECT_EQ(DualAFGeneral(1, 1, K, 7, 0).core(0)->taps(), 7);

    // aec_level is truncated toward zero: 0.9 is the first preset, -1.5 the second.
    Params p;
    p.nummics = 2;
    p.numrefs = 1;
    p.aec_algorithm = 201;
    // Levels beyond the int range count as non-zero, NaN as zero.
    for (float level : {0.0f, 0.9f, -0.9f, -1.5f, 2.0f, 3e9f, -1e30f, std::nanf("")}) {
        p.aec_level = level;
        velmora::mode::AECAlgorithm sel(&p, K);
        auto* dual = dynamic_cast<DualAFGeneral*>(sel.stage());
        ASSERT_NE(dual, nullptr);
        const bool first = std::isnan(level) || std::fabs(level) < 1.0f;
        for (int m = 0; m < 2; ++m) {
            const CSAECFDGeneral2* c = dual->core(m);
            EXPECT_FLOAT_EQ(c->stepSize(), first ? 0.1f : 0.05f) << level;
            EXPECT_EQ(c->updateLast(), first ? 1 : 0) << level;
            EXPECT_EQ(c->tapProfile(), first ? 0 : 1) << level;
            EXPECT_EQ(c->iterations(), 1);
        }
    }
    p.aec_power = 5000;
    EXPECT_EQ(errorOf([&] { velmora::mode::AECAlgorithm a(&p, K); }),
              "velmora, AECAlgorithm: Invalid aec_power: 5000, allowed 0 to 1000");

    EXPECT_DEATH(DualAFGeneral(0, 1, K, 0, 0), velmora::test::literal("nummics > 0"));
    EXPECT_DEATH(DualAFGeneral(1, 3, K, 0, 0),
                 velmora::test::literal("numrefs == 1 || numrefs == 2"));
    EXPECT_DEATH(DualAFGeneral(1, 1, 0, 0, 0), velmora::test::literal("numbins > 0"));
    EXPECT_DEATH(DualAFGeneral(1, 1, K, -1, 0), velmora::test::literal("aflen >= 0"));
    EXPECT_DEATH(CSAECFDGeneral2(0, 1, 0, K), velmora::test::literal("fs > 0"));

    ComplexMatrix mic(3, K), ref(2, K), out(3, K), echo(3, K), bad(2, K), ref1(1, K);
    EXPECT_DEATH(
        aec.process(&bad, &ref, &out, &echo),
        velmora::test::literal("mic->numRows() == numMics() && mic->numColumns() == numBins()"));
    EXPECT_DEATH(
        aec.process(&mic, &ref1, &out, &echo),
        velmora::test::literal("ref->numRows() == numRefs() && ref->numColumns() == numBins()"));
    EXPECT_DEATH(aec.process(&mic, &ref, &bad, &echo),
                 velmora::test::literal(
                     "nearend->numRows() == numMics() && nearend->numColumns() == numBins()"));
    EXPECT_DEATH(
        aec.process(&mic, &ref, &out, &bad),
        velmora::test::literal("echo->numRows() == numMics() && echo->numColumns() == numBins()"));
}

TEST(DualAFGeneral, SilentOrQuietReferenceLeavesFiltersAtZero) {
    for (float refScale : {0.0f, 0.02f}) {  // 0.02: band power far below 2^-5
        DualAFGeneral aec(2, 1, K, 0, 0);
        SubbandScene scene(2, 1, 4, 3);
        ComplexMatrix mic(2, K), ref(1, K), out(2, K), echo(2, K);
        std::mt19937 rng(5);
        std::normal_distribution<float> n(0.0f, 0.3f);
        for (int b = 0; b < 150; ++b) {
            scene.next(&ref, &mic, refScale);
            for (int k = 0; k < K; ++k) mic.at(1, k) += Complex(n(rng), n(rng));
            aec.process(&mic, &ref, &out, &echo);
            for (int m = 0; m < 2; ++m)
                for (int k = 0; k < K; ++k) ASSERT_EQ(out.get(m, k), mic.get(m, k));
        }
        for (int m = 0; m < 2; ++m) {
            const CSAECFDGeneral2* c = aec.core(m);
            EXPECT_FALSE(c->refSeen());
            EXPECT_FALSE(c->adapting());
            EXPECT_FALSE(c->converged());
            for (int k = 0; k < K; ++k) {
                EXPECT_TRUE(columnIsZero(c->adaptive(0), k));
                EXPECT_TRUE(columnIsZero(c->shadow(0), k));
            }
        }
    }
}

TEST(DualAFGeneral, ReferenceActivityAndConvergenceCountdowns) {
    // Seven active blocks set refSeen (countdown -6 .. 0, then one more block); convergence
    // follows 102 blocks of counting, the first of them the block that set refSeen.
    auto run = [](CSAECFDGeneral2* c, SubbandScene* s, int blocks, float refScale, int* seenAt,
                  int* convergedAt, int start) {
        ComplexMatrix mic(1, K), ref(c->numRefs(), K), out(1, K), echo(1, K);
        ComplexVector micRow(K), outRow(K), echoRow(K);
        for (int b = 0; b < blocks; ++b) {
            s->next(&ref, &mic, refScale);
            mic.getRow(0, &micRow);
            c->process(&micRow, &ref, &outRow, &echoRow);
            if (c->refSeen() && *seenAt < 0) *seenAt = start + b + 1;
            if (c->converged() && *convergedAt < 0) *convergedAt = start + b + 1;
        }
    };
    {
        auto c = level0Core(1);
        SubbandScene s(1, 1, 3, 11);
        int seen = -1, conv = -1;
        run(c.get(), &s, 6, 1.0f, &seen, &conv, 0);
        EXPECT_EQ(seen, -1);
        EXPECT_FALSE(c->adapting());
        EXPECT_TRUE(columnIsZero(c->adaptive(0), 20));  // no step before refSeen
        run(c.get(), &s, 1, 1.0f, &seen, &conv, 6);
        EXPECT_EQ(seen, 7);
        EXPECT_TRUE(c->adapting());
        // Once seen, a silent reference neither clears refSeen nor stops the convergence count.
        run(c.get(), &s, 20, 0.0f, &seen, &conv, 7);
        EXPECT_TRUE(c->refSeen());
        run(c.get(), &s, 100, 1.0f, &seen, &conv, 27);
        EXPECT_EQ(conv, 108);
    }
    {
        // One quiet block restarts the countdown.
        auto c = level0Core(1);
        SubbandScene s(1, 1, 3, 12);
        int seen = -1, conv = -1;
        run(c.get(), &s, 4, 1.0f, &seen, &conv, 0);
        run(c.get(), &s, 1, 0.02f, &seen, &conv, 4);
        run(c.get(), &s, 10, 1.0f, &seen, &conv, 5);
        EXPECT_EQ(seen, 12);
    }
    {
        // The threshold is -5 in log2 per reference: a band power of 2^-8 is inactive for one
        // reference and active for two (threshold 2^-10). 64 band bins at the chosen power.
        const float perBin = std::pow(2.0f, -8.0f) / 64.0f / 1.05f;
        for (int R : {1, 2}) {
            auto c = level0Core(R);
            SubbandScene s(1, R, 3, 13, perBin / R);
            int seen = -1, conv = -1;
            run(c.get(), &s, 30, 1.0f, &seen, &conv, 0);
            EXPECT_EQ(seen, R == 1 ? -1 : 7) << R;
        }
    }
    {
        // Without the convergence detector the filter adapts but never counts as converged.
        auto c = level0Core(1);
        c->setConvergenceDetect(0);
        SubbandScene s(1, 1, 3, 14);
        int seen = -1, conv = -1;
        run(c.get(), &s, 150, 1.0f, &seen, &conv, 0);
        EXPECT_EQ(seen, 7);
        EXPECT_EQ(conv, -1);
        EXPECT_FALSE(columnIsZero(c->adaptive(0), 20));
    }
}

TEST(DualAFGeneral, EchoOnlyConvergesAndShadowTakesOver) {
    for (int level : {0, 1}) {
        const int M = 2;
        DualAFGeneral aec(M, 1, K, 0, level);
        SubbandScene scene(M, 1, 6, 21);
        ComplexMatrix mic(M, K), ref(1, K), out(M, K), echo(M, K), trueEcho(M, K);
        double micP = 0.0, outP = 0.0, echoErr = 0.0, echoP = 0.0;
        // Per bin: the blocks at which an exchange or reset happened, and whether the shadow
        // column was zero afterwards (a reset of a diverged shadow, which needs no wait).
        std::vector<int> lastCopy(K, -100);
        for (int b = 0; b < 700; ++b) {
            scene.next(&ref, &mic, 1.0f, 0.0f, nullptr, &trueEcho);
            aec.process(&mic, &ref, &out, &echo);
            for (int k = 0; k < K; ++k) {
                if (aec.core(0)->swapCount(k) != 0) continue;
                if (columnIsZero(aec.core(0)->shadow(0), k)) continue;
                EXPECT_GE(b - lastCopy[static_cast<size_t>(k)], 8) << "bin " << k;
                lastCopy[static_cast<size_t>(k)] = b;
            }
            if (b >= 600) {
                for (int m = 0; m < M; ++m) {
                    micP += power(mic, m);
                    outP += power(out, m);
                    for (int k = 0; k < K; ++k) {
                        echoErr += std::norm(echo.get(m, k) - trueEcho.get(m, k));
                        echoP += trueEcho.norm(m, k);
                    }
                }
            }
        }
        const double erle = 10.0 * std::log10(micP / outP);
        EXPECT_GT(erle, 25.0) << "level " << level;
        EXPECT_LT(echoErr / echoP, 0.02) << "level " << level;
        // The shadow filter holds a copy of the converged filter in nearly every bin.
        int copied = 0;
        for (int k = 0; k < K; ++k) copied += !columnIsZero(aec.core(1)->shadow(0), k);
        EXPECT_GT(copied, K * 9 / 10) << "level " << level;
        EXPECT_TRUE(aec.core(0)->converged());
    }
}

TEST(DualAFGeneral, StepControlsConverge) {
    // The optional step controls (per-bin error limit, error limiter, regularised step) only
    // shape the adaptation once converged; echo-only they must keep cancelling.
    struct Variant {
        int stepControl, regularised;
    };
    for (Variant v : {Variant{1, 0}, Variant{2, 0}, Variant{0, 1}, Variant{2, 1}}) {
        auto c = level0Core(1);
        c->setStepControl(v.stepControl);
        c->setRegularisedStep(v.regularised);
        SubbandScene scene(1, 1, 5, 31);
        ComplexMatrix mic(1, K), ref(1, K);
        ComplexVector micRow(K), outRow(K), echoRow(K);
        double micP = 0.0, outP = 0.0;
        for (int b = 0; b < 500; ++b) {
            scene.next(&ref, &mic);
            // A reference bin that is always zero must not make the regularised step 0 / 0.
            ref.set(0, 0, 0.0f, 0.0f);
            mic.getRow(0, &micRow);
            c->process(&micRow, &ref, &outRow, &echoRow);
            if (b >= 400)
                for (int k = 1; k < K; ++k) micP += micRow.norm(k), outP += outRow.norm(k);
        }
        EXPECT_TRUE(c->converged());
        EXPECT_GT(10.0 * std::log10(micP / outP), 15.0) << v.stepControl << " " << v.regularised;
        for (int l = 0; l < c->taps(); ++l)
            for (int k = 0; k < K; ++k)
                ASSERT_TRUE(std::isfinite(c->adaptive(0)->real(l, k)))
                    << v.stepControl << " " << v.regularised;
    }
}

TEST(DualAFGeneral, TwoReferences) {
    // Identical references: the difference row of the transformed references is zero and the
    // sum row is the reference.
    {
        DualAFGeneral aec(1, 2, K, 0, 0);
        SubbandScene scene(1, 2, 3, 41);
        ComplexMatrix mic(1, K), ref(2, K), out(1, K), echo(1, K);
        scene.next(&ref, &mic, 1.0f, 0.0f, nullptr, nullptr, true);
        aec.process(&mic, &ref, &out, &echo);
        for (int k = 0; k < K; ++k) {
            EXPECT_EQ(aec.refMix()->get(1, k), Complex(0.0f, 0.0f));
            EXPECT_EQ(aec.refMix()->get(0, k), ref.get(0, k));
        }
    }
    // Independent references (a stereo far end) through different paths are both cancelled.
    for (int level : {0, 1}) {
        DualAFGeneral aec(2, 2, K, 0, level);
        SubbandScene scene(2, 2, 5, 42);
        ComplexMatrix mic(2, K), ref(2, K), out(2, K), echo(2, K);
        double micP = 0.0, outP = 0.0;
        for (int b = 0; b < 500; ++b) {
            scene.next(&ref, &mic);
            aec.process(&mic, &ref, &out, &echo);
            if (b == 0) {
                for (int k = 0; k < K; ++k)
                    EXPECT_NEAR(
                        std::abs(aec.refMix()->get(1, k) - 0.5f * (ref.get(0, k) - ref.get(1, k))),
                        0.0f, 1e-7f);
            }
            if (b >= 400)
                for (int m = 0; m < 2; ++m) micP += power(mic, m), outP += power(out, m);
        }
        EXPECT_GT(10.0 * std::log10(micP / outP), 15.0) << "level " << level;
    }
}

TEST(DualAFGeneral, OutputChoiceAndFilterExchanges) {
    DualAFGeneral aec(1, 1, K, 0, 0);
    SubbandScene scene(1, 1, 5, 51);
    ComplexMatrix mic(1, K), ref(1, K), out(1, K), echo(1, K);
    const CSAECFDGeneral2* core = aec.core(0);
    std::vector<int> lastExchange(K, -100);
    auto step = [&](int b) {
        scene.next(&ref, &mic);
        aec.process(&mic, &ref, &out, &echo);
        for (int k = 0; k < K; ++k)
            if (core->swapCount(k) == 0) lastExchange[static_cast<size_t>(k)] = b;
    };
    // While the adaptive filter converges the shadow takes it over, bin by bin.
    int b = 0;
    for (; b < 150; ++b) step(b);
    int shadowBins = 0;
    for (int k = 0; k < K; ++k) shadowBins += !columnIsZero(core->shadow(0), k);
    ASSERT_GT(shadowBins, K * 8 / 10);

    // The echo path turns over. The shadow filter, now far worse than the microphone, is
    // cleared; in bins whose last copy was only a few blocks ago that happens at once, without
    // waiting for the hold count of the copies.
    scene.negatePath();
    const std::vector<int> before = lastExchange;
    int early = 0;
    for (int i = 0; i < 5; ++i, ++b) {
        step(b);
        for (int k = 0; k < K; ++k)
            if (lastExchange[static_cast<size_t>(k)] == b && columnIsZero(core->shadow(0), k) &&
                b - before[static_cast<size_t>(k)] < 8)
                ++early;
    }
    EXPECT_GT(early, 0);
    for (int i = 0; i < 145; ++i, ++b) step(b);
    int cleared = 0;
    for (int k = 0; k < K; ++k) cleared += columnIsZero(core->shadow(0), k);
    EXPECT_GT(cleared, K * 8 / 10);

    // The adaptive filter re-converges and the shadow takes it over again.
    double micP = 0.0, outP = 0.0;
    for (int i = 0; i < 1200; ++i, ++b) {
        step(b);
        if (i >= 1100) micP += power(mic, 0), outP += power(out, 0);
    }
    EXPECT_GT(10.0 * std::log10(micP / outP), 20.0);
    int copied = 0;
    for (int k = 0; k < K; ++k) copied += !columnIsZero(core->shadow(0), k);
    EXPECT_GT(copied, K * 9 / 10);

    // A microphone quieter than both filter errors (here silent while the reference plays):
    // the near end is the microphone and the echo estimate 0, in every bin.
    scene.next(&ref, &mic);
    mic.fill(0.0f, 0.0f);
    aec.process(&mic, &ref, &out, &echo);
    for (int k = 0; k < K; ++k) {
        EXPECT_EQ(out.get(0, k), Complex(0.0f, 0.0f));
        EXPECT_EQ(echo.get(0, k), Complex(0.0f, 0.0f));
    }
}

TEST(DualAFGeneral, ShadowFilterProtectsAgainstDoubleTalk) {
    // A converged canceller meets a loud near-end burst. The adaptive filter is dragged away;
    // the dual canceller keeps serving the shadow and restores the adaptive filter from it, so
    // the echo left in its output (during and after the burst) is smaller than with one filter.
    auto residual = [](int dual) {
        auto c = level0Core(1);
        c->setDualFilter(dual);
        SubbandScene scene(1, 1, 5, 61);
        ComplexMatrix mic(1, K), ref(1, K), near(1, K), echo(1, K);
        ComplexVector micRow(K), outRow(K), echoRow(K);
        double left = 0.0;
        for (int b = 0; b < 500; ++b) {
            const bool burst = b >= 300 && b < 340;
            scene.next(&ref, &mic, 1.0f, burst ? 1.0f : 0.0f, &near, &echo);
            mic.getRow(0, &micRow);
            c->process(&micRow, &ref, &outRow, &echoRow);
            if (b >= 340 && b < 400)
                for (int k = 0; k < K; ++k) left += std::norm(outRow.get(k) - near.get(0, k));
        }
        return left;
    };
    const double single = residual(0), dual = residual(1);
    EXPECT_LT(dual, 0.5 * single) << "single " << single << " dual " << dual;
}

TEST(DualAFGeneral, OutputNeverExceedsMicrophone) {
    // Unrelated microphone and references, both presets, two references: in every bin of every
    // block the near-end output carries no more power than the microphone.
    for (int level : {0, 1}) {
        DualAFGeneral aec(3, 2, K, 4, level);
        std::mt19937 rng(71);
        std::normal_distribution<float> n(0.0f, 1.0f);
        ComplexMatrix mic(3, K), ref(2, K), out(3, K), echo(3, K);
        for (int b = 0; b < 300; ++b) {
            for (int r = 0; r < 2; ++r)
                for (int k = 0; k < K; ++k) ref.set(r, k, 0.2f * n(rng), 0.2f * n(rng));
            for (int m = 0; m < 3; ++m)
                for (int k = 0; k < K; ++k) {
                    const float g = (b / 20) % 2 ? 0.01f : 1.0f;  // loud and quiet stretches
                    mic.set(m, k, g * n(rng), g * n(rng));
                }
            aec.process(&mic, &ref, &out, &echo);
            for (int m = 0; m < 3; ++m)
                for (int k = 0; k < K; ++k)
                    ASSERT_LE(out.norm(m, k), mic.norm(m, k) * (1.0f + 1e-6f))
                        << "block " << b << " bin " << k;
        }
    }
    // With a single filter the limiter is what holds the bound: a converged filter whose
    // microphone falls silent would output its whole echo estimate; the limiter passes the
    // microphone instead and notes the ratio 1.
    auto c = level0Core(1);
    c->setDualFilter(0);
    SubbandScene scene(1, 1, 4, 72);
    ComplexMatrix mic(1, K), ref(1, K);
    ComplexVector micRow(K), outRow(K), echoRow(K);
    for (int b = 0; b < 200; ++b) {
        scene.next(&ref, &mic);
        mic.getRow(0, &micRow);
        c->process(&micRow, &ref, &outRow, &echoRow);
    }
    scene.next(&ref, &mic);
    for (int k = 0; k < K; ++k) micRow.set(k, 1e-4f, 0.0f);
    c->process(&micRow, &ref, &outRow, &echoRow);
    int limited = 0;
    for (int k = 0; k < K; ++k) {
        EXPECT_LE(outRow.norm(k), micRow.norm(k) * (1.0f + 1e-6f));
        if (c->outRatio()->get(k) == 1.0f) {
            ++limited;
            EXPECT_EQ(outRow.get(k), micRow.get(k));
        }
    }
    EXPECT_GT(limited, K * 9 / 10);
}

TEST(DualAFGeneral, LearnedTapProfileFollowsThePath) {
    // The second preset learns per-tap update weights once converged: with an echo path that
    // is a pure delay of two blocks, the weight of that tap (row L - 1 - 2) dominates; the
    // weights sum to profileMix * 0.99 + (1 - profileMix).
    DualAFGeneral aec(1, 1, K, 8, 1);
    SubbandScene scene(1, 1, 4, 81);
    scene.keepOnlyTap(2);
    ComplexMatrix mic(1, K), ref(1, K), out(1, K), echo(1, K);
    for (int b = 0; b < 300; ++b) {
        scene.next(&ref, &mic);
        aec.process(&mic, &ref, &out, &echo);
    }
    const velmora::blas::Vector* profile = aec.core(0)->profile();
    double sum = 0.0;
    int best = 0;
    for (int l = 0; l < 8; ++l) {
        sum += profile->get(l);
        if (profile->get(l) > profile->get(best)) best = l;
    }
    EXPECT_EQ(best, 8 - 1 - 2);
    EXPECT_NEAR(sum, 0.5 * 0.99 + 0.5, 1e-4);
    EXPECT_GT(profile->get(best), 0.4f);
    // The first preset keeps the uniform initial weights.
    DualAFGeneral plain(1, 1, K, 8, 0);
    for (int b = 0; b < 150; ++b) {
        scene.next(&ref, &mic);
        plain.process(&mic, &ref, &out, &echo);
    }
    EXPECT_FLOAT_EQ(plain.core(0)->profile()->get(3), 0.8f / 8.0f);
}

TEST(DualAFGeneral, NearEndMayOverwriteTheMicrophoneBlock) {
    for (int level : {0, 1}) {
        DualAFGeneral apart(2, 1, K, 0, level), inPlace(2, 1, K, 0, level);
        SubbandScene scene(2, 1, 4, 95);
        ComplexMatrix mic(2, K), ref(1, K), out(2, K), echo(2, K), block(2, K), echo2(2, K);
        for (int b = 0; b < 200; ++b) {
            scene.next(&ref, &mic, 1.0f, b % 50 < 10 ? 0.05f : 0.0f);
            block.copy(&mic);
            apart.process(&mic, &ref, &out, &echo);
            inPlace.process(&block, &ref, &block, &echo2);
            for (int m = 0; m < 2; ++m)
                for (int k = 0; k < K; ++k) {
                    ASSERT_EQ(block.get(m, k), out.get(m, k)) << b;
                    ASSERT_EQ(echo2.get(m, k), echo.get(m, k)) << b;
                }
        }
    }
}

TEST(DualAFGeneral, ProcessAllocatesNothing) {
    for (int level : {0, 1}) {
        DualAFGeneral aec(2, 2, K, 0, level);
        SubbandScene scene(2, 2, 3, 91);
        ComplexMatrix mic(2, K), ref(2, K), out(2, K), echo(2, K);
        scene.next(&ref, &mic);
        velmora::test::AllocCounter count;
        for (int b = 0; b < 150; ++b) aec.process(&mic, &ref, &out, &echo);
        EXPECT_EQ(count.allocations(), 0);
        EXPECT_TRUE(aec.core(0)->converged());  // every path of process() was taken
    }
}

namespace {

// A room with RT60 0.25 s around the engine's seven-microphone array, the loudspeaker 0.5 m
// away (at `speakerAzimuth`) playing `far`, an optional talker 1.5 m away on the side.
velmora::scene::Recording roomScene(const std::vector<float>& far, const std::vector<float>& talk,
                                    int talkStart, float speakerAzimuth = 30.0f) {
    velmora::scene::Scene sc;
    sc.frames = static_cast<int>(far.size());
    sc.room.rt60 = 0.25f;
    sc.mics = velmora::scene::Scene::defaultArray();
    sc.hasLoudspeaker = true;
    sc.loudspeaker.signal = far;
    sc.loudspeaker.azimuth = speakerAzimuth;
    sc.loudspeaker.elevation = -20.0f;
    sc.loudspeaker.distance = 0.5f;
    if (!talk.empty()) {
        velmora::scene::Source t;
        t.signal = talk;
        t.azimuth = 120.0f;
        t.distance = 1.5f;
        t.startFrame = talkStart;
        sc.talkers.push_back(t);
    }
    return velmora::scene::simulate(sc);
}

std::vector<float> channel(const std::vector<float>& frames, int channels, int c) {
    std::vector<float> x(frames.size() / static_cast<size_t>(channels));
    for (size_t f = 0; f < x.size(); ++f) x[f] = frames[f * static_cast<size_t>(channels) + c];
    return x;
}

}  // namespace

TEST(DualAFGeneral, EngineEchoOnlyErle) {
    // 10 s of far-end speech, the whole engine with the canceller as the only adaptive stage.
    // ERLE on microphone 0 after the first 2 s, against the raw microphone and, to show the
    // canceller's own share, against the engine's output without cancellation.
    const std::vector<float> far = signalOf(kSpeech, 10.0, 0.1f, 1);
    const velmora::scene::Recording rec = roomScene(far, {}, 0);
    const int ch = rec.numMics + rec.numRefs;
    const std::vector<float> out = runEngine(201, rec.numMics, rec.numRefs, rec.mixture);
    const std::vector<float> plain = runEngine(0, rec.numMics, rec.numRefs, rec.mixture);
    const std::vector<float> mic = channel(rec.mixture, ch, 0);
    std::string perSecond;
    for (int sec = 0; sec < 10; ++sec) {
        const size_t a = static_cast<size_t>(sec) * kFs, b = a + kFs;
        char buf[32];
        std::snprintf(buf, sizeof buf, " %.1f",
                      10.0 * std::log10(energy(mic, a, b) / (energy(out, a, b) + 1e-20)));
        perSecond += buf;
    }
    const size_t from = 2 * kFs;
    const double erle =
        10.0 * std::log10(energy(mic, from, mic.size()) / energy(out, from, out.size()));
    const double own =
        10.0 * std::log10(energy(plain, from, plain.size()) / energy(out, from, out.size()));
    std::printf(
        "ERLE per second (dB):%s; after 2 s: %.1f dB (%.1f dB against the engine "
        "without cancellation)\n",
        perSecond.c_str(), erle, own);
    EXPECT_GE(erle, 12.0);
    EXPECT_GE(own, 12.0);
}

TEST(DualAFGeneral, EngineDoubleTalkImprovesNearEnd) {
    // Music (or noise) from the loudspeaker throughout, near-end speech from 3 s on. The target
    // is the near end alone through the same engine without cancellation, so the linear stages
    // (high-pass, filter banks) shape target and estimates alike.
    const std::vector<float> far = signalOf({"music/guitar_16k.wav"}, 8.0, 0.1f, 2);
    const std::vector<float> talk = signalOf({"speech/cmu_arctic_us_axb_a0004.wav"}, 5.0, 0.1f, 3);
    const velmora::scene::Recording rec = roomScene(far, talk, 3 * kFs);
    const int M = rec.numMics, ch = M + rec.numRefs;
    std::vector<float> nearOnly(rec.mixture.size(), 0.0f);
    for (size_t f = 0; f < static_cast<size_t>(rec.frames); ++f)
        for (int m = 0; m < M; ++m) nearOnly[f * ch + m] = rec.nearEnd[f * M + m];
    const std::vector<float> target = runEngine(0, M, rec.numRefs, nearOnly);
    const std::vector<float> before = runEngine(0, M, rec.numRefs, rec.mixture);
    const std::vector<float> after = runEngine(201, M, rec.numRefs, rec.mixture);
    const size_t a = static_cast<size_t>(3 * kFs), b = far.size();
    const double sdrBefore = siSdr(before, target, a, b), sdrAfter = siSdr(after, target, a, b);
    std::printf("Double talk SI-SDR of the near end: %.1f dB unprocessed, %.1f dB cancelled\n",
                sdrBefore, sdrAfter);
    EXPECT_GT(sdrAfter, sdrBefore + 3.0);
}

TEST(DualAFGeneral, EngineStereoFarEnd) {
    // A stereo loudspeaker pair playing different signals on either side of the array: both
    // echoes are cancelled from the two references.
    const std::vector<float> left = signalOf(kSpeech, 8.0, 0.1f, 4);
    const std::vector<float> right = signalOf({"music/guitar_16k.wav"}, 8.0, 0.1f, 5);
    const velmora::scene::Recording l = roomScene(left, {}, 0, 40.0f);
    const velmora::scene::Recording r = roomScene(right, {}, 0, -40.0f);
    const int M = l.numMics, ch = M + 2;
    std::vector<float> mixture(static_cast<size_t>(l.frames) * ch), mic(left.size());
    for (size_t f = 0; f < left.size(); ++f) {
        for (int m = 0; m < M; ++m) mixture[f * ch + m] = l.echo[f * M + m] + r.echo[f * M + m];
        mixture[f * ch + M] = left[f];
        mixture[f * ch + M + 1] = right[f];
        mic[f] = mixture[f * ch];
    }
    const std::vector<float> out = runEngine(201, M, 2, mixture);
    const double erle =
        10.0 * std::log10(energy(mic, 3 * kFs, mic.size()) / energy(out, 3 * kFs, out.size()));
    std::printf("Stereo far end: ERLE after 3 s %.1f dB\n", erle);
    EXPECT_GE(erle, 12.0);
}
