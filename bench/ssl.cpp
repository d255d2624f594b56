// Localiser and spatial detector on the default 7-microphone array, 160 bins (10 ms blocks):
// SubbandSRP::process (covariance update, with and without detector weighting), its
// direction() scan for 36 and 360 scans, and SRPPHATVAD::process (radius 20 and 5: five
// directions and one). The counter "RTF" is the time per call over the 10 ms a block lasts;
// Google Benchmark prints it with a time suffix (404us means a real-time factor of 0.000404).

#include <benchmark/benchmark.h>

#include "Params.h"
#include "blas/ComplexMatrix.h"
#include "ssl/SubbandSRP.h"
#include "vad/SRPPHATVAD.h"
#include "vad/VADBypass.h"

using velmora::Params;
using velmora::blas::ComplexMatrix;

namespace {

constexpr double kBlockSeconds = 0.01;

void setRtf(benchmark::State& state) {
    state.counters["RTF"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlockSeconds,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

static void BM_SubbandSRPProcess(benchmark::State& state) {
    Params p;
    p.ssl_forget = 0.9f;
    p.vad_algorithm = static_cast<int>(state.range(0));
    velmora::vad::SRPPHATVAD spatial(&p);
    velmora::vad::VADBypass bypass(7, 1, 160);
    velmora::vad::VADInterface* vad =
        p.vad_algorithm ? static_cast<velmora::vad::VADInterface*>(&spatial) : &bypass;
    velmora::ssl::SubbandSRP srp(&p, vad);
    ComplexMatrix block(7, 160);
    block.fillRandom();
    for (auto _ : state) {
        srp.process(&block);
        benchmark::DoNotOptimize(block.data()[0]);
    }
    setRtf(state);
}
BENCHMARK(BM_SubbandSRPProcess)->Arg(0)->Arg(1);

static void BM_SubbandSRPDirection(benchmark::State& state) {
    Params p;
    p.ssl_numscans = static_cast<int>(state.range(0));
    velmora::vad::VADBypass vad(7, 1, 160);
    velmora::ssl::SubbandSRP srp(&p, &vad);
    ComplexMatrix block(7, 160);
    block.fillRandom();
    srp.process(&block);
    for (auto _ : state) benchmark::DoNotOptimize(srp.direction(0, nullptr, nullptr));
    setRtf(state);
}
BENCHMARK(BM_SubbandSRPDirection)->Arg(36)->Arg(360);

static void BM_SRPPHATVADProcess(benchmark::State& state) {
    Params p;
    p.vad_target_radius = static_cast<float>(state.range(0));
    velmora::vad::SRPPHATVAD vad(&p);
    ComplexMatrix block(7, 160);
    block.fillRandom();
    for (auto _ : state) {
        vad.process(&block);
        benchmark::DoNotOptimize(vad.speechProbability(0, 0));
    }
    setRtf(state);
}
BENCHMARK(BM_SRPPHATVADProcess)->Arg(20)->Arg(5);
