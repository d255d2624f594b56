// Fuzz target: the raw PCM reader. The first byte chooses the sample width and channel count,
// the rest is the stream.

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "sio/PCMSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int bits = 16 + 8 * (data[0] % 3);
    const int channels = 1 + (data[0] >> 2) % 16;
    std::istringstream stream(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    try {
        velmora::sio::PCMSource source(bits, channels, &stream);
        std::vector<float> frames(static_cast<size_t>(channels) * 5);
        float one = 0.0f;
        source.readSample(&one);
        while (source.readFrames(frames.data(), 5) > 0) {
        }
        source.close();
    } catch (const char*) {
    }
    return 0;
}
