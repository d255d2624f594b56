#include "transform/BinSequenceTransform.h"

#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"

BinSequenceTransform::BinSequenceTransform(int size)
    : E_(size), window_(size), fft_(size), seq_(size), spec_(size), view_(size, true) {
    FFTWrapper::rootHannWindow(&window_);
}

void BinSequenceTransform::analyse(const velmora::blas::ComplexTensor3& hist, int c, int b,
                                   velmora::blas::ComplexMatrix* out, int row) {
    for (int e = 0; e < E_; ++e) seq_.data()[e] = window_.data()[e] * hist.data()[e][c][b];
    view_.setView(out->data()[row]);
    fft_.fft(&seq_, &view_);
}

void BinSequenceTransform::toTaps(const velmora::blas::Complex* coeffs, int L,
                                  velmora::blas::ComplexMatrix* taps, int b) {
    for (int e = 0; e < E_; ++e) spec_.data()[e] = coeffs[e];
    fft_.ifft(&spec_, &seq_);
    FFTWrapper::halfSwap(&seq_);
    for (int t = 0; t <= L; ++t) taps->data()[t][b] = seq_.data()[E_ / 2 + t - 1];
}
