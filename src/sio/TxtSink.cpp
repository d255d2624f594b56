#include "sio/TxtSink.h"

#include <fstream>
#include <locale>

#include "Error.h"

namespace velmora::sio {

struct TxtSink::Impl {
    int numChannels = 0;
    int column = 0;
    std::ofstream stream;

    // Writes one value and its separator; true when it ended a line.
    bool put(float value) {
        stream << value;
        if (++column < numChannels) {
            stream.put(' ');
            return false;
        }
        stream.put('\n');
        column = 0;
        return true;
    }
};

TxtSink::TxtSink(int numchs, const char* path) : pp(std::make_unique<Impl>()) {
    VM_ASSERT(numchs > 0);
    pp->numChannels = numchs;
    pp->stream.open(path, std::ios::out | std::ios::trunc);
    if (!pp->stream.is_open()) error("TxtSink", "Cannot open output file: %s", path);
    // Always a '.' decimal point, whatever the process locale.
    pp->stream.imbue(std::locale::classic());
}

TxtSink::~TxtSink() = default;

int TxtSink::numChannels() const {
    return pp->numChannels;
}

void TxtSink::flush() {
    pp->stream.flush();
}

void TxtSink::close() {
    if (pp->stream.is_open()) pp->stream.close();
}

void TxtSink::writeSample(float value) {
    if (pp->put(value)) pp->stream.flush();
}

void TxtSink::writeSamples(const float* values, int count) {
    // Completed lines reach the file by the end of the call, with one flush for the block.
    bool lineEnded = false;
    for (int i = 0; i < count; ++i) lineEnded |= pp->put(values[i]);
    if (lineEnded) pp->stream.flush();
}

bool TxtSink::failed() const {
    return pp->stream.fail();
}

}  // namespace velmora::sio
