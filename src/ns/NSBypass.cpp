#include "ns/NSBypass.h"

#include "Error.h"

namespace velmora::ns {

struct NSBypass::Impl {
    int numChannels;
    int numRefs;
    int numBins;
};

NSBypass::NSBypass(int numchs, int numrefs, int numbins) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numrefs >= 0);
    VM_ASSERT(numbins > 0);
    pp.reset(new Impl{numchs, numrefs, numbins});
}

NSBypass::~NSBypass() = default;

int NSBypass::numChannels() const {
    return pp->numChannels;
}
int NSBypass::numRefs() const {
    return pp->numRefs;
}
int NSBypass::numBins() const {
    return pp->numBins;
}

}  // namespace velmora::ns
