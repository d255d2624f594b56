#pragma once
// The two jobs of the command-line tool (enhancement and localisation), written against an
// abstract input and output. The facade's runEnhancement / runLocalization run them on files;
// other front ends (the Python module) run exactly the same block loop, training passes, offset,
// delay compensation and tail on data they hold in memory, so both give the same samples.

#include <memory>

namespace velmora {

class Params;
class Velmora;

namespace sio {
class SignalSource;
class SignalSink;
}  // namespace sio

namespace app {

// Where a job reads, writes and reports. Every hook but openInput has a do-nothing default.
class JobIO {
  public:
    virtual ~JobIO() = default;
    // A fresh source over the whole input for one pass, or null when it cannot be opened (the
    // implementation reports why). `enhancement` tells the two jobs apart for that report.
    virtual std::unique_ptr<sio::SignalSource> openInput(bool enhancement) = 0;
    // The enhancement output with `channels` channels (1 when the loudest channel is pooled),
    // or null when it cannot be opened (reported by the implementation).
    virtual std::unique_ptr<sio::SignalSink> openOutput(int channels);
    // The output failed while being written (reported by the implementation).
    virtual void outputFailed() {}
    // Localisation: the direction of every output channel, after each block when `ssl_forget`
    // is not 1, otherwise once at the end.
    virtual void directions(const float* values, int count);
    // Frames of the whole input at the input rate, or -1 when unknown (for progress only).
    virtual long long inputFrames() { return -1; }
    // Progress: called before the first block with the number of blocks the job will process
    // (all passes and the tail; -1 when the input length is unknown), then after every block.
    virtual void start(long long totalBlocks, double blockSeconds) {}
    virtual void blockDone() {}
    // Enhancement: before block `block` (counted from 0) of the output pass is processed.
    virtual void beforeBlock(long long block) {}
    virtual void finish() {}
    // Every block is processed (the localisation's directions reported, the enhancement's tail
    // written), before input and output are closed.
    virtual void processingDone() {}
};

// Both return 0, or -97 when the input or output cannot be opened or the output fails.
// `params` is the configuration the engine was built from; `processTicks` non-null turns on the
// per-block "RTF: %f" lines on standard output and receives the summed processing time (ms).
int runEnhancementJob(Velmora& engine, const Params& params, JobIO& io, long long* framesProcessed,
                      int* processTicks);
int runLocalizationJob(Velmora& engine, const Params& params, JobIO& io, long long* framesProcessed,
                       int* processTicks);

// Shows a job's progress on standard error: percentage, elapsed time and running real-time
// factor, rewritten in place at most a few times a second and ended by a newline. Used by the
// file jobs only when standard error is a terminal and the input is long enough to wait for.
class ProgressLine {
  public:
    ProgressLine();
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void start(long long totalBlocks, double blockSeconds);
    void blockDone();
    void finish();

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

// Inputs shorter than this many seconds show no progress.
constexpr double kProgressMinSeconds = 5.0;

}  // namespace app
}  // namespace velmora
