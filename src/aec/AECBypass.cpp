#include "aec/AECBypass.h"

#include "Error.h"
#include "blas/ComplexMatrix.h"

namespace velmora::aec {

struct AECBypass::Impl {
    int numMics;
    int numRefs;
    int numBins;
};

AECBypass::AECBypass(int nummics, int numrefs, int numbins) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numrefs >= 0);
    VM_ASSERT(numbins > 0);
    pp.reset(new Impl{nummics, numrefs, numbins});
}

AECBypass::~AECBypass() = default;

int AECBypass::numMics() const {
    return pp->numMics;
}
int AECBypass::numRefs() const {
    return pp->numRefs;
}
int AECBypass::numBins() const {
    return pp->numBins;
}

void AECBypass::process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix*,
                        blas::ComplexMatrix* nearend, blas::ComplexMatrix*) {
    VM_ASSERT(mic->numRows() == numMics() && mic->numColumns() == numBins());
    if (nearend != mic) nearend->copy(mic);
}

}  // namespace velmora::aec
