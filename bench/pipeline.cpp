// Real-time factor of the general pipeline per block: processing time divided by the block's
// duration (10 ms), for 7 microphones and 1 reference. The "RTF" counter is that ratio.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"

namespace {

void pipeline(benchmark::State& state, const char* extra) {
    char path[] = "/tmp/velmora_bench_XXXXXX";
    const int fd = mkstemp(path);
    std::string conf = std::string("init_time = 0\n") + extra;
    if (fd < 0 || write(fd, conf.data(), conf.size()) != static_cast<ssize_t>(conf.size())) {
        state.SkipWithError("cannot write the configuration");
        return;
    }
    close(fd);
    velmora::Velmora engine(path);
    std::remove(path);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-0.3f, 0.3f);
    std::vector<float> in(engine.inSamplesPerBlock()), block(in.size()),
        out(engine.outSamplesPerBlock());
    for (float& x : in) x = u(rng);
    for (auto _ : state) {
        block = in;
        engine.process(block.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    const double blockSeconds = static_cast<double>(engine.inFramesPerBlock()) / engine.inputRate();
    state.counters["RTF"] = benchmark::Counter(
        blockSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK_CAPTURE(pipeline, passthrough_16k, "aec_algorithm = 0\nagc_algorithm = 0\n");
BENCHMARK_CAPTURE(pipeline, passthrough_48k,
                  "aec_algorithm = 0\nagc_algorithm = 0\nfsin = 48000\n");
