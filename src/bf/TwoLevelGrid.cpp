#include "bf/TwoLevelGrid.h"

#include <algorithm>
#include <vector>

#include "Error.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "transform/BlockMixer.h"
#include "transform/FFTWrapper.h"

namespace velmora::bf {

using blas::Complex;

struct TwoLevelGrid::Impl {
    int M = 0, outs = 0, K = 0, D = 0, Lc = 0, F = 0;
    int ringPos = 0;  // slot of the oldest block (the next one written)
    int cursor = 0;
    std::vector<Complex> history;  // [m][k][slot], F slots per microphone and bin
    std::unique_ptr<blas::Vector> window;
    std::unique_ptr<FFTWrapper> fft;
    std::unique_ptr<blas::ComplexVector> seq, spec;
    std::unique_ptr<BlockMixer> mixer;
};

int TwoLevelGrid::secondSizeFor(int numbins, int fcausallen) {
    const int lc = causalLengthFor(fcausallen);
    return std::max(FFTWrapper::nextPowOf2(2 * lc),
                    FFTWrapper::nextPowOf2(2 * lookaheadFor(numbins)));
}

TwoLevelGrid::TwoLevelGrid(int nummics, int numouts, int numbins, int fcausallen) : pp(new Impl) {
    VM_ASSERT(fcausallen >= 0);
    VM_ASSERT(nummics > 0 && numouts > 0 && numbins > 0);
    Impl& s = *pp;
    s.M = nummics;
    s.outs = numouts;
    s.K = numbins;
    s.D = lookaheadFor(numbins);
    s.Lc = causalLengthFor(fcausallen);
    s.F = secondSizeFor(numbins, fcausallen);
    s.history.assign(static_cast<size_t>(s.M) * s.K * s.F, Complex(0.0f, 0.0f));
    s.window = std::make_unique<blas::Vector>(s.F);
    FFTWrapper::rootHannWindow(s.window.get());
    s.fft = std::make_unique<FFTWrapper>(s.F);
    s.seq = std::make_unique<blas::ComplexVector>(s.F);
    s.spec = std::make_unique<blas::ComplexVector>(s.F);
    s.mixer = std::make_unique<BlockMixer>(s.M, s.outs, s.K, s.Lc + s.D);
    for (int o = 0; o < std::min(s.M, s.outs); ++o) {
        Complex* tap = s.mixer->filter(o, o)->data()[s.D];
        for (int k = 0; k < s.K; ++k) tap[k] = Complex(1.0f, 0.0f);
    }
}

TwoLevelGrid::~TwoLevelGrid() = default;

int TwoLevelGrid::numMics() const {
    return pp->M;
}
int TwoLevelGrid::numOuts() const {
    return pp->outs;
}
int TwoLevelGrid::numBins() const {
    return pp->K;
}
int TwoLevelGrid::lookahead() const {
    return pp->D;
}
int TwoLevelGrid::causalLength() const {
    return pp->Lc;
}
int TwoLevelGrid::secondSize() const {
    return pp->F;
}
int TwoLevelGrid::binsPerBlock() const {
    return pp->K / 16;
}
BlockMixer* TwoLevelGrid::mixer() {
    return pp->mixer.get();
}

void TwoLevelGrid::push(const blas::ComplexMatrix* in) {
    Impl& s = *pp;
    VM_ASSERT(in->numRows() == s.M && in->numColumns() == s.K);
    for (int m = 0; m < s.M; ++m) {
        const Complex* row = in->data()[m];
        Complex* h = s.history.data() + static_cast<size_t>(m) * s.K * s.F + s.ringPos;
        for (int k = 0; k < s.K; ++k) h[static_cast<size_t>(k) * s.F] = row[k];
    }
    s.ringPos = (s.ringPos + 1) % s.F;
}

void TwoLevelGrid::analyse(int b, blas::ComplexMatrix* x) {
    Impl& s = *pp;
    VM_ASSERT(b >= 0 && b < s.K);
    VM_ASSERT(x->numRows() == s.M && x->numColumns() == s.F);
    const float* w = s.window->data();
    Complex* seq = s.seq->data();
    for (int m = 0; m < s.M; ++m) {
        const Complex* h = s.history.data() + (static_cast<size_t>(m) * s.K + b) * s.F;
        const int first = s.F - s.ringPos;  // slots ringPos .. F-1 are the oldest
        for (int t = 0; t < first; ++t) seq[t] = h[s.ringPos + t] * w[t];
        for (int t = first; t < s.F; ++t) seq[t] = h[t - first] * w[t];
        s.fft->fft(s.seq.get(), s.spec.get());
        std::copy(s.spec->data(), s.spec->data() + s.F, x->data()[m]);
    }
}

void TwoLevelGrid::setTaps(int n, int c, int b, const Complex* response) {
    Impl& s = *pp;
    VM_ASSERT(b >= 0 && b < s.K);
    std::copy(response, response + s.F, s.spec->data());
    s.fft->ifft(s.spec.get(), s.seq.get());
    FFTWrapper::halfSwap(s.seq.get());
    Complex* const* taps = s.mixer->filter(n, c)->data();
    const Complex* v = s.seq->data();
    for (int t = 0; t < s.Lc + s.D; ++t) taps[t][b] = v[s.F / 2 + t - s.D];
}

Complex TwoLevelGrid::lagSum(const Complex* response, int h) {
    Impl& s = *pp;
    std::copy(response, response + s.F, s.spec->data());
    s.fft->ifft(s.spec.get(), s.seq.get());
    FFTWrapper::halfSwap(s.seq.get());
    Complex sum(0.0f, 0.0f);
    for (int i = s.F / 2 - h; i <= s.F / 2 + h; ++i) sum += s.seq->data()[i];
    return sum;
}

int TwoLevelGrid::nextBin() {
    const int b = pp->cursor;
    pp->cursor = (pp->cursor + 1) % pp->K;
    return b;
}

EnergyRing::EnergyRing(int outputs, int length)
    : length_(length), ring_(static_cast<size_t>(outputs) * length, 0.0f) {}

void EnergyRing::push(const blas::ComplexMatrix* out, int rows, float* sums) {
    VM_ASSERT(static_cast<size_t>(rows) * length_ <= ring_.size());
    const int K = out->numColumns();
    for (int o = 0; o < rows; ++o) {
        float p = 0.0f;
        const Complex* y = out->data()[o];
        for (int k = 0; k < K; ++k) p += std::norm(y[k]);
        float* ring = ring_.data() + static_cast<size_t>(o) * length_;
        ring[pos_] = p;
        float sum = 0.0f;
        for (int i = 0; i < length_; ++i) sum += ring[i];
        sums[o] = sum;
    }
    pos_ = (pos_ + 1) % length_;
}

}  // namespace velmora::bf
