#include "sio/PoolingSink.h"

#include <cmath>
#include <limits>
#include <vector>

#include "Error.h"
#include "blas/Vector.h"

namespace velmora::sio {

namespace {

constexpr int kChunkFrames = 20000;  // frames per storage chunk

// Storage of up to kChunkFrames frames, channel by channel: channel c of frame f is at
// samples[c * kChunkFrames + f], so one channel's run is contiguous for flush().
struct Chunk {
    explicit Chunk(int numchs) : samples(static_cast<size_t>(numchs) * kChunkFrames, 0.0f) {}
    std::vector<float> samples;
    int frames = 0;  // complete frames stored
};

}  // namespace

struct PoolingSink::Impl {
    int numChannels;
    int channel = 0;
    SignalSink* next;
    blas::Vector energy;
    std::vector<std::unique_ptr<Chunk>> chunks;  // kept for reuse after a flush
    size_t current = 0;

    Impl(int numchs, SignalSink* nextSink) : numChannels(numchs), next(nextSink), energy(numchs) {
        chunks.push_back(std::make_unique<Chunk>(numchs));
    }

    bool pending() const { return channel != 0 || chunks[current]->frames != 0 || current != 0; }

    // The chunk to write into, moving on to the next one (made when needed) once it is full.
    Chunk* writable() {
        if (chunks[current]->frames == kChunkFrames) {
            ++current;
            if (current == chunks.size()) chunks.push_back(std::make_unique<Chunk>(numChannels));
        }
        return chunks[current].get();
    }

    void write(const float* values, int count) {
        float* sums = energy.data();
        int i = 0;
        while (i < count) {
            Chunk* chunk = writable();
            float* samples = chunk->samples.data();
            int frame = chunk->frames;
            // Fill this chunk up to its last frame or the end of the input.
            while (i < count && frame < kChunkFrames) {
                const float x = values[i++];
                samples[channel * kChunkFrames + frame] = x;
                sums[channel] += std::fabs(x);
                if (++channel == numChannels) {
                    channel = 0;
                    ++frame;
                }
            }
            chunk->frames = frame;
        }
    }

    int loudestChannel() const {
        int best = -1;
        float bestEnergy = std::numeric_limits<float>::lowest();
        for (int c = 0; c < numChannels; ++c) {
            if (energy.get(c) > bestEnergy) {
                bestEnergy = energy.get(c);
                best = c;
            }
        }
        return best < 0 ? 0 : best;  // only when every sum is NaN
    }

    void flush() {
        const int best = loudestChannel();
        energy.fill(0.0f);
        for (size_t k = 0; k <= current; ++k) {
            Chunk* chunk = chunks[k].get();
            int frames = chunk->frames;
            // A frame broken off by the flush still counts when it holds the chosen channel.
            if (k == current && best < channel) ++frames;
            if (frames > 0)
                writeSamplesTo(next, chunk->samples.data() + best * kChunkFrames, frames);
            chunk->frames = 0;
        }
        current = 0;
        channel = 0;
        next->flush();
    }
};

PoolingSink::PoolingSink(int numchs, SignalSink* next) {
    VM_ASSERT(numchs >= 1);
    VM_ASSERT(next->numChannels() == 1);
    pp = std::make_unique<Impl>(numchs, next);
}

PoolingSink::~PoolingSink() = default;

int PoolingSink::numChannels() const {
    return pp->numChannels;
}

void PoolingSink::flush() {
    pp->flush();
}

void PoolingSink::close() {
    if (pp->pending()) pp->flush();
    pp->next->close();
}

void PoolingSink::writeSample(float value) {
    pp->write(&value, 1);
}

void PoolingSink::writeSamples(const float* values, int count) {
    pp->write(values, count);
}

bool PoolingSink::failed() const {
    return pp->next->failed();
}

}  // namespace velmora::sio
