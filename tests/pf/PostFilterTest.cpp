// Post-filters: hang-over counters, locks and waits of the gain rules, the multi-frame Wiener
// filter against a direct double-precision evaluation, the selector's numbers and start locks,
// and allocation-free processing.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <memory>
#include <vector>

#include "Params.h"
#include "blas/ComplexMatrix.h"
#include "common/AllocCounter.h"
#include "mode/PFAlgorithm.h"
#include "mode/VADAlgorithm.h"
#include "pf/DominantPF.h"
#include "pf/ExclusivePF.h"
#include "pf/PWFPF.h"
#include "pf/VADPF.h"
#include "vad/VADBypass.h"
#include "vad/VADInterface.h"

using velmora::Params;
using velmora::blas::Complex;
using velmora::blas::ComplexMatrix;
using namespace velmora::pf;

namespace {

const int K = 160;  // bins of a 10 ms block at 16 kHz

// Amplitude whose per-bin power is `db` dB.
float amp(float db) {
    return std::pow(10.0f, db / 20.0f);
}

// Every bin of row i holds amps[i] (real), so the row's mean power is amps[i]^2.
void fillRows(ComplexMatrix* m, const std::vector<float>& amps) {
    for (int i = 0; i < m->numRows(); i++)
        for (int k = 0; k < m->numColumns(); k++) m->set(i, k, Complex(amps[i], 0.0f));
}

// Gain applied to row i of a block filled by fillRows; -1 when the bins disagree or a value is
// not finite.
float rowGain(const ComplexMatrix& m, int i, float a) {
    const float g = m.real(i, 0) / a;
    for (int k = 0; k < m.numColumns(); k++) {
        const Complex x = m.get(i, k);
        if (!std::isfinite(x.real()) || x.imag() != 0.0f || x.real() / a != g) return -1.0f;
    }
    return g;
}

void fillRandom(ComplexMatrix* m, unsigned* seed) {
    for (int i = 0; i < m->numRows(); i++)
        for (int k = 0; k < m->numColumns(); k++) {
            const float re = static_cast<float>(rand_r(seed)) / RAND_MAX - 0.5f;
            const float im = static_cast<float>(rand_r(seed)) / RAND_MAX - 0.5f;
            m->set(i, k, Complex(re, im));
        }
}

bool allFinite(const ComplexMatrix& m) {
    for (int i = 0; i < m.numRows(); i++)
        for (int k = 0; k < m.numColumns(); k++)
            if (!std::isfinite(m.real(i, k)) || !std::isfinite(m.imag(i, k))) return false;
    return true;
}

// Detector whose output-0 probabilities the test sets; output 1 always reports speech, so a
// post-filter that reads the wrong output is caught.
class FixedVAD : public velmora::vad::VADInterface {
  public:
    std::vector<float> prob = std::vector<float>(K, 0.0f);
    int numMics() const override { return 2; }
    int numOuts() const override { return 2; }
    int numBins() const override { return K; }
    int delay() const override { return 0; }
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void process(const ComplexMatrix*) override {}
    float speechProbability(int n, int k) const override { return n == 0 ? prob[k] : 1.0f; }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}
    // Half of the bins at 1, the rest at 0: mean exactly 0.5.
    void setHalf() {
        for (int k = 0; k < K; k++) prob[k] = k < K / 2 ? 1.0f : 0.0f;
    }
};

Params twoOutputs() {
    Params p;
    p.numouts = 2;
    p.pf_timeout = 0.05f;  // 5 blocks
    p.pf_wait = 0.05f;     // 5 blocks
    return p;
}

// ---- VADPF ------------------------------------------------------------------------------------

