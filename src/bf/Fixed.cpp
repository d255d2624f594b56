#include "bf/Fixed.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include "Error.h"
#include "ssl/Angle.h"

namespace velmora::bf {

using blas::Complex;
using blas::ComplexMatrix;
using blas::ComplexTensor3;

namespace {

// Beam angles may be given in any frame up to one turn wide; this bound keeps the frame shift in
// nearestBeam() to a few steps.
constexpr float kMaxBeamAngle = 360.0f;

int32_t readInt32(const unsigned char* b) {
    const uint32_t u = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                       static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    int32_t v;
    std::memcpy(&v, &u, sizeof v);
    return v;
}

float readFloat32(const unsigned char* b) {
    const int32_t i = readInt32(b);
    float v;
    std::memcpy(&v, &i, sizeof v);
    return v;
}

void putInt32(std::vector<unsigned char>* out, int32_t v) {
    uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    for (int s = 0; s < 32; s += 8) out->push_back(static_cast<unsigned char>(u >> s));
}

void putFloat32(std::vector<unsigned char>* out, float v) {
    int32_t i;
    std::memcpy(&i, &v, sizeof i);
    putInt32(out, i);
}

}  // namespace

struct Fixed::Impl {
    int nummics = 0;
    int numouts = 0;
    int numbins = 0;
    int numbeams = 0;                         // 0 without a beam file
    std::unique_ptr<ComplexTensor3> beams;    // numbeams x nummics x numbins, conj(w)
    std::unique_ptr<blas::Vector> angles;     // numbeams look azimuths, non-decreasing
    std::vector<int> selected;                // beam of each output
    std::unique_ptr<ComplexTensor3> weights;  // W: numouts x nummics x numbins
    std::unique_ptr<ComplexMatrix> scratch;   // copy of the input when it is also the output
};

Fixed::Fixed(int nummics, int numouts, int numbins, const char* path) {
    VM_ASSERT(nummics > 0);
    VM_ASSERT(numouts >= 0);
    VM_ASSERT(numbins > 0);
    pp = std::make_unique<Impl>();
    pp->nummics = nummics;
    pp->numouts = numouts;
    pp->numbins = numbins;

    if (path == nullptr || path[0] == '\0') {
        if (pp->numouts == 0) pp->numouts = nummics;
        return;
    }
    load(path);
    if (pp->numouts == 0) pp->numouts = pp->numbeams;
    pp->selected.assign(pp->numouts, 0);
    pp->weights = std::make_unique<ComplexTensor3>(pp->numouts, nummics, numbins);
    pp->scratch = std::make_unique<ComplexMatrix>(nummics, numbins);
    for (int o = 0; o < pp->numouts; ++o) selectBeam(o, std::min(o, pp->numbeams - 1));
}

Fixed::~Fixed() = default;

// The whole file is checked against the size its header implies before anything is
// allocated, so a truncated, padded or garbage file is refused rather than half read.
void Fixed::load(const char* path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) error("Fixed", "Cannot load beamformers from: %s", path);
    file.seekg(0, std::ios::end);
    const std::streamoff end = file.tellg();
    file.seekg(0, std::ios::beg);
    unsigned char head[12];
    if (end < 0 || !file.read(reinterpret_cast<char*>(head), sizeof head))
        error("Fixed", "Cannot load beamformers from: %s", path);
    const int32_t numbeams = readInt32(head);
    const int32_t numbins = readInt32(head + 4);
    const int32_t nummics = readInt32(head + 8);
    if (nummics != pp->nummics)
        error("Fixed", "No. of mics not match: %d, %d", static_cast<int>(nummics), pp->nummics);
    if (numbins != pp->numbins)
        error("Fixed", "No. of frequency bins not match: %d, %d", static_cast<int>(numbins),
              pp->numbins);

