#include "agc/AGCBypass.h"

#include <cstddef>
#include <cstring>

#include "Error.h"

namespace velmora::agc {

struct AGCBypass::Impl {
    int numChannels;
    int blockSize;
};

AGCBypass::AGCBypass(int numchs, int blocksize) {
    VM_ASSERT(numchs > 0);
    VM_ASSERT(blocksize > 0);
    pp.reset(new Impl{numchs, blocksize});
}

AGCBypass::~AGCBypass() = default;

int AGCBypass::numChannels() const {
    return pp->numChannels;
}
int AGCBypass::blockSize() const {
    return pp->blockSize;
}

void AGCBypass::process(const float* in, float* out) {
    if (in == out) return;
    const size_t n = static_cast<size_t>(pp->numChannels) * pp->blockSize;
    std::memmove(out, in, sizeof(float) * n);
}

}  // namespace velmora::agc
