// One block of polyphase analysis and of synthesis for 8 channels at 160 and 320 samples.

#include <benchmark/benchmark.h>

#include "blas/ComplexMatrix.h"
#include "blas/Matrix.h"
#include "transform/PPFBankAnalyzer.h"
#include "transform/PPFBankSynthesizer.h"

using velmora::blas::ComplexMatrix;
using velmora::blas::Matrix;

static void BM_PPFAnalyze(benchmark::State& state) {
    const int B = static_cast<int>(state.range(0)), nch = 8;
    velmora::transform::PPFBankAnalyzer bank(nch, B);
    Matrix in(nch, B);
    ComplexMatrix out(nch, B);
    in.fillRandom();
    for (auto _ : state) {
        bank.analyze(&in, &out);
        benchmark::DoNotOptimize(out.data()[0]);
    }
}
BENCHMARK(BM_PPFAnalyze)->Arg(160)->Arg(320);

static void BM_PPFSynthesize(benchmark::State& state) {
    const int B = static_cast<int>(state.range(0)), nch = 8;
    velmora::transform::PPFBankSynthesizer bank(nch, B);
    ComplexMatrix in(nch, B);
    Matrix out(nch, B);
    in.fillRandom();
    for (auto _ : state) {
        bank.synthesize(&in, &out);
        benchmark::DoNotOptimize(out.data()[0]);
    }
}
BENCHMARK(BM_PPFSynthesize)->Arg(160)->Arg(320);
