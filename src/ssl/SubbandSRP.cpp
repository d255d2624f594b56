#include "ssl/SubbandSRP.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "Params.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"
#include "ssl/Array.h"
#include "ssl/DOASpectrum.h"
#include "transform/PPFBankAnalyzer.h"
#include "vad/VADInterface.h"

namespace velmora::ssl {

namespace {

constexpr float kMinNorm = 1e-6f;     // steering vectors shorter than this are not normalised
constexpr float kPhatOffset = 1e-6f;  // keeps the phase transform finite for zero entries
// Largest accepted ssl_numscans: a 0.1-degree grid, already finer than any array resolves; the
// steering table grows with the scan count and would exhaust memory long before a finer one.
constexpr int kMaxScans = 3600;
// Azimuth range scanned with ssl_halfscan: the half plane in front of the array (+x side).
constexpr float kHalfScanLow = -90.0f, kHalfScanHigh = 90.0f;

int bankBin(float f, float fs, int numbins) {
    const int k = static_cast<int>(std::floor(f * 2.0f * numbins / fs + 0.5f));
    return std::min(std::max(k, 0), numbins - 1);
}

}  // namespace

struct SubbandSRP::Impl {
    vad::VADInterface* vad = nullptr;
    int nummics = 0, numouts = 0, numbins = 0, numscans = 0;
    float forget = 1.0f;
    bool weighted = false;
    int binLow = 0, binHigh = 0, numBand = 0;
    std::unique_ptr<blas::ComplexMatrix> band;
    std::unique_ptr<DOASpectrum> spectrum;
    std::vector<std::unique_ptr<blas::ComplexMatrix>> steering;
    std::unique_ptr<blas::ComplexTensor3> covariance;
    std::unique_ptr<blas::ComplexTensor3> normalised;
    std::unique_ptr<blas::Vector> response;
    std::unique_ptr<blas::Vector> weights;  // the detector's probabilities over the band
};

SubbandSRP::SubbandSRP(const Params* params, vad::VADInterface* vad) : pp(new Impl) {
    VM_ASSERT(params->fsout > 0.0);
    VM_ASSERT(params->nummics > 1);
    VM_ASSERT(params->numouts > 0);
    VM_ASSERT(params->ssl_numscans > 0);
    VM_ASSERT(params->ssl_elevation >= -90.0 && params->ssl_elevation <= 90.0);
    VM_ASSERT(params->ssl_f_low >= 0.0 && params->ssl_f_high >= 0.0 &&
              params->ssl_f_high <= params->fsout / 2.0);
    VM_ASSERT(params->ssl_f_low < params->ssl_f_high);
    VM_ASSERT(params->numouts == vad->numOuts());
    // A forgetting factor outside [0, 1] would make the covariances grow without bound.
    VM_ASSERT(params->ssl_forget >= 0.0 && params->ssl_forget <= 1.0);

    if (params->ssl_numscans > kMaxScans)
        error("SubbandSRP", "Too many scans: %d (at most %d)", params->ssl_numscans, kMaxScans);

    Impl& s = *pp;
    s.vad = vad;
    s.nummics = params->nummics;
    s.numouts = vad->numOuts();
    s.numscans = params->ssl_numscans;
    s.forget = params->ssl_forget;
    s.weighted = params->vad_algorithm != 0;
    const float fs = static_cast<float>(params->fsout);
    {
        // The bank is built only for its bin geometry (and refuses unsupported block sizes).
        const int blockSize =
            static_cast<int>(static_cast<float>(params->fsout) * params->block_size);
        transform::PPFBankAnalyzer bank(params->nummics, blockSize);
        s.numbins = bank.numBins();
    }
    // The blocks come in the detector's shape; the band and steering follow the parameters.
    VM_ASSERT(vad->numMics() == params->nummics && vad->numBins() == s.numbins);
    s.binLow = bankBin(static_cast<float>(params->ssl_f_low), fs, s.numbins);
    s.binHigh = bankBin(static_cast<float>(params->ssl_f_high), fs, s.numbins);
    s.numBand = s.binHigh - s.binLow + 1;

    s.band = std::make_unique<blas::ComplexMatrix>(s.nummics, s.numBand);
    s.spectrum = std::make_unique<DOASpectrum>(s.numscans);
    if (params->ssl_halfscan) s.spectrum->setScanRange(kHalfScanLow, kHalfScanHigh);
    s.covariance = std::make_unique<blas::ComplexTensor3>(s.nummics, s.nummics, s.numBand);
    s.normalised = std::make_unique<blas::ComplexTensor3>(s.nummics, s.nummics, s.numBand);
    s.response = std::make_unique<blas::Vector>(s.numBand);
    s.weights = std::make_unique<blas::Vector>(s.numBand);

    Array array(s.nummics);
    for (int m = 0; m < s.nummics; ++m) {
        float x, y, z;
        params->getMicCoordinate(m, &x, &y, &z);
        array.setPosition(m, x, y, z);
    }
    std::vector<blas::Complex> sv(s.nummics);
    s.steering.reserve(s.numscans);
    for (int i = 0; i < s.numscans; ++i) {
        s.steering.push_back(std::make_unique<blas::ComplexMatrix>(s.nummics, s.numBand));
        blas::ComplexMatrix& v = *s.steering.back();
        const float azimuth = s.spectrum->angle(i);
        for (int k = s.binLow; k <= s.binHigh; ++k) {
            const float f = static_cast<float>(k) * fs / (2.0f * static_cast<float>(s.numbins));
            array.steeringVector(azimuth, params->ssl_elevation, f, sv.data());
            float sq = 0.0f;
            for (const blas::Complex& c : sv) sq += std::norm(c);
            const float nrm = std::sqrt(sq);
            const float g = nrm < kMinNorm ? 1.0f : 1.0f / nrm;
            for (int m = 0; m < s.nummics; ++m) v.data()[m][k - s.binLow] = sv[m] * g;
        }
    }
}

SubbandSRP::~SubbandSRP() = default;

int SubbandSRP::numMics() const {
    return pp->vad->numMics();
}

int SubbandSRP::numOuts() const {
    return pp->vad->numOuts();
}

int SubbandSRP::numBins() const {
    return pp->vad->numBins();
}

int SubbandSRP::numScans() const {
    return pp->numscans;
}

void SubbandSRP::process(const blas::ComplexMatrix* data) {
    VM_ASSERT(data->numRows() == numMics() && data->numColumns() == numBins());
    Impl& s = *pp;
    blas::ComplexMatrix* band = s.band.get();
    data->getBlock(0, s.binLow, band);
    // A block with a non-finite value would spoil the accumulated statistics for good.
    if (!std::isfinite(blas::power(band))) return;
    if (s.weighted) {
        float* w = s.weights->data();
        for (int i = 0; i < s.numBand; ++i) w[i] = s.vad->speechProbability(0, s.binLow + i);
        blas::scaleColumns(band, s.weights.get(), band);
    }
    if (s.forget != 1.0f)
        blas::updateCovariance(s.forget, 1.0f - s.forget, s.covariance.get(), band,
                               s.covariance.get());
    else
        blas::updateCovariance(1.0f, 1.0f, s.covariance.get(), band, s.covariance.get());
}

float SubbandSRP::direction(int, int* index, float* value) {
    Impl& s = *pp;
    blas::normalizePhase(s.covariance.get(), kPhatOffset, s.normalised.get());
    int low, high;
    s.spectrum->scanRange(&low, &high);
    float* values = s.spectrum->values();
    for (int i = low; i <= high; ++i) {
        blas::quadraticForm(s.normalised.get(), s.steering[i].get(), s.response.get());
        values[i] = blas::sum(s.response.get());
    }
    float peakValue, peakAngle;
    const int peak = s.spectrum->peak(&peakValue, &peakAngle);
    if (index) *index = peak;
    if (value) *value = peakValue;
    return peakAngle;
}

void SubbandSRP::reset() {
    pp->covariance->fill(blas::Complex(0.0f, 0.0f));
    pp->spectrum->reset();
}

const DOASpectrum* SubbandSRP::spectrum() const {
    return pp->spectrum.get();
}

int SubbandSRP::binLow() const {
    return pp->binLow;
}

int SubbandSRP::binHigh() const {
    return pp->binHigh;
}

}  // namespace velmora::ssl
