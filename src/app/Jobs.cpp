#include "app/Jobs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "sio/PoolingSink.h"
#include "sio/SignalSink.h"
#include "sio/SignalSource.h"

namespace velmora::app {

namespace {

// The process clock in milliseconds, at the clock's own resolution: a 10 ms block usually takes
// well under a millisecond, so whole milliseconds per block would sum to nothing.
double clockMs() {
    return std::clock() * 1000.0 / CLOCKS_PER_SEC;
}

// Skips `count` leading frames one at a time.
void skipFrames(sio::SignalSource* source, float* frame, long long count) {
    for (long long i = 0; i < count; ++i) {
        if (source->readFrames(frame, 1) < 1) break;
    }
}

// Processes one block, timing it and printing its real-time factor when `ticks` is set.
void processTimed(Velmora& engine, const float* in, float* out, double blockSeconds,
                  double* ticks) {
    if (!ticks) {
        engine.process(in, out);
        return;
    }
    const double t0 = clockMs();
    engine.process(in, out);
    const double elapsed = clockMs() - t0;
    std::printf("RTF: %f\n", (elapsed / 1000.0) / blockSeconds);
    *ticks += elapsed;
}

}  // namespace

std::unique_ptr<sio::SignalSink> JobIO::openOutput(int) {
    return nullptr;
}

void JobIO::directions(const float*, int) {}

int runLocalizationJob(Velmora& engine, const Params& params, JobIO& io, long long* framesProcessed,
                       int* processTicks) {
    std::unique_ptr<sio::SignalSource> source = io.openInput(false);
    if (!source) return -97;
    const int frames = engine.inFramesPerBlock();
    const int outs = engine.numOuts();
    const double blockSeconds = static_cast<double>(frames) / engine.inputRate();
    std::vector<float> buffer(static_cast<size_t>(engine.inSamplesPerBlock()), 0.0f);
    std::vector<float> directions(static_cast<size_t>(outs), 0.0f);
    const bool perBlock = params.ssl_forget != 1.0f;
    auto report = [&] {
        for (int n = 0; n < outs; ++n) directions[n] = engine.direction(n);
        io.directions(directions.data(), outs);
    };

    long long blocks = 0;
    double ticks = 0.0;
    const long long available = io.inputFrames();
    io.start(available < 0 ? -1 : available / frames, blockSeconds);
    while (source->readFrames(buffer.data(), frames) == frames) {
        processTimed(engine, buffer.data(), nullptr, blockSeconds, processTicks ? &ticks : nullptr);
        ++blocks;
        io.blockDone();
        if (perBlock) report();
    }
    io.finish();
    if (!perBlock) report();
    engine.resetLocalization();
    io.processingDone();
    if (framesProcessed) *framesProcessed = blocks * frames;
    if (processTicks) *processTicks = static_cast<int>(ticks + 0.5);
    source->close();
    return 0;
}

int runEnhancementJob(Velmora& engine, const Params& p, JobIO& io, long long* framesProcessed,
                      int* processTicks) {
    const int inFrames = engine.inFramesPerBlock();
    const int outFrames = engine.outFramesPerBlock();
    const double blockSeconds = static_cast<double>(inFrames) / engine.inputRate();
    std::vector<float> inBuffer(static_cast<size_t>(engine.inSamplesPerBlock()), 0.0f);
    std::vector<float> outBuffer(static_cast<size_t>(engine.outSamplesPerBlock()), 0.0f);
    const long long skipCount = static_cast<long long>(p.fsin * p.train_input_offset);
    const int blockLimit = static_cast<int>(p.train_input_len / p.block_size);
    const int delayBlocks = engine.delay() / outFrames;
    const long long available = io.inputFrames();
    if (available < 0) {
        io.start(-1, blockSeconds);
    } else {
        long long perPass = std::max(0LL, available - skipCount) / inFrames;
        if (blockLimit > 0) perPass = std::min(perPass, static_cast<long long>(blockLimit));
        io.start(std::max(p.train_repeat, 1) * perPass + delayBlocks, blockSeconds);
    }

    // Training passes: the input is processed and the output discarded.
    for (int pass = 1; pass < p.train_repeat; ++pass) {
        std::unique_ptr<sio::SignalSource> source = io.openInput(true);
        if (!source) return -97;
        skipFrames(source.get(), inBuffer.data(), skipCount);
        int done = 0;
        while (source->readFrames(inBuffer.data(), inFrames) == inFrames) {
            engine.process(inBuffer.data(), outBuffer.data());
            io.blockDone();
            if (blockLimit > 0 && ++done >= blockLimit) break;
        }
        source->close();
    }

    std::unique_ptr<sio::SignalSource> source = io.openInput(true);
    if (!source) return -97;
    std::unique_ptr<sio::SignalSink> inner;
    std::unique_ptr<sio::SignalSink> sink;
    if (p.train_out_pooling) {
        inner = io.openOutput(1);
        if (!inner) return -97;
        sink = std::make_unique<sio::PoolingSink>(engine.numOuts(), inner.get());
    } else {
        sink = io.openOutput(engine.numOuts());
        if (!sink) return -97;
    }

    skipFrames(source.get(), inBuffer.data(), skipCount);
    int skip = delayBlocks;
    long long blocks = 0;
    double ticks = 0.0;
    auto processBlock = [&](bool timed) {
        processTimed(engine, inBuffer.data(), outBuffer.data(), blockSeconds,
                     timed ? &ticks : nullptr);
        if (skip == 0) {
            sink->writeFrames(outBuffer.data(), outFrames);
        } else {
            --skip;
        }
        io.blockDone();
    };
    while (source->readFrames(inBuffer.data(), inFrames) == inFrames) {
        io.beforeBlock(blocks);
        processBlock(processTicks != nullptr);
        ++blocks;
        if (blockLimit > 0 && blocks >= blockLimit) break;
    }
    // The pipeline still holds delay() samples: push them out with the last block repeated.
    for (int i = 0; i < delayBlocks; ++i) processBlock(false);
    io.finish();
    io.processingDone();

    if (framesProcessed) *framesProcessed = blocks * inFrames;
    if (processTicks) *processTicks = static_cast<int>(ticks + 0.5);
    source->close();
    sink->flush();
    sink->close();
    if (sink->failed()) {
        // A full disk or a vanished file: the output is incomplete, so the run failed.
        io.outputFailed();
        return -97;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------

namespace {
constexpr double kProgressIntervalSeconds = 0.25;  // at most four updates a second
}

struct ProgressLine::Impl {
    using Clock = std::chrono::steady_clock;
    long long total = -1;
    long long done = 0;
    double blockSeconds = 0.0;
    Clock::time_point begin;
    Clock::time_point lastShown;
    bool shown = false;

    double elapsed(Clock::time_point now) const {
        return std::chrono::duration<double>(now - begin).count();
    }

    void show(Clock::time_point now) {
        const double seconds = elapsed(now);
        const double audio = done * blockSeconds;
        const double percent =
            total > 0 ? std::min(100.0, 100.0 * static_cast<double>(done) / total) : 0.0;
        std::fprintf(stderr, "\rProgress: %5.1f%%, %.1f s elapsed, RTF %.3f ", percent, seconds,
                     audio > 0.0 ? seconds / audio : 0.0);
        std::fflush(stderr);
        lastShown = now;
        shown = true;
    }
};

ProgressLine::ProgressLine() : pp(std::make_unique<Impl>()) {}
ProgressLine::~ProgressLine() = default;

void ProgressLine::start(long long totalBlocks, double blockSeconds) {
    pp->total = totalBlocks;
    pp->done = 0;
    pp->blockSeconds = blockSeconds;
    pp->begin = Impl::Clock::now();
    pp->lastShown = pp->begin;
    pp->shown = false;
}

void ProgressLine::blockDone() {
    ++pp->done;
    const auto now = Impl::Clock::now();
    if (std::chrono::duration<double>(now - pp->lastShown).count() >= kProgressIntervalSeconds)
        pp->show(now);
}

void ProgressLine::finish() {
    if (pp->total > 0 && pp->done > pp->total) pp->done = pp->total;
    pp->show(Impl::Clock::now());
    std::fputs("\n", stderr);
}

}  // namespace velmora::app