    // Bytes per beam: one angle and numbins x nummics complex weights. Every bound below is
    // checked by division first, so no product can overflow.
    const uint64_t size = static_cast<uint64_t>(end);
    const uint64_t body = size - sizeof head;
    const uint64_t perbin = 8u * static_cast<uint64_t>(nummics);
    const uint64_t values = static_cast<uint64_t>(numbins) * static_cast<uint64_t>(nummics);
    if (numbeams <= 0 || values > body / 8u)
        error("Fixed", "Cannot load beamformers from: %s", path);
    const uint64_t perbeam = 4u + 8u * values;
    if (static_cast<uint64_t>(numbeams) > body / perbeam ||
        static_cast<uint64_t>(numbeams) * perbeam != body)
        error("Fixed", "Cannot load beamformers from: %s", path);

    // Angles: finite, within one turn either side of 0, non-decreasing and at most one turn
    // wide, as the nearest-beam search requires.
    std::vector<unsigned char> buf(static_cast<size_t>(numbeams) * 4u);
    if (!file.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(buf.size())))
        error("Fixed", "Cannot load beamformers from: %s", path);
    auto angles = std::make_unique<blas::Vector>(numbeams);
    for (int b = 0; b < numbeams; ++b) {
        const float a = readFloat32(buf.data() + 4 * b);
        if (!std::isfinite(a) || std::fabs(a) > kMaxBeamAngle ||
            (b > 0 && a < angles->get(b - 1)) || (b > 0 && a - angles->get(0) > 360.0f))
            error("Fixed", "Cannot load beamformers from: %s", path);
        angles->set(b, a);
    }

    // Weights, beam by beam and bin by bin; stored conjugated so that process() computes w^H x.
    auto beams = std::make_unique<ComplexTensor3>(numbeams, nummics, numbins);
    buf.resize(static_cast<size_t>(perbin));
    for (int b = 0; b < numbeams; ++b) {
        for (int k = 0; k < numbins; ++k) {
            if (!file.read(reinterpret_cast<char*>(buf.data()),
                           static_cast<std::streamsize>(perbin)))
                error("Fixed", "Cannot load beamformers from: %s", path);
            for (int m = 0; m < nummics; ++m) {
                const float re = readFloat32(buf.data() + 8 * m);
                const float im = readFloat32(buf.data() + 8 * m + 4);
                if (!std::isfinite(re) || !std::isfinite(im))
                    error("Fixed", "Cannot load beamformers from: %s", path);
                beams->data()[b][m][k] = Complex(re, -im);
            }
        }
    }
    pp->numbeams = numbeams;
    pp->angles = std::move(angles);
    pp->beams = std::move(beams);
}

int Fixed::numMics() const {
    return pp->nummics;
}
int Fixed::numOuts() const {
    return pp->numouts;
}
int Fixed::numBins() const {
    return pp->numbins;
}
int Fixed::numBeams() const {
    return pp->numbeams;
}

int Fixed::beamIndex(int n) const {
    VM_ASSERT(n >= 0 && n < numOuts());
    return pp->beams ? pp->selected[n] : -1;
}

float Fixed::look(int n) const {
    VM_ASSERT(n >= 0 && n < numOuts());
    if (!pp->beams) return 0.0f;
    return pp->angles->get(pp->selected[n]);
}

void Fixed::setLook(int n, float azimuth) {
    VM_ASSERT(n >= 0 && n < numOuts());
    if (!pp->beams) return;
    const int beam = nearestBeam(azimuth);
    if (beam >= 0) selectBeam(n, beam);
}

void Fixed::selectBeam(int n, int beam) {
    pp->selected[n] = beam;
    for (int m = 0; m < pp->nummics; ++m)
        std::copy_n(pp->beams->data()[beam][m], pp->numbins, pp->weights->data()[n][m]);
}

