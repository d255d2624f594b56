#pragma once
// Velmora: the one class through which a caller uses the engine. It validates a parameter set,
// builds the processing mode the set names, and then takes one block of interleaved input at a
// time (floats in [-1, 1] or little-endian integer PCM) and returns one block of interleaved
// output. Between the caller's channel layout and the mode's it reorders channels by `chorder`,
// optionally sums reference channels pairwise, fades the input in during `init_time`, extracts
// pilot values and copies blocks to dump files. It also hosts the two file-to-file jobs of the
// command-line tool. A facade is not reset: a new input stream needs a new facade.

#include <iosfwd>
#include <memory>

#include "Params.h"

namespace velmora {

namespace sio {
class SignalSource;
class SignalSink;
}  // namespace sio

class Velmora {
  public:
    explicit Velmora(const char* confPath);
    explicit Velmora(const Params& params);
    ~Velmora();
    Velmora(const Velmora&) = delete;
    Velmora& operator=(const Velmora&) = delete;

    static const char* version();

    int numMics();
    int numRefs();
    int numPilots();
    int numIns();
    int numOuts();
    int inputRate();
    int outputRate();
    int inputBits();
    int outputBits();
    int inFramesPerBlock();
    int outFramesPerBlock();
    int inSamplesPerBlock();
    int outSamplesPerBlock();
    int inBytesPerBlock();
    int outBytesPerBlock();
    // Total algorithmic delay in output samples.
    int delay();
    float direction(int n);
    float volume(int n);
    float vadValue(int n);

    void lock(int n, const float* blocks);
    void unlock(int n);
    float look(int n);
    void setLook(int n, float azimuth);
    void resetLocalization();
    // Copies numPilots() values; does nothing when the configuration has no pilots.
    void setPilots(const float* values);
    void saveState(const char* path);
    void loadState(const char* path);
    // The same state through a caller's stream (a front end that keeps it in memory).
    void saveState(std::ostream& stream);
    void loadState(std::istream& stream);

    // One block: inFramesPerBlock() frames of numIns() interleaved floats in, outFramesPerBlock()
    // frames of numOuts() floats out (`out` may be null when no output is wanted).
    void process(const float* in, float* out);
    // The same on raw little-endian PCM of inputBits() / outputBits() bits.
    void process(const unsigned char* in, unsigned char* out);

    // Opens the input by extension (".wav" in any letter case: WAVE, otherwise raw PCM of
    // inputBits() bits and numIns() channels).
    sio::SignalSource* openSource(const char* path);
    // Opens an output by extension: ".wav", ".txt", ".ark", otherwise raw PCM.
    sio::SignalSink* openSink(int rate, int bits, int channels, const char* path);

    // The localisation job: prints the direction of every output channel, per block when
    // `ssl_forget` is not 1, otherwise once at the end. Returns 0, or -97 when the input
    // cannot be opened.
    int runLocalization(const char* inPath, long long* framesProcessed, int* processTicks);
    // The enhancement job: writes the processed input to outPath with the delay compensated,
    // so the output has as many blocks as were read. Returns 0, or -97 on open failures.
    int runEnhancement(const char* inPath, const char* outPath, long long* framesProcessed,
                       int* processTicks);

    // Checks, before anything is opened for writing, that no file a job writes (outPath, which
    // may be null, and the dump files fe_in_path and fe_out_path of `params`) is the input file
    // or another of them, through whatever path or link. Prints the conflict to standard error
    // and returns -97, or returns 0.
    static int checkFiles(const Params& params, const char* inPath, const char* outPath);

    // Input samples that were NaN or infinite and were replaced by 0 so far.
    long long numReplacedSamples() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora
