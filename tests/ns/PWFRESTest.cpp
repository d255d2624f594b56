// The multi-frame Wiener residual-echo suppressor on constructed spectra: construction checks,
// the echo gate, suppression of echo and passage of near-end speech, the limiter, the closed-form
// and the recursive-inverse paths against a direct double-precision evaluation of the filter,
// finite output on degenerate input, no allocation per block, and the selector's wiring.

#include "ns/PWFRES.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <vector>

#include "Params.h"
#include "blas/ComplexMatrix.h"
#include "common/AllocCounter.h"
#include "mode/NSAlgorithm.h"
#include "ns/NSBypass.h"

namespace velmora {
namespace {

using blas::Complex;
using blas::ComplexMatrix;
using ns::PWFRES;

constexpr int K = 160;

// Independent complex Gaussian values of the given rms per element.
void randomSpectrum(std::mt19937& rng, float rms, ComplexMatrix* m) {
    std::normal_distribution<float> g(0.0f, rms / std::sqrt(2.0f));
    for (int c = 0; c < m->numRows(); ++c)
        for (int k = 0; k < m->numColumns(); ++k) m->at(c, k) = Complex(g(rng), g(rng));
}

double power(const ComplexMatrix& m) {
    double p = 0;
    for (int c = 0; c < m.numRows(); ++c)
        for (int k = 0; k < m.numColumns(); ++k) p += std::norm(m.get(c, k));
    return p;
}

double powerDb(double p) {
    return 10 * std::log10(p);
}

TEST(PWFRES, ConstructionAndPreconditions) {
    PWFRES def(2, 1, K, 0, 0.1f);
    EXPECT_EQ(def.numChannels(), 2);
    EXPECT_EQ(def.numRefs(), 1);
    EXPECT_EQ(def.numBins(), K);
    EXPECT_EQ(def.delay(), 0);
    EXPECT_EQ(def.numTaps(), 2);
    EXPECT_EQ(PWFRES(1, 1, K, 1, 0.1f).numTaps(), 1);
    EXPECT_EQ(PWFRES(1, 1, K, 5, 0.1f).numTaps(), 5);

    EXPECT_DEATH(PWFRES(0, 1, K, 0, 0.1f), "numchs > 0");
    EXPECT_DEATH(PWFRES(1, 0, K, 0, 0.1f), "numrefs > 0");
    EXPECT_DEATH(PWFRES(1, 1, 0, 0, 0.1f), "numbins > 0");
    EXPECT_DEATH(PWFRES(1, 1, K, -1, 0.1f), "flen >= 0");
    EXPECT_DEATH(PWFRES(1, 1, K, 0, -0.1f), "beta >= 0.0");
    EXPECT_DEATH(PWFRES(1, 1, K, 0, NAN), "beta >= 0.0");
    try {
        PWFRES(1, 1, K, 100000, 0.1f);
        ADD_FAILURE() << "an absurd filter length was accepted";
    } catch (const char* e) {
        EXPECT_STREQ(e, "velmora, PWFRES: Filter length 100000 exceeds 1024 taps");
    }

    ComplexMatrix good(2, K), shortRows(1, K), shortBins(2, K - 1);
    EXPECT_DEATH(def.process(&shortRows, nullptr, &good),
                 "nearend->numRows\\(\\) == numChannels\\(\\) && nearend->numColumns\\(\\) == "
                 "numBins\\(\\)");
    EXPECT_DEATH(def.process(&good, nullptr, &shortBins),
                 "echo->numRows\\(\\) == numChannels\\(\\) && echo->numColumns\\(\\) == "
                 "numBins\\(\\)");
}

// An echo estimate below -45 dB on the first channel leaves the block untouched and the filter
// state unchanged: with one tap (no history beyond the current block) a gated block in the
// middle of a run makes no difference to what follows. Just above the gate the block is filtered.
TEST(PWFRES, EchoGate) {
    std::mt19937 rng(3);
    const int blocks = 12;
    std::vector<std::unique_ptr<ComplexMatrix>> near, echo;
    for (int b = 0; b < blocks; ++b) {
        near.emplace_back(new ComplexMatrix(2, K));
        echo.emplace_back(new ComplexMatrix(2, K));
        randomSpectrum(rng, 1.0f, near.back().get());
        randomSpectrum(rng, 1.0f, echo.back().get());
    }
    // Total power of the first channel's estimate: 160 * rms^2, placed at -50 dB, yet the
    // second channel's estimate is loud: only channel 0 counts.
    ComplexMatrix quietEcho(2, K), gatedNear(2, K), out(2, K);
    randomSpectrum(rng, std::sqrt(1e-5f / K), &quietEcho);
    for (int k = 0; k < K; ++k) quietEcho.at(1, k) = Complex(10.0f, 0.0f);
    randomSpectrum(rng, 1.0f, &gatedNear);

    PWFRES a(2, 1, K, 1, 0.5f), b(2, 1, K, 1, 0.5f);
    std::vector<std::vector<Complex>> outA, outB;
    for (int i = 0; i < blocks; ++i) {
        if (i == 6) {
            out.copy(&gatedNear);
            a.process(&out, nullptr, &quietEcho);
            for (int c = 0; c < 2; ++c)
                for (int k = 0; k < K; ++k) ASSERT_EQ(out.get(c, k), gatedNear.get(c, k));
        }
        out.copy(near[i].get());
        a.process(&out, nullptr, echo[i].get());
        std::vector<Complex> ra(out.data()[0], out.data()[0] + K);
        out.copy(near[i].get());
        b.process(&out, nullptr, echo[i].get());
        std::vector<Complex> rb(out.data()[0], out.data()[0] + K);
        EXPECT_EQ(ra, rb) << "block " << i;
    }

    // At -44 dB the gate is open: the uncorrelated near end is changed.
    randomSpectrum(rng, std::sqrt(std::pow(10.0f, -4.4f) / K), &quietEcho);
    out.copy(&gatedNear);
    a.process(&out, nullptr, &quietEcho);
    EXPECT_LT(power(out), power(gatedNear));
}

// Echo-only input: the near end is the echo estimate through a per-bin residual path 20 dB down
// (what an echo canceller leaves). Near-end-only input: speech-like blocks with a faint,
// unrelated echo estimate above the gate; and with no echo estimate at all, an exact pass.
TEST(PWFRES, SuppressesResidualEchoAndPassesNearEnd) {
    for (int flen : {0, 1, 3}) {
        std::mt19937 rng(7 + flen);
        PWFRES res(1, 1, K, flen, 0.1f);
        ComplexMatrix echo(1, K), near(1, K), out(1, K);
        std::vector<Complex> path(K);
        std::normal_distribution<float> g(0.0f, 0.1f / std::sqrt(2.0f));
        for (Complex& h : path) h = Complex(g(rng), g(rng));
        double in = 0, left = 0;
        for (int b = 0; b < 300; ++b) {
            randomSpectrum(rng, 1.0f, &echo);
            for (int k = 0; k < K; ++k) near.at(0, k) = path[k] * echo.get(0, k);
            out.copy(&near);
            res.process(&out, nullptr, &echo);
            if (b >= 20) in += power(near), left += power(out);
        }
        const double suppression = powerDb(in / left);
        std::printf("flen %d: echo-only suppression %.1f dB\n", flen, suppression);
        EXPECT_GT(suppression, 12.0) << "flen " << flen;
    }

    for (int flen : {0, 1, 3}) {
        std::mt19937 rng(17 + flen);
        PWFRES res(1, 1, K, flen, 0.1f);
        ComplexMatrix echo(1, K), near(1, K), out(1, K);
        double in = 0, err = 0;
        for (int b = 0; b < 300; ++b) {
            randomSpectrum(rng, 1e-2f, &echo);  // -40 dB per bin below the near end, -18 dB total
            randomSpectrum(rng, 1.0f, &near);
            out.copy(&near);
            res.process(&out, nullptr, &echo);
            if (b < 20) continue;
            for (int k = 0; k < K; ++k) {
                in += std::norm(near.get(0, k));
                err += std::norm(out.get(0, k) - near.get(0, k));
            }
        }
        const double snr = powerDb(in / err);
        std::printf("flen %d: near-end passage %.1f dB SNR\n", flen, snr);
        EXPECT_GT(snr, 10.0) << "flen " << flen;
    }

    std::mt19937 rng(5);
    PWFRES res(2, 1, K, 0, 0.1f);
    ComplexMatrix silentEcho(2, K), near(2, K), out(2, K);
    for (int b = 0; b < 10; ++b) {
        randomSpectrum(rng, 1.0f, &near);
        out.copy(&near);
        res.process(&out, nullptr, &silentEcho);
        for (int c = 0; c < 2; ++c)
            for (int k = 0; k < K; ++k) ASSERT_EQ(out.get(c, k), near.get(c, k));
    }
}

// The output power never exceeds the input power in any bin, whatever the mix of echo and near
// end, the tap count or beta; with beta 0 the unlimited filter does overshoot, so the limiter is
// seen to act (bins restored exactly to their input).
TEST(PWFRES, LimiterNeverRaisesABin) {
    for (int flen : {0, 1, 2, 4}) {
        for (float beta : {0.0f, 0.1f, 3.0f}) {
            std::mt19937 rng(flen * 10 + static_cast<int>(beta * 10));
            PWFRES res(2, 1, K, flen, beta);
            ComplexMatrix echo(2, K), near(2, K), talk(2, K), out(2, K);
            long restored = 0;
            for (int b = 0; b < 200; ++b) {
                randomSpectrum(rng, 1.0f, &echo);
                randomSpectrum(rng, (b / 25) % 2 ? 2.0f : 0.05f, &talk);  // bursts of near end
                for (int c = 0; c < 2; ++c)
                    for (int k = 0; k < K; ++k)
                        near.at(c, k) = 0.3f * echo.get(c, k) + talk.get(c, k);
                out.copy(&near);
                res.process(&out, nullptr, &echo);
                for (int c = 0; c < 2; ++c)
                    for (int k = 0; k < K; ++k) {
                        ASSERT_LE(std::norm(out.get(c, k)), std::norm(near.get(c, k)))
                            << "flen " << flen << " beta " << beta << " block " << b;
                        restored += out.get(c, k) == near.get(c, k);
                    }
            }
            if (beta == 0.0f && flen != 1) {
                EXPECT_GT(restored, 100) << "flen " << flen;
            }
        }
    }
}

// The filter in double precision, evaluated directly from the smoothed covariances of the same
// histories: w = (Phi_e + load I)^-1 Phi_x u0 / (beta + tr), output w^H x. For L == 2 the load
// is that of the closed form; for the recursive inverse its initial 1e-5 I decays away.
class DirectFilter {
  public:
    DirectFilter(int taps, double beta, double load)
        : L(taps),
          beta(beta),
          load(load),
          px(K, Mat(taps * taps)),
          pe(K, Mat(taps * taps)),
          hx(K, Mat(taps)),
          he(K, Mat(taps)) {}