TEST(VADPF, BypassDetectorAttenuatesEveryChannelAfterTheDefaultTimeout) {
    Params p;  // pf_timeout 1.0 s = 100 blocks, pf_level 0.3
    p.numouts = 2;
    velmora::vad::VADBypass vad(2, 2, K);
    VADPF pf(&p, &vad);
    EXPECT_EQ(pf.numChannels(), 2);
    EXPECT_EQ(pf.numBins(), K);
    EXPECT_EQ(pf.delay(), 0);
    ComplexMatrix block(2, K);
    for (int b = 0; b < 130; b++) {
        fillRows(&block, {0.5f, 0.25f});
        pf.process(&block);
        const float expected = b < 100 ? 1.0f : 0.3f;
        ASSERT_EQ(rowGain(block, 0, 0.5f), expected) << "block " << b;
        ASSERT_EQ(rowGain(block, 1, 0.25f), expected) << "block " << b;
    }
}

TEST(VADPF, SpeechOnOutputZeroRestartsTheHangOver) {
    Params p = twoOutputs();
    FixedVAD vad;
    VADPF pf(&p, &vad);
    ComplexMatrix block(2, K);
    auto gainAfter = [&](int blocks) {
        float g = 0.0f;
        for (int b = 0; b < blocks; b++) {
            fillRows(&block, {1.0f, 1.0f});
            pf.process(&block);
            g = rowGain(block, 1, 1.0f);
        }
        return g;
    };
    EXPECT_EQ(gainAfter(5), 1.0f);  // the 5 hang-over blocks
    EXPECT_EQ(gainAfter(1), 0.3f);  // output 1's speech does not count
    vad.setHalf();                  // mean 0.5 is speech
    EXPECT_EQ(gainAfter(3), 1.0f);
    vad.prob.assign(K, 0.49f);
    EXPECT_EQ(gainAfter(5), 1.0f);
    EXPECT_EQ(gainAfter(1), 0.3f);

    p.pf_level = 1.0f;  // a pass-through
    VADPF unity(&p, &vad);
    for (int b = 0; b < 20; b++) {
        fillRows(&block, {1.0f, 1.0f});
        unity.process(&block);
    }
    EXPECT_EQ(rowGain(block, 0, 1.0f), 1.0f);
}

// ---- ExclusivePF ------------------------------------------------------------------------------

// Runs `blocks` blocks of constant row levels (dB) and returns the gains of the last block.
std::vector<float> runExclusive(ExclusivePF* pf, const std::vector<float>& dbs, int blocks) {
    const int n = static_cast<int>(dbs.size());
    ComplexMatrix block(n, K);
    std::vector<float> amps(n), gains(n);
    for (int i = 0; i < n; i++) amps[i] = dbs[i] <= -200.0f ? 0.0f : amp(dbs[i]);
    for (int b = 0; b < blocks; b++) {
        fillRows(&block, amps);
        pf->process(&block);
    }
    for (int i = 0; i < n; i++) {
        gains[i] = amps[i] == 0.0f ? (allFinite(block) && block.real(i, 0) == 0.0f ? 0.0f : -1.0f)
                                   : rowGain(block, i, amps[i]);
    }
    return gains;
}

TEST(ExclusivePF, QuietChannelAttenuatedAfterTimeoutLoudOneNever) {
    Params p = twoOutputs();
    ExclusivePF pf(&p);
    EXPECT_EQ(pf.numChannels(), 2);
    EXPECT_EQ(pf.numBins(), K);
    EXPECT_EQ(pf.delay(), 0);
    EXPECT_EQ(runExclusive(&pf, {-10.0f, -40.0f}, 5), std::vector<float>({1.0f, 1.0f}));
    EXPECT_EQ(runExclusive(&pf, {-10.0f, -40.0f}, 1), std::vector<float>({1.0f, 0.3f}));
    EXPECT_EQ(runExclusive(&pf, {-10.0f, -40.0f}, 10), std::vector<float>({1.0f, 0.3f}));
    // Channel 1 above the floor: its counter restarts, then it runs out again.
    EXPECT_EQ(runExclusive(&pf, {-10.0f, -15.0f}, 1), std::vector<float>({1.0f, 1.0f}));
    EXPECT_EQ(runExclusive(&pf, {-10.0f, -40.0f}, 5), std::vector<float>({1.0f, 1.0f}));
    EXPECT_EQ(runExclusive(&pf, {-10.0f, -40.0f}, 1), std::vector<float>({1.0f, 0.3f}));
}

