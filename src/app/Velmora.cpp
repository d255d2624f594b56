#include "app/Velmora.h"

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>

#include "Error.h"
#include "app/Jobs.h"
#include "app/KeywordEvents.h"
#include "blas/Vector.h"
#include "mode/FullNSMode.h"
#include "mode/GeneralMode.h"
#include "mode/MISOMode.h"
#include "mode/ModeInterface.h"
#include "mode/MultistreamModeNormalBlock.h"
#include "mode/TestMode.h"
#include "mode/TrainMode.h"
#include "sio/ArkSink.h"
#include "sio/FileInfo.h"
#include "sio/PCMSink.h"
#include "sio/PCMSource.h"
#include "sio/SampleFormat.h"
#include "sio/TxtSink.h"
#include "sio/WavSink.h"
#include "sio/WavSource.h"
#include "util/Check.h"

namespace velmora {

namespace {

// True when the last four characters of `path` equal `ext` in any letter case. A path shorter
// than four characters has no extension.
bool hasExtension(const char* path, const char* ext) {
    size_t n = std::strlen(path);
    if (n < 4) return false;
    for (int i = 0; i < 4; ++i) {
        if (std::tolower(static_cast<unsigned char>(path[n - 4 + i])) != ext[i]) return false;
    }
    return true;
}

}  // namespace

struct Velmora::Impl {
    int numRefsIn = 0;
    int numIns = 0;
    Params params;
    sio::DecodeRun readSamples = nullptr;
    sio::EncodeRun writeSamples = nullptr;
    int bytesPerSample = 0;
    std::unique_ptr<blas::Vector> pilots;
    std::unique_ptr<mode::ModeInterface> mode;
    std::vector<float> inBlock;
    float* blockData = nullptr;
    std::vector<float> outBlock;
    int warmupLeft = 0;
    int warmupBlocks = 0;
    std::unique_ptr<blas::Vector> block;
    std::unique_ptr<sio::SignalSink> inDump;
    std::unique_ptr<sio::SignalSink> outDump;
    long long replacedSamples = 0;  // input samples that sanitize() replaced

