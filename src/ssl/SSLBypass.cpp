#include "ssl/SSLBypass.h"

#include "Error.h"

namespace velmora::ssl {

struct SSLBypass::Impl {
    int numMics;
    int numOuts;
    int numBins;
};

SSLBypass::SSLBypass(int nummics, int numouts, int numbins) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numouts > 0);
    VM_ASSERT(numbins > 0);
    pp.reset(new Impl{nummics, numouts, numbins});
}

SSLBypass::~SSLBypass() = default;

int SSLBypass::numMics() const {
    return pp->numMics;
}
int SSLBypass::numOuts() const {
    return pp->numOuts;
}
int SSLBypass::numBins() const {
    return pp->numBins;
}

}  // namespace velmora::ssl
