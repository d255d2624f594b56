// WPE dereverberator: defaults and refused arguments, agreement with a plain double-precision
// model of the recursion, the window of blocks the prediction uses, the cyclic adaptation
// schedule, silent input (also after hours of it), the selector's wiring, no allocation per
// block, and quality through the engine on simulated reverberant speech and a real recording.

#include "dr/WPE.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "common/AllocCounter.h"
#include "common/TestUtil.h"
#include "mode/DRAlgorithm.h"
#include "scene/Scene.h"

namespace velmora {
namespace {

using blas::Complex;
using blas::ComplexMatrix;
using dr::WPE;
using cd = std::complex<double>;

constexpr float kForget = 0.9999f;

void fillRandom(std::mt19937& rng, ComplexMatrix* x, float scale = 1.0f) {
    std::normal_distribution<float> n(0.0f, scale);
    for (int c = 0; c < x->numRows(); ++c)
        for (int k = 0; k < x->numColumns(); ++k) x->set(c, k, Complex(n(rng), n(rng)));
}

bool allFinite(const ComplexMatrix& x) {
    for (int c = 0; c < x.numRows(); ++c)
        for (int k = 0; k < x.numColumns(); ++k)
            if (!std::isfinite(x.real(c, k)) || !std::isfinite(x.imag(c, k))) return false;
    return true;
}

TEST(WPE, DefaultsAndSchedule) {
    WPE a(1, 160, 0, 0, 0);
    EXPECT_EQ(a.numChannels(), 1);
    EXPECT_EQ(a.numBins(), 160);
    EXPECT_EQ(a.delay(), 0);
    EXPECT_EQ(a.predictionDelay(), 3);
    EXPECT_EQ(a.taps(), 5);
    EXPECT_EQ(a.binsPerBlock(), 160);
    WPE b(3, 320, 0, 7, 1);
    EXPECT_EQ(b.predictionDelay(), 1);
    EXPECT_EQ(b.taps(), 7);
    EXPECT_EQ(b.binsPerBlock(), 320);
    EXPECT_EQ(b.predictor()->depth(), 21);
    EXPECT_EQ(WPE(2, 64, 0, 0, 2).predictionDelay(), 0);
    EXPECT_EQ(WPE(2, 64, 0, 0, 2).binsPerBlock(), 32);
    EXPECT_EQ(WPE(2, 160, 2, 0, 3).predictionDelay(), 2);
    EXPECT_EQ(WPE(2, 160, 2, 0, 3).binsPerBlock(), 53);
    EXPECT_EQ(WPE(2, 160, 0, 0, -1).binsPerBlock(), -160);
}

TEST(WPEDeathTest, RefusedArguments) {
    EXPECT_DEATH(WPE(2, 160, -1, 0, 0), "delay >= 0");
    EXPECT_DEATH(WPE(2, 160, 0, -2, 0), "taps >= 0");
    // A tap count or delay whose state could not be held is an error, not a failed allocation.
    auto message = [](int delay, int taps) -> std::string {
        try {
            WPE w(8, 160, delay, taps, 0);
        } catch (const char* e) {
            return e;
        }
        return "";
    };
    EXPECT_EQ(
        message(0, 1000000000),
        "velmora, WPE: Prediction too long: 8 channels, delay 3, 1000000000 taps (dr_power), at "
        "most 16777216 state values per table");
    EXPECT_EQ(
        message(2000000000, 1),
        "velmora, WPE: Prediction too long: 8 channels, delay 2000000000, 1 taps (dr_power), at "
        "most 16777216 state values per table");
}

// The recursion written out plainly in double precision with full matrices.
struct Model {
    int M, K, D, T, N, spread, next = 0;
    std::vector<std::vector<cd>> past;  // all input blocks so far, M x K each (c major)
    std::vector<std::vector<cd>> G, P;  // per bin N x M (m major) and N x N
    Model(int m, int k, int d, int t, int s) : M(m), K(k), D(d), T(t), N(m * t), spread(s) {
        G.assign(K, std::vector<cd>(N * M));
        P.assign(K, std::vector<cd>(N * N));
        for (auto& p : P)
            for (int i = 0; i < N; ++i) p[i * N + i] = 1.0;
    }
    cd pastValue(int back, int c, int k) const {  // block n - back
        const int idx = static_cast<int>(past.size()) - back;
        return idx < 0 ? cd(0.0) : past[idx][c * K + k];
    }
    void process(ComplexMatrix* block) {
        std::vector<cd> x(M * K), e(M * K);
        for (int c = 0; c < M; ++c)
            for (int k = 0; k < K; ++k) x[c * K + k] = cd(block->get(c, k));
        std::vector<std::vector<cd>> y(K, std::vector<cd>(N));
        for (int k = 0; k < K; ++k) {
            for (int t = 0; t < T; ++t)  // oldest first: blocks n-D-T .. n-D-1
                for (int c = 0; c < M; ++c) y[k][t * M + c] = pastValue(D + T - t, c, k);
            for (int c = 0; c < M; ++c) {
                cd s = 0.0;
                for (int m = 0; m < N; ++m) s += std::conj(G[k][m * M + c]) * y[k][m];
                e[c * K + k] = x[c * K + k] - s;
            }
        }
        const int bins = K / (spread == 0 ? 1 : spread);
        for (int b = 0; b < bins; ++b, next = (next + 1) % K) {
            const int k = next;
            double power = 0.0;
            for (int back = 1; back <= D + T; ++back)
                for (int c = 0; c < M; ++c) power += std::norm(pastValue(back, c, k));
            for (int c = 0; c < M; ++c) power += std::norm(x[c * K + k]);
            const double sigma2 = power / (M * (D + T + 1));
            std::vector<cd> u(N), g(N);
            double d = kForget * sigma2;
            for (int i = 0; i < N; ++i) {
                for (int m = 0; m < N; ++m) u[i] += P[k][i * N + m] * y[k][m];
                d += std::real(std::conj(y[k][i]) * u[i]);
            }
            if (d < 1e-10) d += 1e-10;
            for (int i = 0; i < N; ++i) g[i] = u[i] / d;
            for (int i = 0; i < N; ++i)
                for (int j = 0; j < N; ++j)
                    P[k][i * N + j] = (P[k][i * N + j] - g[i] * std::conj(u[j])) / double(kForget);
            for (int c = 0; c < M; ++c)
                for (int m = 0; m < N; ++m) G[k][m * M + c] += g[m] * std::conj(e[c * K + k]);
        }
        past.push_back(x);
        for (int c = 0; c < M; ++c)
            for (int k = 0; k < K; ++k) block->set(c, k, Complex(e[c * K + k]));
    }
};

// Random input whose every channel and bin repeats itself 2 blocks later (D + 1 back), so that
// the filters have something to remove; float and double recursions stay close.
TEST(WPE, FollowsThePlainRecursion) {
    for (int spread : {1, 2}) {
        const int M = 2, K = 5, D = 1, T = 2;
        WPE wpe(M, K, D, T, spread);
        Model model(M, K, D, T, spread);
        std::mt19937 rng(3 + spread);
        ComplexMatrix x(M, K), a(M, K), b(M, K), prev1(M, K), prev2(M, K);
        double err = 0.0, ref = 0.0;
        for (int n = 0; n < 300; ++n) {
            fillRandom(rng, &x);
            for (int c = 0; c < M; ++c)
                for (int k = 0; k < K; ++k) x.at(c, k) += 0.45f * prev2.get(c, k) * float(c + 1);
            prev2.copy(&prev1);
            prev1.copy(&x);
            a.copy(&x);
            b.copy(&x);
            wpe.process(&a);
            model.process(&b);
            for (int c = 0; c < M; ++c)
                for (int k = 0; k < K; ++k) {
                    err += std::norm(a.get(c, k) - b.get(c, k));
                    ref += std::norm(b.get(c, k));
                }
        }
        EXPECT_LT(std::sqrt(err / ref), 1e-4) << "spread " << spread;
        // P stays exactly Hermitian: the lower triangle mirrors the upper one bit for bit.
        const auto* P = wpe.invCorr();
        for (int k = 0; k < K; ++k)
            for (int i = 0; i < M * T; ++i) {
                EXPECT_EQ(P->imag(k, i, i), 0.0f);
                for (int j = i + 1; j < M * T; ++j)
                    EXPECT_EQ(P->get(k, j, i), std::conj(P->get(k, i, j)));
            }
    }
}

// Residual power over source power for x_n = s_n + 0.7 x_{n-lag} in every bin (white complex
// s_n): the filters remove the echo when lag is within the prediction window, leave 1 + 0.49
// of it when the lag is just shorter (s_{n-lag} cannot be predicted) and all of it (1.96) when
// the lag is just beyond the window.
double residualRatio(int numbins, int lag) {
    const int M = 1;
    WPE wpe(M, numbins, 0, 0, 1);
    std::mt19937 rng(lag);
    std::vector<std::unique_ptr<ComplexMatrix>> store;
    ComplexMatrix s(M, numbins), x(M, numbins);
    double res = 0.0, src = 0.0;
    for (int n = 0; n < 600; ++n) {
        fillRandom(rng, &s);
        auto xn = std::make_unique<ComplexMatrix>(M, numbins);
        for (int k = 0; k < numbins; ++k) {
            Complex v = s.get(0, k);
            if (n >= lag) v += 0.7f * store[n - lag]->get(0, k);
            xn->set(0, k, v);
        }
        x.copy(xn.get());
        store.push_back(std::move(xn));
        wpe.process(&x);
        if (n >= 300)
            for (int k = 0; k < numbins; ++k) {
                res += x.norm(0, k);
                src += s.norm(0, k);
            }
    }
    return res / src;
}

TEST(WPE, PredictionWindow) {
    // 160 bins: blocks 4 to 8 back; 320 bins: 2 to 6 back; otherwise 1 to 5 back.
    const int cases[3][3] = {{160, 4, 8}, {320, 2, 6}, {32, 1, 5}};
    for (const auto& c : cases) {
        const int K = c[0], first = c[1], last = c[2];
        EXPECT_LT(residualRatio(K, first), 1.05) << K << " bins, lag " << first;
        EXPECT_LT(residualRatio(K, last), 1.05) << K << " bins, lag " << last;
        EXPECT_GT(residualRatio(K, last + 1), 1.8) << K << " bins, lag " << last + 1;
        if (first > 1) {
            EXPECT_GT(residualRatio(K, first - 1), 1.4) << K << " bins, lag " << first - 1;
        }
    }
}

// Every adaptation divides P by the forgetting factor while the input is too short for the
// history to reach y (y = 0), so P's diagonal counts how often each bin was adapted.
std::vector<int> adaptations(int numbins, int spread, int blocks) {
    WPE wpe(1, numbins, 0, 30, spread);
    ComplexMatrix x(1, numbins);
    std::mt19937 rng(1);
    for (int n = 0; n < blocks; ++n) {
        fillRandom(rng, &x);
        wpe.process(&x);
    }
    std::vector<int> count(numbins);
    for (int k = 0; k < numbins; ++k)
        count[k] = static_cast<int>(
            std::lround(-std::log(wpe.invCorr()->real(k, 0, 0)) / std::log(kForget)));
    return count;
}

TEST(WPE, CyclicAdaptation) {
    for (int spread : {0, 1}) EXPECT_EQ(adaptations(160, spread, 3), std::vector<int>(160, 3));
    // Spread 2: half the bins per block, bins 0-79 then 80-159.
    std::vector<int> half(160, 1);
    std::fill(half.begin(), half.begin() + 80, 2);
    EXPECT_EQ(adaptations(160, 2, 3), half);
    // Spread 3: 53 bins per block, wrapping: 0-52, 53-105, 106-158, then 159 and 0-51.
    std::vector<int> third(160, 1);
    std::fill(third.begin(), third.begin() + 52, 2);
    EXPECT_EQ(adaptations(160, 3, 4), third);
    // No bin adapts with a negative spread or one above the bin count: the block passes.
    for (int spread : {-1, 161}) {
        EXPECT_EQ(adaptations(160, spread, 12), std::vector<int>(160, 0));
        WPE wpe(2, 160, 0, 0, spread);
        ComplexMatrix x(2, 160), y(2, 160);
        std::mt19937 rng(5);
        for (int n = 0; n < 40; ++n) {
            fillRandom(rng, &x);
            y.copy(&x);
            wpe.process(&y);
        }
        for (int k = 0; k < 160; ++k) EXPECT_EQ(y.get(1, k), x.get(1, k));
    }
}

TEST(WPE, SilentInputAndRecovery) {
    const int M = 2, K = 160;
    WPE wpe(M, K, 0, 0, 1);
    ComplexMatrix x(M, K);
    for (int n = 0; n < 200; ++n) {
        x.fill(0.0f, 0.0f);
        wpe.process(&x);
        for (int c = 0; c < M; ++c)
            for (int k = 0; k < K; ++k) ASSERT_EQ(x.get(c, k), Complex(0.0f, 0.0f));
    }
    for (int c = 0; c < M; ++c)
        for (int m = 0; m < wpe.predictor()->depth(); ++m)
            EXPECT_EQ(wpe.predictor()->get(7, c, m), Complex(0.0f, 0.0f));
    // Then a signal with an echo 5 blocks back is dereverberated as usual.
    std::mt19937 rng(2);
    std::vector<std::vector<Complex>> past;
    double res = 0.0, src = 0.0;
    for (int n = 0; n < 400; ++n) {
        std::normal_distribution<float> g(0.0f, 1e-3f);
        std::vector<Complex> cur(M * K), s(M * K);
        for (int i = 0; i < M * K; ++i) {
            s[i] = Complex(g(rng), g(rng));
            cur[i] = s[i] + (n >= 5 ? 0.7f * past[n - 5][i] : Complex(0.0f));
        }
        past.push_back(cur);
        for (int c = 0; c < M; ++c)
            for (int k = 0; k < K; ++k) x.set(c, k, cur[c * K + k]);
        wpe.process(&x);
        ASSERT_TRUE(allFinite(x)) << "block " << n;
        if (n >= 200)
            for (int c = 0; c < M; ++c)
                for (int k = 0; k < K; ++k) {
                    res += x.norm(c, k);
                    src += std::norm(s[c * K + k]);
                }
    }
    EXPECT_LT(res / src, 1.05);
}

// Hours of digital silence must not wear the state out: P is not inflated by 1 / forget per
// silent block (it would overflow after about 887000 of them), so the signal after it is
// processed normally.
TEST(WPE, HoursOfSilence) {
    WPE wpe(1, 1, 0, 1, 1);
    ComplexMatrix x(1, 1);
    for (int n = 0; n < 1000000; ++n) {
        x.set(0, 0, Complex(0.0f, 0.0f));
        wpe.process(&x);
    }
    EXPECT_EQ(wpe.invCorr()->get(0, 0, 0), Complex(1.0f, 0.0f));
    std::mt19937 rng(9);
    std::normal_distribution<float> g(0.0f, 0.1f);
    Complex prev(0.0f);
    double res = 0.0, src = 0.0;
    for (int n = 0; n < 400; ++n) {
        const Complex s(g(rng), g(rng));
        prev = s + 0.8f * prev;
        x.set(0, 0, prev);
        wpe.process(&x);
        ASSERT_TRUE(std::isfinite(x.real(0, 0)) && std::isfinite(x.imag(0, 0))) << n;
        if (n >= 100) {
            res += x.norm(0, 0);
            src += std::norm(s);
        }
    }
    EXPECT_LT(res / src, 1.1);
}

TEST(WPE, ProcessDoesNotAllocate) {
    WPE wpe(7, 160, 0, 0, 0);
    ComplexMatrix x(7, 160);
    std::mt19937 rng(4);
    fillRandom(rng, &x);
    wpe.process(&x);
    test::AllocCounter count;
    for (int n = 0; n < 20; ++n) {
        fillRandom(rng, &x);
        wpe.process(&x);
    }
    EXPECT_EQ(count.allocations(), 0);
}

TEST(WPE, SelectorWiring) {
    Params p;
    p.nummics = 3;
    p.dr_algorithm = 1;
    auto wpeOf = [&](mode::DRAlgorithm& sel) { return dynamic_cast<WPE*>(sel.stage()); };
    {
        mode::DRAlgorithm sel(&p, 160);
        WPE* w = wpeOf(sel);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->numChannels(), 3);
        EXPECT_EQ(w->predictionDelay(), 3);
        EXPECT_EQ(w->taps(), 5);
        EXPECT_EQ(w->binsPerBlock(), 160);
        EXPECT_EQ(sel.delay(), 0);
    }
    p.dr_power = 4;
    p.dr_level = 2.9f;  // truncated to a spread of 2
    {
        mode::DRAlgorithm sel(&p, 320);
        EXPECT_EQ(wpeOf(sel)->predictionDelay(), 1);
        EXPECT_EQ(wpeOf(sel)->taps(), 4);
        EXPECT_EQ(wpeOf(sel)->binsPerBlock(), 160);
    }
    p.dr_level = -1.5f;  // -1: no bin adapts
    EXPECT_EQ(wpeOf(*std::make_unique<mode::DRAlgorithm>(&p, 160))->binsPerBlock(), -160);
    // Levels beyond the int range saturate, NaN counts as 0.
    p.dr_level = 1e30f;
    EXPECT_EQ(wpeOf(*std::make_unique<mode::DRAlgorithm>(&p, 160))->binsPerBlock(), 0);
    p.dr_level = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(wpeOf(*std::make_unique<mode::DRAlgorithm>(&p, 160))->binsPerBlock(), 160);
}

// ---- Through the engine -------------------------------------------------------------------

Params engineParams(int nummics) {
    Params p;
    p.nummics = nummics;
    p.numrefs = 0;
    p.aec_algorithm = 0;
    p.agc_algorithm = 0;
    p.init_time = 0.0f;
    p.dr_algorithm = 1;
    return p;
}

// Runs `frames` frames of `channels` interleaved channels through the engine and returns its
// single output channel aligned with the input (the engine's delay removed).
std::vector<float> runEngine(const Params& p, const std::vector<float>& in, int channels) {
    Velmora engine(p);
    return test::runAligned(engine, in, channels);
}

std::vector<float> speech(double seconds) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(test::testdataDir() + "/speech"))
        if (e.path().extension() == ".wav") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    std::vector<float> s;
    for (const auto& f : files) {
        const std::vector<float> part = scene::readMonoWav(f, 16000);
        s.insert(s.end(), part.begin(), part.end());
        if (s.size() >= seconds * 16000) break;
    }
    s.resize(std::min<size_t>(s.size(), static_cast<size_t>(seconds * 16000)));
    return s;
}

