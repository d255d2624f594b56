// One block of the residual-echo suppressor for 1 output channel and 1 reference at 16 kHz and
// 10 ms (160 bins): the default 2 taps (closed-form inverse) and 1, 3 and 4 taps (recursive
// inverse). The RTF counter is the processing time per block over the 10 ms block length.

#include <benchmark/benchmark.h>

#include "blas/ComplexMatrix.h"
#include "ns/PWFRES.h"

using velmora::blas::ComplexMatrix;

static void BM_PWFRES(benchmark::State& state) {
    const int K = 160, flen = static_cast<int>(state.range(0));
    velmora::ns::PWFRES res(1, 1, K, flen, 0.1f);
    ComplexMatrix near(1, K), echo(1, K), block(1, K);
    near.fillRandom();
    echo.fillRandom();
    for (auto _ : state) {
        block.copy(&near);
        res.process(&block, nullptr, &echo);
        benchmark::DoNotOptimize(block.data()[0]);
    }
    state.counters["RTF"] = benchmark::Counter(
        state.iterations() * 0.01, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PWFRES)->Arg(0)->Arg(1)->Arg(3)->Arg(4);
