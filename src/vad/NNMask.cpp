#include "vad/NNMask.h"

#include <cmath>
#include <vector>

#include "Error.h"
#include "blas/ComplexMatrix.h"
#include "blas/Vector.h"
#include "ns/MaskModel.h"
#include "util/Numeric.h"

namespace velmora::vad {

namespace {
constexpr int kBins = ns::MaskModel::kBins;
}

struct NNMask::Impl {
    int numMics;
    const blas::Vector* pilot;
    ns::MaskModel model;
    std::vector<float> feature;

    Impl(const char* base, int m, const blas::Vector* p)
        : numMics(m), pilot(p), model(base, 1, 1, "default", 50), feature(kBins, 0.0f) {}
};

NNMask::NNMask(const char* modelbase, int nummics, const blas::Vector* pilot) {
    VM_ASSERT(nummics > 0);
    pp.reset(new Impl(modelbase, nummics, pilot));
}

NNMask::~NNMask() = default;

int NNMask::numMics() const {
    return pp->numMics;
}
int NNMask::numOuts() const {
    return pp->pilot ? pp->pilot->size() : 1;
}
int NNMask::numBins() const {
    return kBins;
}
const float* NNMask::feature() const {
    return pp->feature.data();
}

void NNMask::process(const blas::ComplexMatrix* data) {
    VM_ASSERT(data->numRows() == numMics() && data->numColumns() == numBins());
    const blas::Complex* x = data->data()[0];
    for (int k = 0; k < kBins; ++k) {
        const float re = 32768.0f * x[k].real(), im = 32768.0f * x[k].imag();
        float p = re * re + im * im;
        // Bad input bins enter the feature as silence.
        if (!(x[k].real() * x[k].real() + x[k].imag() * x[k].imag() <= util::kAbsurdPower))
            p = 0.0f;
        pp->feature[k] = std::log(p + 1e-6f);
    }
    pp->model.compute(pp->feature.data());
}

float NNMask::speechProbability(int n, int k) const {
    VM_ASSERT(n >= 0 && n < numOuts() && k >= 0 && k < kBins);
    const float m = pp->model.output()[k];
    return pp->pilot ? m * pp->pilot->data()[n] : m;
}

}  // namespace velmora::vad
