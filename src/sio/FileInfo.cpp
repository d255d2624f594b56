#include "sio/FileInfo.h"

#include <sys/stat.h>

#include <cstring>

namespace velmora::sio {

bool isDirectory(const char* path) {
    struct stat info;
    return path && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool sameFile(const char* a, const char* b) {
    if (!a || !b || !*a || !*b) return false;
    struct stat sa, sb;
    const bool hasA = ::stat(a, &sa) == 0, hasB = ::stat(b, &sb) == 0;
    // Two files still to be created are the same when their paths are.
    if (!hasA && !hasB) return std::strcmp(a, b) == 0;
    if (!hasA || !hasB) return false;
    return S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace velmora::sio
