#include "Error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmora {

namespace {
// One text per thread: engines failing in two threads cannot overwrite each other's message.
thread_local char errorText[kErrorBufferSize];
}

void error(const char* cls, const char* fmt, ...) {
    // Format into a scratch buffer first: an argument may be the shared text itself (an
    // error message quoted inside a new one).
    char scratch[kErrorBufferSize];
    int used = std::snprintf(scratch, sizeof scratch, "velmora, %s: ", cls);
    if (used < 0) used = 0;
    if (used < kErrorBufferSize - 1) {
        va_list args;
        va_start(args, fmt);
        std::vsnprintf(scratch + used, sizeof scratch - used, fmt, args);
        va_end(args);
    }
    std::memcpy(errorText, scratch, sizeof errorText);
    errorText[kErrorBufferSize - 1] = '\0';
    throw static_cast<const char*>(errorText);
}

const char* lastError() { return errorText; }

void assertionFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "velmora: assertion \"%s\" failed at %s:%d\n", condition, file, line);
    std::fflush(stderr);
    std::abort();
}

}  // namespace velmora
