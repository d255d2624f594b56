// One block of WPE dereverberation at 16 kHz / 10 ms (160 bins) for 1, 2, 4 and 7 channels
// with the default delay and taps, every bin adapted per block (spread 1) and half of them
// (spread 2); and of the two-level dereverberator (dr_algorithm 2, 16 taps) for 1, 2, 4 and 7
// channels. The counter "rtf" is the real-time factor: process time per block / 10 ms.

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "blas/ComplexMatrix.h"
#include "dr/TwoLevelDR.h"
#include "dr/WPE.h"

using velmora::blas::Complex;
using velmora::blas::ComplexMatrix;

static void BM_WPE(benchmark::State& state) {
    const int M = static_cast<int>(state.range(0)), spread = static_cast<int>(state.range(1));
    const int K = 160, numInputs = 64;
    velmora::dr::WPE wpe(M, K, 0, 0, spread);
    // A cycle of random input blocks, so the recursion sees fresh data each block.
    std::vector<std::unique_ptr<ComplexMatrix>> inputs;
    std::mt19937 rng(1);
    std::normal_distribution<float> g(0.0f, 0.01f);
    for (int i = 0; i < numInputs; ++i) {
        inputs.push_back(std::make_unique<ComplexMatrix>(M, K));
        for (int c = 0; c < M; ++c)
            for (int k = 0; k < K; ++k) inputs.back()->set(c, k, Complex(g(rng), g(rng)));
    }
    ComplexMatrix block(M, K);
    int n = 0;
    for (auto _ : state) {
        block.copy(inputs[n].get());
        n = (n + 1) % numInputs;
        wpe.process(&block);
        benchmark::DoNotOptimize(block.data()[0]);
    }
    state.counters["rtf"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 0.01,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WPE)
    ->ArgNames({"mics", "spread"})
    ->Args({1, 1})
    ->Args({2, 1})
    ->Args({4, 1})
    ->Args({7, 1})
    ->Args({7, 2})
    ->Args({8, 1});

static void BM_TwoLevelDR(benchmark::State& state) {
    const int M = static_cast<int>(state.range(0));
    const int K = 160, numInputs = 64;
    velmora::dr::TwoLevelDR dr(M, K, 0);
    std::vector<std::unique_ptr<ComplexMatrix>> inputs;
    std::mt19937 rng(1);
    std::normal_distribution<float> g(0.0f, 0.01f);
    for (int i = 0; i < numInputs; ++i) {
        inputs.push_back(std::make_unique<ComplexMatrix>(M, K));
        for (int c = 0; c < M; ++c)
            for (int k = 0; k < K; ++k) inputs.back()->set(c, k, Complex(g(rng), g(rng)));
    }
    ComplexMatrix block(M, K);
    int n = 0;
    for (auto _ : state) {
        block.copy(inputs[n].get());
        n = (n + 1) % numInputs;
        dr.process(&block);
        benchmark::DoNotOptimize(block.data()[0]);
    }
    state.counters["rtf"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 0.01,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TwoLevelDR)->ArgNames({"mics"})->Arg(1)->Arg(2)->Arg(4)->Arg(7);
