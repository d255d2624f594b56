#include "ns/NNMaskAECPF.h"

#include <cmath>
#include <vector>

#include "Error.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"
#include "ns/MaskModel.h"
#include "ns/WienerTaps.h"
#include "util/Numeric.h"

namespace velmora::ns {

namespace {

constexpr float kScale = 32768.0f;  // features see the signal at 16-bit sample scale

// out[k] = log(|32768 v[k]|^2 + 1); absurd values count as silence.
void logPower(const blas::Complex* v, int n, float* out) {
    for (int k = 0; k < n; ++k) {
        const float p = v[k].real() * v[k].real() + v[k].imag() * v[k].imag();
        out[k] = std::log((p <= util::kAbsurdPower ? kScale * kScale * p : 0.0f) + 1.0f);
    }
}

}  // namespace

namespace {

// The part both mask-driven suppressors share: models, features and the ring of delay + 1
// near-end blocks (slice 0 the oldest, so after a push it is the input of delay() blocks ago).
struct MaskFrontEnd {
    int numChannels, numRefs, numBins, delay;
    std::vector<std::unique_ptr<MaskModel>> models;
    std::vector<float> features;
    std::unique_ptr<blas::ComplexTensor3> ringStore;
    blas::ComplexTensor3& ring;
    blas::ComplexMatrix clean;
    blas::ComplexMatrix oldest;  // view of ring slice 0

    MaskFrontEnd(int n, int r, const char* base)
        : numChannels(n),
          numRefs(r),
          numBins(MaskModel::kBins),
          delay(0),
          models(makeModels(n, base)),
          ringStore(new blas::ComplexTensor3(models[0]->delay() + 1, n, models[0]->outputDim())),
          ring(*ringStore),
          clean(n, models[0]->outputDim()),
          oldest(n, models[0]->outputDim(), true) {
        numBins = models[0]->outputDim();
        delay = models[0]->delay();
        features.assign(static_cast<size_t>(2 + r) * numBins, 0.0f);
        ring.fill(0.0f, 0.0f);
    }

    static std::vector<std::unique_ptr<MaskModel>> makeModels(int n, const char* base) {
        std::vector<std::unique_ptr<MaskModel>> m;
        for (int c = 0; c < n; ++c) m.emplace_back(new MaskModel(base, 1, 1, "default", 50));
        return m;
    }

    // Features and model of every channel, then the input into the ring.
    void run(const blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
             const blas::ComplexMatrix* echo) {
        for (int c = 0; c < numChannels; ++c)
            util::zeroAbsurd(nearend->data()[c], clean.data()[c], numBins);
        for (int c = 0; c < numChannels; ++c) {
            float* f = features.data();
            logPower(echo->data()[c], numBins, f);
            for (int r = 0; r < numRefs; ++r)
                logPower(ref ? ref->data()[r] : clean.data()[c], numBins, f + (1 + r) * numBins);
            logPower(clean.data()[c], numBins, f + (1 + numRefs) * numBins);
            models[c]->compute(f);
        }
        ring.pushBottom(&clean);
        ring.horizontalView(0, &oldest);
    }

    const float* mask(int c) const { return models[c]->output(); }
};

}  // namespace

struct NNMaskAECPF::Impl {
    MaskFrontEnd front;
    Impl(int n, int r, const char* base) : front(n, r, base) {}
};

NNMaskAECPF::NNMaskAECPF(int numchs, int numrefs, const char* modelbase) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numrefs > 0);
    pp.reset(new Impl(numchs, numrefs, modelbase));
}

NNMaskAECPF::~NNMaskAECPF() = default;

int NNMaskAECPF::numChannels() const {
    return pp->front.numChannels;
}
int NNMaskAECPF::numRefs() const {
    return pp->front.numRefs;
}
int NNMaskAECPF::numBins() const {
    return pp->front.numBins;
}
int NNMaskAECPF::delay() const {
    return pp->front.delay;
}

void NNMaskAECPF::process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
                          const blas::ComplexMatrix* echo) {
    VM_ASSERT(nearend->numRows() == numChannels() && nearend->numColumns() == numBins());
    VM_ASSERT(echo->numRows() == numChannels() && echo->numColumns() == numBins());
    VM_ASSERT(!ref || (ref->numRows() == numRefs() && ref->numColumns() == numBins()));
    MaskFrontEnd& f = pp->front;
    f.run(nearend, ref, echo);
    for (int c = 0; c < f.numChannels; ++c) {
        const float* m = f.mask(c);
        const blas::Complex* x = f.oldest.data()[c];
        blas::Complex* y = nearend->data()[c];
        for (int k = 0; k < f.numBins; ++k) y[k] = m[k] * x[k];
    }
}

namespace {

constexpr int kDefaultTaps = 2;
constexpr float kKeep = 0.2f;
constexpr float kNew = 0.8f;
constexpr float kInitialInverse = 1e5f;
constexpr float kTraceLimit = 1e6f;
constexpr float kTraceShrink = 0.01f;
constexpr float kGateDb = -45.0f;

}  // namespace

// Histories L x N x K with row 0 the newest block: the delayed input x, its speech part and its
// noise part. Per channel the speech covariance and the inverse noise covariance.
struct NNRES::Impl {
    MaskFrontEnd front;
    int numTaps;
    float beta;
    blas::ComplexTensor3 inputHist, speechHist, noiseHist;
    blas::ComplexMatrix tapView;
    blas::ComplexMatrix split;  // N x K scratch for the speech and noise parts
    std::vector<std::unique_ptr<blas::ComplexTensor3>> speechCov, noiseInv;
    blas::ComplexTensor3 product;
    blas::ComplexTensor3 filter;
    blas::Vector gain;

