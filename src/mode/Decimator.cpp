#include "mode/Decimator.h"

#include <cstring>
#include <vector>

#include "Error.h"
#include "blas/Matrix.h"

namespace velmora::mode {

namespace {

constexpr int kTaps = 31;

// Low-pass filters to 16 kHz, linear phase, each summing to 1.0.
const float kHalfBand32k[kTaps] = {
    -0.00170039688f, 0.0f, 0.00293733156f,  0.0f,         -0.00673009129f, 0.0f,
    0.014093888f,    0.0f, -0.0267850365f,  0.0f,         0.0490989611f,   0.0f,
    -0.0969383344f,  0.0f, 0.315619558f,    0.500808239f, 0.315619558f,    0.0f,
    -0.0969383344f,  0.0f, 0.0490989611f,   0.0f,         -0.0267850365f,  0.0f,
    0.014093888f,    0.0f, -0.00673009129f, 0.0f,         0.00293733156f,  0.0f,
    -0.00170039688f};

const float kThird48k[kTaps] = {
    0.0f, 0.00176929997f,  0.00253417762f,  0.0f,        -0.00580637436f, -0.00852702092f,
    0.0f, 0.0169136524f,   0.0231087431f,   0.0f,        -0.0423600413f,  -0.0583000742f,
    0.0f, 0.132063061f,    0.272300214f,    0.33260873f, 0.272300214f,    0.132063061f,
    0.0f, -0.0583000742f,  -0.0423600413f,  0.0f,        0.0231087431f,   0.0169136524f,
    0.0f, -0.00852702092f, -0.00580637436f, 0.0f,        0.00253417762f,  0.00176929997f,
    0.0f};

}  // namespace

// The per-channel FIR filters are held together: the input history is frame-major (all channels
// of one input frame side by side), so each tap is applied to every channel in one contiguous,
// vectorisable loop. Each channel's output is still summed tap by tap in order of j, and only
// the frames that are kept (every F-th) are computed; taps that are exactly zero are skipped.
struct Decimator::Impl {
    int numChannels;
    int decfactor;
    int phase = 0;                // input frames consumed since the last output frame
    std::vector<int> tapIndex;    // the non-zero taps j of h ...
    std::vector<float> tapValue;  // ... and their values h[j], in increasing j
    // Input history stored twice (2 * kTaps frames): frame slot p is at p and p + kTaps, so the
    // frame x[n - j] is at slot pos + kTaps - j without wrapping.
    std::vector<float> hist;
    int pos = 0;               // slot of the newest frame
    std::vector<float> last;   // latest filter output of each channel
    std::vector<float> frame;  // one gathered input frame (matrix form)

    // Stores one input frame in the history and counts it; true when an output frame is due,
    // in which case it has been computed into `last`.
    bool push(const float* x) {
        const int nc = numChannels;
        if (++pos == kTaps) pos = 0;
        std::memcpy(hist.data() + static_cast<size_t>(pos) * nc, x, sizeof(float) * nc);
        std::memcpy(hist.data() + static_cast<size_t>(pos + kTaps) * nc, x, sizeof(float) * nc);
        if (++phase < decfactor) return false;
        phase = 0;
        filter();
        return true;
    }

    void filter() {
        const int nc = numChannels;
        const float* newest = hist.data() + static_cast<size_t>(pos + kTaps) * nc;
        float* __restrict__ acc = last.data();
        for (int c = 0; c < nc; ++c) acc[c] = 0.0f;
        const int nt = static_cast<int>(tapIndex.size());
        for (int t = 0; t < nt; ++t) {
            const float h = tapValue[t];
            const float* __restrict__ x = newest - static_cast<size_t>(tapIndex[t]) * nc;
            for (int c = 0; c < nc; ++c) acc[c] += h * x[c];
        }
    }
};

Decimator::Decimator(int numchs, int fs) {
    VM_ASSERT(numchs > 0);
    const float* h = nullptr;
    int factor = 1;
    if (fs == 32000) {
        factor = 2;
        h = kHalfBand32k;
    } else if (fs == 48000) {
        factor = 3;
        h = kThird48k;
    } else if (fs != 16000) {
        error("Decimator", "Unsupported input sampling rate: %d, required: 16000, 32000, or 48000",
              fs);
    }
    pp = std::make_unique<Impl>();
    pp->numChannels = numchs;
    pp->decfactor = factor;
    if (h != nullptr) {
        for (int j = 0; j < kTaps; ++j) {
            if (h[j] != 0.0f) {
                pp->tapIndex.push_back(j);
                pp->tapValue.push_back(h[j]);
            }
        }
        pp->hist.assign(2 * static_cast<size_t>(kTaps) * numchs, 0.0f);
        pp->last.assign(numchs, 0.0f);
        pp->frame.assign(numchs, 0.0f);
    }
}

Decimator::~Decimator() = default;

int Decimator::numChannels() const {
    return pp->numChannels;
}
int Decimator::decimationFactor() const {
    return pp->decfactor;
}

void Decimator::process(const float* in, float* out, int numFrames) {
    Impl& s = *pp;
    const int nc = s.numChannels;
    if (s.decfactor == 1) {
        if (out != in) std::memmove(out, in, sizeof(float) * nc * static_cast<size_t>(numFrames));
        return;
    }
    // Output frame k is written only after input frame k * F or later has been read, so working
    // in place never overwrites unread input.
    float* o = out;
    for (int n = 0; n < numFrames; ++n) {
        if (s.push(in + static_cast<size_t>(n) * nc)) {
            std::memcpy(o, s.last.data(), sizeof(float) * nc);
            o += nc;
        }
    }
}

int Decimator::process(const blas::Matrix* datain, blas::Matrix* dataout) {
    VM_ASSERT(datain->numRows() == numChannels());
    VM_ASSERT(dataout->numRows() == numChannels());
    VM_ASSERT(dataout->numColumns() == datain->numColumns() / pp->decfactor);
    Impl& s = *pp;
    const int nc = s.numChannels;
    const int numIn = datain->numColumns();
    const int numOut = dataout->numColumns();
    const float* const* rin = datain->data();
    float** rout = dataout->data();
    if (s.decfactor == 1) {
        if (datain != dataout) {
            for (int c = 0; c < nc; ++c)
                std::memmove(rout[c], rin[c], sizeof(float) * static_cast<size_t>(numIn));
        }
        return numIn;
    }
    int k = 0;
    int n = 0;
    while (n < numIn && k < numOut) {
        for (int c = 0; c < nc; ++c) s.frame[c] = rin[c][n];
        ++n;
        if (s.push(s.frame.data())) {
            for (int c = 0; c < nc; ++c) rout[c][k] = s.last[c];
            ++k;
        }
    }
    return n;
}

}  // namespace velmora::mode
