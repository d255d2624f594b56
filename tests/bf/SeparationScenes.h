#pragma once
// Helpers of the separation tests: two talkers speaking at once in a simulated room, the engine
// run over the mixture, and per-output quality against each talker's image at the reference
// microphone: SIR (each output regressed per bin on the lagged images of both talkers, as the
// distortion-filter projection of BSS evaluation does in the time domain; the shares are signal
// energies, the bank's pre-emphasis undone per bin), its improvement over the mixture at
// microphone 0 measured the same way, and SI-SDR, with the best output for each talker.

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "blas/ComplexMatrix.h"
#include "common/TestUtil.h"
#include "scene/Scene.h"
#include "transform/PPFBankAnalyzer.h"

namespace velmora::test {

constexpr int kFs = 16000;
constexpr int kBlock = 160;
constexpr double kPi = 3.14159265358979323846;

struct TwoTalkerScene {
    int numMics = 0;
    std::vector<std::array<float, 3>> mics;
    std::vector<float> mixture;              // frame-major, numMics channels
    std::vector<float> imageA, imageB;       // the talkers at microphone 0
    std::vector<float> imagesA, imagesB;     // the talkers at every microphone, frame-major
    float azimuthA = 0.0f, azimuthB = 0.0f;  // degrees
};

// Mono speech of the named shared recordings one after another, scaled to an RMS of 0.1 and cut
// to `frames`.
inline std::vector<float> speechOf(const std::vector<std::string>& names, int frames) {
    std::vector<float> x;
    for (const std::string& n : names) {
        const std::vector<float> part =
            scene::readMonoWav(testdataDir() + "/speech/" + n + ".wav", kFs);
        x.insert(x.end(), part.begin(), part.end());
    }
    x.resize(static_cast<size_t>(frames), 0.0f);
    double sq = 0.0;
    for (float v : x) sq += double(v) * v;
    const float g = static_cast<float>(0.1 / std::sqrt(sq / frames + 1e-20));
    for (float& v : x) v *= g;
    return x;
}

inline Params separationParams(const std::vector<std::array<float, 3>>& mics, int numouts, int bf,
                               int ssl = 0);

// Every microphone of `frames` (frame-major) through the engine with a pass-through
// beamformer, aligned by the engine's delay.
inline std::vector<float> frontEnd(const std::vector<float>& frames,
                                   const std::vector<std::array<float, 3>>& mics) {
    const int M = static_cast<int>(mics.size());
    Velmora engine(separationParams(mics, M, 0));
    const int blocks = static_cast<int>(frames.size()) / M / kBlock;
    const int delay = engine.delay();
    std::vector<float> out(frames.size(), 0.0f), block(static_cast<size_t>(kBlock) * M);
    for (int b = 0; b < blocks; ++b) {
        engine.process(frames.data() + static_cast<size_t>(b) * kBlock * M, block.data());
        for (int f = 0; f < kBlock; ++f) {
            const int at = b * kBlock + f - delay;
            if (at >= 0)
                std::copy(block.begin() + f * M, block.begin() + (f + 1) * M,
                          out.begin() + static_cast<size_t>(at) * M);
        }
    }
    return out;
}

// Talkers A and B (about 10 s each, equal level) at 1 m from the array centre in the default
// room, rendered one at a time so that each talker's image is known exactly.
// With noiseSnrDb below 100, B is instead a diffuse noise field at that level against A.
inline TwoTalkerScene twoTalkers(const std::vector<std::array<float, 3>>& mics, float rt60,
                                 float azimuthA, float azimuthB, int frames = 10 * kFs,
                                 float noiseSnrDb = 100.0f) {
    TwoTalkerScene t;
    t.numMics = static_cast<int>(mics.size());
    t.mics = mics;
    t.azimuthA = azimuthA;
    t.azimuthB = azimuthB;
    const std::vector<float> a = speechOf(
        {"cmu_arctic_us_aew_a0001", "cmu_arctic_us_aew_a0002", "cmu_arctic_us_aew_a0003"}, frames);
    const std::vector<float> b = speechOf({"cmu_arctic_us_axb_a0004", "cmu_arctic_us_axb_a0006",
                                           "cmu_arctic_us_axb_a0005", "arctic_a0010"},
                                          frames);
    auto render = [&](const std::vector<float>& sig, float az, float snr) {
        scene::Scene sc;
        sc.fs = kFs;
        sc.frames = frames;
        sc.room.rt60 = rt60;
        sc.arrayCentre = {2.5f, 2.0f, 1.2f};
        sc.mics = mics;
        scene::Source s;
        s.signal = sig;
        s.azimuth = az;
        s.distance = 1.0f;
        sc.talkers.push_back(s);
        sc.noiseSnrDb = snr;
        return scene::simulate(sc);
    };
    const scene::Recording ra = render(a, azimuthA, 100.0f);
    scene::Recording rb;
    if (noiseSnrDb < 100.0f) {
        rb = render(a, azimuthA, noiseSnrDb);
        rb.nearEnd = rb.noise;
    } else {
        rb = render(b, azimuthB, 100.0f);
    }
    t.mixture.resize(ra.nearEnd.size());
    for (size_t i = 0; i < t.mixture.size(); ++i) t.mixture[i] = ra.nearEnd[i] + rb.nearEnd[i];
    // The images as the separator sees them: through the engine's front end (high-pass filter,
    // analysis and synthesis) with a pass-through beamformer.
    t.imagesA = frontEnd(ra.nearEnd, mics);
    t.imagesB = frontEnd(rb.nearEnd, mics);
    for (int f = 0; f < frames; ++f) {
        t.imageA.push_back(t.imagesA[static_cast<size_t>(f) * t.numMics]);
        t.imageB.push_back(t.imagesB[static_cast<size_t>(f) * t.numMics]);
    }
    return t;
}

inline Params separationParams(const TwoTalkerScene& t, int numouts, int bf, int ssl = 0) {
    return separationParams(t.mics, numouts, bf, ssl);
}

// Engine settings: the array, numouts outputs, every stage a pass-through except the
// beamformer `bf` and the localiser `ssl`.
inline Params separationParams(const std::vector<std::array<float, 3>>& mics, int numouts, int bf,
                               int ssl) {
    Params p;
    p.nummics = static_cast<int>(mics.size());
    for (int m = 0; m < p.nummics; ++m) p.setMicCoordinate(m, mics[m][0], mics[m][1], mics[m][2]);
    p.numrefs = 0;
    p.numouts = numouts;
    p.aec_algorithm = 0;
    p.agc_algorithm = 0;
    p.init_time = 0.0f;
    p.bf_algorithm = bf;
    p.ssl_algorithm = ssl;
    return p;
}

// The engine's outputs (channel-major, aligned with the input by the engine's delay) for the
// whole mixture; onBlock(b) runs after block b.
template <class OnBlock>
std::vector<std::vector<float>> runEngine(Velmora& engine, const TwoTalkerScene& t, int numouts,
                                          OnBlock onBlock) {
    const int blocks = static_cast<int>(t.mixture.size()) / t.numMics / kBlock;
    std::vector<std::vector<float>> out(numouts, std::vector<float>(blocks * kBlock, 0.0f));
    std::vector<float> block(static_cast<size_t>(kBlock) * numouts);
    const int delay = engine.delay();
    for (int b = 0; b < blocks; ++b) {
        engine.process(t.mixture.data() + static_cast<size_t>(b) * kBlock * t.numMics,
                       block.data());
        for (int f = 0; f < kBlock; ++f) {
            const int at = b * kBlock + f - delay;
            if (at < 0) continue;
            for (int o = 0; o < numouts; ++o) out[o][at] = block[f * numouts + o];
        }
        onBlock(b);
    }
    return out;
}

struct OutputQuality {
    double sirA = 0, sirB = 0;  // dB: output's share of A over its share of B, and the reverse
    double siSdrA = 0, siSdrB = 0;
};

// Per-bin spectra of a mono signal with the engine's bank, bins x blocks (bin-major).
inline std::vector<std::complex<double>> spectraOf(const std::vector<float>& x, int first,
                                                   int blocks) {
    transform::PPFBankAnalyzer bank(1, kBlock);
    blas::ComplexMatrix out(1, bank.numBins());
    const int K = bank.numBins();
    std::vector<std::complex<double>> s(static_cast<size_t>(K) * blocks);
    for (int b = 0; b < first + blocks; ++b) {
        bank.analyze(x.data() + static_cast<size_t>(b) * kBlock, &out);
        if (b < first) continue;
        for (int k = 0; k < K; ++k)
            s[static_cast<size_t>(k) * blocks + (b - first)] = out.get(0, k);
    }
    return s;
}

// Output y against the images from frame `from` on: per bin, y is fitted by least squares with
// both images at block lags -2 .. 22; the fitted parts give each talker's share.
inline OutputQuality qualityOf(const std::vector<float>& y, const TwoTalkerScene& t, int from) {
    const int first = from / kBlock;
    const int blocks = static_cast<int>(y.size()) / kBlock - first;
    constexpr int kLagLow = -2, kLagHigh = 22, L = kLagHigh - kLagLow + 1, U = 2 * L;
    const auto Y = spectraOf(y, first, blocks);
    const auto SA = spectraOf(t.imageA, first, blocks);
    const auto SB = spectraOf(t.imageB, first, blocks);
    const int K = static_cast<int>(Y.size()) / blocks;
    double pa = 0, pb = 0;
    std::vector<std::complex<double>> G(U * U), r(U);
    for (int k = 0; k < K; ++k) {
        // The bank pre-emphasises its input (1 - 0.9 z^-1); undoing it per bin makes the shares
        // plain signal energies, as a time-domain SIR counts them.
        const double deemphasis = 1.0 / std::norm(1.0 - 0.9 * std::polar(1.0, -kPi * k / K));
        const auto* yk = &Y[static_cast<size_t>(k) * blocks];
        const auto* ak = &SA[static_cast<size_t>(k) * blocks];
        const auto* bk = &SB[static_cast<size_t>(k) * blocks];
        // Normal equations over n = n0 .. n1 - 1. The first row and column of every source
        // pair are summed directly; the rest follow by shifting one block at a time:
        // G(u, v) = G(u - 1, v - 1) + term(n0 - 1) - term(n1 - 1).
        const int n0 = kLagHigh, n1 = blocks + kLagLow;
        const std::complex<double>* sig[2] = {ak, bk};
        auto lag = [&](int u) { return kLagLow + u; };
        std::fill(r.begin(), r.end(), 0.0);
        for (int a = 0; a < 2; ++a)
            for (int u = 0; u < L; ++u)
                for (int n = n0; n < n1; ++n) r[a * L + u] += std::conj(sig[a][n - lag(u)]) * yk[n];
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b) {
                auto at = [&](int u, int v) -> std::complex<double>& {
                    return G[(a * L + u) * U + b * L + v];
                };
                for (int v = 0; v < L; ++v) {
                    std::complex<double> row = 0, col = 0;
                    for (int n = n0; n < n1; ++n) {
                        row += std::conj(sig[a][n - lag(0)]) * sig[b][n - lag(v)];
                        col += std::conj(sig[a][n - lag(v)]) * sig[b][n - lag(0)];
                    }
                    at(0, v) = row;
                    at(v, 0) = col;
                }
                for (int u = 1; u < L; ++u)
                    for (int v = 1; v < L; ++v)
                        at(u, v) =
                            at(u - 1, v - 1) +
                            std::conj(sig[a][n0 - 1 - lag(u - 1)]) * sig[b][n0 - 1 - lag(v - 1)] -
                            std::conj(sig[a][n1 - 1 - lag(u - 1)]) * sig[b][n1 - 1 - lag(v - 1)];
            }
        double tr = 0;
        for (int i = 0; i < U; ++i) tr += G[i * U + i].real();
        for (int i = 0; i < U; ++i) G[i * U + i] += 1e-9 * tr / U + 1e-30;
        // Gaussian elimination (G is Hermitian positive definite).
        for (int c = 0; c < U; ++c) {
            for (int i = c + 1; i < U; ++i) {
                const auto f = G[i * U + c] / G[c * U + c];
                for (int j = c; j < U; ++j) G[i * U + j] -= f * G[c * U + j];
                r[i] -= f * r[c];
            }
        }
        std::vector<std::complex<double>> h(U);
        for (int i = U - 1; i >= 0; --i) {
            auto acc = r[i];
            for (int j = i + 1; j < U; ++j) acc -= G[i * U + j] * h[j];
            h[i] = acc / G[i * U + i];
        }
        for (int n = kLagHigh; n < blocks + kLagLow; ++n) {
            std::complex<double> fa = 0, fb = 0;
            for (int u = 0; u < L; ++u) {
                fa += h[u] * ak[n - (kLagLow + u)];
                fb += h[L + u] * bk[n - (kLagLow + u)];
            }
            pa += deemphasis * std::norm(fa);
            pb += deemphasis * std::norm(fb);
        }
    }
    OutputQuality q;
    q.sirA = 10.0 * std::log10((pa + 1e-30) / (pb + 1e-30));
    q.sirB = -q.sirA;
    // SI-SDR against the talker's image at the microphone that suits the output best (its
    // projection-back microphone).
    const std::vector<float> ys(y.begin() + from, y.end());
    q.siSdrA = q.siSdrB = -1e9;
    std::vector<float> ref(ys.size());
    for (int m = 0; m < t.numMics; ++m) {
        for (size_t i = 0; i < ref.size(); ++i) ref[i] = t.imagesA[(from + i) * t.numMics + m];
        q.siSdrA = std::max(q.siSdrA, scene::siSdrDb(ys, ref));
        for (size_t i = 0; i < ref.size(); ++i) ref[i] = t.imagesB[(from + i) * t.numMics + m];
        q.siSdrB = std::max(q.siSdrB, scene::siSdrDb(ys, ref));
    }
    return q;
}