    explicit Impl(const Params& p) : params(p) {}
};

namespace {

// Input samples beyond this magnitude (60 dB above full scale) are garbage: no recording holds
// them, and a single one would throw the adaptive filters off for seconds.
constexpr float kMaxInputMagnitude = 1000.0f;

// Replaces NaN, infinite and absurdly large samples by 0, so that one bad sample cannot poison
// the adaptive state of the stages. Returns the number of samples replaced. The common case, a
// clean block, costs one vectorisable pass.
int sanitize(float* x, int count) {
    bool clean = true;
    for (int i = 0; i < count; ++i) clean &= std::fabs(x[i]) <= kMaxInputMagnitude;
    if (clean) return 0;
    int changed = 0;
    for (int i = 0; i < count; ++i) {
        if (std::fabs(x[i]) <= kMaxInputMagnitude) continue;
        x[i] = 0.0f;
        ++changed;
    }
    return changed;
}

// Upper limits of settings whose size or run time grows with the value. Every stage checks its
// own settings when it is built; these are the ones the facade and the file jobs use.
constexpr float kMaxInitTime = 3600.0f;     // seconds of fade-in
constexpr int kMaxTrainRepeat = 100;        // passes over the input
constexpr float kMaxTrainSeconds = 1.0e7f;  // input offset, length and archive batch (s)

// Refuses the settings that no stage can work with: non-finite numbers anywhere, channel
// counts beyond the channel table (checked one by one, before any sum can overflow), and the
// limits above.
void checkLimits(const Params& p) {
    float bad = 0.0f;
    if (const char* key = p.firstNonFinite(&bad))
        error("Velmora", "Invalid %s: %g, a finite number is required", key,
              static_cast<double>(bad));
    util::requireRange("Velmora", "nummics", p.nummics, 1, kMaxChannels);
    util::requireRange("Velmora", "numrefs", p.numrefs, 0, kMaxChannels);
    util::requireRange("Velmora", "init_time", p.init_time, 0.0f, kMaxInitTime);
    util::requireRange("Velmora", "train_repeat", p.train_repeat, 0, kMaxTrainRepeat);
    util::requireRange("Velmora", "train_input_offset", p.train_input_offset, 0.0f,
                       kMaxTrainSeconds);
    util::requireRange("Velmora", "train_input_len", p.train_input_len, 0.0f, kMaxTrainSeconds);
    util::requireRange("Velmora", "train_ark_batch_size", p.train_ark_batch_size, 0.0f,
                       kMaxTrainSeconds);
}

}  // namespace

Velmora::Velmora(const char* confPath) : Velmora(Params(confPath)) {}

Velmora::Velmora(const Params& params) {
    const int numMics = params.nummics;
    const int numRefs = params.numrefs;
    const int numPilotChannels = params.pilots_as_audio ? params.numpilots : 0;
    auto impl = std::make_unique<Impl>(params);
    Params& p = impl->params;

    impl->numRefsIn = numRefs;
    // Summed in 64 bits: the counts are checked below, and absurd ones must not overflow here.
    const long long wanted = static_cast<long long>(numMics) + numRefs + numPilotChannels;
    impl->numIns = static_cast<int>(std::max<long long>(
        p.numins, std::min<long long>(wanted, std::numeric_limits<int>::max())));

    // The adjusted copy: the channel count of the file, and merged references.
    p.numins = impl->numIns;
    if (p.aec_merge_refs) {
        p.numrefs = (numRefs + 1) / 2;
        p.numins = impl->numIns - numRefs / 2;
    }

    if (p.fsout != 16000)
        error("Velmora", "Unsupported output sample rate: %d, required: 16000", p.fsout);
    impl->readSamples = sio::pcmDecoder(p.nbitsin);
    if (!impl->readSamples) error("Velmora", "Unsupported bits per sample: %d", p.nbitsin);
    impl->bytesPerSample = p.nbitsin / 8;
    impl->writeSamples = sio::pcmEncoder(p.nbitsout);
    if (!impl->writeSamples) error("Velmora", "Unsupported bits per sample: %d", p.nbitsout);
    if (p.numpilots < 0) error("Velmora", "Illegal no. of pilots: %d", p.numpilots);
    util::requireRange("Velmora", "numpilots", p.numpilots, 0, kMaxChannels);
    if (p.numpilots > 0) impl->pilots = std::make_unique<blas::Vector>(p.numpilots);

    const float bs = p.block_size;
    if (bs != 0.01f && bs != 0.02f && bs != 0.03f && bs != 0.04f) {
        error("Velmora", "Unsupported block size (second): %f, required: 0.01, 0.02, 0.03, or 0.04",
              bs);
    }
    if (numMics < 1) error("Velmora", "Illegal no. of mic channels: %d", numMics);
    if (numRefs < 0) error("Velmora", "Illegal no. of reference channels: %d", numRefs);
    if (p.numouts < 1) error("Velmora", "Illegal no. of output channels: %d", p.numouts);
    checkLimits(p);

    // Every logical channel needs an entry of `chorder` that names an existing input channel;
    // the parameter set holds 100 entries.
    const int logical = numMics + numRefs + (p.numpilots > 0 ? p.numpilots : 0);
    if (logical > kMaxChannels || impl->numIns > kMaxChannels) {
        error("Velmora", "No. of input channels out of bounds: %d, %d",
              std::max(logical, impl->numIns), kMaxChannels);
    }
    const int named = numMics + numRefs + numPilotChannels;
    for (int j = 0; j < named; ++j) {
        if (p.chorder[j] < 0 || p.chorder[j] >= impl->numIns) {
            error("Velmora", "Channel index out of bounds: %d, %d", p.chorder[j], impl->numIns);
        }
    }

    util::requireRange("Velmora", "numouts", p.numouts, 1, kMaxChannels);

    switch (p.mode) {
        case 3:
            impl->mode = std::make_unique<mode::TestMode>(&impl->params);
            break;
        case 4:
            impl->mode = std::make_unique<mode::GeneralMode>(&impl->params, impl->pilots.get());
            break;
        case 5:
            impl->mode = std::make_unique<mode::MISOMode>(&impl->params, impl->pilots.get());
            break;
        case 6:
            impl->mode = std::make_unique<mode::TrainMode>(&impl->params, impl->pilots.get());
            break;
        case 7:
        case 8:
            impl->mode = std::make_unique<mode::FullNSMode>(&impl->params, impl->pilots.get(),
                                                            p.mode == 7 ? 1 : 0);
            break;
        case 9:
            impl->mode = std::make_unique<mode::MultistreamModeNormalBlock>(&impl->params,
                                                                            impl->pilots.get(), 1);
            break;
        default:
            error("Velmora", "Unknown mode: %d", p.mode);
    }

    const int inFrames = impl->mode->inFramesPerBlock();
    const int outFrames = impl->mode->outFramesPerBlock();
    impl->inBlock.assign(static_cast<size_t>(inFrames) * impl->numIns, 0.0f);
    impl->outBlock.assign(static_cast<size_t>(outFrames) * p.numouts, 0.0f);
    impl->warmupBlocks = static_cast<int>(p.init_time / p.block_size);
    impl->warmupLeft = impl->warmupBlocks;
    // The mode works in place, so the block must also hold the output.
    const int inSamples = (p.nummics + p.numrefs) * inFrames;
    const int outSamples = impl->mode->numOuts() * outFrames;
    impl->block = std::make_unique<blas::Vector>(std::max(inSamples, outSamples));
    impl->blockData = impl->block->data();

    pp = std::move(impl);
    if (p.fe_in_path && p.fe_in_path[0]) {
        pp->inDump.reset(openSink(p.fsin, p.nbitsin, pp->numIns, p.fe_in_path));
    }
    if (p.fe_out_path && p.fe_out_path[0]) {
        pp->outDump.reset(openSink(p.fsout, p.nbitsout, p.numouts, p.fe_out_path));
    }
}

Velmora::~Velmora() {
    if (!pp) return;
    for (auto* dump : {pp->inDump.get(), pp->outDump.get()}) {
        if (dump) {
            dump->flush();
            dump->close();
        }
    }
}

const char* Velmora::version() {
    return "2020-01-03";
}

int Velmora::numMics() {
    return pp->mode->numMics();
}
int Velmora::numRefs() {
    return pp->numRefsIn;
}
int Velmora::numPilots() {
    return pp->params.numpilots;
}
int Velmora::numIns() {
    return pp->numIns;
}
int Velmora::numOuts() {
    return pp->mode->numOuts();
}
int Velmora::inputRate() {
    return pp->params.fsin;
}
int Velmora::outputRate() {
    return pp->params.fsout;
}
int Velmora::inputBits() {
    return pp->params.nbitsin;
}
int Velmora::outputBits() {
    return pp->params.nbitsout;
}
int Velmora::inFramesPerBlock() {
    return pp->mode->inFramesPerBlock();
}
int Velmora::outFramesPerBlock() {
    return pp->mode->outFramesPerBlock();
}
int Velmora::inSamplesPerBlock() {
    return inFramesPerBlock() * pp->numIns;
}
int Velmora::outSamplesPerBlock() {
    return outFramesPerBlock() * pp->params.numouts;
}
int Velmora::inBytesPerBlock() {
    return inFramesPerBlock() * pp->numIns * pp->params.nbitsin / 8;
}
int Velmora::outBytesPerBlock() {
    return outFramesPerBlock() * pp->params.numouts * pp->params.nbitsout / 8;
}
int Velmora::delay() {
    return pp->mode->delay();
}
// Output-indexed controls come straight from a caller (a keyword detector, the event file, the
// Python module); the stages behind them assert on their indices, so a bad index is refused here.
static void checkOutput(int n, int numOuts) {
    util::requireRange("Velmora", "output", n, 0, numOuts - 1);
}

float Velmora::direction(int n) {
    checkOutput(n, pp->mode->numOuts());
    return pp->mode->direction(n);
}
float Velmora::volume(int n) {
    // The meter has a value for every input channel and every output.
    const Params& p = pp->params;
    util::requireRange("Velmora", "volume channel", n, 0,
                       std::max(p.nummics + p.numrefs, p.numouts) - 1);
    return pp->mode->volume(n);
}
float Velmora::vadValue(int n) {
    checkOutput(n, pp->mode->numOuts());
    return pp->mode->vadValue(n);
}

void Velmora::lock(int n, const float* blocks) {
    checkOutput(n, pp->mode->numOuts());
    pp->mode->lock(n, blocks);
}
void Velmora::unlock(int n) {
    checkOutput(n, pp->mode->numOuts());
    pp->mode->unlock(n);
}
float Velmora::look(int n) {
    checkOutput(n, pp->mode->numOuts());
    return pp->mode->look(n);
}
void Velmora::setLook(int n, float azimuth) {
    checkOutput(n, pp->mode->numOuts());
    pp->mode->setLook(n, azimuth);
}
void Velmora::resetLocalization() {
    pp->mode->resetLocalization();
}

long long Velmora::numReplacedSamples() const {
    return pp->replacedSamples;
}

void Velmora::setPilots(const float* values) {
    if (!pp->pilots) return;
    std::copy(values, values + pp->params.numpilots, pp->pilots->data());
}

void Velmora::saveState(const char* path) {
    std::ofstream stream(path, std::ios::binary);
    if (!stream) error("Velmora", "Cannot open output file: %s", path);
    pp->mode->saveState(stream);
    stream.close();
    if (stream.fail()) error("Velmora", "Cannot write output file: %s", path);
}

void Velmora::loadState(const char* path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) error("Velmora", "Cannot open input file: %s", path);
    pp->mode->loadState(stream);
}

