// Fuzz target: the configuration parser on arbitrary text, then the listing of what it read.

#include <cstdint>
#include <cstdio>

#include "FuzzUtil.h"
#include "Params.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = velmora::fuzz::writeScratch(".conf", data, size);
    try {
        velmora::Params params(path.c_str());
        static std::FILE* sink = std::fopen("/dev/null", "w");
        params.print(sink);
        velmora::Params copy(params);
        copy = params;
    } catch (const char*) {
    }
    return 0;
}