// Input SIR of talker A over B at microphone 0 from `from` on, dB, measured exactly as the
// outputs are (same bank, same blocks), so that an output equal to microphone 0 gains 0 dB.
inline double inputSir(const TwoTalkerScene& t, int from) {
    std::vector<float> mic0(t.imageA.size());
    for (size_t i = 0; i < mic0.size(); ++i) mic0[i] = t.imageA[i] + t.imageB[i];
    return qualityOf(mic0, t, from).sirA;
}

struct Separation {
    double sirGainA = -1e9, sirGainB = -1e9;  // best output for each talker, dB over the input
    double siSdrA = -1e9, siSdrB = -1e9;      // SI-SDR of those outputs
    int outA = -1, outB = -1;
};

// Best permutation: the output with the highest SIR for A and, among the others, for B.
inline Separation separationOf(const std::vector<std::vector<float>>& outs, const TwoTalkerScene& t,
                               int from) {
    std::vector<OutputQuality> q;
    for (const auto& y : outs) q.push_back(qualityOf(y, t, from));
    const double in = inputSir(t, from);
    Separation best;
    double bestSum = -1e18;
    for (size_t i = 0; i < q.size(); ++i)
        for (size_t j = 0; j < q.size(); ++j) {
            if (i == j) continue;
            const double sum = (q[i].sirA - in) + (q[j].sirB + in);
            if (sum <= bestSum) continue;
            bestSum = sum;
            best.sirGainA = q[i].sirA - in;
            best.sirGainB = q[j].sirB + in;
            best.siSdrA = q[i].siSdrA;
            best.siSdrB = q[j].siSdrB;
            best.outA = static_cast<int>(i);
            best.outB = static_cast<int>(j);
        }
    return best;
}

}  // namespace velmora::test
