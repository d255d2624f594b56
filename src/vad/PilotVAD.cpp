#include "vad/PilotVAD.h"

#include "Error.h"
#include "blas/Vector.h"

namespace velmora::vad {

PilotVAD::PilotVAD(int nummics, int numbins, const blas::Vector* pilot)
    : numMics_(nummics), numBins_(numbins), pilot_(pilot) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(pilot != NULL);
}

PilotVAD::~PilotVAD() = default;

int PilotVAD::numOuts() const {
    return pilot_->size();
}

float PilotVAD::speechProbability(int n, int k) const {
    VM_ASSERT(n >= 0 && n < pilot_->size() && k >= 0 && k < numBins_);
    return pilot_->data()[n];
}

}  // namespace velmora::vad
