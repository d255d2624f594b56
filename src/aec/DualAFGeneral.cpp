#include "aec/DualAFGeneral.h"

#include "Error.h"
#include "aec/CSAECFDGeneral2.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "util/Numeric.h"

#include <vector>

namespace velmora::aec {

namespace {

constexpr int kNominalRate = 16000;  // the cores' timing constants assume 16 kHz, whatever runs
constexpr int kMaxTaps = 1000;       // 10 s of filter at 10 ms blocks: beyond any room
constexpr int kNumParams = 13;       // count entry plus twelve values

// Entry 0: how many entries follow; then the twelve core parameters in setter order.
constexpr float kPresetLevel0[kNumParams] = {12.0f, 0.15f, 0.1f, 0.0f, 1.0f, 1.0f, 0.0f,
                                             0.5f,  1.0f,  1.0f, 0.0f, 0.0f, 1.0f};
constexpr float kPresetOther[kNumParams] = {12.0f, 0.2f, 0.05f, 0.0f, 1.0f, 1.0f, 1.0f,
                                            0.5f,  0.0f, 1.0f,  0.0f, 0.0f, 1.0f};

void applyParams(const float* v, CSAECFDGeneral2* c) {
    const int n = static_cast<int>(v[0]);
    auto i = [&](int k) { return static_cast<int>(v[k]); };
    if (n >= 1) c->setReserved(v[1]);
    if (n >= 2) c->setStepSize(v[2]);
    if (n >= 3) c->setFrozenStep(v[3]);
    if (n >= 4) c->setConvergenceDetect(i(4));
    if (n >= 5) c->setDualFilter(i(5));
    if (n >= 6) c->setTapProfile(i(6));
    if (n >= 7) c->setProfileMix(v[7]);
    if (n >= 8) c->setUpdateLast(i(8));
    if (n >= 9) c->setIterations(i(9));
    if (n >= 10) c->setStepControl(i(10));
    if (n >= 11) c->setRegularisedStep(i(11));
    if (n >= 12) c->setRegularisation(v[12]);
}

}  // namespace

struct DualAFGeneral::Impl {
    int numMics;
    int numRefs;
    int numBins;
    blas::ComplexMatrix refMix;
    blas::ComplexVector micClean;                  // a microphone row with its garbage bins zeroed
    blas::ComplexVector micRow, nearRow, echoRow;  // views onto rows of the caller's blocks
    std::vector<std::unique_ptr<CSAECFDGeneral2>> cores;

    Impl(int M, int R, int K)
        : numMics(M),
          numRefs(R),
          numBins(K),
          refMix(R, K),
          micClean(K),
          micRow(K, true),
          nearRow(K, true),
          echoRow(K, true) {}
};

DualAFGeneral::DualAFGeneral(int nummics, int numrefs, int numbins, int aflen, int level) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numrefs == 1 || numrefs == 2);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(aflen >= 0);
    if (aflen > kMaxTaps)
        error("DualAFGeneral", "Filter length %d blocks is above the limit of %d", aflen, kMaxTaps);
    pp = std::make_unique<Impl>(nummics, numrefs, numbins);
    for (int m = 0; m < nummics; ++m) {
        pp->cores.push_back(
            std::make_unique<CSAECFDGeneral2>(kNominalRate, numrefs, aflen, numbins));
        applyPreset(level, pp->cores.back().get());
    }
}

void DualAFGeneral::applyPreset(int level, CSAECFDGeneral2* core) {
    applyParams(level == 0 ? kPresetLevel0 : kPresetOther, core);
}

DualAFGeneral::~DualAFGeneral() = default;

int DualAFGeneral::numMics() const {
    return pp->numMics;
}
int DualAFGeneral::numRefs() const {
    return pp->numRefs;
}
int DualAFGeneral::numBins() const {
    return pp->numBins;
}

const CSAECFDGeneral2* DualAFGeneral::core(int m) const {
    VM_ASSERT(m >= 0 && m < pp->numMics);
    return pp->cores[static_cast<size_t>(m)].get();
}

const blas::ComplexMatrix* DualAFGeneral::refMix() const {
    return &pp->refMix;
}

void DualAFGeneral::process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                            blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) {
    VM_ASSERT(mic->numRows() == numMics() && mic->numColumns() == numBins());
    VM_ASSERT(ref->numRows() == numRefs() && ref->numColumns() == numBins());
    VM_ASSERT(nearend->numRows() == numMics() && nearend->numColumns() == numBins());
    VM_ASSERT(echo->numRows() == numMics() && echo->numColumns() == numBins());
    Impl& s = *pp;
    const blas::ComplexMatrix* refs = ref;
    if (s.numRefs == 2) {
        // Halved sum and difference channels.
        const float* r0 = reinterpret_cast<const float*>(ref->data()[0]);
        const float* r1 = reinterpret_cast<const float*>(ref->data()[1]);
        float* sum = reinterpret_cast<float*>(s.refMix.data()[0]);
        float* diff = reinterpret_cast<float*>(s.refMix.data()[1]);
        for (int j = 0; j < 2 * s.numBins; ++j) {
            const float a = r0[j], b = r1[j];
            sum[j] = (a + b) * 0.5f;
            diff[j] = (a - b) * 0.5f;
        }
        refs = &s.refMix;
    }
    // NaN, infinite or absurd bins (a broken input) enter the filters as silence, in a copy:
    // one of them would otherwise spoil the filters of its bin for good.
    const int K = s.numBins;
    for (int r = 0; r < s.numRefs; ++r) {
        if (!util::hasAbsurd(refs->data()[r], K)) continue;
        if (refs != &s.refMix) s.refMix.copy(ref);
        util::zeroAbsurd(s.refMix.data()[r], s.refMix.data()[r], K);
        refs = &s.refMix;
    }
    for (int m = 0; m < s.numMics; ++m) {
        blas::Complex* row = const_cast<blas::Complex*>(mic->data()[m]);
        if (util::hasAbsurd(row, K)) {
            util::zeroAbsurd(row, s.micClean.data(), K);
            row = s.micClean.data();
        }
        // The microphone view is only read: the cast lets one view type serve all three rows.
        s.micRow.setView(row);
        s.nearRow.setView(nearend->data()[m]);
        s.echoRow.setView(echo->data()[m]);
        s.cores[static_cast<size_t>(m)]->process(&s.micRow, refs, &s.nearRow, &s.echoRow);
    }
}

}  // namespace velmora::aec