// The angle list is non-decreasing and spans at most one turn. The azimuth is wrapped and moved
// into the list's frame [first, first + 360); a binary search then brackets it between two
// neighbouring beams, of which the one at the smaller angular distance wins, the lower index on
// a tie. Past the last beam the two neighbours on the circle are the last and the first beam.
// Returns -1 for an azimuth that is not a finite number.
int Fixed::nearestBeam(float azimuth) const {
    if (!std::isfinite(azimuth)) return -1;
    const float* ang = pp->angles->data();
    const int last = pp->numbeams - 1;
    float a = ssl::wrapAngle(azimuth);
    while (a < ang[0]) a += 360.0f;
    while (a >= ang[0] + 360.0f) a -= 360.0f;

    int lo, hi;
    if (a > ang[last]) {
        lo = 0;
        hi = last;
    } else {
        hi = static_cast<int>(std::lower_bound(ang, ang + last + 1, a) - ang);
        if (ang[hi] == a) return hi;
        lo = hi - 1;  // hi > 0 here, since a >= ang[0] and a is not ang[0]
    }
    const float dlo = std::fabs(ssl::angleDifference(ang[lo], a));
    const float dhi = std::fabs(ssl::angleDifference(ang[hi], a));
    return dhi < dlo ? hi : lo;
}

void Fixed::process(const ComplexMatrix* datain, ComplexMatrix* dataout) {
    VM_ASSERT(datain->numRows() == numMics() && datain->numColumns() == numBins());
    VM_ASSERT(dataout->numRows() == numOuts() && dataout->numColumns() == numBins());
    const int numbins = pp->numbins;

    if (!pp->beams) {
        // Pass-through: the first numOuts() microphone rows, or all of them on top of an output
        // with more rows than that (the rows below are cleared).
        const int rows = std::min(pp->numouts, pp->nummics);
        if (static_cast<const void*>(datain) != dataout)
            for (int i = 0; i < rows; ++i)
                std::copy_n(datain->data()[i], numbins, dataout->data()[i]);
        for (int i = rows; i < pp->numouts; ++i)
            std::fill_n(dataout->data()[i], numbins, Complex(0.0f, 0.0f));
        return;
    }

    const ComplexMatrix* in = datain;
    if (static_cast<const void*>(datain) == dataout) {
        pp->scratch->copy(datain);
        in = pp->scratch.get();
    }
    // y[k] = sum_m W[o][m][k] x[m][k] on interleaved (re, im) floats.
    for (int o = 0; o < pp->numouts; ++o) {
        float* y = reinterpret_cast<float*>(dataout->data()[o]);
        for (int m = 0; m < pp->nummics; ++m) {
            const float* w = reinterpret_cast<const float*>(pp->weights->data()[o][m]);
            const float* x = reinterpret_cast<const float*>(in->data()[m]);
            if (m == 0) {
                for (int k = 0; k < 2 * numbins; k += 2) {
                    y[k] = w[k] * x[k] - w[k + 1] * x[k + 1];
                    y[k + 1] = w[k] * x[k + 1] + w[k + 1] * x[k];
                }
            } else {
                for (int k = 0; k < 2 * numbins; k += 2) {
                    y[k] += w[k] * x[k] - w[k + 1] * x[k + 1];
                    y[k + 1] += w[k] * x[k + 1] + w[k + 1] * x[k];
                }
            }
        }
    }
}

void Fixed::writeBeamFile(const char* path, const blas::Vector* angles,
                          const ComplexTensor3* weights) {
    VM_ASSERT(angles->size() == weights->numRows());
    const int numbeams = weights->numRows(), nummics = weights->numColumns();
    const int numbins = weights->depth();
    std::vector<unsigned char> bytes;
    bytes.reserve(12u + 4u * numbeams +
                  8u * static_cast<size_t>(numbeams) * static_cast<size_t>(numbins) * nummics);
    putInt32(&bytes, numbeams);
    putInt32(&bytes, numbins);
    putInt32(&bytes, nummics);
    for (int b = 0; b < numbeams; ++b) putFloat32(&bytes, angles->get(b));
    for (int b = 0; b < numbeams; ++b)
        for (int k = 0; k < numbins; ++k)
            for (int m = 0; m < nummics; ++m) {
                const Complex w = weights->data()[b][m][k];
                putFloat32(&bytes, w.real());
                putFloat32(&bytes, w.imag());
            }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file)
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) error("Fixed", "Cannot write beamformers to: %s", path);
}

}  // namespace velmora::bf