void Velmora::saveState(std::ostream& stream) {
    pp->mode->saveState(stream);
}

void Velmora::loadState(std::istream& stream) {
    pp->mode->loadState(stream);
}

void Velmora::process(const float* in, float* out) {
    Impl& s = *pp;
    const Params& p = s.params;
    const int frames = s.mode->inFramesPerBlock();
    const int numMics = p.nummics;
    const int numRefsIn = s.numRefsIn;
    if (s.inDump) s.inDump->writeFrames(in, frames);

    if (p.pilots_as_audio) {
        for (int i = 0; i < p.numpilots; ++i) {
            float value = in[p.chorder[numMics + numRefsIn + i]];
            s.replacedSamples += sanitize(&value, 1);
            s.pilots->set(i, value);
        }
    }

    float* block = s.blockData;
    const int n = numMics + p.numrefs;
    const int* order = p.chorder;
    if (numRefsIn > 1 && p.aec_merge_refs) {
        const int pairs = numRefsIn / 2;
        for (int f = 0; f < frames; ++f) {
            const float* frame = in + static_cast<size_t>(s.numIns) * f;
            float* dst = block + static_cast<size_t>(n) * f;
            for (int j = 0; j < numMics; ++j) dst[j] = frame[order[j]];
            for (int j = 0; j < pairs; ++j) {
                dst[numMics + j] =
                    frame[order[numMics + 2 * j]] + frame[order[numMics + 2 * j + 1]];
            }
            if (numRefsIn % 2) dst[n - 1] = frame[order[numMics + numRefsIn - 1]];
        }
    } else {
        const int stride = p.numins;
        for (int f = 0; f < frames; ++f) {
            const float* frame = in + static_cast<size_t>(stride) * f;
            float* dst = block + static_cast<size_t>(n) * f;
            for (int j = 0; j < n; ++j) dst[j] = frame[order[j]];
        }
    }

    s.replacedSamples += sanitize(block, n * frames);

    if (s.warmupLeft > 0) {
        const int total = s.warmupBlocks;
        const float gain =
            static_cast<float>(0.01 + 0.99 * static_cast<double>(total - s.warmupLeft) / total);
        const int count = n * frames;
        for (int i = 0; i < count; ++i) block[i] *= gain;
        --s.warmupLeft;
    }

    s.mode->process(block, out);
    if (s.outDump && out) s.outDump->writeFrames(out, s.mode->outFramesPerBlock());
}

