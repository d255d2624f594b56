#pragma once
// Helpers of the localiser and detector tests: speech from the shared recordings, simulated
// rooms around the engine's default array, and block-by-block runs through the facade.

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "Params.h"
#include "app/Velmora.h"
#include "common/TestUtil.h"
#include "scene/Scene.h"

namespace velmora::test {

constexpr int kSimFs = 16000;
constexpr int kSimBlock = 160;  // frames per 10 ms block

// The named recording of ../shared/testdata/speech scaled to a peak of 0.5, or empty when the
// recordings are not there.
inline std::vector<float> loadSpeech(const std::string& name) {
    const std::string dir = testdataDir();
    if (dir.empty()) return {};
    std::vector<float> x = scene::readMonoWav(dir + "/speech/" + name, kSimFs);
    float peak = 0.0f;
    for (float v : x) peak = std::max(peak, std::fabs(v));
    if (peak > 0.0f)
        for (float& v : x) v *= 0.5f / peak;
    return x;
}

// Concatenates recordings with `pauseFrames` of silence before each.
inline std::vector<float> withPauses(const std::vector<std::vector<float>>& parts,
                                     int pauseFrames) {
    std::vector<float> out;
    for (const auto& p : parts) {
        out.insert(out.end(), pauseFrames, 0.0f);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

inline scene::Source talker(const std::vector<float>& signal, float azimuth, float distance,
                            float gain = 1.0f) {
    scene::Source s;
    s.signal = signal;
    s.azimuth = azimuth;
    s.elevation = 0.0f;
    s.distance = distance;
    s.gain = gain;
    return s;
}

inline scene::Scene room(float rt60, int frames) {
    scene::Scene sc;
    sc.fs = kSimFs;
    sc.frames = frames;
    sc.room.rt60 = rt60;
    sc.arrayCentre = {2.5f, 2.0f, 1.2f};
    sc.mics = scene::Scene::defaultArray();
    return sc;
}

// Engine settings of these tests: default array, no references, every stage a pass-through
// except the localiser (ssl_algorithm 1) and the detector chosen by `vad`.
inline Params engineParams(int vad, float sslForget) {
    Params p;
    p.numrefs = 0;
    p.aec_algorithm = 0;
    p.agc_algorithm = 0;
    p.init_time = 0.0f;
    p.ssl_algorithm = 1;
    p.ssl_forget = sslForget;
    p.vad_algorithm = vad;
    return p;
}

// Feeds the microphone channels of `rec` through `engine` block by block; after each block
// calls onBlock(block index). Only whole blocks are processed.
inline void runBlocks(Velmora& engine, const scene::Recording& rec,
                      const std::function<void(int)>& onBlock) {
    const int channels = rec.numMics + rec.numRefs;
    const int blocks = rec.frames / kSimBlock;
    std::vector<float> out(static_cast<size_t>(engine.outSamplesPerBlock()));
    for (int b = 0; b < blocks; ++b) {
        engine.process(rec.mixture.data() + static_cast<size_t>(b) * kSimBlock * channels,
                       out.data());
        onBlock(b);
    }
}

// 1 where every frame of block b is marked active in `active`.
inline bool blockActive(const std::vector<uint8_t>& active, int b) {
    for (int f = b * kSimBlock; f < (b + 1) * kSimBlock; ++f)
        if (!active[f]) return false;
    return true;
}

}  // namespace velmora::test