    // Processes channel 0 of one block and returns the output of every bin.
    std::vector<std::complex<double>> process(const ComplexMatrix& near,
                                              const ComplexMatrix& echo) {
        std::vector<std::complex<double>> y(K);
        for (int k = 0; k < K; ++k) {
            push(hx[k], near.get(0, k));
            push(he[k], echo.get(0, k));
            smooth(px[k], hx[k]);
            smooth(pe[k], he[k]);
            Mat a = pe[k];
            for (int i = 0; i < L; ++i) a[i * L + i] += load;
            // Solve a m = Phi_x by Gauss-Jordan elimination with partial pivoting.
            Mat m = px[k];
            for (int col = 0; col < L; ++col) {
                int piv = col;
                for (int r = col + 1; r < L; ++r)
                    if (std::abs(a[r * L + col]) > std::abs(a[piv * L + col])) piv = r;
                for (int j = 0; j < L; ++j) {
                    std::swap(a[col * L + j], a[piv * L + j]);
                    std::swap(m[col * L + j], m[piv * L + j]);
                }
                const std::complex<double> d = a[col * L + col];
                for (int j = 0; j < L; ++j) a[col * L + j] /= d, m[col * L + j] /= d;
                for (int r = 0; r < L; ++r) {
                    if (r == col) continue;
                    const std::complex<double> f = a[r * L + col];
                    for (int j = 0; j < L; ++j) {
                        a[r * L + j] -= f * a[col * L + j];
                        m[r * L + j] -= f * m[col * L + j];
                    }
                }
            }
            double t = beta;
            for (int i = 0; i < L; ++i) t += m[i * L + i].real();
            std::complex<double> out = 0;
            for (int l = 0; l < L; ++l) out += std::conj(m[l * L] / t) * hx[k][l];
            if (std::norm(out) > std::norm(hx[k][0])) out = hx[k][0];
            y[k] = out;
        }
        load *= 0.2 * loadDecay;
        return y;
    }
    double loadDecay = 5.0;  // 5: constant load (closed form); 1: decaying initial inverse

