#pragma once
// BinSequenceTransform: the second frequency analysis of the two-level echo canceller and
// dereverberator. One bin's sequence of E blocks is windowed with the square-root Hann window
// and transformed (E points, oldest block first); the way back turns E per-sub-bin coefficients
// into filter taps along blocks (inverse transform, halves swapped so that lag 0 sits at E / 2,
// tap t = lag t - 1). Work buffers are made once; nothing allocates per call.

#include "blas/Complex.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "transform/FFTWrapper.h"

namespace velmora::blas {
class ComplexMatrix;
class ComplexTensor3;
}  // namespace velmora::blas

class BinSequenceTransform {
  public:
    explicit BinSequenceTransform(int size);

    int size() const { return E_; }
    // Row `row` of out (E values) = transform of the windowed hist[0 .. E-1][c][b].
    void analyse(const velmora::blas::ComplexTensor3& hist, int c, int b,
                 velmora::blas::ComplexMatrix* out, int row);
    // Rows 0 .. L of column b of `taps` = lags -1 .. L-1 of the E coefficients `coeffs`.
    void toTaps(const velmora::blas::Complex* coeffs, int L, velmora::blas::ComplexMatrix* taps,
                int b);

  private:
    int E_;
    velmora::blas::Vector window_;
    FFTWrapper fft_;
    velmora::blas::ComplexVector seq_, spec_, view_;
};
