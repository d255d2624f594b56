// Real-time factors of the echo cancellers for 7 microphones and 1 reference: the dual-filter
// canceller alone on spectral blocks (both parameter presets, converged), the one-level (101),
// two-level (100) and relative-transfer-function (202) cancellers alone, and the whole default
// engine with and without a canceller. The "RTF" counter is processing time per block over
// 10 ms.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Params.h"
#include "aec/DualAFGeneral.h"
#include "app/Velmora.h"
#include "blas/ComplexMatrix.h"
#include "mode/AECAlgorithm.h"

namespace {

constexpr double kBlockSeconds = 0.01;

void stage(benchmark::State& state) {
    const int M = 7, R = static_cast<int>(state.range(1)), K = 160;
    velmora::aec::DualAFGeneral aec(M, R, K, 0, static_cast<int>(state.range(0)));
    std::mt19937 rng(1);
    std::normal_distribution<float> n(0.0f, 0.1f);
    // A few different blocks so the filters keep adapting.
    constexpr int kBlocks = 8;
    std::vector<std::unique_ptr<velmora::blas::ComplexMatrix>> mics, refs;
    for (int b = 0; b < kBlocks; ++b) {
        mics.push_back(std::make_unique<velmora::blas::ComplexMatrix>(M, K));
        refs.push_back(std::make_unique<velmora::blas::ComplexMatrix>(R, K));
        for (int m = 0; m < M; ++m)
            for (int k = 0; k < K; ++k) mics.back()->set(m, k, n(rng), n(rng));
        for (int r = 0; r < R; ++r)
            for (int k = 0; k < K; ++k) refs.back()->set(r, k, n(rng), n(rng));
    }
    velmora::blas::ComplexMatrix out(M, K), echo(M, K);
    int b = 0;
    for (int i = 0; i < 200; ++i, b = (b + 1) % kBlocks)  // past the convergence countdown
        aec.process(mics[b].get(), refs[b].get(), &out, &echo);
    for (auto _ : state) {
        aec.process(mics[b].get(), refs[b].get(), &out, &echo);
        benchmark::DoNotOptimize(out.data()[0]);
        b = (b + 1) % kBlocks;
    }
    state.counters["RTF"] = benchmark::Counter(
        kBlockSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// A canceller built by the selector from aec_algorithm (state.range(0)) and the reference
// count (state.range(1)), on a cycle of random blocks.
void selected(benchmark::State& state) {
    const int M = 7, R = static_cast<int>(state.range(1)), K = 160;
    velmora::Params p;
    p.nummics = M;
    p.numrefs = R;
    p.aec_algorithm = static_cast<int>(state.range(0));
    velmora::mode::AECAlgorithm aec(&p, K);
    std::mt19937 rng(1);
    std::normal_distribution<float> n(0.0f, 0.1f);
    constexpr int kBlocks = 64;
    std::vector<std::unique_ptr<velmora::blas::ComplexMatrix>> mics, refs;
    for (int b = 0; b < kBlocks; ++b) {
        mics.push_back(std::make_unique<velmora::blas::ComplexMatrix>(M, K));
        refs.push_back(std::make_unique<velmora::blas::ComplexMatrix>(R, K));
        for (int m = 0; m < M; ++m)
            for (int k = 0; k < K; ++k) mics.back()->set(m, k, n(rng), n(rng));
        for (int r = 0; r < R; ++r)
            for (int k = 0; k < K; ++k) refs.back()->set(r, k, n(rng), n(rng));
    }
    velmora::blas::ComplexMatrix out(M, K), echo(M, K);
    int b = 0;
    for (int i = 0; i < 200; ++i, b = (b + 1) % kBlocks)
        aec.process(mics[b].get(), refs[b].get(), &out, &echo);
    for (auto _ : state) {
        aec.process(mics[b].get(), refs[b].get(), &out, &echo);
        benchmark::DoNotOptimize(out.data()[0]);
        b = (b + 1) % kBlocks;
    }
    state.counters["RTF"] = benchmark::Counter(
        kBlockSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void engine(benchmark::State& state, const char* extra) {
    char path[] = "/tmp/velmora_bench_aec_XXXXXX";
    const int fd = mkstemp(path);
    const std::string conf = std::string("init_time = 0\n") + extra;
    if (fd < 0 || write(fd, conf.data(), conf.size()) != static_cast<ssize_t>(conf.size())) {
        state.SkipWithError("cannot write the configuration");
        return;
    }
    close(fd);
    velmora::Velmora v(path);
    std::remove(path);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-0.3f, 0.3f);
    std::vector<float> in(static_cast<size_t>(v.inSamplesPerBlock())), block(in.size()),
        out(static_cast<size_t>(v.outSamplesPerBlock()));
    for (float& x : in) x = u(rng);
    for (int i = 0; i < 200; ++i) {
        block = in;
        v.process(block.data(), out.data());
    }
    for (auto _ : state) {
        block = in;
        v.process(block.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    const double blockSeconds = static_cast<double>(v.inFramesPerBlock()) / v.inputRate();
    state.counters["RTF"] = benchmark::Counter(
        blockSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

// Arguments: aec_level preset (0, 1), number of references.
BENCHMARK(stage)->ArgNames({"level", "refs"})->Args({0, 1})->Args({1, 1})->Args({0, 2});
// Arguments: aec_algorithm, number of references.
BENCHMARK(selected)
    ->ArgNames({"aec", "refs"})
    ->Args({101, 1})
    ->Args({100, 1})
    ->Args({202, 1})
    ->Args({101, 2})
    ->Args({100, 2});
BENCHMARK_CAPTURE(engine, default_chain, "");
BENCHMARK_CAPTURE(engine, aec_101, "aec_algorithm = 101\n");
BENCHMARK_CAPTURE(engine, aec_100, "aec_algorithm = 100\n");
BENCHMARK_CAPTURE(engine, aec_202, "aec_algorithm = 202\n");
BENCHMARK_CAPTURE(engine, without_aec, "aec_algorithm = 0\n");
