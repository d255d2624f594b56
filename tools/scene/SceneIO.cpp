// File and measurement helpers of the scene simulator: WAV reading and writing through the
// engine's own sources and sinks, SI-SDR and ERLE.

#include <algorithm>
#include <cmath>
#include <memory>

#include "Error.h"
#include "scene/Scene.h"
#include "sio/WavSink.h"
#include "sio/WavSource.h"

namespace velmora::scene {
namespace {

constexpr double kTinyEnergy = 1e-30;  // keeps the dB ratios finite for silent signals
constexpr int kReadChunkFrames = 4096;

}  // namespace

std::vector<float> readWav(const std::string& path, int fs, int* channels) {
    sio::WavSource source(path.c_str());
    if (source.sampleRate() != fs)
        error("Scene", "%s: sample rate %d Hz, expected %d Hz", path.c_str(), source.sampleRate(),
              fs);
    const int numChannels = source.numChannels();
    std::vector<float> samples;
    std::vector<float> chunk(static_cast<size_t>(kReadChunkFrames) * numChannels);
    for (;;) {
        const int got = source.readFrames(chunk.data(), kReadChunkFrames);
        samples.insert(samples.end(), chunk.begin(), chunk.begin() + got * numChannels);
        if (got < kReadChunkFrames) break;
    }
    source.close();
    if (channels) *channels = numChannels;
    return samples;
}

std::vector<float> readMonoWav(const std::string& path, int fs) {
    int channels = 0;
    std::vector<float> samples = readWav(path, fs, &channels);
    if (channels != 1) error("Scene", "%s: %d channels, expected one", path.c_str(), channels);
    return samples;
}

void writeWav(const std::string& path, const std::vector<float>& frames, int channels, int fs) {
    if (channels <= 0 || frames.size() % channels != 0)
        error("Scene", "%s: %zu samples do not fill frames of %d channels", path.c_str(),
              frames.size(), channels);
    const int numFrames = static_cast<int>(frames.size() / channels);
    sio::WavSink sink(fs, 16, channels, numFrames, path.c_str());
    sink.writeFrames(frames.data(), numFrames);
    sink.flush();
    sink.close();
    if (sink.failed()) error("Scene", "Cannot write %s", path.c_str());
}

double siSdrDb(const std::vector<float>& estimate, const std::vector<float>& target) {
    const size_t n = std::min(estimate.size(), target.size());
    double et = 0.0, tt = 0.0;
    for (size_t i = 0; i < n; ++i) {
        et += static_cast<double>(estimate[i]) * target[i];
        tt += static_cast<double>(target[i]) * target[i];
    }
    const double alpha = tt > 0.0 ? et / tt : 0.0;
    double signal = 0.0, residue = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double s = alpha * target[i];
        const double e = estimate[i] - s;
        signal += s * s;
        residue += e * e;
    }
    return 10.0 * std::log10(std::max(signal, kTinyEnergy) / std::max(residue, kTinyEnergy));
}

double erleDb(const std::vector<float>& microphone, const std::vector<float>& output) {
    const size_t n = std::min(microphone.size(), output.size());
    double mic = 0.0, out = 0.0;
    for (size_t i = 0; i < n; ++i) {
        mic += static_cast<double>(microphone[i]) * microphone[i];
        out += static_cast<double>(output[i]) * output[i];
    }
    return 10.0 * std::log10(std::max(mic, kTinyEnergy) / std::max(out, kTinyEnergy));
}

}  // namespace velmora::scene
