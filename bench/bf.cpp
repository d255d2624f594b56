// Separating and Wiener beamformers, 160 bins (10 ms blocks), on random blocks: SubbandAuxIVA2
// (401), StereoIVA (402, modes 0 and 2), StereoIVAV4 (403), TwoLevelIVA (500, modes 0 and 2)
// with 2 and 7 microphones, StereoPilotPMWF (200), PilotPMWF (302) and PilotIVA (501) with 2
// and 7 microphones, and PostSRP's direction() for the 7 outputs of TwoLevelIVA on the
// 7-microphone array. The counter "RTF" is the time per call over the 10 ms a block lasts
// (Google Benchmark prints it with a time suffix: 20ms means 0.02).

#include <benchmark/benchmark.h>

#include <memory>

#include "Params.h"
#include "bf/PilotIVA.h"
#include "bf/PilotPMWF.h"
#include "bf/StereoIVA.h"
#include "bf/SubbandAuxIVA2.h"
#include "bf/TwoLevelIVA.h"
#include "blas/ComplexMatrix.h"
#include "ssl/PostSRP.h"
#include "vad/VADBypass.h"

using velmora::Params;
using velmora::blas::ComplexMatrix;

namespace {

constexpr double kBlockSeconds = 0.01;
constexpr int kBins = 160;

void setRtf(benchmark::State& state) {
    state.counters["RTF"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlockSeconds,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Runs the stage on random blocks (every call refreshes K/16 bins, as in a real run).
void run(benchmark::State& state, velmora::bf::BFInterface* bf) {
    ComplexMatrix in(bf->numMics(), kBins), out(bf->numOuts(), kBins);
    in.fillRandom();
    for (auto _ : state) {
        bf->process(&in, &out);
        benchmark::DoNotOptimize(out.data()[0]);
    }
    setRtf(state);
}

}  // namespace

static void BM_SubbandAuxIVA2(benchmark::State& state) {
    velmora::bf::SubbandAuxIVA2 bf(32, 0);
    run(state, &bf);
}
BENCHMARK(BM_SubbandAuxIVA2);

static void BM_StereoIVA(benchmark::State& state) {
    velmora::bf::StereoIVA bf(kBins, 0, static_cast<float>(state.range(0)), true);
    run(state, &bf);
}
BENCHMARK(BM_StereoIVA)->Arg(0)->Arg(2);

static void BM_StereoIVAV4(benchmark::State& state) {
    velmora::bf::StereoIVAV4 bf(kBins, 0, 0.0f, true);
    run(state, &bf);
}
BENCHMARK(BM_StereoIVAV4);

// Arguments: microphones, mode.
static void BM_TwoLevelIVA(benchmark::State& state) {
    velmora::bf::TwoLevelIVA bf(static_cast<int>(state.range(0)), kBins, 0,
                                static_cast<int>(state.range(1)), true);
    run(state, &bf);
}
BENCHMARK(BM_TwoLevelIVA)->Args({2, 0})->Args({2, 2})->Args({7, 0})->Args({7, 2});

static void BM_StereoPilotPMWF(benchmark::State& state) {
    velmora::vad::VADBypass vad(2, 1, kBins);
    velmora::bf::StereoPilotPMWF bf(0, 0.0f, &vad);
    run(state, &bf);
}
BENCHMARK(BM_StereoPilotPMWF);

static void BM_PilotPMWF(benchmark::State& state) {
    const int mics = static_cast<int>(state.range(0));
    velmora::vad::VADBypass vad(mics, 1, kBins);
    velmora::bf::PilotPMWF bf(0, 0.0f, &vad);
    run(state, &bf);
}
BENCHMARK(BM_PilotPMWF)->Arg(2)->Arg(7);

static void BM_PilotIVA(benchmark::State& state) {
    const int mics = static_cast<int>(state.range(0));
    velmora::vad::VADBypass vad(mics, 1, kBins);
    velmora::bf::PilotIVA bf(0, 1.0f, &vad);
    run(state, &bf);
}
BENCHMARK(BM_PilotIVA)->Arg(2)->Arg(7);

// One direction() per output and block, 7 outputs, 36 scans.
static void BM_PostSRP(benchmark::State& state) {
    Params p;
    p.numouts = p.nummics;
    p.ssl_algorithm = 100;
    velmora::bf::TwoLevelIVA bf(p.nummics, kBins, 0, 0, true);
    velmora::ssl::PostSRP srp(&p, &bf);
    ComplexMatrix in(p.nummics, kBins), out(p.nummics, kBins);
    in.fillRandom();
    for (int b = 0; b < 32; ++b) bf.process(&in, &out);
    for (auto _ : state)
        for (int n = 0; n < p.numouts; ++n)
            benchmark::DoNotOptimize(srp.direction(n, nullptr, nullptr));
    setRtf(state);
}
BENCHMARK(BM_PostSRP);