  private:
    using Mat = std::vector<std::complex<double>>;
    void push(Mat& h, Complex x) {
        for (int l = L - 1; l > 0; --l) h[l] = h[l - 1];
        h[0] = std::complex<double>(x.real(), x.imag());
    }
    void smooth(Mat& p, const Mat& h) {
        for (int i = 0; i < L; ++i)
            for (int j = 0; j < L; ++j)
                p[i * L + j] = 0.2 * p[i * L + j] + 0.8 * h[i] * std::conj(h[j]);
    }
    int L;
    double beta, load;
    std::vector<Mat> px, pe, hx, he;
};

// Both inverse paths against the direct evaluation on the same double-talk data: the closed form
// (2 taps) from the first block on, the recursive inverse (1, 3 and 4 taps) once its initial
// state and the trace guard's early rescaling have decayed.
TEST(PWFRES, ClosedFormAndRecursiveInverseMatchDirectFilter) {
    for (int flen : {0, 1, 3, 4}) {
        const int taps = flen == 0 ? 2 : flen;
        std::mt19937 rng(100 + flen);
        PWFRES res(1, 1, K, flen, 0.1f);
        DirectFilter direct(taps, 0.1, taps == 2 ? 1e-5 : 1e-5);
        if (taps != 2) direct.loadDecay = 1.0;
        ComplexMatrix echo(1, K), talk(1, K), near(1, K), out(1, K);
        double ref = 0, err = 0;
        for (int b = 0; b < 120; ++b) {
            randomSpectrum(rng, 1.0f, &echo);
            randomSpectrum(rng, 0.5f, &talk);
            for (int k = 0; k < K; ++k) near.at(0, k) = 0.4f * echo.get(0, k) + talk.get(0, k);
            out.copy(&near);
            res.process(&out, nullptr, &echo);
            const auto y = direct.process(near, echo);
            if (b < (taps == 2 ? 0 : 30)) continue;
            for (int k = 0; k < K; ++k) {
                ref += std::norm(y[k]);
                err += std::norm(std::complex<double>(out.get(0, k).real(), out.get(0, k).imag()) -
                                 y[k]);
            }
        }
        const double agreement = powerDb(ref / err);
        std::printf("%d taps: %.1f dB from the direct filter\n", taps, agreement);
        EXPECT_GT(agreement, 50.0) << taps << " taps";
    }
}

// With beta 0 and the near end equal to the echo estimate, Phi_e^-1 Phi_x is the identity, so
// the filter is u0 / L and the output the newest block over L, for the closed form and for the
// recursive inverse alike.
TEST(PWFRES, EqualHistoriesGiveNewestBlockOverTaps) {
    for (int flen : {1, 0, 3, 4}) {
        const int taps = flen == 0 ? 2 : flen;
        std::mt19937 rng(40 + flen);
        PWFRES res(1, 1, K, flen, 0.0f);
        ComplexMatrix echo(1, K), out(1, K);
        double ref = 0, err = 0;
        for (int b = 0; b < 80; ++b) {
            randomSpectrum(rng, 1.0f, &echo);
            out.copy(&echo);
            res.process(&out, nullptr, &echo);
            if (b < 30) continue;
            for (int k = 0; k < K; ++k) {
                const Complex expected = echo.get(0, k) / static_cast<float>(taps);
                ref += std::norm(expected);
                err += std::norm(out.get(0, k) - expected);
            }
        }
        const double agreement = powerDb(ref / err);
        std::printf("%d taps, equal histories: %.1f dB from x0 / L\n", taps, agreement);
        EXPECT_GT(agreement, 40.0) << taps << " taps";
    }
}

// Degenerate input keeps the output finite and never louder than the input: a silent near end
// under a loud echo, the same block repeated (rank-one echo covariance, where the closed-form
// determinant cancels to zero in single precision), identical channels, loud full-scale bins,
// and echo present in only half of the bins (the recursive inverse of the empty bins grows
// until the trace guard shrinks it).
TEST(PWFRES, DegenerateInputStaysFinite) {
    for (int flen : {0, 1, 3}) {
        for (float level : {1.0f, 300.0f}) {
            for (int scenario = 0; scenario < 4; ++scenario) {
                std::mt19937 rng(scenario + 10 * flen);
                PWFRES res(2, 1, K, flen, scenario == 3 ? 0.0f : 0.1f);
                ComplexMatrix echo(2, K), near(2, K), out(2, K);
                randomSpectrum(rng, level, &echo);
                for (int b = 0; b < 150; ++b) {
                    if (scenario == 0) {
                        randomSpectrum(rng, level, &echo);
                        near.fill(0.0f, 0.0f);
                    } else if (scenario == 1) {
                        near.copy(&echo);  // the same block, again and again
                    } else if (scenario == 2) {
                        randomSpectrum(rng, level, &echo);
                        for (int k = 0; k < K; ++k) {
                            echo.at(1, k) = echo.get(0, k);
                            if (k >= K / 2) echo.at(0, k) = echo.at(1, k) = 0.0f;
                            near.at(0, k) = near.at(1, k) = 0.5f * echo.get(0, k) + 0.01f * level;
                        }
                    } else {
                        for (int k = 0; k < K; ++k)
                            near.at(0, k) = near.at(1, k) = echo.at(1, k) = echo.get(0, k);
                    }
                    out.copy(&near);
                    res.process(&out, nullptr, &echo);
                    for (int c = 0; c < 2; ++c)
                        for (int k = 0; k < K; ++k) {
                            ASSERT_TRUE(std::isfinite(out.get(c, k).real()) &&
                                        std::isfinite(out.get(c, k).imag()))
                                << "flen " << flen << " level " << level << " scenario " << scenario
                                << " block " << b << " bin " << k;
                            ASSERT_LE(std::norm(out.get(c, k)), std::norm(near.get(c, k)));
                        }
                }
            }
        }
    }
}

// After a long stretch of a repeated loud block (where the recursive inverse loses its
// definiteness to rounding) the suppressor still works on ordinary echo in every bin.
TEST(PWFRES, RecoversAfterDegenerateStretch) {
    std::mt19937 rng(9);
    PWFRES res(1, 1, K, 3, 0.1f);
    ComplexMatrix echo(1, K), near(1, K), out(1, K);
    randomSpectrum(rng, 300.0f, &echo);
    for (int b = 0; b < 300; ++b) {
        out.copy(&echo);
        res.process(&out, nullptr, &echo);
    }
    std::vector<double> in(K), left(K);
    for (int b = 0; b < 200; ++b) {
        randomSpectrum(rng, 1.0f, &echo);
        for (int k = 0; k < K; ++k) near.at(0, k) = 0.1f * echo.get(0, k);
        out.copy(&near);
        res.process(&out, nullptr, &echo);
        if (b < 50) continue;
        for (int k = 0; k < K; ++k)
            in[k] += std::norm(near.get(0, k)), left[k] += std::norm(out.get(0, k));
    }
    for (int k = 0; k < K; ++k) EXPECT_GT(powerDb(in[k] / left[k]), 12.0) << "bin " << k;
}

TEST(PWFRES, ProcessDoesNotAllocate) {
    for (int flen : {0, 3}) {
        PWFRES res(2, 1, K, flen, 0.1f);
        std::mt19937 rng(1);
        ComplexMatrix echo(2, K), near(2, K);
        randomSpectrum(rng, 1.0f, &echo);
        randomSpectrum(rng, 1.0f, &near);
        test::AllocCounter count;
        for (int b = 0; b < 20; ++b) res.process(&near, nullptr, &echo);
        EXPECT_EQ(count.allocations(), 0) << "flen " << flen;
    }
}

// ns_algorithm 1 builds the suppressor with ns_power taps and beta ns_level * agc_gain, and the
// pass-through when there is no reference.
TEST(PWFRES, SelectorBuildsIt) {
    Params p;
    p.ns_algorithm = 1;
    p.ns_power = 3;
    p.ns_level = 0.5f;
    p.agc_gain = 4.0f;
    mode::NSAlgorithm selector(&p, 1, K, 0, 0, nullptr);
    auto* res = dynamic_cast<PWFRES*>(selector.stage());
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->numTaps(), 3);
    EXPECT_EQ(res->numChannels(), 1);
    EXPECT_EQ(res->numRefs(), 1);
    EXPECT_EQ(res->numBins(), K);

    p.numrefs = 0;
    mode::NSAlgorithm none(&p, 1, K, 0, 0, nullptr);
    EXPECT_NE(dynamic_cast<ns::NSBypass*>(none.stage()), nullptr);
}

}  // namespace
}  // namespace velmora
