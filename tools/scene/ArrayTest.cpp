#include "scene/ArrayTest.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "Error.h"

namespace velmora::scene {

namespace {

constexpr int kFs = 16000;
constexpr int kMics = 7;
constexpr float kStimulusRms = 0.01f;  // loudspeaker signal level (full scale 1)

// Pink-like Gaussian noise (Kellet's three-pole approximation of a -3 dB/octave slope),
// normalised to `rms`.
std::vector<float> pinkNoise(int frames, uint32_t seed, float rms) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> white(0.0, 1.0);
    std::vector<float> x(frames);
    double b0 = 0.0, b1 = 0.0, b2 = 0.0, sum = 0.0;
    for (int n = 0; n < frames; ++n) {
        const double w = white(rng);
        b0 = 0.99765 * b0 + w * 0.0990460;
        b1 = 0.96300 * b1 + w * 0.2965164;
        b2 = 0.57000 * b2 + w * 1.0526913;
        const double v = b0 + b1 + b2 + w * 0.1848;
        x[n] = static_cast<float>(v);
        sum += v * v;
    }
    const double scale = rms / std::sqrt(sum / std::max(frames, 1));
    for (float& v : x) v = static_cast<float>(v * scale);
    return x;
}

void plant(Recording& rec, int mic, ArrayFault fault) {
    const int nc = rec.numMics + rec.numRefs;
    auto at = [&](int f, int c) -> float& { return rec.mixture[static_cast<size_t>(f) * nc + c]; };
    switch (fault) {
        case ArrayFault::None:
            break;
        case ArrayFault::Dead:
            for (int f = 0; f < rec.frames; ++f) at(f, mic) = 0.0f;
            break;
        case ArrayFault::Quieter6dB:
            for (int f = 0; f < rec.frames; ++f) at(f, mic) *= 0.5f;
            break;
        case ArrayFault::Delayed2:
            for (int f = rec.frames - 1; f >= 0; --f) at(f, mic) = f >= 2 ? at(f - 2, mic) : 0.0f;
            break;
        case ArrayFault::Clipping: {
            const float gain = 20.0f;  // 26 dB
            for (int f = 0; f < rec.frames; ++f)
                at(f, mic) = std::clamp(at(f, mic) * gain, -1.0f, 1.0f);
            break;
        }
        case ArrayFault::Dropouts: {
            const int span = kFs * 12 / 1000, period = kFs * 3 / 10;
            for (int start = period / 2; start < rec.frames; start += period)
                for (int f = start; f < std::min(rec.frames, start + span); ++f) at(f, mic) = 0.0f;
            break;
        }
        case ArrayFault::CopyOfMic0:
            for (int f = 0; f < rec.frames; ++f) at(f, mic) = at(f, 0);
            break;
    }
}

}  // namespace

std::vector<ArrayFault> arrayTestFaults() {
    return {ArrayFault::None,      ArrayFault::Dead,     ArrayFault::Quieter6dB,
            ArrayFault::Delayed2,  ArrayFault::Clipping, ArrayFault::Dropouts,
            ArrayFault::CopyOfMic0};
}

Recording arrayTestRecording(bool faulty, float seconds, uint32_t seed) {
    if (!(seconds > 0.0f && seconds <= 600.0f))
        error("Scene", "Invalid array test length: %g s", static_cast<double>(seconds));
    Scene sc;
    sc.fs = kFs;
    sc.frames = static_cast<int>(seconds * kFs);
    sc.room = Room{4.0f, 3.5f, 2.7f, 0.2f};
    sc.arrayCentre = {1.7f, 1.4f, 1.0f};  // off the room's symmetry planes
    sc.mics = Scene::defaultArray();
    sc.hasLoudspeaker = true;
    sc.loudspeaker.signal = pinkNoise(sc.frames, seed, kStimulusRms);
    sc.loudspeaker.elevation = 90.0f;
    sc.loudspeaker.distance = 0.5f;
    sc.noiseSnrDb = 15.0f;
    sc.seed = seed + 1;
    Recording rec = simulate(sc);
    if (faulty) {
        const std::vector<ArrayFault> faults = arrayTestFaults();
        for (int m = 0; m < kMics; ++m) plant(rec, m, faults[m]);
    }
    return rec;
}

}  // namespace velmora::scene
