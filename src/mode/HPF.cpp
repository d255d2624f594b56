#include "mode/HPF.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "Error.h"

namespace velmora::mode {

namespace {

// y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] + b3 x[n-3] - a1 y[n-1] - a2 y[n-2] - a3 y[n-3],
// indexed by hpf_power (row 0 unused: no filtering). b2 = -b1 and b3 = -b0.
const float kB[11][4] = {{0.0f, 0.0f, 0.0f, 0.0f},
                         {0.98055625f, -2.94166875f, 2.94166875f, -0.98055625f},
                         {0.970976055f, -2.9129281f, 2.9129281f, -0.970976055f},
                         {0.961488724f, -2.88446617f, 2.88446617f, -0.961488724f},
                         {0.952093244f, -2.85627961f, 2.85627961f, -0.952093244f},
                         {0.942788422f, -2.82836533f, 2.82836533f, -0.942788422f},
                         {0.933573246f, -2.80071974f, 2.80071974f, -0.933573246f},
                         {0.924446583f, -2.77333975f, 2.77333975f, -0.924446583f},
                         {0.91540736f, -2.74622226f, 2.74622226f, -0.91540736f},
                         {0.906454623f, -2.71936393f, 2.71936393f, -0.906454623f},
                         {0.897587299f, -2.6927619f, 2.6927619f, -0.897587299f}};

const float kA[11][3] = {{0.0f, 0.0f, 0.0f},
                         {-2.96073079f, 2.92222881f, -0.961490571f},
                         {-2.94109726f, 2.88391662f, -0.942794442f},
                         {-2.92146516f, 2.84598398f, -0.92446059f},
                         {-2.90183496f, 2.80842924f, -0.906481504f},
                         {-2.88220716f, 2.77125025f, -0.888850033f},
                         {-2.86258221f, 2.73444462f, -0.871558964f},
                         {-2.8429606f, 2.69801044f, -0.854601443f},
                         {-2.82334256f, 2.66194582f, -0.837970674f},
                         {-2.80372858f, 2.62624836f, -0.821659982f},
                         {-2.78411937f, 2.59091616f, -0.80566299f}};

// Outputs smaller than this are set to zero: after the signal stops, the recursion would
// otherwise decay into subnormal numbers, which are very slow to compute with.
constexpr float kFlushBelow = 1e-30f;

// One frame for all channels. x0 already holds the new input x[n]; x1..x3 hold x[n-1..n-3],
// y1 and y2 hold y[n-1] and y[n-2]; yw holds y[n-3] on entry and receives y[n]. All rows are
// distinct, so the loop over channels vectorises.
//
// The feed-forward terms are summed in antisymmetric pairs, (b0 x[n] + b3 x[n-3]) +
// (b1 x[n-1] + b2 x[n-2]): as b3 = -b0 and b2 = -b1, a constant input then cancels exactly.
// Summed strictly left to right, the single-precision rounding left a constant residue that
// the feedback (DC gain 1 / (1 + a1 + a2 + a3), about 1e5) turned into an output offset of up
// to 1% of the input's DC level instead of removing it.
inline void filterFrame(int nc, const float* b, const float* a, const float* __restrict__ x0,
                        const float* __restrict__ x1, const float* __restrict__ x2,
                        const float* __restrict__ x3, const float* __restrict__ y1,
                        const float* __restrict__ y2, float* __restrict__ yw) {
    const float b0 = b[0], b1 = b[1], b2 = b[2], b3 = b[3];
    const float a1 = a[0], a2 = a[1], a3 = a[2];
    for (int c = 0; c < nc; ++c) {
        const float ff = (b0 * x0[c] + b3 * x3[c]) + (b1 * x1[c] + b2 * x2[c]);
        const float s = ff - a1 * y1[c] - a2 * y2[c] - a3 * yw[c];
        yw[c] = std::fabs(s) < kFlushBelow ? 0.0f : s;
    }
}

}  // namespace

// The histories are position-major (xHist row p holds the input of every channel at ring
// position p), so that one frame of all channels is filtered by a single contiguous loop.
struct HPF::Impl {
    int numChannels;
    const float* b = nullptr;  // b0..b3, null for power 0
    const float* a = nullptr;  // a1..a3, null for power 0
    std::vector<float> xHist;  // 4 x numChannels: the last four inputs
    int xPos = 0;              // row of the newest input
    std::vector<float> yHist;  // 3 x numChannels: the last three outputs
    int yPos = 0;              // row receiving the next output

    void frame(const float* in, float* out) {
        const int nc = numChannels;
        const size_t bytes = sizeof(float) * nc;
        float* xr = xHist.data();
        float* yr = yHist.data();
        float* x0 = xr + static_cast<size_t>(xPos) * nc;
        std::memcpy(x0, in, bytes);
        float* yw = yr + static_cast<size_t>(yPos) * nc;
        filterFrame(nc, b, a, x0, xr + static_cast<size_t>((xPos + 3) & 3) * nc,
                    xr + static_cast<size_t>((xPos + 2) & 3) * nc,
                    xr + static_cast<size_t>((xPos + 1) & 3) * nc,
                    yr + static_cast<size_t>(yPos == 0 ? 2 : yPos - 1) * nc,
                    yr + static_cast<size_t>(yPos == 2 ? 0 : yPos + 1) * nc, yw);
        std::memcpy(out, yw, bytes);
        xPos = (xPos + 1) & 3;
        yPos = yPos == 2 ? 0 : yPos + 1;
    }
};

HPF::HPF(int numchs, int hpfpower) {
    VM_ASSERT(numchs > 0);
    if (!(hpfpower >= 0 && hpfpower <= 10)) error("HPF", "Unsupported hpf_power: %d\n", hpfpower);
    pp = std::make_unique<Impl>();
    pp->numChannels = numchs;
    if (hpfpower > 0) {
        pp->b = kB[hpfpower];
        pp->a = kA[hpfpower];
        pp->xHist.assign(4 * static_cast<size_t>(numchs), 0.0f);
        pp->yHist.assign(3 * static_cast<size_t>(numchs), 0.0f);
    }
}

HPF::~HPF() = default;

int HPF::numChannels() const {
    return pp->numChannels;
}

void HPF::process(const float* in, float* out, int numFrames) {
    Impl& s = *pp;
    const int nc = s.numChannels;
    if (s.b == nullptr) {
        if (out != in) std::memmove(out, in, sizeof(float) * nc * static_cast<size_t>(numFrames));
        return;
    }
    for (int f = 0; f < numFrames; ++f) {
        const size_t off = static_cast<size_t>(f) * nc;
        s.frame(in + off, out + off);
    }
}

void HPF::processFrame(const float* in, float* out) {
    process(in, out, 1);
}

}  // namespace velmora::mode
