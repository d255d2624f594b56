#include "transform/PPFBankAnalyzer.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Matrix.h"
#include "blas/Vector.h"
#include "transform/FFT_fft160.h"
#include "transform/FFT_kissfft.h"

namespace velmora::transform {

namespace {

constexpr float kEmphasis = 0.9f;

int typeOfBlockSize(const char* cls, int blockSize) {
    switch (blockSize) {
        case 160:
            return 0;
        case 320:
            return 3;
        case 480:
            return 5;
        case 640:
            return 6;
        default:
            error(cls, "Unsupported block size: %d", blockSize);
    }
}

int checkedType(const char* cls, int numchs, int type) {
    VM_ASSERT(numchs > 0);
    if (type < 0 || type >= kPPFNumTypes) error(cls, "Unknown window type: %d", type);
    return type;
}

}  // namespace

struct PPFBankAnalyzer::Impl {
    int type;
    int numChannels;
    int blockSize;
    int numBins;
    int numBlocks;
    std::unique_ptr<FFT_fft160> fft160;  // types 0 and 1: in place on the output row
    std::unique_ptr<FFT_kissfft> kiss;   // other types: from the frame into the output row
    blas::Vector mem;                    // last input sample of each channel
    std::vector<std::unique_ptr<blas::Vector>> coef;  // a_j[i] = h[B (C - j) - 1 - i]
    std::vector<std::unique_ptr<blas::Matrix>> hist;  // index 0 oldest, C - 1 newest
    blas::Matrix interleaved;                         // input of the interleaved form
    blas::Vector frame;                               // 2B folded values (kissfft types)
    blas::Vector frameView;                           // 2B view on an output row (fft160)
    blas::ComplexVector binsView;                     // B bins of one output row

    Impl(int numchs, int t)
        : type(t),
          numChannels(numchs),
          blockSize(kPPFBlockSize[t]),
          numBins(kPPFBlockSize[t]),
          numBlocks(kPPFNumBlocks[t]),
          mem(numchs),
          interleaved(numchs, kPPFBlockSize[t]),
          frame(2 * kPPFBlockSize[t]),
          frameView(2 * kPPFBlockSize[t], true),
          binsView(kPPFBlockSize[t], true) {
        if (blockSize == 160)
            fft160 = std::make_unique<FFT_fft160>();
        else
            kiss = std::make_unique<FFT_kissfft>(2 * blockSize);
        const float* h = ppfPrototype(t);
        const int B = blockSize, C = numBlocks;
        for (int j = 0; j < C; j++) {
            coef.push_back(std::make_unique<blas::Vector>(B));
            float* a = coef[j]->data();
            for (int i = 0; i < B; i++) a[i] = h[B * (C - j) - 1 - i];
            hist.push_back(std::make_unique<blas::Matrix>(numchs, B));
        }
    }

    void reset() {
        mem.fill(0.0f);
        for (auto& m : hist) m->fill(0.0f);
    }
};

PPFBankAnalyzer::PPFBankAnalyzer(int numchs, int blockSize)
    : PPFBankAnalyzer(numchs, PPFWindowType{typeOfBlockSize("PPFBankAnalyzer", blockSize)}) {}

PPFBankAnalyzer::PPFBankAnalyzer(int numchs, PPFWindowType type)
    : pp(std::make_unique<Impl>(numchs, checkedType("PPFBankAnalyzer", numchs, type.value))) {}

PPFBankAnalyzer::~PPFBankAnalyzer() = default;

int PPFBankAnalyzer::numChannels() const {
    return pp->numChannels;
}
int PPFBankAnalyzer::blockSize() const {
    return pp->blockSize;
}
int PPFBankAnalyzer::numBins() const {
    return pp->numBins;
}
int PPFBankAnalyzer::windowType() const {
    return pp->type;
}

int PPFBankAnalyzer::freqToBin(float fs, float f) const {
    VM_ASSERT(f >= 0.0 && f <= fs / 2.0);
    const int bin = static_cast<int>(std::floor(f * 2.0f * numBins() / fs + 0.5f));
    return std::min(std::max(bin, 0), numBins() - 1);
}

float PPFBankAnalyzer::binToFreq(float fs, int fi) const {
    VM_ASSERT(fi >= 0 && fi < numBins());
    return fi * fs / (2.0f * numBins());
}

void PPFBankAnalyzer::analyze(const blas::Matrix* input, blas::ComplexMatrix* output) {
    VM_ASSERT(input->numRows() == numChannels() && input->numColumns() == blockSize());
    VM_ASSERT(output->numRows() == numChannels() && output->numColumns() == numBins());
    Impl& s = *pp;
    const int B = s.blockSize, C = s.numBlocks;
    float* mem = s.mem.data();
    for (int c = 0; c < s.numChannels; c++) {
        // 1. pre-emphasis of the new block into the newest history block
        const float* x = input->data()[c];
        float* y = s.hist[C - 1]->data()[c];
        y[0] = x[0] - kEmphasis * mem[c];
        for (int n = 1; n < B; n++) y[n] = x[n] - kEmphasis * x[n - 1];
        mem[c] = x[B - 1];

        // 2./3. fold the weighted blocks into [A | D]: even blocks into A, odd ones into D
        float* out = reinterpret_cast<float*>(output->data()[c]);
        float* fold = s.fft160 ? out : s.frame.data();
        float* A = fold;
        float* D = fold + B;
        std::fill(fold, fold + 2 * B, 0.0f);
        for (int j = 0; j < C; j += 2) {
            const float* h0 = s.hist[j]->data()[c];
            const float* a0 = s.coef[j]->data();
            for (int i = 0; i < B; i++) A[i] += h0[i] * a0[i];
            const float* h1 = s.hist[j + 1]->data()[c];
            const float* a1 = s.coef[j + 1]->data();
            for (int i = 0; i < B; i++) D[i] += h1[i] * a1[i];
        }

        // 4. forward real transform into the B packed bins of the output row
        s.binsView.setView(output->data()[c]);
        if (s.fft160) {
            s.frameView.setView(out);
            s.fft160->fft(&s.frameView, &s.binsView);
        } else {
            s.kiss->fft(&s.frame, &s.binsView);
        }
    }
    // the oldest block becomes the slot of the next new block
    std::rotate(s.hist.begin(), s.hist.begin() + 1, s.hist.end());
}

void PPFBankAnalyzer::analyze(const float* frames, blas::ComplexMatrix* output) {
    Impl& s = *pp;
    const int nch = s.numChannels;
    float* const* rows = s.interleaved.data();
    for (int c = 0; c < nch; c++) {
        float* row = rows[c];
        for (int t = 0; t < s.blockSize; t++) row[t] = frames[t * nch + c];
    }
    analyze(&s.interleaved, output);
}

void PPFBankAnalyzer::saveState(std::ostream& os) {
    pp->mem.write(os);
    for (const auto& m : pp->hist) m->write(os);
}

void PPFBankAnalyzer::loadState(std::istream& is) {
    pp->mem.read(is);
    for (auto& m : pp->hist) m->read(is);
    if (!is) pp->reset();
}

}  // namespace velmora::transform
