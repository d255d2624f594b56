#include "pf/ExclusivePF.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Error.h"
#include "Params.h"
#include "blas/BLAS.h"
#include "util/Numeric.h"

namespace velmora::pf {

namespace {}  // namespace

struct ExclusivePF::Impl {
    int numChannels;
    int numBins;
    int timeoutBlocks;
    float level;
    float resFloor;      // dB
    float speechMinSnr;  // dB
    blas::Vector power;
    std::vector<int> counter;  // per channel: blocks of hang-over left before attenuation

    Impl(int numchs, int numbins, int timeout, float lev, float floorDb, float minSnr)
        : numChannels(numchs),
          numBins(numbins),
          timeoutBlocks(timeout),
          level(lev),
          resFloor(floorDb),
          speechMinSnr(minSnr),
          power(numchs),
          counter(numchs, timeout) {}
};

ExclusivePF::ExclusivePF(const Params* params) {
    VM_ASSERT(params != nullptr);
    VM_ASSERT(params->numouts > 0);
    VM_ASSERT(params->block_size > 0.0f);
    VM_ASSERT(params->pf_level >= 0.0f && params->pf_level <= 1.0f);
    const int numbins = static_cast<int>(static_cast<float>(params->fsout) * params->block_size);
    VM_ASSERT(numbins > 0);
    pp.reset(new Impl(params->numouts, numbins,
                      util::secondsToBlocks(params->pf_timeout, params->block_size),
                      params->pf_level, params->pf_res_floor, params->pf_speech_minsnr));
}

ExclusivePF::~ExclusivePF() = default;

int ExclusivePF::numChannels() const {
    return pp->numChannels;
}
int ExclusivePF::numBins() const {
    return pp->numBins;
}

void ExclusivePF::process(blas::ComplexMatrix* data) {
    if (pp->level == 1.0f) return;
    VM_ASSERT(data->numRows() == numChannels());
    const int numchs = pp->numChannels;
    const int numcols = data->numColumns();
    if (numcols < 1) return;

    float* power = pp->power.data();
    blas::rowPowers(data, &pp->power);
    blas::scale(power, 1.0f / static_cast<float>(numcols), power, numchs);
    const float total = blas::sum(power, numchs);

    blas::Complex** rows = data->data();
    for (int i = 0; i < numchs; i++) {
        const float own = util::levelDb(power[i]);
        bool keep = own >= pp->resFloor;
        // With one channel there are no others to compare with (their mean would be 0 / 0), so
        // only the loudness test decides. The rest of the total never goes below 0, so rounding
        // cannot make the logarithm NaN.
        if (!keep && numchs > 1) {
            const float rest = std::max(total - power[i], 0.0f);
            const float others = util::levelDb(rest / static_cast<float>(numchs - 1));
            keep = own - others >= pp->speechMinSnr;
        }
        if (keep) {
            pp->counter[i] = pp->timeoutBlocks;
        } else if (pp->counter[i] < 1) {
            // A row of Complex is 2 x numcols contiguous floats.
            float* row = reinterpret_cast<float*>(rows[i]);
            blas::scale(row, pp->level, row, 2 * numcols);
        } else {
            pp->counter[i]--;
        }
    }
}

}  // namespace velmora::pf
