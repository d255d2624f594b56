#include "transform/STFT160.h"

#include <algorithm>
#include <cmath>

#include "Error.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Matrix.h"
#include "blas/Vector.h"
#include "transform/FFT_fft160.h"

namespace velmora::transform {

namespace {
constexpr int kFrame = 320;
constexpr int kShift = 160;
constexpr int kBins = 160;
}  // namespace

struct STFT160::Impl {
    int numChannels;
    blas::Vector window;  // square root of the periodic Hann window of 320
    FFT_fft160 fft;
    blas::Matrix history;         // numChannels x 320, newest samples last
    blas::Vector windowed;        // windowed frame
    blas::ComplexVector rowView;  // view on one output row

    explicit Impl(int numchs)
        : numChannels(numchs),
          window(kFrame),
          history(numchs, kFrame),
          windowed(kFrame),
          rowView(kBins, true) {
        const double pi = 3.14159265358979323846;
        for (int i = 0; i < kFrame; i++)
            window.set(
                i, static_cast<float>(std::sqrt(0.5 * (1.0 - std::cos(2.0 * pi * i / kFrame)))));
    }
};

static int checkedChannels(int numchs) {
    VM_ASSERT(numchs > 0);
    return numchs;
}

STFT160::STFT160(int numchs) : pp(std::make_unique<Impl>(checkedChannels(numchs))) {}

STFT160::~STFT160() = default;

int STFT160::numChannels() const {
    return pp->numChannels;
}
int STFT160::blockSize() const {
    return kShift;
}
int STFT160::stftShift() const {
    return kShift;
}
int STFT160::numBins() const {
    return kBins;
}

int STFT160::freqToBin(float fs, float f) const {
    VM_ASSERT(f >= 0.0 && f <= fs / 2.0);
    const int bin = static_cast<int>(std::floor(f * 2.0f * numBins() / fs + 0.5f));
    return std::min(std::max(bin, 0), numBins() - 1);
}

float STFT160::binToFreq(float fs, int fi) const {
    VM_ASSERT(fi >= 0 && fi < numBins());
    return fi * fs / (2.0f * numBins());
}

void STFT160::analyze(const blas::Matrix* in, blas::ComplexMatrix* out) {
    VM_ASSERT(in->numRows() == numChannels() && in->numColumns() == stftShift());
    VM_ASSERT(out->numRows() == numChannels() && out->numColumns() == numBins());
    Impl& s = *pp;
    const float* w = s.window.data();
    float* xw = s.windowed.data();
    for (int c = 0; c < s.numChannels; c++) {
        float* h = s.history.data()[c];
        std::copy(h + kShift, h + kFrame, h);
        std::copy(in->data()[c], in->data()[c] + kShift, h + kFrame - kShift);
        for (int i = 0; i < kFrame; i++) xw[i] = h[i] * w[i];
        s.rowView.setView(out->data()[c]);
        s.fft.fft(&s.windowed, &s.rowView);
    }
}

void STFT160::saveState(std::ostream&) {}

void STFT160::loadState(std::istream&) {}

}  // namespace velmora::transform
