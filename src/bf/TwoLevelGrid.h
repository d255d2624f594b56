#pragma once
// TwoLevelGrid: the second-level machinery shared by the two-level Wiener and IVA beamformers.
// Each spectral bin's sequence of blocks is transformed a second time (F points along blocks),
// a small problem is solved per bin in that domain, and its per-sub-bin filters are turned back
// into multi-tap filters along blocks that a BlockMixer applies. The grid keeps the last F
// blocks of every microphone and bin, the square-root Hann window, the F-point transform, the
// mixer and the cursor of the next bin to refresh. Geometry: look-ahead D (1 block above 160
// bins, else 4), causal length Lc (16 when 0 is given), F = max(p(2 Lc), p(2 D)) with p the
// next power of two, Lc + D taps, filter (o, o) starting as a pure D-block delay.

#include <memory>
#include <vector>

#include "blas/Complex.h"

class BlockMixer;

namespace velmora::blas {
class ComplexMatrix;
}

namespace velmora::bf {

class TwoLevelGrid {
  public:
    TwoLevelGrid(int nummics, int numouts, int numbins, int fcausallen);
    ~TwoLevelGrid();
    TwoLevelGrid(const TwoLevelGrid&) = delete;
    TwoLevelGrid& operator=(const TwoLevelGrid&) = delete;

    static int lookaheadFor(int numbins) { return numbins > 160 ? 1 : 4; }
    static int causalLengthFor(int fcausallen) { return fcausallen == 0 ? 16 : fcausallen; }
    static int secondSizeFor(int numbins, int fcausallen);

    int numMics() const;
    int numOuts() const;
    int numBins() const;
    int lookahead() const;     // D
    int causalLength() const;  // Lc
    int secondSize() const;    // F
    int binsPerBlock() const;  // K / 16 bins refreshed per block by default

    // Appends one block (numMics x numBins) as the newest of the history.
    void push(const blas::ComplexMatrix* in);
    // Row m of x (numMics x F) = forward transform of the windowed sequence of bin b of
    // microphone m over the history, oldest block first.
    void analyse(int b, blas::ComplexMatrix* x);
    // The F second-level values of the filter from microphone c to output n become the taps of
    // that mixer filter at bin b: inverse transform, halves swapped (lag 0 at F/2), tap t =
    // value[F/2 + t - D].
    void setTaps(int n, int c, int b, const blas::Complex* response);
    // Sum of the inverse-transformed, half-swapped values at F/2 - h .. F/2 + h.
    blas::Complex lagSum(const blas::Complex* response, int h);
    // The bin to refresh now; the cursor moves on (wrapping at numBins).
    int nextBin();
    BlockMixer* mixer();

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

// The energy weights of the two-level separators: per output, the full-band power of the last
// `length` blocks in a ring.
class EnergyRing {
  public:
    EnergyRing(int outputs, int length);

    // Puts the power of rows 0 .. rows - 1 of `out` (summed over its bins) in place of the
    // oldest block's and writes each row's sum over the ring into sums[row].
    void push(const blas::ComplexMatrix* out, int rows, float* sums);

  private:
    int length_;
    int pos_ = 0;
    std::vector<float> ring_;  // [output][length]
};

}  // namespace velmora::bf