TEST(ExclusivePF, OwnLevelAtTheFloorKeepsAChannelHoweverLoudTheOthers) {
    Params p = twoOutputs();
    ExclusivePF pf(&p);
    EXPECT_EQ(runExclusive(&pf, {20.0f, -19.5f}, 40), std::vector<float>({1.0f, 1.0f}));
    // Just below the floor (and 40 dB under the other) it is attenuated after the timeout.
    EXPECT_EQ(runExclusive(&pf, {20.0f, -20.5f}, 6), std::vector<float>({1.0f, 0.3f}));
}

TEST(ExclusivePF, BelowTheFloorTheDominantChannelIsKept) {
    Params p = twoOutputs();
    p.numouts = 3;
    p.pf_speech_minsnr = -1.5f;
    ExclusivePF pf(&p);
    // Channel 1 is 0.01 dB above the mean of the others (-30 dB and silence) but 3 dB below
    // their sum; the silent channel 2 is far below the mean of channels 0 and 1.
    EXPECT_EQ(runExclusive(&pf, {-30.0f, -33.0f, -1000.0f}, 6),
              std::vector<float>({1.0f, 1.0f, 0.0f}));
    p.pf_speech_minsnr = 0.5f;
    ExclusivePF strict(&p);
    EXPECT_EQ(runExclusive(&strict, {-30.0f, -33.0f, -40.0f}, 6),
              std::vector<float>({1.0f, 0.3f, 0.3f}));
}

TEST(ExclusivePF, SilenceStaysFiniteAndLevelOneIsAPassThrough) {
    Params p = twoOutputs();
    ExclusivePF pf(&p);
    // Equal silent channels are 0 dB apart, above pf_speech_minsnr (-5): kept, finite zeros.
    EXPECT_EQ(runExclusive(&pf, {-1000.0f, -1000.0f}, 20), std::vector<float>({0.0f, 0.0f}));
    p.pf_level = 1.0f;
    ExclusivePF unity(&p);
    EXPECT_EQ(runExclusive(&unity, {-10.0f, -60.0f}, 20), std::vector<float>({1.0f, 1.0f}));
}

TEST(ExclusivePF, SingleChannelIsDecidedByTheFloorAlone) {
    Params p = twoOutputs();
    p.numouts = 1;
    ExclusivePF pf(&p);
    EXPECT_EQ(runExclusive(&pf, {-10.0f}, 30), std::vector<float>({1.0f}));
    EXPECT_EQ(runExclusive(&pf, {-40.0f}, 5), std::vector<float>({1.0f}));
    EXPECT_EQ(runExclusive(&pf, {-40.0f}, 1), std::vector<float>({0.3f}));
    EXPECT_EQ(runExclusive(&pf, {-10.0f}, 1), std::vector<float>({1.0f}));
    // Silence: attenuated zeros, never NaN.
    EXPECT_EQ(runExclusive(&pf, {-1000.0f}, 8), std::vector<float>({0.0f}));
}

TEST(ExclusivePFDeathTest, RefusesWrongRowsAndLevels) {
    Params p = twoOutputs();
    ExclusivePF pf(&p);
    ComplexMatrix three(3, K);
    EXPECT_DEATH(pf.process(&three), "data->numRows\\(\\) == numChannels\\(\\)");
    p.pf_level = 1.5f;
    EXPECT_DEATH(ExclusivePF bad(&p), "params->pf_level >= 0.0f && params->pf_level <= 1.0f");
    EXPECT_DEATH(DominantPF bad(&p), "params->pf_level >= 0.0f && params->pf_level <= 1.0f");
}