void Velmora::process(const unsigned char* in, unsigned char* out) {
    Impl& s = *pp;
    const Params& p = s.params;
    const int frames = s.mode->inFramesPerBlock();
    const int logical = p.nummics + s.numRefsIn;
    const int bps = s.bytesPerSample;
    for (int f = 0; f < frames; ++f) {
        for (int j = 0; j < logical; ++j) {
            const size_t pos = static_cast<size_t>(f) * s.numIns + p.chorder[j];
            s.readSamples(in + pos * bps, &s.inBlock[pos], 1);
        }
    }
    if (p.pilots_as_audio) {
        for (int i = 0; i < p.numpilots; ++i) {
            const size_t pos = p.chorder[logical + i];
            s.readSamples(in + pos * bps, &s.inBlock[pos], 1);
        }
    }
    process(s.inBlock.data(), out ? s.outBlock.data() : nullptr);
    if (out) s.writeSamples(s.outBlock.data(), out, outSamplesPerBlock());
}

sio::SignalSource* Velmora::openSource(const char* path) {
    if (hasExtension(path, ".wav")) {
        auto source = std::make_unique<sio::WavSource>(path);
        if (source->numChannels() != pp->numIns) {
            error("Velmora", "No. of input channels not match: %d, %d", source->numChannels(),
                  pp->numIns);
        }
        // The recording is resampled from fsin: a file at another rate would be processed at
        // the wrong speed.
        if (source->sampleRate() != pp->params.fsin) {
            error("Velmora", "Sample rate not match: %d, %d (set fsin)", source->sampleRate(),
                  pp->params.fsin);
        }
        return source.release();
    }
    return new sio::PCMSource(pp->params.nbitsin, pp->numIns, path);
}

