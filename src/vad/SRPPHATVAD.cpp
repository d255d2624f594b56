#include "vad/SRPPHATVAD.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "Params.h"
#include "blas/BLAS.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"
#include "ssl/Angle.h"
#include "ssl/Array.h"
#include "transform/PPFBankAnalyzer.h"
#include "util/Numeric.h"
#include "vad/CHMM.h"

namespace velmora::vad {

namespace {

constexpr float kNoLook = -500.0f;             // look direction before the first setLook
constexpr float kStepDegrees = 10.0f;          // spacing of the directions around the look
constexpr int kMaxHalfSteps = 18;              // 18 steps of 10 degrees reach all round the circle
constexpr float kDefaultForget = 0.8f;         // covariance smoothing when vad_forget is 0
constexpr int kHistory = 200;                  // feature values kept for warm-up and lock
constexpr int kWarmup = 200;                   // counted blocks before the model is re-initialised
constexpr int kDefaultLockBlocks = 100;        // speech blocks assumed by lock without a count
constexpr float kGateDb = -55.0f;              // quieter blocks on microphone 0 are ignored
constexpr float kStartProbability = 0.8f;      // probability before and right after the warm-up
constexpr float kSpeechExtraVariance = 20.0f;  // speech variance over the warm-up variance
constexpr float kMinNorm = 1e-6f;              // vectors shorter than this are not normalised
// Starting Gaussians of the model, (mean, variance) of the noise and of the speech state.
constexpr float kNoiseMu = 50.0f, kNoiseVar = 10.0f, kSpeechMu = 60.0f, kSpeechVar = 20.0f;

int bankBin(float f, float fs, int numbins) {
    const int k = static_cast<int>(std::floor(f * 2.0f * numbins / fs + 0.5f));
    return std::min(std::max(k, 0), numbins - 1);
}

}  // namespace

struct SRPPHATVAD::Impl {
    int nummics = 0;
    int numbins = 0;
    float fs = 0.0f;
    int binLow = 0, binHigh = 0, numBand = 0;
    float elevation = 0.0f;
    float lookDirection = kNoLook;
    int halfSteps = 0;
    float forget = kDefaultForget;
    std::unique_ptr<ssl::Array> array;
    std::unique_ptr<blas::ComplexMatrix> band;
    std::vector<std::unique_ptr<blas::ComplexMatrix>> steering;
    std::unique_ptr<blas::ComplexTensor3> covariance;
    std::unique_ptr<blas::Vector> power;
    std::unique_ptr<blas::Vector> history;
    std::vector<blas::Complex> sv;  // one steering vector (scratch of setLook)
    int warmup = kWarmup;
    CHMM model;
    float probability = kStartProbability;
    float feature = 0.0f;
};

SRPPHATVAD::SRPPHATVAD(const Params* params) : pp(new Impl) {
    VM_ASSERT(params->fsout > 0.0f);
    VM_ASSERT(params->nummics > 0);
    VM_ASSERT(params->ssl_numscans > 0);
    VM_ASSERT(params->ssl_elevation >= -90.0f && params->ssl_elevation <= 90.0f);
    VM_ASSERT(params->ssl_f_low >= 0.0f && params->ssl_f_high >= 0.0f &&
              params->ssl_f_high <= params->fsout / 2.0f);
    VM_ASSERT(params->ssl_f_low < params->ssl_f_high);
    VM_ASSERT(params->vad_forget >= 0.0f && params->vad_forget <= 1.0f);
    VM_ASSERT(params->vad_target_radius > 0.0f);

    Impl& s = *pp;
    s.nummics = params->nummics;
    s.fs = static_cast<float>(params->fsout);
    {
        // The bank is built only for its bin geometry (and refuses unsupported block sizes).
        const int blockSize =
            static_cast<int>(static_cast<float>(params->fsout) * params->block_size);
        transform::PPFBankAnalyzer bank(params->nummics, blockSize);
        s.numbins = bank.numBins();
    }
    s.binLow = bankBin(static_cast<float>(params->ssl_f_low), s.fs, s.numbins);
    s.binHigh = bankBin(static_cast<float>(params->ssl_f_high), s.fs, s.numbins);
    s.numBand = s.binHigh - s.binLow + 1;
    s.elevation = params->ssl_elevation;
    const float halfSteps = params->vad_target_radius / kStepDegrees;
    s.halfSteps = halfSteps >= kMaxHalfSteps ? kMaxHalfSteps : static_cast<int>(halfSteps);
    s.forget = params->vad_forget != 0.0f ? params->vad_forget : kDefaultForget;

    s.array = std::make_unique<ssl::Array>(s.nummics);
    for (int m = 0; m < s.nummics; ++m) {
        float x, y, z;
        params->getMicCoordinate(m, &x, &y, &z);
        s.array->setPosition(m, x, y, z);
    }
    s.band = std::make_unique<blas::ComplexMatrix>(s.nummics, s.numBand);
    for (int i = 0; i < 2 * s.halfSteps + 1; ++i)
        s.steering.push_back(std::make_unique<blas::ComplexMatrix>(s.nummics, s.numBand));
    s.covariance = std::make_unique<blas::ComplexTensor3>(s.nummics, s.nummics, s.numBand);
    s.power = std::make_unique<blas::Vector>(s.numBand);
    s.history = std::make_unique<blas::Vector>(kHistory);
    s.sv.resize(s.nummics);

    if (params->vad_minsnr != 0.0f) s.model.setMinSNR(params->vad_minsnr);
    if (params->vad_noise_minvar != 0.0f) s.model.setMinVariance(0, params->vad_noise_minvar);
    if (params->vad_target_minvar != 0.0f) s.model.setMinVariance(1, params->vad_target_minvar);
    s.model.setGaussian(0, kNoiseMu, kNoiseVar);
    s.model.setGaussian(1, kSpeechMu, kSpeechVar);

    setLook(0, params->bf_look);
}

SRPPHATVAD::~SRPPHATVAD() = default;

int SRPPHATVAD::numMics() const {
    return pp->nummics;
}

int SRPPHATVAD::numBins() const {
    return pp->numbins;
}

int SRPPHATVAD::delay() const {
    if (pp->numbins == 160) return 5;
    if (pp->numbins == 320) return 2;
    return 1;
}

float SRPPHATVAD::look(int) const {
    return pp->lookDirection;
}

void SRPPHATVAD::setLook(int, float azimuth) {
    Impl& s = *pp;
    const float a = ssl::wrapAngle(azimuth);
    if (a == s.lookDirection) return;
    s.lookDirection = a;
    const int K = s.halfSteps;
    for (int i = 0; i <= 2 * K; ++i) {
        const float d = ssl::wrapAngle(static_cast<float>(i - K) * kStepDegrees + a);
        blas::ComplexMatrix& v = *s.steering[i];
        for (int k = s.binLow; k <= s.binHigh; ++k) {
            const float f = static_cast<float>(k) * s.fs / (2.0f * static_cast<float>(s.numbins));
            s.array->steeringVector(d, s.elevation, f, s.sv.data());
            float sq = 0.0f;
            for (const blas::Complex& c : s.sv) sq += std::norm(c);
            const float nrm = std::sqrt(sq);
            const float g = nrm < kMinNorm ? 1.0f : 1.0f / nrm;
            for (int m = 0; m < s.nummics; ++m) v.data()[m][k - s.binLow] = s.sv[m] * g;
        }
    }
}

void SRPPHATVAD::lock(int, const float* blocks) {
    Impl& s = *pp;
    int n = kDefaultLockBlocks;
    if (blocks) {
        // Compare as floats first, so a huge or non-numeric count cannot overflow the cast.
        if (!(*blocks >= 1.0f)) return;
        n = *blocks >= static_cast<float>(kDefaultLockBlocks) ? kDefaultLockBlocks
                                                              : static_cast<int>(*blocks);
    }
    const float* h = s.history->data();
    float mu, var;
    blas::meanVariance(h, kHistory - n, &mu, &var);
    s.model.setGaussian(0, mu, var);
    blas::meanVariance(h + kHistory - n, n, &mu, &var);
    s.model.setGaussian(1, mu, var);
}

void SRPPHATVAD::process(const blas::ComplexMatrix* data) {
    VM_ASSERT(data->numRows() == numMics() && data->numColumns() == numBins());
    Impl& s = *pp;
    blas::ComplexMatrix* band = s.band.get();
    data->getBlock(0, s.binLow, band);

    const float meanPower = blas::rowPower(band, 0) / static_cast<float>(s.numBand);
    const float level = util::levelDb(meanPower);
    if (level < kGateDb) return;
    // A block with a non-finite value would spoil the smoothed covariances for good.
    if (!std::isfinite(blas::power(band))) return;

    blas::normalizeColumns(band, band);
    blas::updateCovariance(s.forget, 1.0f - s.forget, s.covariance.get(), band, s.covariance.get());

    float feature = 0.0f;
    for (const auto& v : s.steering) {
        blas::quadraticForm(s.covariance.get(), v.get(), s.power.get());
        feature = std::max(feature, blas::sum(s.power.get()));
    }
    s.feature = feature;
    s.history->shiftLeft(feature);

    if (s.warmup > 0) {
        if (--s.warmup == 0) {
            float mu, var;
            blas::meanVariance(s.history->data(), kHistory, &mu, &var);
            s.model.setGaussian(0, mu, var);
            s.model.setGaussian(1, mu + s.model.minSNR(), var + kSpeechExtraVariance);
            s.probability = kStartProbability;
            return;
        }
    }
    s.probability = s.model.update(feature)[1];
}

float SRPPHATVAD::speechProbability(int, int) const {
    return pp->probability;
}

const CHMM* SRPPHATVAD::model() const {
    return &pp->model;
}

float SRPPHATVAD::feature() const {
    return pp->feature;
}

int SRPPHATVAD::warmup() const {
    return pp->warmup;
}

int SRPPHATVAD::binLow() const {
    return pp->binLow;
}

int SRPPHATVAD::binHigh() const {
    return pp->binHigh;
}

}  // namespace velmora::vad