// ---- DominantPF -------------------------------------------------------------------------------

struct DominantRun {
    std::vector<float> gain0, gain1;  // per block
};

// Feeds blocks of the given per-block dB levels to both channels.
DominantRun runDominant(DominantPF* pf, const std::vector<float>& dbs) {
    DominantRun r;
    ComplexMatrix block(2, K);
    for (float db : dbs) {
        const float a = amp(db);
        fillRows(&block, {a, a});
        pf->process(&block);
        r.gain0.push_back(rowGain(block, 0, a));
        r.gain1.push_back(rowGain(block, 1, a));
    }
    return r;
}

std::vector<float> levels(float db, int n) {
    return std::vector<float>(n, db);
}

TEST(DominantPF, AttenuatesOnlyLockedChannelsAfterWaitAndTimeout) {
    Params p = twoOutputs();
    DominantPF pf(&p);
    EXPECT_EQ(pf.numChannels(), 2);
    EXPECT_EQ(pf.numBins(), K);
    EXPECT_EQ(pf.delay(), 0);
    pf.lock(0, nullptr);
    // Warm-up of 100 quiet blocks: probability 0.8, nothing attenuated although locked.
    DominantRun warm = runDominant(&pf, levels(-40.0f, 100));
    for (int b = 0; b < 100; b++) ASSERT_EQ(warm.gain0[b], 1.0f) << b;

    // Noise only: channel 0 is attenuated once its hang-over has run out, channel 1 never.
    DominantRun noise = runDominant(&pf, levels(-40.0f, 60));
    for (int b = 0; b < 5; b++) EXPECT_EQ(noise.gain0[b], 1.0f) << b;
    int first = -1;
    for (int b = 0; b < 60; b++) {
        ASSERT_EQ(noise.gain1[b], 1.0f) << b;
        ASSERT_TRUE(noise.gain0[b] == 1.0f || noise.gain0[b] == 0.3f) << b;
        if (noise.gain0[b] == 0.3f && first < 0) first = b;
    }
    ASSERT_GE(first, 5);
    for (int b = first; b < 60; b++) ASSERT_EQ(noise.gain0[b], 0.3f) << b;

    // Speech 30 dB above the noise restarts the hang-over within a few blocks.
    DominantRun speech = runDominant(&pf, levels(-10.0f, 30));
    for (int b = 5; b < 30; b++) ASSERT_EQ(speech.gain0[b], 1.0f) << b;

    // A fresh lock waits 5 blocks before attenuating again, whatever the model says.
    runDominant(&pf, levels(-40.0f, 60));
    pf.lock(0, nullptr);
    DominantRun relock = runDominant(&pf, levels(-40.0f, 6));
    // The counter drops before it is tested, so a wait of 5 spares the next 4 blocks.
    for (int b = 0; b < 4; b++) EXPECT_EQ(relock.gain0[b], 1.0f) << b;
    EXPECT_EQ(relock.gain0[4], 0.3f);
    EXPECT_EQ(relock.gain0[5], 0.3f);

    pf.unlock(0);
    DominantRun unlocked = runDominant(&pf, levels(-40.0f, 20));
    for (int b = 0; b < 20; b++) ASSERT_EQ(unlocked.gain0[b], 1.0f) << b;
}

TEST(DominantPF, LevelOneAndSilence) {
    Params p = twoOutputs();
    p.pf_level = 1.0f;
    DominantPF unity(&p);
    unity.lock(0, nullptr);
    unity.lock(1, nullptr);
    DominantRun r = runDominant(&unity, levels(-40.0f, 200));
    for (int b = 0; b < 200; b++) ASSERT_EQ(r.gain0[b], 1.0f) << b;

    p.pf_level = 0.3f;
    DominantPF pf(&p);
    pf.lock(0, nullptr);
    ComplexMatrix block(2, K);
    for (int b = 0; b < 200; b++) {
        block.fill(0.0f, 0.0f);
        pf.process(&block);
        ASSERT_TRUE(allFinite(block)) << b;
    }
    EXPECT_EQ(block.real(0, 0), 0.0f);
}

