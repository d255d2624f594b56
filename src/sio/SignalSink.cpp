#include "sio/SignalSink.h"

#include <climits>

#include "Error.h"

namespace velmora::sio {

void SignalSink::writeSamples(const float* values, int count) {
    for (int i = 0; i < count; ++i) writeSample(values[i]);
}

void SignalSink::writeFrames(const float* buffer, int numFrames) {
    const int numchs = numChannels();
    VM_ASSERT(numchs > 0);
    if (numFrames <= 0) return;
    // Write in pieces whose sample count fits an int.
    const int maxFramesPerWrite = INT_MAX / numchs;
    int done = 0;
    while (done < numFrames) {
        const int frames =
            numFrames - done < maxFramesPerWrite ? numFrames - done : maxFramesPerWrite;
        writeSamples(buffer + static_cast<long long>(done) * numchs, frames * numchs);
        done += frames;
    }
}

}  // namespace velmora::sio
