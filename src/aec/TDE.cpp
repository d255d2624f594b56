#include "aec/TDE.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "Params.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Matrix.h"
#include "blas/Vector.h"
#include "transform/FFTWrapper.h"
#include "transform/MultiSTFT.h"
#include "util/Check.h"
#include "util/DelayedBuffer.h"
#include "util/Numeric.h"

namespace velmora::aec {

using blas::Complex;
using blas::ComplexMatrix;
using blas::ComplexVector;
using blas::Matrix;
using blas::Vector;
using util::DelayedBuffer;

namespace {

constexpr int kDefaultFFTSize = 65536;
// Largest supported search range or block in samples (65 s at 16 kHz); beyond it the
// transform length would no longer fit an int.
constexpr int kMaxSpan = 1 << 20;
// Margin added to an estimated offset so that the echo trails its reference.
constexpr float kMargin = 20.0f;
constexpr float kSmoothing = 0.99f;
constexpr float kUpdate = 0.00999999f;
constexpr float kMinMagnitude = 1e-6f;

// Spreads numBins bin updates over the blocks of a hop. Block 0 (which may estimate) and the
// last block (which runs the analysis) get none; the others share the bins as evenly as the
// running fractional remainder allows, and block n - 2 takes whatever is left. With fewer
// than three blocks per hop there is no spare block, so block 0 updates every bin.
std::vector<int> makeBinSchedule(int numBins, int n) {
    std::vector<int> schedule(static_cast<size_t>(n), 0);
    if (n < 3) {
        schedule[0] = numBins;
        return schedule;
    }
    const int base = numBins / (n - 2);
    const float frac =
        static_cast<float>(numBins) / static_cast<float>(n - 2) - static_cast<float>(base);
    float carry = 0.0f;
    int used = 0;
    for (int i = 1; i <= n - 3; ++i) {
        int count = base;
        carry += frac;
        if (carry >= 1.0f) {
            ++count;
            carry -= 1.0f;
        }
        schedule[i] = count;
        used += count;
    }
    schedule[n - 2] = numBins - used;
    return schedule;
}

}  // namespace

struct TDE::Impl {
    int numMics;
    int numRefs;
    int blockSize;
    int fftSize;
    int hop;
    int numBins;
    int blocksPerHop;
    int blockIndex = 0;
    int binCursor = 0;
    float crossPower = 0.0f;
    float offset = 0.0f;
    bool fixedOffset;
    std::vector<int> binSchedule;
    DelayedBuffer micLine;
    DelayedBuffer refLine;
    // Estimation state; absent when the offset is fixed.
    std::unique_ptr<MultiSTFT> stft;
    std::unique_ptr<FFTWrapper> fft;
    std::unique_ptr<Matrix> sums;             // 2 x hop: summed microphones, summed references
    std::unique_ptr<ComplexMatrix> spectrum;  // 2 x numBins: the last analysed hop
    std::unique_ptr<ComplexVector> cross;     // smoothed cross-spectrum
    std::unique_ptr<ComplexVector> phat;      // cross-spectrum normalised to unit magnitude
    std::unique_ptr<Vector> gcc;              // generalized cross-correlation, fftSize lags

    Impl(int nummics, int numrefs, int blocksize, int fftsize, int hopsize, bool fixed)
        : numMics(nummics),
          numRefs(numrefs),
          blockSize(blocksize),
          fftSize(fftsize),
          hop(hopsize),
          numBins(fftsize / 2 + 1),
          blocksPerHop(hopsize / blocksize),
          fixedOffset(fixed),
          binSchedule(makeBinSchedule(fftsize / 2 + 1, hopsize / blocksize)),
          micLine(nummics, fftsize / 2),
          refLine(numrefs, fftsize / 2) {}

    // Sets the two delays for an offset of x samples (positive: microphones are delayed).
    void applyOffset(float x) {
        if (!fixedOffset) x += kMargin;
        const float cap = static_cast<float>(fftSize / 2);
        int micDelay = 0, refDelay = 0;
        if (x > 0.0f)
            micDelay = static_cast<int>(std::min(x, cap));
        else if (x < 0.0f)
            refDelay = static_cast<int>(std::min(-x, cap));
        micLine.setDelay(micDelay);
        refLine.setDelay(refDelay);
    }

    // Lag of the GCC-PHAT peak in samples, in (-fftSize / 2, fftSize / 2].
    float estimate() {
        fft->ifft(phat.get(), gcc.get());
        const float* g = gcc->data();
        int best = 0;
        float top = 0.0f;
        for (int i = 0; i < fftSize; ++i) {
            if (g[i] > top) {
                top = g[i];
                best = i;
            }
        }
        return static_cast<float>(best > fftSize / 2 ? best - fftSize : best);
    }