TEST(DominantPFDeathTest, RefusesBadChannelsAndShapes) {
    Params p = twoOutputs();
    DominantPF pf(&p);
    EXPECT_DEATH(pf.lock(2, nullptr), "n >= 0 && n < pp->numchs");
    EXPECT_DEATH(pf.unlock(-1), "n >= 0 && n < pp->numchs");
    ComplexMatrix narrow(2, K - 1);
    EXPECT_DEATH(pf.process(&narrow),
                 "data->numRows\\(\\) == pp->numchs && data->numColumns\\(\\) == pp->numbins");
}

// ---- PWFPF ------------------------------------------------------------------------------------

using cd = std::complex<double>;
using Mat = std::vector<std::vector<cd>>;  // L x L

Mat identity(int n, double x) {
    Mat m(n, std::vector<cd>(n, 0.0));
    for (int i = 0; i < n; i++) m[i][i] = x;
    return m;
}

Mat product(const Mat& a, const Mat& b) {
    const int n = static_cast<int>(a.size());
    Mat c(n, std::vector<cd>(n, 0.0));
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
            for (int l = 0; l < n; l++) c[i][j] += a[i][l] * b[l][j];
    return c;
}

// Gauss-Jordan inverse with partial pivoting.
Mat inverse(Mat a) {
    const int n = static_cast<int>(a.size());
    Mat r = identity(n, 1.0);
    for (int c = 0; c < n; c++) {
        int piv = c;
        for (int i = c + 1; i < n; i++)
            if (std::abs(a[i][c]) > std::abs(a[piv][c])) piv = i;
        std::swap(a[c], a[piv]);
        std::swap(r[c], r[piv]);
        const cd d = a[c][c];
        for (int j = 0; j < n; j++) a[c][j] /= d, r[c][j] /= d;
        for (int i = 0; i < n; i++) {
            if (i == c) continue;
            const cd f = a[i][c];
            for (int j = 0; j < n; j++) a[i][j] -= f * a[c][j], r[i][j] -= f * r[c][j];
        }
    }
    return r;
}

// The filter written out directly in double precision with explicit inverses, one bin and
// channel at a time: x and v are the L-block histories (oldest first), the interference block
// entering the oldest slot as the filter defines it.
class ReferencePWF {
  public:
    ReferencePWF(int chs, int bins, int len, double beta)
        : chs_(chs), bins_(bins), len_(len), beta_(beta) {
        x_.assign(len, std::vector<std::vector<cd>>(chs, std::vector<cd>(bins, 0.0)));
        v_ = x_;
        phix_.assign(chs * bins, identity(len, 0.0));
        pn_.assign(chs * bins, identity(len, 100000.0));
    }
    // Returns the filtered block (as when locked).
    std::vector<std::vector<cd>> process(const ComplexMatrix& in) {
        x_.erase(x_.begin());
        v_.erase(v_.begin());
        x_.emplace_back(chs_, std::vector<cd>(bins_, 0.0));
        v_.emplace_back(chs_, std::vector<cd>(bins_, 0.0));
        for (int i = 0; i < chs_; i++)
            for (int k = 0; k < bins_; k++) x_.back()[i][k] = cd(in.get(i, k));
        std::vector<std::vector<cd>> out(chs_, std::vector<cd>(bins_, 0.0));
        for (int i = 0; i < chs_; i++) {
            for (int k = 0; k < bins_; k++)
                for (int c = 0; c < chs_; c++)
                    if (c != i) v_[0][i][k] += cd(in.get(c, k));
            for (int k = 0; k < bins_; k++) {
                Mat& phix = phix_[i * bins_ + k];
                Mat& pn = pn_[i * bins_ + k];
                Mat rn = inverse(pn);
                double trace = 0.0;
                for (int a = 0; a < len_; a++)
                    for (int b = 0; b < len_; b++) {
                        phix[a][b] = 0.2 * phix[a][b] + 0.8 * x_[a][i][k] * std::conj(x_[b][i][k]);
                        rn[a][b] = 0.2 * rn[a][b] + 0.8 * v_[a][i][k] * std::conj(v_[b][i][k]);
                    }
                pn = inverse(rn);
                for (int a = 0; a < len_; a++) trace += pn[a][a].real();
                if (trace > 100000.0)
                    for (auto& row : pn)
                        for (cd& e : row) e *= 0.01;
                const Mat m = product(pn, phix);
                double d = beta_;
                for (int a = 0; a < len_; a++) d += m[a][a].real();
                if (d < 1e-6) d = 1.0;
                for (int l = 0; l < len_; l++) out[i][k] += std::conj(m[l][0] / d) * x_[l][i][k];
            }
        }
        return out;
    }

