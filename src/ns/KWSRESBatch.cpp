#include "ns/KWSRESBatch.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"
#include "ns/WienerTaps.h"
#include "util/Numeric.h"
#include "vad/VADInterface.h"

namespace velmora::ns {

namespace {

constexpr int kDefaultTaps = 2;
constexpr int kDefaultSpeech = 75;  // blocks of an utterance when lock() gets no count (and limit)
constexpr float kKeep = 0.9f;
constexpr float kNew = 0.100000024f;  // 1 - 0.9 in single precision
constexpr float kLoad = 1e-5f;
constexpr float kGateDb = -45.0f;

// Zeroes every bin of `cov` (L x L x K) holding a non-finite value.
void restartNonFinite(blas::ComplexTensor3* cov, int taps, int numbins) {
    blas::Complex*** c = cov->data();
    for (int k = 0; k < numbins; ++k) {
        float probe = 0.0f;
        for (int i = 0; i < taps; ++i)
            for (int j = 0; j < taps; ++j) probe += c[i][j][k].real() + c[i][j][k].imag();
        if (std::isfinite(probe)) continue;
        for (int i = 0; i < taps; ++i)
            for (int j = 0; j < taps; ++j) c[i][j][k] = blas::Complex(0.0f, 0.0f);
    }
}

}  // namespace

// history: 200 x N x K, slice 0 the newest block. The lateral view of channel c (200 x K) is
// narrowed to L rows starting at any history row by a second view.
struct KWSRESBatch::Impl {
    int numChannels, numRefs, numBins, numTaps;
    float beta;
    vad::VADInterface* vad;
    blas::ComplexTensor3 history;
    blas::ComplexMatrix channel;  // 200 x K view
    blas::ComplexMatrix taps;     // L x K view
    blas::ComplexMatrix clean;
    std::vector<std::unique_ptr<blas::ComplexTensor3>> inputCov, noiseCov, noiseInv;
    blas::ComplexTensor3 product;
    blas::ComplexTensor3 filter;  // L x N x K
    blas::Vector gain;
    std::vector<char> ready;
    std::vector<float> lastVad;
    std::vector<char> counting;
    std::vector<int> speechBlocks;

    Impl(int n, int r, int k, int l, float b, vad::VADInterface* v)
        : numChannels(n),
          numRefs(r),
          numBins(k),
          numTaps(l),
          beta(b),
          vad(v),
          history(kHistoryBlocks, n, k),
          channel(kHistoryBlocks, k, true),
          taps(l, k, true),
          clean(n, k),
          product(l, l, k),
          filter(l, n, k),
          gain(k),
          ready(n, 0),
          lastVad(n, 0.0f),
          counting(n, 0),
          speechBlocks(n, 0) {
        history.fill(0.0f, 0.0f);
        for (int c = 0; c < n; ++c) {
            inputCov.emplace_back(new blas::ComplexTensor3(l, l, k));
            noiseCov.emplace_back(new blas::ComplexTensor3(l, l, k));
            noiseInv.emplace_back(new blas::ComplexTensor3(l, l, k));
            inputCov.back()->fill(0.0f, 0.0f);
            noiseCov.back()->fill(0.0f, 0.0f);
            noiseInv.back()->fill(0.0f, 0.0f);
            blas::loadDiagonal(noiseInv.back().get(), 1.0f);
        }
        filter.fill(0.0f, 0.0f);
        for (int c = 0; c < n; ++c)
            for (int q = 0; q < k; ++q) filter.data()[0][c][q] = blas::Complex(1.0f, 0.0f);
    }

    // Points `taps` at the L blocks of channel c starting at history row i.
    void viewTaps(int c, int i) {
        history.lateralView(c, &channel);
        channel.rowsView(i, &taps);
    }
};

KWSRESBatch::KWSRESBatch(int numchs, int numrefs, int numbins, int flen, float beta,
                         vad::VADInterface* vad) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(flen >= 0);
    VM_ASSERT(beta >= 0.0f);
    const int taps = flen >= 1 ? flen : kDefaultTaps;
    VM_ASSERT(taps <= 63);
    pp.reset(new Impl(numchs, numrefs, numbins, taps, beta, vad));
}

KWSRESBatch::~KWSRESBatch() = default;

int KWSRESBatch::numChannels() const {
    return pp->numChannels;
}
int KWSRESBatch::numRefs() const {
    return pp->numRefs;
}
int KWSRESBatch::numBins() const {
    return pp->numBins;
}
bool KWSRESBatch::ready(int n) const {
    return n >= 0 && n < pp->numChannels && pp->ready[n];
}

