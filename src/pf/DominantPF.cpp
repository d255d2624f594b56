#include "pf/DominantPF.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "Params.h"
#include "blas/BLAS.h"
#include "util/Numeric.h"
#include "vad/CHMM.h"

namespace velmora::pf {

namespace {

constexpr int kWarmupBlocks = 100;        // blocks averaged to seed the noise model
constexpr float kSmooth = 0.9f;           // weight of the previous smoothed level
constexpr float kWarmupProb = 0.8f;       // probability reported during the warm-up
constexpr float kSpeechThreshold = 0.5f;  // probability from which a block counts as speech
// Model start, as the spatial detector's: noise (50 dB, var 10), speech (60 dB, var 20).
constexpr float kNoiseMean = 50.0f, kNoiseVar = 10.0f;
constexpr float kSpeechMean = 60.0f, kSpeechVar = 20.0f;

}  // namespace

struct DominantPF::Impl {
    int numchs;
    int numbins;
    int warmup = kWarmupBlocks;  // blocks of warm-up left
    float level;
    int waitBlocks;
    int timeoutBlocks;
    // Per channel.
    std::vector<int> wait;     // blocks after a lock during which nothing is attenuated
    std::vector<int> timeout;  // blocks of hang-over left after the last speech
    std::vector<float> smoothed;
    std::vector<float> probability;
    std::vector<char> locked;
    std::vector<std::unique_ptr<vad::CHMM>> models;
    blas::ComplexTensor3 delayLine;  // delay() + 1 slices of numchs x numbins

    Impl(int numchs_, int numbins_, float level_, int waitBlocks_, int timeoutBlocks_)
        : numchs(numchs_),
          numbins(numbins_),
          level(level_),
          waitBlocks(waitBlocks_),
          timeoutBlocks(timeoutBlocks_),
          wait(numchs_, 0),
          timeout(numchs_, timeoutBlocks_),
          smoothed(numchs_, 0.0f),
          probability(numchs_, kWarmupProb),
          locked(numchs_, 0),
          delayLine(1, numchs_, numbins_) {}
};

DominantPF::DominantPF(const Params* params) {
    VM_ASSERT(params != nullptr);
    VM_ASSERT(params->numouts > 0);
    VM_ASSERT(params->block_size > 0.0f);
    VM_ASSERT(params->pf_level >= 0.0f && params->pf_level <= 1.0f);
    const int numbins = static_cast<int>(static_cast<float>(params->fsout) * params->block_size);
    VM_ASSERT(numbins > 0);
    pp.reset(new Impl(params->numouts, numbins, params->pf_level,
                      util::secondsToBlocks(params->pf_wait, params->block_size),
                      util::secondsToBlocks(params->pf_timeout, params->block_size)));
    for (int i = 0; i < pp->numchs; i++) {
        auto model = std::make_unique<vad::CHMM>();
        if (params->vad_minsnr != 0.0f) model->setMinSNR(params->vad_minsnr);
        if (params->vad_noise_minvar != 0.0f) model->setMinVariance(0, params->vad_noise_minvar);
        if (params->vad_target_minvar != 0.0f) model->setMinVariance(1, params->vad_target_minvar);
        model->setGaussian(0, kNoiseMean, kNoiseVar);
        model->setGaussian(1, kSpeechMean, kSpeechVar);
        pp->models.push_back(std::move(model));
    }
}

DominantPF::~DominantPF() = default;

int DominantPF::numChannels() const {
    return pp->numchs;
}
int DominantPF::numBins() const {
    return pp->numbins;
}

void DominantPF::lock(int n, const float*) {
    VM_ASSERT(n >= 0 && n < pp->numchs);
    pp->locked[n] = 1;
    pp->wait[n] = pp->waitBlocks;
}

void DominantPF::unlock(int n) {
    VM_ASSERT(n >= 0 && n < pp->numchs);
    pp->locked[n] = 0;
}

void DominantPF::process(blas::ComplexMatrix* data) {
    VM_ASSERT(data->numRows() == pp->numchs && data->numColumns() == pp->numbins);
    Impl& s = *pp;
    const int numchs = s.numchs;
    const float scale = static_cast<float>(s.numbins);

    for (int i = 0; i < numchs; i++) {
        const float c = std::max(util::levelDb(scale * blas::rowPower(data, i)), 0.0f);
        if (s.warmup <= 0) {
            s.smoothed[i] = kSmooth * s.smoothed[i] + (1.0f - kSmooth) * c;
            s.probability[i] = s.models[i]->update(s.smoothed[i])[1];
        } else {
            s.smoothed[i] += c;
            s.probability[i] = kWarmupProb;
        }
    }

    // The countdown stops at 0 (the text counts on below 0, which would only overflow).
    if (s.warmup > 0 && --s.warmup == 0) {
        for (int i = 0; i < numchs; i++) {
            vad::CHMM* model = s.models[i].get();
            s.smoothed[i] /= static_cast<float>(kWarmupBlocks);
            model->setGaussian(0, s.smoothed[i], kNoiseVar);
            model->setGaussian(1, model->minSNR() + s.smoothed[i], kSpeechVar);
        }
    }

    // One-slice delay line: delay() is 0, so the block comes out as it went in.
    s.delayLine.pushBottom(data);
    s.delayLine.getHorizontalSlice(0, data);

    blas::Complex** rows = data->data();
    for (int i = 0; i < numchs; i++) {
        if (s.locked[i] && s.wait[i] > 0) s.wait[i]--;
        if (s.probability[i] >= kSpeechThreshold) {
            s.timeout[i] = s.timeoutBlocks;
        } else if (s.timeout[i] > 0) {
            s.timeout[i]--;
        } else if (s.level != 1.0f && s.locked[i] && s.wait[i] < 1) {
            // A row of Complex is 2 x numbins contiguous floats.
            float* row = reinterpret_cast<float*>(rows[i]);
            blas::scale(row, s.level, row, 2 * s.numbins);
        }
    }
}

}  // namespace velmora::pf
