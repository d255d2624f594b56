#include "pf/PFBypass.h"

#include "Error.h"

namespace velmora::pf {

struct PFBypass::Impl {
    int numChannels;
    int numBins;
};

PFBypass::PFBypass(int numchs, int numbins) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numbins > 0);
    pp.reset(new Impl{numchs, numbins});
}

PFBypass::~PFBypass() = default;

int PFBypass::numChannels() const {
    return pp->numChannels;
}
int PFBypass::numBins() const {
    return pp->numBins;
}

}  // namespace velmora::pf
