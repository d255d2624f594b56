#include "ssl/PostSRP.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "Params.h"
#include "bf/BFInterface.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "ssl/Array.h"
#include "ssl/DOASpectrum.h"
#include "ssl/ScanChecks.h"
#include "transform/PPFBankAnalyzer.h"

namespace velmora::ssl {

using blas::Complex;

namespace {

constexpr float kMinNorm = 1e-6f;  // vectors shorter than this are not normalised
// Azimuth range scanned with ssl_halfscan: the half plane in front of the array (+x side).
constexpr float kHalfScanLow = -90.0f, kHalfScanHigh = 90.0f;

int bankBin(float f, float fs, int numbins) {
    const int k = static_cast<int>(std::floor(f * 2.0f * numbins / fs + 0.5f));
    return std::min(std::max(k, 0), numbins - 1);
}

}  // namespace

struct PostSRP::Impl {
    bf::BFInterface* bf = nullptr;
    int nummics = 0, numscans = 0, binLow = 0, binHigh = 0, numBand = 0;
    std::unique_ptr<blas::ComplexMatrix> columns;
    std::unique_ptr<DOASpectrum> spectrum;
    std::vector<std::unique_ptr<blas::ComplexMatrix>> steering;
};

PostSRP::PostSRP(const Params* params, bf::BFInterface* bf) : pp(new Impl) {
    VM_ASSERT(params->fsout > 0.0);
    VM_ASSERT(params->ssl_numscans > 0);
    VM_ASSERT(params->nummics > 1);
    VM_ASSERT(params->numouts > 0);
    VM_ASSERT(params->ssl_elevation >= -90.0 && params->ssl_elevation <= 90.0);
    VM_ASSERT(params->ssl_f_low >= 0.0 && params->ssl_f_high >= 0.0 &&
              params->ssl_f_high <= params->fsout / 2.0);
    VM_ASSERT(params->ssl_f_low < params->ssl_f_high);
    VM_ASSERT(params->numouts == bf->numOuts());
    VM_ASSERT(params->ssl_numscans <= kMaxScanDirections);

    Impl& s = *pp;
    s.bf = bf;
    s.nummics = params->nummics;
    s.numscans = params->ssl_numscans;
    const float fs = static_cast<float>(params->fsout);
    int numbins;
    {
        // The bank is built only for its bin geometry (and refuses unsupported block sizes).
        const int blockSize =
            static_cast<int>(static_cast<float>(params->fsout) * params->block_size);
        transform::PPFBankAnalyzer bank(params->nummics, blockSize);
        numbins = bank.numBins();
    }
    VM_ASSERT(bf->numMics() == s.nummics && bf->numBins() == numbins);
    s.binLow = bankBin(static_cast<float>(params->ssl_f_low), fs, numbins);
    s.binHigh = bankBin(static_cast<float>(params->ssl_f_high), fs, numbins);
    s.numBand = s.binHigh - s.binLow + 1;
    s.columns = std::make_unique<blas::ComplexMatrix>(s.nummics, s.numBand);
    s.spectrum = std::make_unique<DOASpectrum>(s.numscans);
    if (params->ssl_halfscan) s.spectrum->setScanRange(kHalfScanLow, kHalfScanHigh);

    Array array(s.nummics);
    for (int m = 0; m < s.nummics; ++m) {
        float x, y, z;
        params->getMicCoordinate(m, &x, &y, &z);
        array.setPosition(m, x, y, z);
    }
    std::vector<Complex> sv(s.nummics);
    for (int i = 0; i < s.numscans; ++i) {
        s.steering.push_back(std::make_unique<blas::ComplexMatrix>(s.nummics, s.numBand));
        blas::ComplexMatrix& v = *s.steering.back();
        for (int k = s.binLow; k <= s.binHigh; ++k) {
            const float f = static_cast<float>(k) * fs / (2.0f * static_cast<float>(numbins));
            array.steeringVector(s.spectrum->angle(i), params->ssl_elevation, f, sv.data());
            float sq = 0.0f;
            for (const Complex& c : sv) sq += std::norm(c);
            const float nrm = std::sqrt(sq);
            const float g = nrm < kMinNorm ? 1.0f : 1.0f / nrm;
            for (int m = 0; m < s.nummics; ++m) v.data()[m][k - s.binLow] = sv[m] * g;
        }
    }
}

PostSRP::~PostSRP() = default;

int PostSRP::numMics() const {
    return pp->bf->numMics();
}
int PostSRP::numOuts() const {
    return pp->bf->numOuts();
}
int PostSRP::numBins() const {
    return pp->bf->numBins();
}
int PostSRP::numScans() const {
    return pp->numscans;
}
void PostSRP::reset() {
    pp->spectrum->reset();
}
const DOASpectrum* PostSRP::spectrum() const {
    return pp->spectrum.get();
}

float PostSRP::direction(int n, int* index, float* value) {
    Impl& s = *pp;
    const blas::ComplexTensor3* T = s.bf->sslData();
    if (!T) return 0.0f;
    VM_ASSERT(n >= 0 && n < numOuts());
    VM_ASSERT(T->numRows() == numMics() && T->numColumns() == numOuts() && T->depth() == numBins());
    Complex* const* col = s.columns->data();
    const int M = s.nummics;
    for (int i = 0; i < s.numBand; ++i) {
        float sq = 0.0f;
        for (int m = 0; m < M; ++m) {
            const Complex a = T->data()[m][n][s.binLow + i];
            col[m][i] = a;
            sq += std::norm(a);
        }
        // A non-finite column carries no direction.
        if (!std::isfinite(sq)) {
            for (int m = 0; m < M; ++m) col[m][i] = Complex(0.0f, 0.0f);
            continue;
        }
        const float nrm = std::sqrt(sq);
        if (nrm >= kMinNorm)
            for (int m = 0; m < M; ++m) col[m][i] /= nrm;
    }
    int low, high;
    s.spectrum->scanRange(&low, &high);
    float* values = s.spectrum->values();
    for (int scan = low; scan <= high; ++scan) {
        const Complex* const* v = s.steering[scan]->data();
        float total = 0.0f;
        for (int i = 0; i < s.numBand; ++i) {
            Complex acc(0.0f, 0.0f);
            for (int m = 0; m < M; ++m) acc += std::conj(v[m][i]) * col[m][i];
            total += std::norm(acc);
        }
        values[scan] = total;
    }
    float peakValue, peakAngle;
    const int peak = s.spectrum->peak(&peakValue, &peakAngle);
    if (index) *index = peak;
    if (value) *value = peakValue;
    return peakAngle;
}

}  // namespace velmora::ssl
