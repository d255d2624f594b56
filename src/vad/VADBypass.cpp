#include "vad/VADBypass.h"

#include "Error.h"

namespace velmora::vad {

struct VADBypass::Impl {
    int numMics;
    int numOuts;
    int numBins;
};

VADBypass::VADBypass(int nummics, int numouts, int numbins) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numouts > 0);
    VM_ASSERT(numbins > 0);
    pp.reset(new Impl{nummics, numouts, numbins});
}

VADBypass::~VADBypass() = default;

int VADBypass::numMics() const {
    return pp->numMics;
}
int VADBypass::numOuts() const {
    return pp->numOuts;
}
int VADBypass::numBins() const {
    return pp->numBins;
}

}  // namespace velmora::vad
