#pragma once
// Shared pieces of the fuzz targets: the bytes of one input written to a scratch file (the
// configuration parser and the WAVE reader open paths), and the engine's error type swallowed.

#include <unistd.h>

#include <cstdio>
#include <string>

namespace velmora::fuzz {

// A scratch file of this process, rewritten for every input.
inline const std::string& scratchPath(const char* suffix) {
    static const std::string path =
        std::string("/tmp/velmora-fuzz-") + std::to_string(getpid()) + suffix;
    return path;
}

inline const std::string& writeScratch(const char* suffix, const uint8_t* data, size_t size) {
    const std::string& path = scratchPath(suffix);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
        if (size) std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    return path;
}

}  // namespace velmora::fuzz