  private:
    int chs_, bins_, len_;
    double beta_;
    std::vector<std::vector<std::vector<cd>>> x_, v_;  // L x chs x bins, oldest first
    std::vector<Mat> phix_, pn_;
};

void comparePWF(int pflen, int len) {
    const int chs = 3, bins = 5;
    PWFPF pf(chs, bins, pflen, 0.3f);
    ReferencePWF ref(chs, bins, len, 0.3);
    pf.lock(1, nullptr);  // one flag for every channel
    ComplexMatrix block(chs, bins);
    unsigned seed = 7;
    for (int b = 0; b < 40; b++) {
        fillRandom(&block, &seed);
        const auto expected = ref.process(block);
        pf.process(&block);
        for (int i = 0; i < chs; i++)
            for (int k = 0; k < bins; k++) {
                const cd got(block.get(i, k));
                ASSERT_LT(std::abs(got - expected[i][k]), 1e-3 * (1.0 + std::abs(expected[i][k])))
                    << "L " << len << " block " << b << " channel " << i << " bin " << k;
            }
    }
}

TEST(PWFPF, LockedOutputMatchesADirectEvaluation) {
    comparePWF(0, 2);  // length 0 means 2
    comparePWF(3, 3);
}

TEST(PWFPF, PassesBlocksUnchangedUntilLockedAndAfterUnlock) {
    PWFPF pf(2, K, 0, 0.3f);
    EXPECT_EQ(pf.numChannels(), 2);
    EXPECT_EQ(pf.numBins(), K);
    EXPECT_EQ(pf.delay(), 0);
    ComplexMatrix block(2, K), copy(2, K);
    unsigned seed = 3;
    auto changed = [&] {
        fillRandom(&block, &seed);
        copy.copy(&block);
        pf.process(&block);
        for (int i = 0; i < 2; i++)
            for (int k = 0; k < K; k++)
                if (block.get(i, k) != copy.get(i, k)) return true;
        return false;
    };
    for (int b = 0; b < 20; b++) ASSERT_FALSE(changed()) << b;
    pf.lock(0, nullptr);
    EXPECT_TRUE(changed());
    EXPECT_TRUE(allFinite(block));
    pf.unlock(0);
    EXPECT_FALSE(changed());
}

TEST(PWFPF, SilenceGivesFiniteZeros) {
    for (float beta : {0.0f, 0.3f}) {
        PWFPF pf(2, K, 2, beta);
        pf.lock(0, nullptr);
        ComplexMatrix block(2, K);
        for (int b = 0; b < 300; b++) {
            block.fill(0.0f, 0.0f);
            pf.process(&block);
            ASSERT_TRUE(allFinite(block)) << b;
        }
        EXPECT_EQ(block.get(1, 7), Complex(0.0f, 0.0f));
    }
}

