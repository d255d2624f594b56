#include "transform/PPFBankSynthesizer.h"

#include <algorithm>
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

int typeOfBlockSize(int blockSize) {
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
            error("PPFBankSynthesizer", "Unsupported block size: %d", blockSize);
    }
}

int checkedType(int numchs, int type) {
    VM_ASSERT(numchs > 0);
    if (type < 0 || type >= kPPFNumTypes)
        error("PPFBankSynthesizer", "Unknown window type: %d", type);
    return type;
}

}  // namespace

struct PPFBankSynthesizer::Impl {
    int type;
    int numChannels;
    int blockSize;
    int numBins;
    int numBlocks;
    int delay;
    std::unique_ptr<FFT_fft160> fft160;               // types 0 and 1
    std::unique_ptr<FFT_kissfft> kiss;                // other types
    blas::Vector mem;                                 // last output sample of each channel
    std::vector<std::unique_ptr<blas::Vector>> coef;  // s_j[i] = h[j B + i]
    std::vector<std::unique_ptr<blas::Matrix>> acc;   // index 0 is the block completed next
    blas::Matrix interleaved;                         // output of the interleaved form
    blas::Vector frame;                               // 2B values [P | Q] of one channel
    blas::ComplexVector binsView;                     // B bins of one input row

    Impl(int numchs, int t)
        : type(t),
          numChannels(numchs),
          blockSize(kPPFBlockSize[t]),
          numBins(kPPFBlockSize[t]),
          numBlocks(kPPFNumBlocks[t]),
          delay(kPPFDelay[t]),
          mem(numchs),
          interleaved(numchs, kPPFBlockSize[t]),
          frame(2 * kPPFBlockSize[t]),
          binsView(kPPFBlockSize[t], true) {
        if (blockSize == 160)
            fft160 = std::make_unique<FFT_fft160>();
        else
            kiss = std::make_unique<FFT_kissfft>(2 * blockSize);
        const float* h = ppfPrototype(t);
        const int B = blockSize;
        for (int j = 0; j < numBlocks; j++) {
            coef.push_back(std::make_unique<blas::Vector>(B));
            std::copy(h + j * B, h + (j + 1) * B, coef[j]->data());
            acc.push_back(std::make_unique<blas::Matrix>(numchs, B));
        }
    }

    void reset() {
        mem.fill(0.0f);
        for (auto& m : acc) m->fill(0.0f);
    }
};

PPFBankSynthesizer::PPFBankSynthesizer(int numchs, int blockSize)
    : PPFBankSynthesizer(numchs, PPFWindowType{typeOfBlockSize(blockSize)}) {}

PPFBankSynthesizer::PPFBankSynthesizer(int numchs, PPFWindowType type)
    : pp(std::make_unique<Impl>(numchs, checkedType(numchs, type.value))) {}

PPFBankSynthesizer::~PPFBankSynthesizer() = default;

int PPFBankSynthesizer::numChannels() const {
    return pp->numChannels;
}
int PPFBankSynthesizer::blockSize() const {
    return pp->blockSize;
}
int PPFBankSynthesizer::numBins() const {
    return pp->numBins;
}
int PPFBankSynthesizer::delay() const {
    return pp->delay;
}
int PPFBankSynthesizer::windowType() const {
    return pp->type;
}

void PPFBankSynthesizer::synthesize(const blas::ComplexMatrix* input, blas::Matrix* output) {
    VM_ASSERT(input->numRows() == numChannels() && input->numColumns() == numBins());
    VM_ASSERT(output->numRows() == numChannels() && output->numColumns() == blockSize());
    Impl& s = *pp;
    const int B = s.blockSize, C = s.numBlocks;
    float* mem = s.mem.data();
    const float* P = s.frame.data();
    const float* Q = P + B;
    for (int c = 0; c < s.numChannels; c++) {
        // 1. inverse real transform of the B packed bins into [P | Q]; the view only reads
        s.binsView.setView(const_cast<blas::Complex*>(input->data()[c]));
        if (s.fft160)
            s.fft160->ifft(&s.binsView, &s.frame);
        else
            s.kiss->ifft(&s.binsView, &s.frame);

        // 2. weighted overlap-add: P into the even blocks, Q into the odd ones
        for (int j = 0; j < C; j += 2) {
            float* a0 = s.acc[j]->data()[c];
            const float* s0 = s.coef[j]->data();
            for (int i = 0; i < B; i++) a0[i] += P[i] * s0[i];
            float* a1 = s.acc[j + 1]->data()[c];
            const float* s1 = s.coef[j + 1]->data();
            for (int i = 0; i < B; i++) a1[i] += Q[i] * s1[i];
        }

        // 3. de-emphasis of the completed block into the output row, then clear it
        float* v = s.acc[0]->data()[c];
        float* y = output->data()[c];
        float prev = mem[c];
        for (int n = 0; n < B; n++) {
            prev = v[n] + kEmphasis * prev;
            y[n] = prev;
        }
        mem[c] = prev;
        std::fill(v, v + B, 0.0f);
    }
    // the cleared block becomes the last one
    std::rotate(s.acc.begin(), s.acc.begin() + 1, s.acc.end());
}

void PPFBankSynthesizer::synthesize(const blas::ComplexMatrix* input, float* frames) {
    Impl& s = *pp;
    synthesize(input, &s.interleaved);
    const int nch = s.numChannels;
    const float* const* rows = static_cast<const blas::Matrix&>(s.interleaved).data();
    for (int c = 0; c < nch; c++) {
        const float* row = rows[c];
        for (int t = 0; t < s.blockSize; t++) frames[t * nch + c] = row[t];
    }
}

void PPFBankSynthesizer::saveState(std::ostream& os) {
    pp->mem.write(os);
    for (const auto& m : pp->acc) m->write(os);
}

void PPFBankSynthesizer::loadState(std::istream& is) {
    pp->mem.read(is);
    for (auto& m : pp->acc) m->read(is);
    if (!is) pp->reset();
}

}  // namespace velmora::transform