sio::SignalSink* Velmora::openSink(int rate, int bits, int channels, const char* path) {
    if (hasExtension(path, ".wav")) return new sio::WavSink(rate, bits, channels, path);
    if (hasExtension(path, ".txt")) return new sio::TxtSink(channels, path);
    if (hasExtension(path, ".ark")) {
        const int batch = static_cast<int>(pp->params.train_ark_batch_size / pp->params.block_size);
        if (batch < 1) {
            error("Velmora", "Unsupported train_ark_batch_size: %f, at least one block required",
                  pp->params.train_ark_batch_size);
        }
        return new sio::ArkSink(batch, channels, outFramesPerBlock(), path);
    }
    return new sio::PCMSink(bits, channels, path);
}

int Velmora::checkFiles(const Params& params, const char* inPath, const char* outPath) {
    struct Output {
        const char* what;
        const char* path;
    };
    const Output outputs[] = {{"output file", outPath},
                              {"fe_in_path", params.fe_in_path},
                              {"fe_out_path", params.fe_out_path}};
    auto given = [](const char* path) { return path != nullptr && *path != '\0'; };
    auto same = [](const char* a, const char* b) { return sio::sameFile(a, b); };
    for (int i = 0; i < 3; ++i) {
        const Output& o = outputs[i];
        if (!given(o.path)) continue;
        if (given(inPath) && same(o.path, inPath)) {
            std::fprintf(stderr, "Cannot write the %s over the input file: %s\n", o.what, o.path);
            return -97;
        }
        for (int j = i + 1; j < 3; ++j) {
            if (given(outputs[j].path) && same(o.path, outputs[j].path)) {
                std::fprintf(stderr, "The %s and the %s name the same file: %s\n", o.what,
                             outputs[j].what, o.path);
                return -97;
            }
        }
    }
    return 0;
}

namespace {

// The jobs' input and output as files, opened by extension, with the tool's messages. Shows
// progress on standard error when it is a terminal and the input is long enough to wait for;
// not when standard output is the same terminal and takes a line per block.
class FileJobIO : public app::JobIO {
  public:
    FileJobIO(Velmora& engine, const Params& params, const char* inPath, const char* outPath,
              bool perBlockLines, std::vector<KeywordEvent> events = {})
        : engine_(engine),
          params_(params),
          inPath_(inPath),
          outPath_(outPath),
          events_(std::move(events)) {
        showProgress_ = isatty(fileno(stderr)) && !(perBlockLines && isatty(fileno(stdout)));
    }

    std::unique_ptr<sio::SignalSource> openInput(bool enhancement) override {
        try {
            return std::unique_ptr<sio::SignalSource>(engine_.openSource(inPath_));
        } catch (const char* text) {
            std::fprintf(stderr,
                         enhancement ? "Cannot open input file: %s, %s.\n"
                                     : "Cannot open input file: %s, %s\n",
                         inPath_, text);
            return nullptr;
        }
    }

    std::unique_ptr<sio::SignalSink> openOutput(int channels) override {
        try {
            return std::unique_ptr<sio::SignalSink>(
                engine_.openSink(params_.fsout, params_.nbitsout, channels, outPath_));
        } catch (const char* text) {
            std::fprintf(stderr, "Cannot open output file: %s, %s.\n", outPath_, text);
            return nullptr;
        }
    }

