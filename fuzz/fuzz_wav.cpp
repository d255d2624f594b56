// Fuzz target: the WAVE reader on arbitrary bytes, read to the end frame by frame and in bulk.

#include <cstdint>
#include <vector>

#include "FuzzUtil.h"
#include "sio/WavSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = velmora::fuzz::writeScratch(".wav", data, size);
    try {
        velmora::sio::WavSource source(path.c_str());
        const int channels = source.numChannels();
        if (channels <= 0 || channels > 4096) return 0;
        std::vector<float> frames(static_cast<size_t>(channels) * 7);
        source.readFrames(frames.data(), 1);
        while (source.readFrames(frames.data(), 7) > 0) {
        }
        source.close();
    } catch (const char*) {
    }
    return 0;
}
