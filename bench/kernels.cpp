// Per-block cost of the Hermitian covariance update and the Sherman-Morrison inverse update
// for channels x channels x 160-bin tensors, the hottest kernels of the adaptive stages.

#include <benchmark/benchmark.h>

#include "blas/BLAS.h"

namespace {

using namespace velmora::blas;

constexpr int kBins = 160;

void BM_UpdateCovariance(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    ComplexTensor3 c(n, n, kBins);
    ComplexMatrix x(n, kBins);
    Vector alpha(kBins), beta(kBins);
    alpha.fill(0.99f);
    beta.fill(0.01f);
    x.fillRandom();
    for (auto _ : state) {
        updateCovariance(&alpha, &beta, &c, &x, &c);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kBins);
}

void BM_UpdateInverseCovariance(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    ComplexTensor3 ic(n, n, kBins);
    ComplexMatrix x(n, kBins);
    Vector alpha(kBins), beta(kBins);
    alpha.fill(0.99f);
    beta.fill(0.01f);
    x.fillRandom();
    loadDiagonal(&ic, 1.0f);
    for (auto _ : state) {
        // alpha 1, beta 0 keeps the tensor bounded however long the benchmark runs
        updateInverseCovariance(1.0f, 0.0f, &ic, &x, &ic);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kBins);
}

void BM_UpdateInverseCovariancePerBin(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    ComplexTensor3 ic(n, n, kBins), out(n, n, kBins);
    ComplexMatrix x(n, kBins);
    Vector alpha(kBins), beta(kBins);
    alpha.fill(0.99f);
    beta.fill(0.01f);
    x.fillRandom();
    loadDiagonal(&ic, 1.0f);
    for (auto _ : state) {
        updateInverseCovariance(&alpha, &beta, &ic, &x, &out);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kBins);
}

}  // namespace

BENCHMARK(BM_UpdateCovariance)->Arg(2)->Arg(4)->Arg(8);
BENCHMARK(BM_UpdateInverseCovariance)->Arg(2)->Arg(4)->Arg(8);
BENCHMARK(BM_UpdateInverseCovariancePerBin)->Arg(2)->Arg(4)->Arg(8);