TEST(PWFPFDeathTest, RefusesBadArguments) {
    EXPECT_DEATH(PWFPF(0, K, 0, 0.3f), "numchs > 0");
    EXPECT_DEATH(PWFPF(2, 0, 0, 0.3f), "numbins > 0");
    EXPECT_DEATH(PWFPF(2, K, -1, 0.3f), "pflen >= 0");
    EXPECT_DEATH(PWFPF(2, K, 0, -0.1f), "beta >= 0.0");
    PWFPF pf(2, K, 0, 0.3f);
    ComplexMatrix wrong(1, K);
    EXPECT_DEATH(pf.process(&wrong),
                 "data->numRows\\(\\) == numChannels\\(\\) && data->numColumns\\(\\) == "
                 "numBins\\(\\)");
}

// ---- Selector and allocation ------------------------------------------------------------------

using velmora::mode::PFAlgorithm;
using velmora::mode::VADAlgorithm;

TEST(PFAlgorithm, BuildsEveryNumberAndLocksAtStart) {
    Params p = twoOutputs();
    p.nummics = 2;
    VADAlgorithm vad(&p, K, nullptr);  // vad_algorithm 0
    for (int n = 1; n <= 4; n++) {
        p.pf_algorithm = n;
        PFAlgorithm pf(&p, &vad);
        EXPECT_EQ(pf.numChannels(), 2) << n;
        EXPECT_EQ(pf.delay(), 0) << n;
        EXPECT_EQ(pf.stage()->numBins(), K) << n;
        PFInterface* s = pf.stage();
        const bool right =
            (n == 1 && dynamic_cast<VADPF*>(s)) || (n == 2 && dynamic_cast<ExclusivePF*>(s)) ||
            (n == 3 && dynamic_cast<DominantPF*>(s)) || (n == 4 && dynamic_cast<PWFPF*>(s));
        EXPECT_TRUE(right) << n;
    }

    // Locked at start: the Wiener filter replaces the very first block.
    ComplexMatrix block(2, K), copy(2, K);
    unsigned seed = 11;
    for (bool locked : {false, true}) {
        p.pf_algorithm = 4;
        p.bf_islocked = locked;
        PFAlgorithm pf(&p, &vad);
        fillRandom(&block, &seed);
        copy.copy(&block);
        pf.process(&block);
        EXPECT_EQ(block.get(0, 3) != copy.get(0, 3), locked);
    }

    // Locked at start with no wait: noise is attenuated after warm-up and hang-over.
    for (bool locked : {false, true}) {
        p.pf_algorithm = 3;
        p.pf_wait = 0.0f;
        p.bf_islocked = locked;
        PFAlgorithm pf(&p, &vad);
        float gain = 0.0f;
        for (int b = 0; b < 200; b++) {
            fillRows(&block, {0.01f, 0.01f});
            pf.process(&block);
            gain = rowGain(block, 1, 0.01f);
        }
        EXPECT_EQ(gain, locked ? 0.3f : 1.0f);
    }
}

TEST(PostFilters, ProcessAllocatesNothing) {
    Params p = twoOutputs();
    velmora::vad::VADBypass vad(2, 2, K);
    std::vector<std::unique_ptr<PFInterface>> filters;
    filters.emplace_back(new VADPF(&p, &vad));
    filters.emplace_back(new ExclusivePF(&p));
    filters.emplace_back(new DominantPF(&p));
    filters.emplace_back(new PWFPF(2, K, 0, 0.3f));
    for (auto& f : filters) f->lock(0, nullptr);
    ComplexMatrix block(2, K);
    unsigned seed = 5;
    velmora::test::AllocCounter count;
    for (int b = 0; b < 250; b++) {
        for (auto& f : filters) {
            fillRandom(&block, &seed);
            f->process(&block);
        }
    }
    EXPECT_EQ(count.allocations(), 0);
}

}  // namespace
