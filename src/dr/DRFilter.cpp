#include "dr/DRFilter.h"

#include <cstring>
#include <vector>

#include "Error.h"
#include "aec/ComplexRuns.h"
#include "blas/ComplexMatrix.h"

namespace velmora::dr {

struct DRFilter::Impl {
    int M, K, flen;
    std::vector<std::unique_ptr<blas::ComplexMatrix>> history;  // flen x K, row 0 newest
    std::vector<std::unique_ptr<blas::ComplexMatrix>> filters;  // flen x K
};

DRFilter::DRFilter(int numchs, int numbins, int flen)
    : pp(new Impl{numchs, numbins, flen, {}, {}}) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(numbins > 0);
    VM_ASSERT(flen > 0);
    for (int i = 0; i < numchs; ++i) {
        pp->history.push_back(std::make_unique<blas::ComplexMatrix>(flen, numbins));
        pp->filters.push_back(std::make_unique<blas::ComplexMatrix>(flen, numbins));
    }
}

DRFilter::~DRFilter() = default;

int DRFilter::numChannels() const {
    return pp->M;
}
int DRFilter::numBins() const {
    return pp->K;
}
int DRFilter::filterLength() const {
    return pp->flen;
}
blas::ComplexMatrix* DRFilter::filter(int i) {
    VM_ASSERT(i >= 0 && i < pp->M);
    return pp->filters[static_cast<size_t>(i)].get();
}

void DRFilter::process(const blas::ComplexMatrix* in, blas::ComplexMatrix* out) {
    VM_ASSERT(in->numRows() == numChannels() && in->numColumns() == numBins());
    VM_ASSERT(out->numRows() == numChannels() && out->numColumns() == numBins());
    const int K = pp->K;
    for (int i = 0; i < pp->M; ++i) {
        blas::ComplexMatrix* h = pp->history[static_cast<size_t>(i)].get();
        h->rotateDown();
        std::memcpy(static_cast<void*>(h->data()[0]), in->data()[i], sizeof(blas::Complex) * K);
        blas::Complex* o = out->data()[i];
        std::memset(static_cast<void*>(o), 0, sizeof(blas::Complex) * K);
        const blas::ComplexMatrix* f = pp->filters[static_cast<size_t>(i)].get();
        for (int t = 0; t < pp->flen; ++t) aec::runs::mac(f->data()[t], h->data()[t], K, o);
    }
}

}  // namespace velmora::dr
