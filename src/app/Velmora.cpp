#include "app/Velmora.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <vector>

#include "Error.h"
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
#include "sio/PoolingSink.h"
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

// The process clock in milliseconds, at the clock's own resolution: a 10 ms block usually takes
// well under a millisecond, so whole milliseconds per block would sum to nothing.
double clockMs() {
    return std::clock() * 1000.0 / CLOCKS_PER_SEC;
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
float Velmora::direction(int n) {
    return pp->mode->direction(n);
}
float Velmora::volume(int n) {
    return pp->mode->volume(n);
}
float Velmora::vadValue(int n) {
    return pp->mode->vadValue(n);
}

void Velmora::lock(int n, const float* blocks) {
    pp->mode->lock(n, blocks);
}
void Velmora::unlock(int n) {
    pp->mode->unlock(n);
}
float Velmora::look(int n) {
    return pp->mode->look(n);
}
void Velmora::setLook(int n, float azimuth) {
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

// Opens the input for one pass, printing the job's message on failure.
std::unique_ptr<sio::SignalSource> openInput(Velmora& engine, const char* path, bool withStop) {
    try {
        return std::unique_ptr<sio::SignalSource>(engine.openSource(path));
    } catch (const char* text) {
        std::fprintf(
            stderr,
            withStop ? "Cannot open input file: %s, %s.\n" : "Cannot open input file: %s, %s\n",
            path, text);
        return nullptr;
    }
}

// Says once, at the end of a job, how many bad input samples the engine replaced.
void reportReplaced(const Velmora& engine) {
    if (engine.numReplacedSamples() > 0)
        std::fprintf(stderr,
                     "Replaced %lld input samples that were NaN, infinite or beyond +-%g by 0\n",
                     engine.numReplacedSamples(), static_cast<double>(kMaxInputMagnitude));
}

// Skips `count` leading frames one at a time.
void skipFrames(sio::SignalSource* source, float* frame, long long count) {
    for (long long i = 0; i < count; ++i) {
        if (source->readFrames(frame, 1) < 1) break;
    }
}

}  // namespace

int Velmora::runLocalization(const char* inPath, long long* framesProcessed, int* processTicks) {
    if (checkFiles(pp->params, inPath, nullptr) != 0) return -97;
    std::unique_ptr<sio::SignalSource> source = openInput(*this, inPath, false);
    if (!source) return -97;
    const int frames = inFramesPerBlock();
    const int outs = numOuts();
    const double blockSeconds = static_cast<double>(frames) / inputRate();
    std::vector<float> buffer(static_cast<size_t>(inSamplesPerBlock()), 0.0f);
    const bool perBlock = pp->params.ssl_forget != 1.0f;
    auto printDirections = [&] {
        for (int n = 0; n < outs; ++n) std::printf(n ? " %f" : "%f", direction(n));
        std::printf("\n");
    };

    long long blocks = 0;
    double ticks = 0.0;
    while (source->readFrames(buffer.data(), frames) == frames) {
        if (processTicks) {
            const double t0 = clockMs();
            process(buffer.data(), static_cast<float*>(nullptr));
            const double elapsed = clockMs() - t0;
            std::printf("RTF: %f\n", (elapsed / 1000.0) / blockSeconds);
            ticks += elapsed;
        } else {
            process(buffer.data(), static_cast<float*>(nullptr));
        }
        ++blocks;
        if (perBlock) printDirections();
    }
    if (!perBlock) printDirections();
    resetLocalization();
    reportReplaced(*this);
    if (framesProcessed) *framesProcessed = blocks * frames;
    if (processTicks) *processTicks = static_cast<int>(ticks + 0.5);
    source->close();
    return 0;
}

int Velmora::runEnhancement(const char* inPath, const char* outPath, long long* framesProcessed,
                            int* processTicks) {
    const Params& p = pp->params;
    if (checkFiles(p, inPath, outPath) != 0) return -97;
    const int inFrames = inFramesPerBlock();
    const int outFrames = outFramesPerBlock();
    const double blockSeconds = static_cast<double>(inFrames) / inputRate();
    std::vector<float> inBuffer(static_cast<size_t>(inSamplesPerBlock()), 0.0f);
    std::vector<float> outBuffer(static_cast<size_t>(outSamplesPerBlock()), 0.0f);
    // Keyword events are read and checked before any audio is processed.
    std::vector<KeywordEvent> events;
    if (p.kws_event_path && p.kws_event_path[0]) {
        try {
            events = readKeywordEvents(p.kws_event_path, numOuts(), inputRate(), inFrames);
        } catch (const char* text) {
            std::fprintf(stderr, "%s\n", text);
            return -1;
        }
    }
    size_t nextEvent = 0;
    const long long skipCount = static_cast<long long>(p.fsin * p.train_input_offset);
    const int blockLimit = static_cast<int>(p.train_input_len / p.block_size);

    // Training passes: the input is processed and the output discarded.
    for (int pass = 1; pass < p.train_repeat; ++pass) {
        std::unique_ptr<sio::SignalSource> source = openInput(*this, inPath, true);
        if (!source) return -97;
        skipFrames(source.get(), inBuffer.data(), skipCount);
        int done = 0;
        while (source->readFrames(inBuffer.data(), inFrames) == inFrames) {
            process(inBuffer.data(), outBuffer.data());
            if (blockLimit > 0 && ++done >= blockLimit) break;
        }
        source->close();
    }

    std::unique_ptr<sio::SignalSource> source = openInput(*this, inPath, true);
    if (!source) return -97;
    std::unique_ptr<sio::SignalSink> inner;
    std::unique_ptr<sio::SignalSink> sink;
    try {
        if (p.train_out_pooling) {
            inner.reset(openSink(p.fsout, p.nbitsout, 1, outPath));
            sink = std::make_unique<sio::PoolingSink>(numOuts(), inner.get());
        } else {
            sink.reset(openSink(p.fsout, p.nbitsout, numOuts(), outPath));
        }
    } catch (const char* text) {
        std::fprintf(stderr, "Cannot open output file: %s, %s.\n", outPath, text);
        return -97;
    }

    skipFrames(source.get(), inBuffer.data(), skipCount);
    const int delayBlocks = delay() / outFrames;
    int skip = delayBlocks;
    long long blocks = 0;
    double ticks = 0.0;
    auto processBlock = [&](bool timed) {
        if (timed) {
            const double t0 = clockMs();
            process(inBuffer.data(), outBuffer.data());
            const double elapsed = clockMs() - t0;
            std::printf("RTF: %f\n", (elapsed / 1000.0) / blockSeconds);
            ticks += elapsed;
        } else {
            process(inBuffer.data(), outBuffer.data());
        }
        if (skip == 0) {
            sink->writeFrames(outBuffer.data(), outFrames);
        } else {
            --skip;
        }
    };
    while (source->readFrames(inBuffer.data(), inFrames) == inFrames) {
        for (; nextEvent < events.size() && events[nextEvent].block <= blocks; ++nextEvent) {
            const KeywordEvent& e = events[nextEvent];
            if (e.unlock)
                unlock(e.output);
            else
                lock(e.output, e.hasCount ? &e.count : nullptr);
        }
        processBlock(processTicks != nullptr);
        ++blocks;
        if (blockLimit > 0 && blocks >= blockLimit) break;
    }
    // The pipeline still holds delay() samples: push them out with the last block repeated.
    for (int i = 0; i < delayBlocks; ++i) processBlock(false);

    reportReplaced(*this);
    if (framesProcessed) *framesProcessed = blocks * inFrames;
    if (processTicks) *processTicks = static_cast<int>(ticks + 0.5);
    source->close();
    sink->flush();
    sink->close();
    if (sink->failed()) {
        // A full disk or a vanished file: the output is incomplete, so the run failed.
        std::fprintf(stderr, "Cannot write output file: %s.\n", outPath);
        return -97;
    }
    return 0;
}

}  // namespace velmora