void KWSRESBatch::lock(int n, const float* blocks) {
    Impl& s = *pp;
    if (n < 0 || n >= s.numChannels) return;
    int speech = kDefaultSpeech;
    if (blocks) {
        const float b = *blocks;
        speech = b >= static_cast<float>(kDefaultSpeech) ? kDefaultSpeech
                                                         : (b >= 0.0f ? static_cast<int>(b) : 0);
    }
    blas::ComplexTensor3* cov = s.noiseCov[n].get();
    for (int i = kHistoryBlocks - s.numTaps; i >= speech; --i) {
        s.viewTaps(n, i);
        blas::updateCovariance(kKeep, kNew, cov, &s.taps, cov);
    }
    restartNonFinite(cov, s.numTaps, s.numBins);
    blas::ComplexTensor3* inv = s.noiseInv[n].get();
    if (s.numTaps == 2) {
        blas::inverseHermitian2x2(cov, kLoad, inv);
    } else if (blas::inverseHermitian(cov, kLoad, inv, 0, s.numBins) != 0) {
        // A bin the loaded factorisation cannot invert keeps no interference estimate.
        blas::Complex*** p = inv->data();
        for (int k = 0; k < s.numBins; ++k) {
            float probe = 0.0f;
            for (int i = 0; i < s.numTaps; ++i) probe += p[i][i][k].real();
            if (std::isfinite(probe) && probe > 0.0f) continue;
            for (int i = 0; i < s.numTaps; ++i)
                for (int j = 0; j < s.numTaps; ++j)
                    p[i][j][k] = blas::Complex(i == j ? 1.0f / kLoad : 0.0f, 0.0f);
        }
    }
    s.ready[n] = 1;
}

void KWSRESBatch::process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* /*ref*/,
                          const blas::ComplexMatrix* echo) {
    VM_ASSERT(nearend->numRows() == numChannels() && nearend->numColumns() == numBins());
    VM_ASSERT(echo->numRows() == numChannels() && echo->numColumns() == numBins());
    Impl& s = *pp;
    const int numbins = s.numBins, L = s.numTaps;

    for (int c = 0; c < s.numChannels; ++c)
        util::zeroAbsurd(nearend->data()[c], s.clean.data()[c], numbins);
    s.history.pushTop(&s.clean);

    for (int c = 0; c < s.numChannels; ++c) {
        blas::ComplexTensor3* cov = s.inputCov[c].get();
        s.viewTaps(c, 0);
        blas::updateCovariance(kKeep, kNew, cov, &s.taps, cov);
        if (!s.ready[c]) continue;
        blas::multiplyPerBin(s.noiseInv[c].get(), cov, &s.product);
        wienerTaps(s.product, s.beta, c, &s.gain, &s.filter);
    }

    const float level = util::levelDb(blas::rowPower(echo, 0));
    if (level >= kGateDb) {
        nearend->fill(0.0f, 0.0f);
        for (int c = 0; c < s.numChannels; ++c) {
            blas::Complex* y = nearend->data()[c];
            for (int l = 0; l < L; ++l) {
                const blas::Complex* w = s.filter.data()[l][c];
                const blas::Complex* x = s.history.data()[l][c];
                for (int k = 0; k < numbins; ++k) y[k] += w[k] * x[k];
            }
            const blas::Complex* x0 = s.history.data()[0][c];
            for (int k = 0; k < numbins; ++k) {
                const float py = std::norm(y[k]), px = std::norm(x0[k]);
                if (!(py <= px)) y[k] = x0[k];
            }
        }
    } else {
        nearend->copy(&s.clean);
    }

    if (!s.vad) return;
    const int outs = std::min(s.numChannels, s.vad->numOuts());
    for (int c = 0; c < outs; ++c) {
        const float v = s.vad->speechProbability(c, 0);
        if (s.lastVad[c] < 0.5f && v >= 0.5f) {
            s.counting[c] = 1;
            s.speechBlocks[c] = 0;
        } else if (s.lastVad[c] >= 0.5f && v < 0.5f) {
            s.counting[c] = 0;
            const float blocks = static_cast<float>(s.speechBlocks[c]);
            lock(c, &blocks);
        }
        if (s.counting[c]) s.speechBlocks[c] += 1;
        s.lastVad[c] = v;
    }
}

}  // namespace velmora::ns
