// One block of the keyword-triggered and mask stages at 16 kHz and 10 ms (160 bins) with the
// default 7-microphone array: the keyword MVDR beamformer (bf 303, 4 taps) steady and with a
// lock every 32 blocks (the lock and a full weight sweep amortised over them), the mask
// beamformer (bf 2) with the level detector, and the multichannel (ns 2) and keyword-triggered
// (ns 3) suppressors on 1 and on 7 channels. The RTF counter is the processing time per block
// over the 10 ms block length.

#include <benchmark/benchmark.h>

#include "Params.h"
#include "bf/KWSMVDR.h"
#include "bf/MaskPF.h"
#include "blas/ComplexMatrix.h"
#include "ns/KWSRESBatch.h"
#include "ns/PMWFAES.h"
#include "vad/DominantVAD.h"

using velmora::blas::ComplexMatrix;

namespace {

constexpr int K = 160, M = 7;

void rtf(benchmark::State& state) {
    state.counters["RTF"] = benchmark::Counter(
        state.iterations() * 0.01, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

static void BM_KWSMVDR(benchmark::State& state) {
    const bool locking = state.range(0) != 0;
    velmora::bf::KWSMVDR bf(M, K, 0);
    ComplexMatrix in(M, K), out(1, K);
    in.fillRandom();
    for (int b = 0; b < 200; ++b) bf.process(&in, &out);
    bf.lock(0, nullptr);
    int n = 0;
    for (auto _ : state) {
        if (locking && ++n % 32 == 0) bf.lock(0, nullptr);
        bf.process(&in, &out);
        benchmark::DoNotOptimize(out.data()[0]);
    }
    rtf(state);
}
BENCHMARK(BM_KWSMVDR)->Arg(0)->Arg(1);

static void BM_MaskPF(benchmark::State& state) {
    velmora::Params p;
    velmora::vad::DominantVAD vad(&p, K);
    velmora::bf::MaskPF bf(&vad);
    ComplexMatrix in(M, K), out(1, K);
    in.fillRandom();
    for (auto _ : state) {
        bf.process(&in, &out);
        benchmark::DoNotOptimize(out.data()[0]);
    }
    rtf(state);
}
BENCHMARK(BM_MaskPF);

static void BM_PMWFAES(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    velmora::ns::PMWFAES res(n, 1, K, 0, 0.1f);
    ComplexMatrix near(n, K), echo(n, K), block(n, K);
    near.fillRandom();
    echo.fillRandom();
    for (auto _ : state) {
        block.copy(&near);
        res.process(&block, nullptr, &echo);
        benchmark::DoNotOptimize(block.data()[0]);
    }
    rtf(state);
}
BENCHMARK(BM_PMWFAES)->Arg(1)->Arg(M);

static void BM_KWSRESBatch(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    velmora::ns::KWSRESBatch res(n, 1, K, 0, 0.1f, nullptr);
    ComplexMatrix near(n, K), echo(n, K), block(n, K);
    near.fillRandom();
    echo.fillRandom();
    for (int b = 0; b < 200; ++b) {
        block.copy(&near);
        res.process(&block, nullptr, &echo);
    }
    for (int c = 0; c < n; ++c) res.lock(c, nullptr);
    for (auto _ : state) {
        block.copy(&near);
        res.process(&block, nullptr, &echo);
        benchmark::DoNotOptimize(block.data()[0]);
    }
    rtf(state);
}
BENCHMARK(BM_KWSRESBatch)->Arg(1)->Arg(M);