scene::Recording reverberant(const std::vector<float>& dry, float rt60, int mics) {
    scene::Scene sc;
    sc.frames = static_cast<int>(dry.size());
    sc.room.rt60 = rt60;
    sc.mics = scene::Scene::defaultArray();
    sc.mics.resize(mics);
    scene::Source talker;
    talker.signal = dry;
    talker.azimuth = 30.0f;
    talker.distance = 1.5f;
    talker.gain = 0.5f;
    sc.talkers.push_back(talker);
    return scene::simulate(sc);
}

// Channels [0, m) of a frame-major recording of `total` channels.
std::vector<float> firstChannels(const std::vector<float>& x, int total, int m) {
    std::vector<float> y;
    y.reserve(x.size() / total * m);
    for (size_t f = 0; f < x.size() / total; ++f)
        y.insert(y.end(), x.begin() + f * total, x.begin() + f * total + m);
    return y;
}

// SI-SDR of microphone 0 through the engine, with the pass-through and with WPE, against the
// direct path and early reflections of microphone 0 taken through the same engine (so the
// high-pass filter and the filter bank affect both sides alike). The pass-through output is
// microphone 0 whatever the number of microphones. Printed over the whole signal and after the
// first 6 s, in which the filters converge; the figures after convergence are checked.
TEST(WPEQuality, ReverberantSpeech) {
    const std::vector<float> dry = speech(16.0);
    const size_t skip = 6 * 16000;
    auto tail = [&](std::vector<float> x) {
        x.erase(x.begin(), x.begin() + std::min(skip, x.size()));
        return x;
    };
    for (float rt60 : {0.6f, 0.8f}) {
        const scene::Recording rec = reverberant(dry, rt60, 7);
        Params p = engineParams(1);
        p.dr_algorithm = 0;
        const std::vector<float> target = runEngine(p, firstChannels(rec.nearEarly, 7, 1), 1);
        const std::vector<float> bypass = runEngine(p, firstChannels(rec.mixture, 7, 1), 1);
        const double before = scene::siSdrDb(bypass, target);
        const double beforeTail = scene::siSdrDb(tail(bypass), tail(target));
        for (int m : {1, 2, 4, 7}) {
            p = engineParams(m);
            const std::vector<float> wpe = runEngine(p, firstChannels(rec.mixture, 7, m), m);
            for (float v : wpe) ASSERT_TRUE(std::isfinite(v));
            const double after = scene::siSdrDb(wpe, target);
            const double afterTail = scene::siSdrDb(tail(wpe), tail(target));
            std::printf(
                "WPE RT60 %.1f s, %d mic%s: SI-SDR %5.2f -> %5.2f dB (%+.2f dB); after "
                "6 s %5.2f -> %5.2f dB (%+.2f dB)\n",
                rt60, m, m == 1 ? " " : "s", before, after, after - before, beforeTail, afterTail,
                afterTail - beforeTail);
            // One microphone predicts from its own past only and gains less.
            EXPECT_GT(afterTail - beforeTail, m == 1 ? 0.5 : 1.0)
                << "RT60 " << rt60 << ", " << m << " mics";
            EXPECT_GT(after - before, 0.2) << "RT60 " << rt60 << ", " << m << " mics";
        }
    }
}

