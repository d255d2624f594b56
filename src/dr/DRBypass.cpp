#include "dr/DRBypass.h"

#include "Error.h"

namespace velmora::dr {

struct DRBypass::Impl {
    int numChannels;
    int numBins;
};

DRBypass::DRBypass(int numchs, int numbins) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numbins > 0);
    pp.reset(new Impl{numchs, numbins});
}

DRBypass::~DRBypass() = default;

int DRBypass::numChannels() const {
    return pp->numChannels;
}
int DRBypass::numBins() const {
    return pp->numBins;
}

}  // namespace velmora::dr
