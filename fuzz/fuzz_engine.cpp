// Fuzz target: an engine built from a fuzzed configuration processes a few fuzzed blocks. The
// input is configuration text, a NUL byte, then the PCM bytes of the blocks (repeated when too
// short). A configuration the engine accepts must run; one it refuses must be refused through
// its error, never by a crash.

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzUtil.h"
#include "Params.h"
#include "app/Velmora.h"

namespace {
constexpr int kBlocks = 4;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* split = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t textSize = split ? static_cast<size_t>(split - data) : size;
    const uint8_t* pcm = split ? split + 1 : nullptr;
    const size_t pcmSize = split ? size - textSize - 1 : 0;

    const std::string& path = velmora::fuzz::writeScratch(".conf", data, textSize);
    std::unique_ptr<velmora::Velmora> engine;
    try {
        velmora::Params params(path.c_str());
        // Dump files would be written wherever the fuzzer points them.
        params.setString(&params.fe_in_path, nullptr);
        params.setString(&params.fe_out_path, nullptr);
        engine = std::make_unique<velmora::Velmora>(params);
    } catch (const char*) {
        return 0;
    }
    std::vector<unsigned char> in(static_cast<size_t>(engine->inBytesPerBlock()));
    std::vector<unsigned char> out(static_cast<size_t>(engine->outBytesPerBlock()));
    std::vector<float> floats(static_cast<size_t>(engine->inSamplesPerBlock()));
    std::vector<float> floatOut(static_cast<size_t>(engine->outSamplesPerBlock()));
    size_t pos = 0;
    for (int b = 0; b < kBlocks; ++b) {
        for (unsigned char& c : in) {
            c = pcmSize ? pcm[pos % pcmSize] : 0;
            ++pos;
        }
        if (b % 2 == 0) {
            engine->process(in.data(), b == 2 ? nullptr : out.data());
        } else {
            // The float path with the raw bytes reinterpreted: any float, NaN included.
            for (size_t i = 0; i < floats.size(); ++i) {
                uint32_t u = 0;
                for (int j = 0; j < 4; ++j)
                    u |= static_cast<uint32_t>(pcmSize ? pcm[(pos + 4 * i + j) % pcmSize] : 0)
                         << (8 * j);
                std::memcpy(&floats[i], &u, 4);
            }
            engine->process(floats.data(), floatOut.data());
        }
    }
    for (int n = 0; n < engine->numOuts(); ++n) (void)engine->direction(n);
    return 0;
}
