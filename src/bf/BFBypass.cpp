#include "bf/BFBypass.h"

#include "Error.h"
#include "blas/ComplexMatrix.h"

namespace velmora::bf {

struct BFBypass::Impl {
    int numMics;
    int numOuts;
    int numBins;
};

BFBypass::BFBypass(int nummics, int numouts, int numbins) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numouts > 0);
    VM_ASSERT(numbins > 0);
    // More outputs than microphones could never be processed (the block copy below would fail
    // on the first block), so such a configuration is refused while the engine is built.
    VM_ASSERT(numouts <= nummics);
    pp.reset(new Impl{nummics, numouts, numbins});
}

BFBypass::~BFBypass() = default;

int BFBypass::numMics() const {
    return pp->numMics;
}
int BFBypass::numOuts() const {
    return pp->numOuts;
}
int BFBypass::numBins() const {
    return pp->numBins;
}

void BFBypass::process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) {
    VM_ASSERT(in->numRows() == numMics() && in->numColumns() == numBins());
    VM_ASSERT(out->numRows() == numOuts() && out->numColumns() == numBins());
    in->getBlock(0, 0, out);
}

}  // namespace velmora::bf
