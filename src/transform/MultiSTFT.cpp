#include "transform/MultiSTFT.h"

#include <cmath>
#include <cstring>

#include "Error.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Matrix.h"
#include "blas/Vector.h"
#include "transform/FFTWrapper.h"
#include "transform/Simd.h"

using velmora::blas::ComplexMatrix;
using velmora::blas::ComplexVector;
using velmora::blas::Matrix;
using velmora::blas::Vector;

using velmora::transform::simd::multiplyPadded;

struct MultiSTFT::Impl {
    int numChannels;
    int stftShift;  // hop S
    int fftSize;    // frame length N
    Vector window;
    FFTWrapper fft;
    Matrix buffer;       // numChannels x N sample histories, newest samples last
    Vector frame;        // view of one history row
    Vector windowed;     // windowed frame
    ComplexVector bins;  // view of one output row

    Impl(int numchs, int stftshift, int fftsize)
        : numChannels(numchs),
          stftShift(stftshift),
          fftSize(fftsize),
          window(fftsize),
          fft(fftsize),
          buffer(numchs, fftsize),
          frame(fftsize, true),
          windowed(fftsize),
          bins(fftsize / 2 + 1, true) {
        const double gain = 2.0 * stftshift / fftsize;
        for (int i = 0; i < fftsize; ++i) {
            const double hann = 0.5 * (1.0 - std::cos(2.0 * M_PI * i / fftsize));
            window.set(i, static_cast<float>(std::sqrt(hann * gain)));
        }
    }

    // Shifts the history of channel c left by S, appends the S samples src[0], src[stride], ..,
    // windows the frame and transforms it into row c of out.
    void analyzeChannel(int c, const float* src, int stride, ComplexMatrix* out) {
        const int n = fftSize, s = stftShift;
        float* h = buffer.data()[c];
        std::memmove(h, h + s, sizeof(float) * (n - s));
        float* tail = h + (n - s);
        if (stride == 1) {
            std::memcpy(tail, src, sizeof(float) * s);
        } else {
            for (int j = 0; j < s; ++j) tail[j] = src[j * stride];
        }
        multiplyPadded(h, window.data(), n, windowed.data());
        out->rowView(c, &bins);
        fft.fft(&windowed, &bins);
    }
};

MultiSTFT::MultiSTFT(int numchs, int stftshift, int fftsize) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(FFTWrapper::isPowOf2(fftsize));
    VM_ASSERT(stftshift > 0 && stftshift <= fftsize);
    pp = std::make_unique<Impl>(numchs, stftshift, fftsize);
}

MultiSTFT::~MultiSTFT() = default;

int MultiSTFT::numChannels() const {
    return pp->numChannels;
}
int MultiSTFT::blockSize() const {
    return pp->stftShift;
}
int MultiSTFT::numBins() const {
    return pp->fftSize / 2 + 1;
}
int MultiSTFT::fftSize() const {
    return pp->fftSize;
}
int MultiSTFT::stftShift() const {
    return pp->stftShift;
}

int MultiSTFT::freqToBin(float fs, float f) const {
    VM_ASSERT(f >= 0.0 && f <= fs / 2.0);
    const int k = static_cast<int>(std::floor(f * 2.0 * (numBins() - 1) / fs + 0.5));
    return k < 0 ? 0 : (k > numBins() - 1 ? numBins() - 1 : k);
}

float MultiSTFT::binToFreq(float fs, int fi) const {
    VM_ASSERT(fi >= 0 && fi < numBins());
    return static_cast<float>(fi * static_cast<double>(fs) / (2.0 * (numBins() - 1)));
}

void MultiSTFT::analyze(const Matrix* in, ComplexMatrix* out) {
    VM_ASSERT(in->numRows() == numChannels() && in->numColumns() == stftShift());
    VM_ASSERT(out->numRows() == numChannels() && out->numColumns() == numBins());
    for (int c = 0; c < pp->numChannels; ++c) pp->analyzeChannel(c, in->data()[c], 1, out);
}

void MultiSTFT::analyze(const float* frames, ComplexMatrix* out) {
    VM_ASSERT(out->numRows() == numChannels() && out->numColumns() == numBins());
    for (int c = 0; c < pp->numChannels; ++c)
        pp->analyzeChannel(c, frames + c, pp->numChannels, out);
}

void MultiSTFT::saveState(std::ostream&) {}

void MultiSTFT::loadState(std::istream&) {}
