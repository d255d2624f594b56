#pragma once
// Engine-wide error reporting.
//
// Run-time errors (bad configuration, unreadable files) are raised with error(): it formats
// "velmora, <Class>: <message>" into a bounded text buffer of the calling thread and throws a pointer to
// that text (const char*). Callers that catch it print the text; the buffer stays valid until
// the next error is raised.
//
// Programming errors (index or shape mismatches) are checked with VM_ASSERT, which names the
// failed condition and the source position and aborts. VM_ASSERT is active in every build,
// because several of its conditions guard memory safety; VM_DASSERT is for hot inner checks
// and compiles away in release builds.

namespace velmora {

constexpr int kErrorBufferSize = 1000;  // bytes of the per-thread error text, NUL included

// Formats and throws. `cls` is the class name without the "velmora, " prefix.
[[noreturn]] void error(const char* cls, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The text of the calling thread's most recent error (empty before the first one).
const char* lastError();

[[noreturn]] void assertionFailed(const char* condition, const char* file, int line);

}  // namespace velmora

#define VM_ASSERT(cond) \
    ((cond) ? static_cast<void>(0) : ::velmora::assertionFailed(#cond, __FILE__, __LINE__))

#ifdef NDEBUG
#define VM_DASSERT(cond) static_cast<void>(0)
#else
#define VM_DASSERT(cond) VM_ASSERT(cond)
#endif
