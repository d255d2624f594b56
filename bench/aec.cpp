// Real-time factors of the echo cancellers for 7 microphones and 1 reference: the dual-filter
// canceller alone on spectral blocks (both parameter presets, converged), the one-level (101),
// two-level (100) and relative-transfer-function (202) cancellers alone, the time-domain Kalman
// canceller (300) alone next to SpeexDSP's canceller (when built with it: one per microphone,
// 160-sample frames, 2400-sample tail), and the whole default engine with and without a
// canceller. The "RTF" counter is processing time per block over 10 ms.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Params.h"
#include "aec/DualAFGeneral.h"
#include "aec/PBFDKF.h"
#include "app/Velmora.h"
#include "blas/ComplexMatrix.h"
#include "mode/AECAlgorithm.h"

#ifdef VELMORA_HAVE_SPEEXDSP
#include <speex/speex_echo.h>
#endif

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

// Blocks of 160 frames of 7 microphones and `refs` references: the references noise, the
// microphones a short echo of reference 0 plus a little noise, so that a canceller adapts.
std::vector<std::vector<float>> timeBlocks(int refs, int count) {
    const int M = 7, ch = M + refs, N = 160;
    std::mt19937 rng(1);
    std::normal_distribution<float> n(0.0f, 0.1f);
    std::vector<float> ref(static_cast<size_t>(N) * count * refs);
    for (float& x : ref) x = n(rng);
    std::vector<std::vector<float>> blocks(static_cast<size_t>(count));
    for (int b = 0; b < count; ++b) {
        std::vector<float>& blk = blocks[static_cast<size_t>(b)];
        blk.assign(static_cast<size_t>(N) * ch, 0.0f);
        for (int t = 0; t < N; ++t) {
            const size_t f = static_cast<size_t>(b) * N + t;
            for (int r = 0; r < refs; ++r)
                blk[static_cast<size_t>(t) * ch + M + r] = ref[f * refs + r];
            for (int m = 0; m < M; ++m) {
                const float e =
                    0.5f * ref[f * refs] + (f >= 7 ? 0.2f * ref[(f - 7 - m) * refs] : 0.0f);
                blk[static_cast<size_t>(t) * ch + m] = e + 0.01f * n(rng);
            }
        }
    }
    return blocks;
}

// The time-domain canceller (aec_algorithm 300) alone: 7 microphones, state.range(1)
// references, state.range(0) partitions of 160 samples (0: its default).
void timeDomain(benchmark::State& state) {
    const int M = 7, R = static_cast<int>(state.range(1)), N = 160;
    velmora::aec::PBFDKF aec(M, R, N, static_cast<int>(state.range(0)));
    constexpr int kBlocks = 64;
    const std::vector<std::vector<float>> blocks = timeBlocks(R, kBlocks);
    std::vector<float> block, echo(static_cast<size_t>(N) * M);
    int b = 0;
    for (int i = 0; i < 200; ++i, b = (b + 1) % kBlocks) {
        block = blocks[static_cast<size_t>(b)];
        aec.process(block.data(), M + R, echo.data());
    }
    for (auto _ : state) {
        state.PauseTiming();
        block = blocks[static_cast<size_t>(b)];
        state.ResumeTiming();
        aec.process(block.data(), M + R, echo.data());
        benchmark::DoNotOptimize(block.data());
        b = (b + 1) % kBlocks;
    }
    state.counters["RTF"] = benchmark::Counter(
        kBlockSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

#ifdef VELMORA_HAVE_SPEEXDSP
// SpeexDSP's canceller on the same blocks: one per microphone, 160-sample frames, tail 2400
// samples, 16-bit samples as the library takes them.
void speex(benchmark::State& state) {
    const int M = 7, R = static_cast<int>(state.range(0)), N = 160, ch = M + R;
    std::vector<SpeexEchoState*> echo(static_cast<size_t>(M));
    int rate = 16000;
    for (auto& st : echo) {
        st = speex_echo_state_init_mc(N, 2400, 1, R);
        speex_echo_ctl(st, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    }
    constexpr int kBlocks = 64;
    const std::vector<std::vector<float>> blocks = timeBlocks(R, kBlocks);
    std::vector<std::vector<spx_int16_t>> pcm(blocks.size());
    for (size_t b = 0; b < blocks.size(); ++b)
        for (float x : blocks[b]) pcm[b].push_back(static_cast<spx_int16_t>(x * 16384.0f));
    std::vector<spx_int16_t> mic(N), ref(static_cast<size_t>(N) * R), out(N);
    int b = 0;
    auto run = [&]() {
        const std::vector<spx_int16_t>& blk = pcm[static_cast<size_t>(b)];
        for (int t = 0; t < N; ++t)
            for (int r = 0; r < R; ++r)
                ref[static_cast<size_t>(t) * R + r] = blk[static_cast<size_t>(t) * ch + M + r];
        for (int m = 0; m < M; ++m) {
            for (int t = 0; t < N; ++t) mic[t] = blk[static_cast<size_t>(t) * ch + m];
            speex_echo_cancellation(echo[static_cast<size_t>(m)], mic.data(), ref.data(),
                                    out.data());
        }
        b = (b + 1) % kBlocks;
    };
    for (int i = 0; i < 200; ++i) run();
    for (auto _ : state) {
        run();
        benchmark::DoNotOptimize(out.data());
    }
    for (auto* st : echo) speex_echo_state_destroy(st);
    state.counters["RTF"] = benchmark::Counter(
        kBlockSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
#endif

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
// Arguments: partitions (0: the default), number of references.
BENCHMARK(timeDomain)->ArgNames({"partitions", "refs"})->Args({0, 1})->Args({15, 1})->Args({0, 2});
#ifdef VELMORA_HAVE_SPEEXDSP
// Argument: number of references.
BENCHMARK(speex)->ArgNames({"refs"})->Arg(1)->Arg(2);
#endif
BENCHMARK_CAPTURE(engine, default_chain, "");
BENCHMARK_CAPTURE(engine, aec_101, "aec_algorithm = 101\n");
BENCHMARK_CAPTURE(engine, aec_100, "aec_algorithm = 100\n");
BENCHMARK_CAPTURE(engine, aec_202, "aec_algorithm = 202\n");
BENCHMARK_CAPTURE(engine, aec_300, "aec_algorithm = 300\n");
BENCHMARK_CAPTURE(engine, without_aec, "aec_algorithm = 0\n");
