#include "mode/TestPhaseDiff.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "Error.h"
#include "Params.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexVector.h"
#include "blas/Matrix.h"
#include "blas/Vector.h"
#include "transform/FFT_fft160.h"
#include "transform/STFT160.h"

namespace velmora::mode {

struct TestPhaseDiff::Impl {
    int mics;
    int channels;  // nummics + numrefs per frame of the block
    long long blocks = 0;
    transform::STFT160 stft;
    transform::FFT_fft160 fft;
    blas::Matrix frames;           // mics x hop
    blas::ComplexMatrix spectra;   // mics x bins
    blas::ComplexMatrix cross;     // pairs x bins, accumulated
    blas::ComplexVector whitened;  // scratch of report()
    blas::Vector lagFunction;      // scratch of report()

    Impl(int m, int pairs)
        : mics(m),
          stft(m),
          frames(m, stft.blockSize()),
          spectra(m, stft.numBins()),
          cross(pairs, stft.numBins()),
          whitened(stft.numBins()),
          lagFunction(fft.fftSize()) {
        cross.fill(0.0f, 0.0f);
    }
};

TestPhaseDiff::TestPhaseDiff(const Params* params) {
    if (params->nummics < 2)
        error("TestPhaseDiff", "Two mics required at least: %d", params->nummics);
    const int m = params->nummics;
    pp = std::make_unique<Impl>(m, m * (m - 1) / 2);
    pp->channels = params->nummics + params->numrefs;
}

TestPhaseDiff::~TestPhaseDiff() = default;

int TestPhaseDiff::blockLength() {
    return pp->stft.blockSize();
}

void TestPhaseDiff::process(const float* block, float*) {
    Impl& s = *pp;
    const int hop = s.stft.blockSize();
    const int bins = s.stft.numBins();
    float* const* rows = s.frames.data();
    for (int t = 0; t < hop; ++t)
        for (int c = 0; c < s.mics; ++c)
            rows[c][t] = block[static_cast<size_t>(t) * s.channels + c];
    s.stft.analyze(&s.frames, &s.spectra);
    const blas::Complex* const* x = static_cast<const blas::ComplexMatrix&>(s.spectra).data();
    blas::Complex* const* acc = s.cross.data();
    int pair = 0;
    for (int j = 0; j < s.mics; ++j) {
        for (int k = j + 1; k < s.mics; ++k, ++pair) {
            // Bin 0 packs two real bins (DC, half rate): their products are taken apart.
            acc[pair][0] +=
                blas::Complex(x[j][0].real() * x[k][0].real(), x[j][0].imag() * x[k][0].imag());
            for (int b = 1; b < bins; ++b) acc[pair][b] += std::conj(x[j][b]) * x[k][b];
        }
    }
    ++s.blocks;
}

int TestPhaseDiff::lag(int pair) {
    Impl& s = *pp;
    const int bins = s.stft.numBins();
    const blas::Complex* a = s.cross.data()[pair];
    blas::Complex* w = s.whitened.data();
    w[0] = blas::Complex(a[0].real() / (std::fabs(a[0].real()) + 1e-6f),
                         a[0].imag() / (std::fabs(a[0].imag()) + 1e-6f));
    for (int b = 1; b < bins; ++b) w[b] = a[b] / (std::abs(a[b]) + 1e-6f);
    s.fft.ifft(&s.whitened, &s.lagFunction);
    const int length = s.fft.fftSize();
    const float* r = s.lagFunction.data();
    int best = 0;
    for (int i = 1; i < length; ++i)
        if (r[i] > r[best]) best = i;
    return best > length / 2 ? best - length : best;
}

void TestPhaseDiff::report() {
    std::printf("Phase Difference Test\n");
    std::printf("\n");
    std::printf("Channel\t\tOffset\t\tResult\n");
    int pair = 0;
    for (int j = 0; j < pp->mics; ++j) {
        for (int k = j + 1; k < pp->mics; ++k, ++pair) {
            const int offset = pp->blocks > 0 ? lag(pair) : 0;
            std::printf("MIC %d,%d\t\t%d\t\t%s\n", j, k, offset,
                        pp->blocks == 0 || offset != 0 ? "FAILED" : "PASSED");
        }
    }
}

}  // namespace velmora::mode
