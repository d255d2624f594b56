#include "util/DelayedBuffer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Error.h"

namespace velmora::util {

struct DelayedBuffer::Impl {
    int numchs;
    int capacity;
    int delay = 0;            // D: frames between input and output
    std::vector<float> ring;  // capacity + 1 frames; slots 0 .. D in use
    int w = 0;                // slot written by the next frame, 0 .. D

    float* slot(int i) { return ring.data() + static_cast<size_t>(i) * numchs; }
};

DelayedBuffer::DelayedBuffer(int numchs, int capacity) {
    // The condition texts below are the reported assertion texts: keep them unformatted.
    // clang-format off
    VM_ASSERT(numchs>0);
    VM_ASSERT(capacity>0);
    // clang-format on
    pp = std::make_unique<Impl>();
    pp->numchs = numchs;
    pp->capacity = capacity;
    pp->ring.assign(static_cast<size_t>(capacity + 1) * numchs, 0.0f);
}

DelayedBuffer::~DelayedBuffer() = default;

int DelayedBuffer::numChannels() const {
    return pp->numchs;
}
int DelayedBuffer::capacity() const {
    return pp->capacity;
}
int DelayedBuffer::delay() const {
    return pp->delay;
}

void DelayedBuffer::process(const float* in, float* out) {
    Impl& s = *pp;
    const size_t bytes = sizeof(float) * s.numchs;
    if (s.delay == 0) {
        if (out != in) std::memmove(out, in, bytes);
        return;
    }
    std::memcpy(s.slot(s.w), in, bytes);
    const int r = s.w + 1 <= s.delay ? s.w + 1 : 0;
    std::memcpy(out, s.slot(r), bytes);
    s.w = r;
}

void DelayedBuffer::process(const float* in, float* out, int numFrames) {
    const int n = pp->numchs;
    for (int f = 0; f < numFrames; ++f)
        process(in + static_cast<size_t>(f) * n, out + static_cast<size_t>(f) * n);
}

void DelayedBuffer::setDelay(int delay) {
    // clang-format off
    VM_ASSERT(delay>=0&&delay<=pp->capacity);
    // clang-format on
    Impl& s = *pp;
    if (delay == s.delay) return;
    const int n = s.numchs;
    // Time order: pending frames (oldest first) in slots 0 .. D - 1, the spent slot at D.
    if (s.w != s.delay) {
        std::rotate(s.ring.begin(), s.ring.begin() + static_cast<size_t>(s.w + 1) * n,
                    s.ring.begin() + static_cast<size_t>(s.delay + 1) * n);
    }
    s.w = s.delay;
    if (delay > s.delay) {
        // Silence ahead of the pending frames; the next frame is written into the old spent slot.
        std::fill(s.ring.begin() + static_cast<size_t>(s.delay + 1) * n,
                  s.ring.begin() + static_cast<size_t>(delay + 1) * n, 0.0f);
        s.delay = delay;
    } else {
        // Keep the newest `delay` pending frames and the spent slot.
        std::memmove(s.slot(0), s.slot(s.delay - delay), sizeof(float) * n * (delay + 1));
        s.delay = delay;
        s.w = delay;
    }
}

}  // namespace velmora::util