// A real 8-microphone meeting-room recording after 2 s of digital silence: the silence comes
// out as exact zeros, and the recording after it is processed stably (finite output whose level
// stays within a few dB of the pass-through's).
TEST(WPEQuality, RealArrayRecordingAfterSilence) {
    int channels = 0;
    const std::vector<float> rec =
        scene::readWav(test::testdataDir() + "/array/ami_array1_8ch.wav", 16000, &channels);
    ASSERT_EQ(channels, 8);
    const size_t silence = 2 * 16000;
    std::vector<float> in(silence * 8, 0.0f);
    in.insert(in.end(), rec.begin(), rec.end());
    Params p = engineParams(8);
    for (int m = 0; m < 8; ++m) {
        const float a = static_cast<float>(M_PI / 4 * m);
        p.setMicCoordinate(m, 0.1f * std::cos(a), 0.1f * std::sin(a), 0.0f);
    }
    p.dr_algorithm = 0;
    const std::vector<float> bypass = runEngine(p, in, 8);
    p.dr_algorithm = 1;
    const std::vector<float> wpe = runEngine(p, in, 8);
    // (The filter bank's response reaches a few blocks ahead of the compensated delay.)
    for (size_t i = 0; i + 480 < silence; ++i) ASSERT_EQ(wpe[i], 0.0f) << "frame " << i;
    double eb = 0.0, ew = 0.0;
    for (size_t i = silence; i < wpe.size(); ++i) {
        ASSERT_TRUE(std::isfinite(wpe[i])) << "frame " << i;
        eb += double(bypass[i]) * bypass[i];
        ew += double(wpe[i]) * wpe[i];
    }
    const double ratio = 10 * std::log10(ew / eb);
    std::printf(
        "WPE on %.1f s of the 8-channel recording: output level %+.2f dB against "
        "the pass-through\n",
        (wpe.size() - silence) / 16000.0, ratio);
    EXPECT_LT(ratio, 1.0);
    EXPECT_GT(ratio, -10.0);
}

}  // namespace
}  // namespace velmora
