#include "transform/MultiISTFT.h"

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

struct MultiISTFT::Impl {
    int numChannels;
    int stftShift;  // hop S
    int fftSize;    // frame length N
    Vector window;
    FFTWrapper fft;
    Matrix buffer;       // numChannels x N overlap-add buffers; the first S samples are due next
    Vector frame;        // windowed inverse transform of one row
    ComplexVector bins;  // view of one input row

    Impl(int numchs, int stftshift, int fftsize)
        : numChannels(numchs),
          stftShift(stftshift),
          fftSize(fftsize),
          window(fftsize),
          fft(fftsize),
          buffer(numchs, fftsize),
          frame(fftsize),
          bins(fftsize / 2 + 1, true) {
        const double gain = 2.0 * stftshift / fftsize;
        for (int i = 0; i < fftsize; ++i) {
            const double hann = 0.5 * (1.0 - std::cos(2.0 * M_PI * i / fftsize));
            window.set(i, static_cast<float>(std::sqrt(hann * gain)));
        }
    }

    // Inverse-transforms row c of in, windows it, overlap-adds it into channel c's buffer and
    // writes the S finished samples to dst[0], dst[stride], ...
    void synthesizeChannel(int c, const ComplexMatrix* in, float* dst, int stride) {
        const int n = fftSize, s = stftShift;
        const_cast<ComplexMatrix*>(in)->rowView(c, &bins);  // read only
        fft.ifft(&bins, &frame);
        float* q = frame.data();
        multiplyPadded(q, window.data(), n, q);
        float* b = buffer.data()[c];
        for (int j = 0; j < n - s; ++j) b[s + j] += q[j];
        std::memmove(b, b + s, sizeof(float) * (n - s));
        std::memcpy(b + (n - s), q + (n - s), sizeof(float) * s);
        if (stride == 1) {
            std::memcpy(dst, b, sizeof(float) * s);
        } else {
            for (int j = 0; j < s; ++j) dst[j * stride] = b[j];
        }
    }
};

MultiISTFT::MultiISTFT(int numchs, int stftshift, int fftsize) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(FFTWrapper::isPowOf2(fftsize));
    VM_ASSERT(stftshift > 0 && stftshift <= fftsize);
    pp = std::make_unique<Impl>(numchs, stftshift, fftsize);
}

MultiISTFT::~MultiISTFT() = default;

int MultiISTFT::numChannels() const {
    return pp->numChannels;
}
int MultiISTFT::blockSize() const {
    return pp->stftShift;
}
int MultiISTFT::numBins() const {
    return pp->fftSize / 2 + 1;
}
int MultiISTFT::delay() const {
    return pp->fftSize - pp->stftShift;
}
int MultiISTFT::fftSize() const {
    return pp->fftSize;
}
int MultiISTFT::stftShift() const {
    return pp->stftShift;
}

void MultiISTFT::synthesize(const ComplexMatrix* in, Matrix* out) {
    VM_ASSERT(in->numRows() == numChannels() && in->numColumns() == numBins());
    VM_ASSERT(out->numRows() == numChannels() && out->numColumns() == stftShift());
    for (int c = 0; c < pp->numChannels; ++c) pp->synthesizeChannel(c, in, out->data()[c], 1);
}

void MultiISTFT::synthesize(const ComplexMatrix* in, float* frames) {
    VM_ASSERT(in->numRows() == numChannels() && in->numColumns() == numBins());
    for (int c = 0; c < pp->numChannels; ++c)
        pp->synthesizeChannel(c, in, frames + c, pp->numChannels);
}

void MultiISTFT::saveState(std::ostream&) {}

void MultiISTFT::loadState(std::istream&) {}
