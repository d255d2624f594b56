#include "sio/SignalSource.h"

#include <climits>

#include "Error.h"

namespace velmora::sio {

int SignalSource::readSamples(float* values, int count) {
    int n = 0;
    while (n < count && readSample(values + n)) ++n;
    return n;
}

int SignalSource::readFrames(float* buffer, int numFrames) {
    const int numchs = numChannels();
    VM_ASSERT(numchs > 0);
    if (numFrames <= 0) return 0;
    // Read in pieces whose sample count fits an int.
    const int maxFramesPerRead = INT_MAX / numchs;
    int done = 0;
    while (done < numFrames) {
        const int frames =
            numFrames - done < maxFramesPerRead ? numFrames - done : maxFramesPerRead;
        const int want = frames * numchs;
        const int got = readSamples(buffer + static_cast<long long>(done) * numchs, want);
        done += got / numchs;
        if (got < want) break;
    }
    return done;
}

}  // namespace velmora::sio
