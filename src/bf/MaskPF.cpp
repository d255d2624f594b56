#include "bf/MaskPF.h"

#include "Error.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "vad/VADInterface.h"

namespace velmora::bf {

// The ring holds delay() + 1 blocks, oldest in slice 0: after pushing the current block, slice 0
// is the input of delay() blocks ago, aligned with the detector's decision.
struct MaskPF::Impl {
    vad::VADInterface* vad;
    blas::ComplexTensor3 ring;
    blas::ComplexMatrix delayed;

    explicit Impl(vad::VADInterface* v)
        : vad(v),
          ring(v->delay() + 1, v->numMics(), v->numBins()),
          delayed(v->numMics(), v->numBins(), true) {
        ring.fill(0.0f, 0.0f);
    }
};

MaskPF::MaskPF(vad::VADInterface* vad) {
    VM_ASSERT(vad != nullptr);
    VM_ASSERT(vad->delay() >= 0 && vad->numOuts() <= vad->numMics());
    pp.reset(new Impl(vad));
}

MaskPF::~MaskPF() = default;

int MaskPF::numMics() const {
    return pp->vad->numMics();
}
int MaskPF::numOuts() const {
    return pp->vad->numOuts();
}
int MaskPF::numBins() const {
    return pp->vad->numBins();
}
int MaskPF::delay() const {
    return pp->vad->delay();
}

void MaskPF::process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) {
    VM_ASSERT(in->numRows() == numMics() && in->numColumns() == numBins());
    VM_ASSERT(out->numRows() == numOuts() && out->numColumns() == numBins());
    Impl& s = *pp;
    s.vad->process(in);
    s.ring.pushBottom(in);
    s.ring.horizontalView(0, &s.delayed);
    const int numbins = numBins();
    for (int i = 0; i < numOuts(); ++i) {
        const blas::Complex* x = s.delayed.data()[i];
        blas::Complex* y = out->data()[i];
        for (int k = 0; k < numbins; ++k) y[k] = s.vad->speechProbability(i, k) * x[k];
    }
}

}  // namespace velmora::bf