    // Smooths the cross-spectrum of `count` bins from binCursor on and refreshes their phase
    // transform.
    void updateBins(int count) {
        const Complex* s0 = spectrum->data()[0];
        const Complex* s1 = spectrum->data()[1];
        Complex* c = cross->data();
        Complex* ph = phat->data();
        float power = 0.0f;
        const int end = binCursor + count;
        for (int q = binCursor; q < end; ++q) {
            // conj(S0) * S1
            const float ar = s0[q].real(), ai = s0[q].imag();
            const float br = s1[q].real(), bi = s1[q].imag();
            const float pr = ar * br + ai * bi;
            const float pi = ar * bi - ai * br;
            const float cr = kSmoothing * c[q].real() + kUpdate * pr;
            const float ci = kSmoothing * c[q].imag() + kUpdate * pi;
            c[q] = Complex(cr, ci);
            const float p = cr * cr + ci * ci;
            power += p;
            const float m = std::sqrt(p);
            ph[q] = m >= kMinMagnitude ? Complex(cr / m, ci / m) : Complex(0.0f, 0.0f);
        }
        crossPower += power;
        binCursor = end;
    }
};

TDE::TDE(int nummics, int numrefs, int blocksize, int maxoffset, int refoffset) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numrefs > 0);
    VM_ASSERT(blocksize > 0);
    const int span = std::max(maxoffset, blocksize);
    if (span > kMaxSpan)
        error("TDE", "Unsupported offset range: %d samples, at most %d", span, kMaxSpan);
    // The transform covers twice the search range (and at least two blocks); the hop is the
    // largest whole number of blocks in half a transform.
    int fftsize = kDefaultFFTSize;
    if (maxoffset >= 1)
        fftsize = FFTWrapper::nextPowOf2(2 * span);
    else if (2 * blocksize > fftsize)
        fftsize = FFTWrapper::nextPowOf2(2 * blocksize);
    const int hopsize = blocksize * (fftsize / 2 / blocksize);
    const bool fixed = refoffset != 0;
    pp = std::make_unique<Impl>(nummics, numrefs, blocksize, fftsize, hopsize, fixed);
    if (fixed) {
        pp->offset = static_cast<float>(refoffset);
        pp->applyOffset(pp->offset);
        return;
    }
    const int numBins = pp->numBins;
    pp->stft = std::make_unique<MultiSTFT>(2, hopsize, fftsize);
    pp->fft = std::make_unique<FFTWrapper>(fftsize);
    pp->sums = std::make_unique<Matrix>(2, hopsize);
    pp->spectrum = std::make_unique<ComplexMatrix>(2, numBins);
    pp->cross = std::make_unique<ComplexVector>(numBins);
    pp->phat = std::make_unique<ComplexVector>(numBins);
    pp->gcc = std::make_unique<Vector>(fftsize);
}

TDE::~TDE() = default;

int TDE::numMics() const {
    return pp->numMics;
}
int TDE::numRefs() const {
    return pp->numRefs;
}
int TDE::blockSize() const {
    return pp->blockSize;
}
int TDE::fftSize() const {
    return pp->fftSize;
}
int TDE::hop() const {
    return pp->hop;
}
int TDE::blocksPerHop() const {
    return pp->blocksPerHop;
}

int TDE::binSchedule(int idx) const {
    VM_ASSERT(idx >= 0 && idx < pp->blocksPerHop);
    return pp->binSchedule[static_cast<size_t>(idx)];
}

bool TDE::fixedOffset() const {
    return pp->fixedOffset;
}
float TDE::offset() const {
    return pp->offset;
}
int TDE::micDelay() const {
    return pp->micLine.delay();
}
int TDE::refDelay() const {
    return pp->refLine.delay();
}

void TDE::process(const float* in, float* out) {
    Impl& s = *pp;
    const int M = s.numMics;
    const int T = s.numMics + s.numRefs;
    const int B = s.blockSize;
    if (s.fixedOffset) {
        for (int p = 0; p < B; ++p) {
            const float* fin = in + static_cast<size_t>(p) * T;
            float* fout = out + static_cast<size_t>(p) * T;
            s.micLine.process(fin, fout);
            s.refLine.process(fin + M, fout + M);
        }
        return;
    }

    // 1. Sum both groups into this block's place of the hop, then pass the block through the
    //    delay lines (the sums are taken first, so `out` may alias `in`).
    float* sumMics = s.sums->data()[0] + static_cast<size_t>(B) * s.blockIndex;
    float* sumRefs = s.sums->data()[1] + static_cast<size_t>(B) * s.blockIndex;
    for (int p = 0; p < B; ++p) {
        const float* fin = in + static_cast<size_t>(p) * T;
        float* fout = out + static_cast<size_t>(p) * T;
        float a = 0.0f;
        for (int c = 0; c < M; ++c) a += fin[c];
        float b = 0.0f;
        for (int c = M; c < T; ++c) b += fin[c];
        sumMics[p] = a;
        sumRefs[p] = b;
        s.micLine.process(fin, fout);
        s.refLine.process(fin + M, fout + M);
    }

    // 2. At the start of a hop, re-estimate when the previous hop carried enough cross power.
    if (s.blockIndex == 0) {
        const float level = util::levelDb(s.crossPower / static_cast<float>(s.numBins));
        if (level >= 0.0f) {
            s.offset = s.estimate();
            s.applyOffset(s.offset);
        }
        s.crossPower = 0.0f;
    }

    // 3. This block's share of the cross-spectrum update.
    s.updateBins(s.binSchedule[static_cast<size_t>(s.blockIndex)]);

    // 4. At the end of a hop, analyse the summed signals for the next hop's updates.
    if (++s.blockIndex == s.blocksPerHop) {
        s.stft->analyze(s.sums.get(), s.spectrum.get());
        s.blockIndex = 0;
        s.binCursor = 0;
    }
}

std::unique_ptr<TDE> TDE::fromParams(const Params& p, int blocksize) {
    if (!p.aec_tde_active || p.numrefs < 1) return nullptr;
    util::requireRange("TDE", "aec_tde_maxoffset", p.aec_tde_maxoffset, 0.0f, kMaxOffsetSeconds);
    util::requireRange("TDE", "aec_tde_refoffset", p.aec_tde_refoffset, -kMaxOffsetSeconds,
                       kMaxOffsetSeconds);
    return std::make_unique<TDE>(p.nummics, p.numrefs, blocksize,
                                 toSamples(p.fsout, p.aec_tde_maxoffset),
                                 toSamples(p.fsout, p.aec_tde_refoffset));
}

int TDE::toSamples(int fs, float seconds) {
    return util::truncateToInt(static_cast<float>(fs) * seconds);
}

}  // namespace velmora::aec