    void outputFailed() override {
        std::fprintf(stderr, "Cannot write output file: %s.\n", outPath_);
    }

    void directions(const float* values, int count) override {
        for (int n = 0; n < count; ++n) std::printf(n ? " %f" : "%f", values[n]);
        std::printf("\n");
    }

    // Says once, at the end of a job, how many bad input samples the engine replaced.
    void processingDone() override {
        if (engine_.numReplacedSamples() > 0)
            std::fprintf(
                stderr, "Replaced %lld input samples that were NaN, infinite or beyond +-%g by 0\n",
                engine_.numReplacedSamples(), static_cast<double>(kMaxInputMagnitude));
    }

    // Estimated from the file size, which is all a progress display needs: a WAV header or a
    // trailing chunk moves it by a fraction of a block.
    long long inputFrames() override {
        if (!showProgress_) return -1;
        if (inputFrames_ == kUnknown) inputFrames_ = estimateInputFrames();
        return inputFrames_;
    }

    void start(long long totalBlocks, double blockSeconds) override {
        const long long frames = inputFrames();
        active_ = showProgress_ && totalBlocks > 0 &&
                  frames >= app::kProgressMinSeconds * engine_.inputRate();
        if (active_) progress_.start(totalBlocks, blockSeconds);
    }
    void blockDone() override {
        if (active_) progress_.blockDone();
    }
    // Keyword events take effect before the block that holds their time.
    void beforeBlock(long long block) override {
        for (; nextEvent_ < events_.size() && events_[nextEvent_].block <= block; ++nextEvent_) {
            const KeywordEvent& e = events_[nextEvent_];
            if (e.unlock)
                engine_.unlock(e.output);
            else
                engine_.lock(e.output, e.hasCount ? &e.count : nullptr);
        }
    }
    void finish() override {
        if (active_) progress_.finish();
        active_ = false;
    }

  private:
    static constexpr long long kUnknown = -2;

    long long estimateInputFrames() {
        struct stat info;
        if (stat(inPath_, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
        const int bytes = hasExtension(inPath_, ".wav") ? wavBytesPerSample() : params_.nbitsin / 8;
        if (bytes <= 0) return -1;
        return static_cast<long long>(info.st_size) /
               (static_cast<long long>(bytes) * engine_.numIns());
    }

    int wavBytesPerSample() {
        try {
            sio::WavSource wav(inPath_);
            return wav.bitsPerSample() / 8;
        } catch (const char*) {
            return 0;
        }
    }

    Velmora& engine_;
    const Params& params_;
    const char* inPath_;
    const char* outPath_;
    std::vector<KeywordEvent> events_;
    size_t nextEvent_ = 0;
    bool showProgress_ = false;
    bool active_ = false;
    long long inputFrames_ = kUnknown;
    app::ProgressLine progress_;
};

}  // namespace

int Velmora::runLocalization(const char* inPath, long long* framesProcessed, int* processTicks) {
    if (checkFiles(pp->params, inPath, nullptr) != 0) return -97;
    const bool perBlock = pp->params.ssl_forget != 1.0f || processTicks;
    FileJobIO io(*this, pp->params, inPath, nullptr, perBlock);
    return app::runLocalizationJob(*this, pp->params, io, framesProcessed, processTicks);
}

int Velmora::runEnhancement(const char* inPath, const char* outPath, long long* framesProcessed,
                            int* processTicks) {
    const Params& p = pp->params;
    if (checkFiles(p, inPath, outPath) != 0) return -97;
    // Keyword events are read and checked before any audio is processed.
    std::vector<KeywordEvent> events;
    if (p.kws_event_path && p.kws_event_path[0]) {
        try {
            events =
                readKeywordEvents(p.kws_event_path, numOuts(), inputRate(), inFramesPerBlock());
        } catch (const char* text) {
            std::fprintf(stderr, "%s\n", text);
            return -1;
        }
    }
    FileJobIO io(*this, p, inPath, outPath, processTicks != nullptr, std::move(events));
    return app::runEnhancementJob(*this, p, io, framesProcessed, processTicks);
}

}  // namespace velmora