    Impl(int n, int r, int l, float b, const char* base)
        : front(n, r, base),
          numTaps(l),
          beta(b),
          inputHist(l, n, front.numBins),
          speechHist(l, n, front.numBins),
          noiseHist(l, n, front.numBins),
          tapView(l, front.numBins, true),
          split(n, front.numBins),
          product(l, l, front.numBins),
          filter(l, n, front.numBins),
          gain(front.numBins) {
        for (auto* t : {&inputHist, &speechHist, &noiseHist, &filter}) t->fill(0.0f, 0.0f);
        for (int c = 0; c < n; ++c) {
            speechCov.emplace_back(new blas::ComplexTensor3(l, l, front.numBins));
            noiseInv.emplace_back(new blas::ComplexTensor3(l, l, front.numBins));
            speechCov.back()->fill(0.0f, 0.0f);
            noiseInv.back()->fill(0.0f, 0.0f);
            blas::loadDiagonal(noiseInv.back().get(), kInitialInverse);
        }
    }

    // Trace guard of the inverse (scaled by 0.01 once its trace reaches 1e6, Hermitian by
    // construction) and restart of bins that went non-finite.
    void guard(blas::ComplexTensor3* inv) {
        blas::Complex*** p = inv->data();
        const int l = numTaps;
        for (int k = 0; k < front.numBins; ++k) {
            float trace = 0.0f, probe = 0.0f;
            for (int i = 0; i < l; ++i) {
                trace += p[i][i][k].real();
                for (int j = 0; j < l; ++j) probe += p[i][j][k].real() + p[i][j][k].imag();
            }
            if (!std::isfinite(probe)) {
                for (int i = 0; i < l; ++i)
                    for (int j = 0; j < l; ++j)
                        p[i][j][k] = blas::Complex(i == j ? kInitialInverse : 0.0f, 0.0f);
            } else if (trace >= kTraceLimit) {
                for (int i = 0; i < l; ++i)
                    for (int j = 0; j < l; ++j) p[i][j][k] *= kTraceShrink;
            }
        }
    }
};

NNRES::NNRES(int numchs, int numrefs, int flen, float beta, const char* modelbase) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numrefs > 0);
    VM_ASSERT(flen >= 0);
    VM_ASSERT(beta >= 0.0);
    const int taps = flen >= 1 ? flen : kDefaultTaps;
    VM_ASSERT(taps <= 63);
    pp.reset(new Impl(numchs, numrefs, taps, beta, modelbase));
}

NNRES::~NNRES() = default;

int NNRES::numChannels() const {
    return pp->front.numChannels;
}
int NNRES::numRefs() const {
    return pp->front.numRefs;
}
int NNRES::numBins() const {
    return pp->front.numBins;
}
int NNRES::delay() const {
    return pp->front.delay;
}

void NNRES::process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
                    const blas::ComplexMatrix* echo) {
    VM_ASSERT(nearend->numRows() == numChannels() && nearend->numColumns() == numBins());
    VM_ASSERT(echo->numRows() == numChannels() && echo->numColumns() == numBins());
    VM_ASSERT(!ref || (ref->numRows() == numRefs() && ref->numColumns() == numBins()));
    Impl& s = *pp;
    MaskFrontEnd& f = s.front;
    const int numbins = f.numBins, numchs = f.numChannels;
    f.run(nearend, ref, echo);

    s.inputHist.pushTop(&f.oldest);
    for (int c = 0; c < numchs; ++c) {
        const float* m = f.mask(c);
        const blas::Complex* x = f.oldest.data()[c];
        blas::Complex* y = s.split.data()[c];
        for (int k = 0; k < numbins; ++k) y[k] = m[k] * x[k];
    }
    s.speechHist.pushTop(&s.split);
    for (int c = 0; c < numchs; ++c) {
        const float* m = f.mask(c);
        const blas::Complex* x = f.oldest.data()[c];
        blas::Complex* y = s.split.data()[c];
        for (int k = 0; k < numbins; ++k) y[k] = (1.0f - m[k]) * x[k];
    }
    s.noiseHist.pushTop(&s.split);

    const float level = util::levelDb(blas::rowPower(echo, 0));
    if (!(level >= kGateDb)) {
        // The block passes unchanged (bad bins as silence).
        nearend->copy(&f.clean);
        return;
    }

    for (int c = 0; c < numchs; ++c) {
        blas::ComplexTensor3* scov = s.speechCov[c].get();
        blas::ComplexTensor3* ninv = s.noiseInv[c].get();
        s.speechHist.lateralView(c, &s.tapView);
        blas::updateCovariance(kKeep, kNew, scov, &s.tapView, scov);
        s.noiseHist.lateralView(c, &s.tapView);
        blas::updateInverseCovariance(kKeep, kNew, ninv, &s.tapView, ninv);
        s.guard(ninv);
        blas::multiplyPerBin(ninv, scov, &s.product);
        wienerTaps(s.product, s.beta, c, &s.gain, &s.filter);
    }

    nearend->fill(0.0f, 0.0f);
    blas::accumulateProducts(&s.filter, &s.inputHist, nearend);
    for (int c = 0; c < numchs; ++c) {
        blas::Complex* y = nearend->data()[c];
        const blas::Complex* x = s.inputHist.data()[0][c];
        for (int k = 0; k < numbins; ++k)
            if (!(std::norm(y[k]) <= std::norm(x[k]))) y[k] = x[k];
    }
}

}  // namespace velmora::ns
