// Gain control on the WebRTC audio processing library: one block of one channel through
// AGCWrapper and NSAGCWrapper at 16 kHz. The "RTF" counter is process time per block over the
// block's duration.

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "agc/AGCInterface.h"
#include "agc/AGCWrapper.h"
#include "agc/NSAGCWrapper.h"

using namespace velmora::agc;

namespace {

constexpr int kFs = 16000;

// Ten seconds of a harmonic tone switched on and off, to keep the engines adapting.
std::vector<float> signal() {
    std::vector<float> x(static_cast<size_t>(10 * kFs));
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0.0f, 0.001f);
    for (size_t i = 0; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / kFs;
        const double on = std::fmod(t, 0.3) < 0.2 ? 1.0 : 0.0;
        x[i] =
            static_cast<float>(
                0.05 * on * (std::sin(2 * M_PI * 150 * t) + 0.5 * std::sin(2 * M_PI * 600 * t))) +
            noise(rng);
    }
    return x;
}

void runBlocks(benchmark::State& state, AGCInterface& stage) {
    const int block = stage.blockSize();
    const std::vector<float> x = signal();
    std::vector<float> out(static_cast<size_t>(block));
    size_t pos = 0;
    for (auto _ : state) {
        if (pos + block > x.size()) pos = 0;
        stage.process(&x[pos], out.data());
        benchmark::DoNotOptimize(out.data());
        pos += static_cast<size_t>(block);
    }
    const double seconds = static_cast<double>(block) / kFs;
    state.counters["RTF"] = benchmark::Counter(
        seconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

static void BM_AGCWrapper(benchmark::State& state) {
    AGCWrapper w(kFs, 1, static_cast<int>(state.range(0)), 1);
    w.setParameter("AGC_Level", "4");
    w.setParameter("AGC_Power", "3");
    runBlocks(state, w);
}
BENCHMARK(BM_AGCWrapper)->Arg(160)->Arg(640);

static void BM_NSAGCWrapper(benchmark::State& state) {
    NSAGCWrapper w(kFs, 1, static_cast<int>(state.range(0)), 1);
    w.setNSParameter("NS_Power", "1");
    w.setNSParameter("DR_Power", "0");
    w.setAGCParameter("AGC_Level", "4");
    w.setAGCParameter("AGC_Power", "3");
    runBlocks(state, w);
}
BENCHMARK(BM_NSAGCWrapper)->Arg(160)->Arg(640);
