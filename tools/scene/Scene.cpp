// Scene simulation: image-source room responses, FFT convolution of every source with every
// microphone's response, talker activity and the diffuse noise field.

#include "scene/Scene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>

#include "Error.h"
#include "Params.h"
#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "transform/FFTWrapper.h"

using velmora::blas::Complex;
using velmora::blas::ComplexVector;
using velmora::blas::Vector;

namespace velmora::scene {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSoundSpeed = 340.0;    // m/s, the engine's speed of sound
constexpr int kSincHalf = 16;            // interpolation taps on each side of an arrival
constexpr int kFracSteps = 512;          // tabulated fractional delays (error below 0.001 sample)
constexpr double kMinDistance = 0.01;    // m: nearer sources are treated as this far (no 1/0)
constexpr float kNoNoiseSnrDb = 100.0f;  // at or above this SNR the noise field is left out
constexpr double kActivityFloorDb = -40.0;  // talker blocks this far below their loudest: silent
constexpr double kPinkCornerHz = 100.0;     // generated noise is pink above, flat below
constexpr double kCoherenceLoading = 1e-6;  // keeps the rank-one low-frequency coherence definite
constexpr int kMinFftSize = 1024;
constexpr double kReflectionHighPassHz = 80.0;  // below speech; see roomResponse()

using Point = std::array<float, 3>;

// Windowed-sinc fractional-delay filters for kFracSteps + 1 fractions of a sample: row i delays
// by i / kFracSteps; tap j weights the sample j - kSincHalf + 1 after the whole-sample delay.
// The Hann window spans +-kSincHalf samples, so every row is symmetric around its delay.
class SincTable {
  public:
    SincTable() : taps_((kFracSteps + 1) * 2 * kSincHalf) {
        for (int i = 0; i <= kFracSteps; ++i) {
            const double frac = static_cast<double>(i) / kFracSteps;
            for (int j = 0; j < 2 * kSincHalf; ++j) {
                const double x = (j - kSincHalf + 1) - frac;
                double v = 0.0;
                if (std::fabs(x) < kSincHalf) {
                    const double sinc = x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x);
                    v = sinc * 0.5 * (1.0 + std::cos(kPi * x / kSincHalf));
                }
                taps_[i * 2 * kSincHalf + j] = static_cast<float>(v);
            }
        }
    }
    const float* row(int i) const { return taps_.data() + i * 2 * kSincHalf; }

  private:
    std::vector<float> taps_;
};

const SincTable& sincTable() {
    static const SincTable table;
    return table;
}

void checkRoom(const Room& room) {
    if (!(room.length > 0.0f && room.width > 0.0f && room.height > 0.0f) ||
        !std::isfinite(room.length) || !std::isfinite(room.width) || !std::isfinite(room.height))
        error("Scene", "Room dimensions must be positive: %g x %g x %g m", room.length, room.width,
              room.height);
    if (!(room.rt60 >= 0.0f) || !std::isfinite(room.rt60))
        error("Scene", "RT60 must be zero or positive: %g s", room.rt60);
}

void checkInside(const Room& room, const Point& p, const char* what) {
    const bool inside = p[0] >= 0.0f && p[0] <= room.length && p[1] >= 0.0f && p[1] <= room.width &&
                        p[2] >= 0.0f && p[2] <= room.height;
    if (!inside)
        error("Scene", "%s at (%.3f, %.3f, %.3f) m lies outside the %g x %g x %g m room", what,
              p[0], p[1], p[2], room.length, room.width, room.height);
}

// Wall reflection coefficient (pressure) for the requested RT60, all walls alike. Sabine's
// formula RT60 = 24 ln(10) V / (c S a) assumes a diffuse field, but the specular image field of
// a shoebox is not diffuse (paths along the long axis meet fewer walls), and with Sabine's
// coefficient a 5 x 4 x 3 m room measures 26 % short at 0.15 s and 10 % long at 1 s. Instead
// the coefficient is fitted to the image field's own energy decay: images in direction u meet
// walls at the rate c (|ux|/Lx + |uy|/Ly + |uz|/Lz) = c s(u), so with beta = exp(-k/2) the
// energy arriving at time t is the mean over directions of exp(-k c s(u) t) and its backward
// integral is E(t) = mean exp(-k c s(u) t) / (k c s(u)). The -5 to -25 dB span of E times 3
// (a T20 reading) scales as 1/k, so one evaluation at k = 1 fixes k for any RT60.
double reflectionCoefficient(const Room& room) {
    if (room.rt60 <= 0.0f) return 0.0;
    constexpr int kGrid = 96;  // directions per axis over one octant of the sphere
    std::vector<double> rates;
    rates.reserve(kGrid * kGrid);
    for (int i = 0; i < kGrid; ++i) {
        const double z = (i + 0.5) / kGrid;  // uniform in z and azimuth: uniform on the sphere
        const double rxy = std::sqrt(1.0 - z * z);
        for (int j = 0; j < kGrid; ++j) {
            const double phi = (j + 0.5) / kGrid * kPi / 2.0;
            rates.push_back(kSoundSpeed * (rxy * std::cos(phi) / room.length +
                                           rxy * std::sin(phi) / room.width + z / room.height));
        }
    }
    auto decay = [&](double t) {
        double e = 0.0;
        for (double r : rates) e += std::exp(-r * t) / r;
        return e;
    };
    const double e0 = decay(0.0);
    auto timeAt = [&](double db) {
        const double level = e0 * std::pow(10.0, db / 10.0);
        double lo = 0.0, hi = 1.0;
        while (decay(hi) > level) hi *= 2.0;
        for (int it = 0; it < 60; ++it) {
            const double mid = 0.5 * (lo + hi);
            (decay(mid) > level ? lo : hi) = mid;
        }
        return 0.5 * (lo + hi);
    };
    const double k = 3.0 * (timeAt(-25.0) - timeAt(-5.0)) / room.rt60;
    return std::exp(-0.5 * k);
}

double distance(const Point& a, const Point& b) {
    const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Adds the image sources of `src` as heard at `mic` to h[0 .. length): every image whose
// arrival falls inside the response, with amplitude beta^reflections / distance (unit gain at
// 1 m) and its fractional delay interpolated by the sinc table. The direct path goes to
// `direct`, every reflection to `reflections`.
void addImages(const Room& room, double beta, const Point& src, const Point& mic, int fs,
               float* direct, float* reflections, int length) {
    const double maxDist = (length + kSincHalf) * kSoundSpeed / fs;
    const double dims[3] = {room.length, room.width, room.height};
    struct Axis {
        double offset;
        int reflections;
    };
    std::vector<Axis> axes[3];
    int maxReflections = 0;
    for (int d = 0; d < 3; ++d) {
        const int n = beta > 0.0 ? static_cast<int>(std::ceil(maxDist / (2.0 * dims[d]))) + 1 : 0;
        for (int m = -n; m <= n; ++m) {
            for (int q = 0; q <= 1; ++q) {
                const int refl = std::abs(m - q) + std::abs(m);
                if (beta == 0.0 && refl > 0) continue;
                const double offset =
                    (1 - 2 * q) * static_cast<double>(src[d]) + 2.0 * m * dims[d] - mic[d];
                if (std::fabs(offset) > maxDist) continue;
                axes[d].push_back({offset, refl});
            }
        }
        int most = 0;
        for (const Axis& a : axes[d]) most = std::max(most, a.reflections);
        maxReflections += most;
    }
    std::vector<double> betaPow(maxReflections + 1, 1.0);
    for (int n = 1; n <= maxReflections; ++n) betaPow[n] = betaPow[n - 1] * beta;

    const SincTable& table = sincTable();
    const double maxDist2 = maxDist * maxDist;
    const double samplesPerMetre = fs / kSoundSpeed;
    for (const Axis& ax : axes[0]) {
        const double dx2 = ax.offset * ax.offset;
        for (const Axis& ay : axes[1]) {
            const double dxy2 = dx2 + ay.offset * ay.offset;
            if (dxy2 > maxDist2) continue;
            for (const Axis& az : axes[2]) {
                const double d2 = dxy2 + az.offset * az.offset;
                if (d2 > maxDist2) continue;
                const double amp = betaPow[ax.reflections + ay.reflections + az.reflections];
                if (amp == 0.0) continue;
                const double dist = std::max(std::sqrt(d2), kMinDistance);
                const double delay = dist * samplesPerMetre;
                long whole = static_cast<long>(std::floor(delay));
                int fi = static_cast<int>(std::lround((delay - whole) * kFracSteps));
                if (fi == kFracSteps) {
                    ++whole;
                    fi = 0;
                }
                const float a = static_cast<float>(amp / dist);
                const float* row = table.row(fi);
                float* h =
                    ax.reflections + ay.reflections + az.reflections == 0 ? direct : reflections;
                const long start = whole - kSincHalf + 1;
                if (start >= 0 && start + 2 * kSincHalf <= length) {
                    float* out = h + start;
                    for (int j = 0; j < 2 * kSincHalf; ++j) out[j] += a * row[j];
                } else {
                    for (int j = 0; j < 2 * kSincHalf; ++j) {
                        const long idx = start + j;
                        if (idx >= 0 && idx < length) h[idx] += a * row[j];
                    }
                }
            }
        }
    }
}

// The response from `src` to `mic` into h[0 .. length). The reflections are high-passed
// (second-order Butterworth, causal): all image pulses are positive, so without it their dense
// late part adds up coherently at the lowest frequencies into a slowly decaying offset that
// real walls do not produce and that lengthens the measured decay. The direct path is kept
// exact, so its delay and 1/r level are those of the geometry.
void roomResponse(const Room& room, double beta, const Point& src, const Point& mic, int fs,
                  float* h, int length) {
    std::fill(h, h + length, 0.0f);
    std::vector<float> late(length, 0.0f);
    addImages(room, beta, src, mic, fs, h, late.data(), length);
    if (beta == 0.0) return;
    const double w = std::tan(kPi * kReflectionHighPassHz / fs);
    const double q = std::sqrt(0.5);
    const double norm = 1.0 / (1.0 + w / q + w * w);
    const double b0 = norm, b1 = -2.0 * norm, b2 = norm;
    const double a1 = 2.0 * (w * w - 1.0) * norm, a2 = (1.0 - w / q + w * w) * norm;
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
    for (int i = 0; i < length; ++i) {
        const double x = late[i];
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1, x1 = x, y2 = y1, y1 = y;
        h[i] += static_cast<float>(y);
    }
}

// Overlap-add convolution of one signal with many filters of one length: the signal's block
// spectra are computed once, each filter costs one forward transform and one inverse transform
// per non-silent block.
class Convolver {
  public:
    Convolver(const std::vector<float>& x, int filterLength)
        : frames_(static_cast<int>(x.size())),
          fftSize_(std::max(kMinFftSize, std::min(FFTWrapper::nextPowOf2(2 * filterLength),
                                                  FFTWrapper::nextPowOf2(frames_ + filterLength)))),
          hop_(fftSize_ - filterLength + 1),
          filterLength_(filterLength),
          fft_(fftSize_),
          time_(fftSize_),
          filter_(fftSize_ / 2 + 1),
          product_(fftSize_ / 2 + 1) {
        for (int b0 = 0; b0 < frames_; b0 += hop_) {
            const int n = std::min(hop_, frames_ - b0);
            bool silent = true;
            for (int i = 0; i < n && silent; ++i) silent = x[b0 + i] == 0.0f;
            if (silent) {
                blocks_.emplace_back();
                continue;
            }
            time_.fill(0.0f);
            std::copy(x.begin() + b0, x.begin() + b0 + n, time_.data());
            blocks_.push_back(std::make_unique<ComplexVector>(fftSize_ / 2 + 1));
            fft_.fft(&time_, blocks_.back().get());
        }
    }

    // out[f * stride] += (x * h)[f] for f < frames; h has filterLength taps.
    void convolveAdd(const float* h, float* out, int stride) {
        time_.fill(0.0f);
        std::copy(h, h + filterLength_, time_.data());
        fft_.fft(&time_, &filter_);
        const int bins = fftSize_ / 2 + 1;
        for (size_t b = 0; b < blocks_.size(); ++b) {
            if (!blocks_[b]) continue;
            const Complex* xb = blocks_[b]->data();
            const Complex* hb = filter_.data();
            Complex* yb = product_.data();
            for (int k = 0; k < bins; ++k) yb[k] = xb[k] * hb[k];
            fft_.ifft(&product_, &time_);
            const long b0 = static_cast<long>(b) * hop_;
            const long n = std::min<long>(fftSize_, frames_ - b0);
            const float* y = time_.data();
            for (long i = 0; i < n; ++i) out[(b0 + i) * stride] += y[i];
        }
    }

  private:
    int frames_;
    int fftSize_;
    int hop_;
    int filterLength_;
    FFTWrapper fft_;
    Vector time_;
    ComplexVector filter_;
    ComplexVector product_;
    std::vector<std::unique_ptr<ComplexVector>> blocks_;  // null for silent blocks
};

Point add(const Point& a, const Point& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}

Point sourcePosition(const Scene& sc, const Source& s) {
    if (!(s.distance >= 0.0f) || !std::isfinite(s.distance) || !std::isfinite(s.azimuth) ||
        !std::isfinite(s.elevation))
        error("Scene", "Source distance must be zero or positive and angles finite");
    const double az = s.azimuth * kPi / 180.0, el = s.elevation * kPi / 180.0;
    const Point offset{static_cast<float>(s.distance * std::cos(el) * std::cos(az)),
                       static_cast<float>(s.distance * std::cos(el) * std::sin(az)),
                       static_cast<float>(s.distance * std::sin(el))};
    return add(sc.arrayCentre, offset);
}

// The source's signal times its gain, starting at frame `start` of a recording of `frames`.
std::vector<float> placed(const Source& s, long start, int frames) {
    std::vector<float> x(frames, 0.0f);
    const long len = static_cast<long>(s.signal.size());
    const long from = std::max<long>(0, start), to = std::min<long>(frames, start + len);
    for (long f = from; f < to; ++f) x[f] = s.gain * s.signal[f - start];
    return x;
}

bool allZero(const std::vector<float>& x) {
    return std::all_of(x.begin(), x.end(), [](float v) { return v == 0.0f; });
}

// Renders one source at every microphone: full responses into `full`, and when `early` is not
// null the responses cut after the direct path's kernel plus `earlyFrames`.
void renderSource(const Scene& sc, double beta, const std::vector<Point>& micPos,
                  const std::vector<float>& x, const Point& pos, float* full, float* early,
                  int earlyFrames) {
    if (allZero(x)) return;
    const int numMics = static_cast<int>(micPos.size());
    double maxDirect = 0.0;
    for (const Point& m : micPos) maxDirect = std::max(maxDirect, distance(pos, m));
    const double samplesPerMetre = sc.fs / kSoundSpeed;
    const int length = static_cast<int>(std::ceil(maxDirect * samplesPerMetre)) +
                       static_cast<int>(std::ceil(static_cast<double>(sc.room.rt60) * sc.fs)) +
                       2 * kSincHalf + 1;
    Convolver conv(x, length);
    std::vector<float> h(length);
    for (int m = 0; m < numMics; ++m) {
        roomResponse(sc.room, beta, pos, micPos[m], sc.fs, h.data(), length);
        conv.convolveAdd(h.data(), full + m, numMics);
        if (early) {
            const double direct =
                std::max(distance(pos, micPos[m]), kMinDistance) * samplesPerMetre;
            const long cut = static_cast<long>(std::floor(direct)) + kSincHalf + earlyFrames;
            if (cut < length) std::fill(h.begin() + cut, h.end(), 0.0f);
            conv.convolveAdd(h.data(), early + m, numMics);
        }
    }
}

// Standard normal values from a portable generator, so a seed gives the same noise everywhere.
class Gaussian {
  public:
    explicit Gaussian(uint32_t seed) : rng_(seed) {}
    double next() {
        if (haveSpare_) {
            haveSpare_ = false;
            return spare_;
        }
        const double u1 = (rng_() + 0.5) / 4294967296.0;
        const double u2 = (rng_() + 0.5) / 4294967296.0;
        const double r = std::sqrt(-2.0 * std::log(u1));
        spare_ = r * std::sin(2.0 * kPi * u2);
        haveSpare_ = true;
        return r * std::cos(2.0 * kPi * u2);
    }

  private:
    std::mt19937 rng_;
    bool haveSpare_ = false;
    double spare_ = 0.0;
};

// In-place Cholesky factor (lower triangle) of the symmetric positive definite n x n matrix a.
void cholesky(std::vector<double>& a, int n) {
    for (int j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (int k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
        d = std::sqrt(std::max(d, 1e-12));
        a[j * n + j] = d;
        for (int i = j + 1; i < n; ++i) {
            double s = a[i * n + j];
            for (int k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / d;
        }
        for (int i = 0; i < j; ++i) a[i * n + j] = 0.0;
    }
}

// A spherically isotropic (diffuse) noise field at the microphones, unscaled, frame-major: M
// mutually uncorrelated source signals are mixed per frequency by the Cholesky factor of the
// diffuse-field coherence sinc(2 pi f d_ij / c), so every microphone pair shows that coherence.
std::vector<float> diffuseNoise(const Scene& sc, const std::vector<Point>& micPos) {
    const int numMics = static_cast<int>(micPos.size());
    const int size = FFTWrapper::nextPowOf2(std::max(sc.frames + 2 * kSincHalf, kMinFftSize));
    const int bins = size / 2 + 1;
    FFTWrapper fft(size);
    Vector time(size);
    std::vector<std::unique_ptr<ComplexVector>> spectra;
    const bool generated = sc.noiseSignal.empty();
    Gaussian gauss(sc.seed);
    for (int m = 0; m < numMics; ++m) {
        float* t = time.data();
        if (generated) {
            for (int i = 0; i < size; ++i) t[i] = static_cast<float>(gauss.next());
        } else {
            const size_t len = sc.noiseSignal.size();
            const size_t offset = len * m / numMics;
            for (int i = 0; i < size; ++i) t[i] = sc.noiseSignal[(offset + i) % len];
        }
        spectra.push_back(std::make_unique<ComplexVector>(bins));
        fft.fft(&time, spectra.back().get());
    }
    std::vector<double> dist(numMics * numMics);
    for (int i = 0; i < numMics; ++i)
        for (int j = 0; j < numMics; ++j) dist[i * numMics + j] = distance(micPos[i], micPos[j]);
    std::vector<double> chol(numMics * numMics);
    for (int k = 0; k < bins; ++k) {
        const double f = static_cast<double>(k) * sc.fs / size;
        for (int i = 0; i < numMics; ++i) {
            for (int j = 0; j < numMics; ++j) {
                const double x = 2.0 * kPi * f * dist[i * numMics + j] / kSoundSpeed;
                chol[i * numMics + j] = x == 0.0 ? 1.0 : std::sin(x) / x;
            }
            chol[i * numMics + i] += kCoherenceLoading;
        }
        cholesky(chol, numMics);
        double shape = 1.0;
        if (generated) shape = k == 0 ? 0.0 : std::sqrt(kPinkCornerHz / std::max(f, kPinkCornerHz));
        // Row i of the factor only uses channels 0 .. i, so going downwards mixes in place.
        for (int i = numMics - 1; i >= 0; --i) {
            Complex acc(0.0f, 0.0f);
            for (int j = 0; j <= i; ++j)
                acc += static_cast<float>(chol[i * numMics + j]) * spectra[j]->data()[k];
            spectra[i]->data()[k] = acc * static_cast<float>(shape);
        }
    }
    std::vector<float> noise(static_cast<size_t>(sc.frames) * numMics);
    for (int m = 0; m < numMics; ++m) {
        fft.ifft(spectra[m].get(), &time);
        const float* t = time.data();
        for (int f = 0; f < sc.frames; ++f) noise[static_cast<size_t>(f) * numMics + m] = t[f];
    }
    return noise;
}

// Mean square of channel `ch` of a frame-major signal over the frames where mask is set (all
// frames when mask is null); 0 when no frame counts.
double meanSquare(const std::vector<float>& x, int channels, int ch,
                  const std::vector<uint8_t>* mask) {
    double sum = 0.0;
    long count = 0;
    const long frames = channels > 0 ? static_cast<long>(x.size()) / channels : 0;
    for (long f = 0; f < frames; ++f) {
        if (mask && !(*mask)[f]) continue;
        const double v = x[f * channels + ch];
        sum += v * v;
        ++count;
    }
    return count > 0 ? sum / count : 0.0;
}

}  // namespace

std::vector<std::array<float, 3>> Scene::defaultArray() {
    const Params params;
    std::vector<std::array<float, 3>> mics(params.nummics);
    for (int m = 0; m < params.nummics; ++m)
        params.getMicCoordinate(m, &mics[m][0], &mics[m][1], &mics[m][2]);
    return mics;
}

std::vector<float> roomImpulseResponse(const Room& room, const std::array<float, 3>& source,
                                       const std::array<float, 3>& mic, int fs, int length) {
    checkRoom(room);
    if (fs <= 0 || length < 0) error("Scene", "Invalid rate %d Hz or length %d", fs, length);
    checkInside(room, source, "Source");
    checkInside(room, mic, "Microphone");
    std::vector<float> h(length, 0.0f);
    roomResponse(room, reflectionCoefficient(room), source, mic, fs, h.data(), length);
    return h;
}

Recording simulate(const Scene& sc) {
    checkRoom(sc.room);
    if (sc.fs <= 0) error("Scene", "Invalid sample rate: %d Hz", sc.fs);
    if (sc.frames < 0) error("Scene", "Invalid frame count: %d", sc.frames);
    if (sc.mics.empty()) error("Scene", "No microphones");
    if (!(sc.earlyMs >= 0.0f)) error("Scene", "Invalid early part: %g ms", sc.earlyMs);

    const int numMics = static_cast<int>(sc.mics.size());
    const int numRefs = sc.hasLoudspeaker ? 1 : 0;
    std::vector<Point> micPos;
    for (const Point& m : sc.mics) {
        micPos.push_back(add(sc.arrayCentre, m));
        checkInside(sc.room, micPos.back(), "Microphone");
    }
    std::vector<Point> talkerPos;
    for (const Source& s : sc.talkers) {
        talkerPos.push_back(sourcePosition(sc, s));
        checkInside(sc.room, talkerPos.back(), "Talker");
    }
    Point speakerPos{};
    if (sc.hasLoudspeaker) {
        speakerPos = sourcePosition(sc, sc.loudspeaker);
        checkInside(sc.room, speakerPos, "Loudspeaker");
    }

    Recording rec;
    rec.numMics = numMics;
    rec.numRefs = numRefs;
    rec.frames = sc.frames;
    const size_t micSamples = static_cast<size_t>(sc.frames) * numMics;
    rec.nearEnd.assign(micSamples, 0.0f);
    rec.nearEarly.assign(micSamples, 0.0f);
    rec.echo.assign(micSamples, 0.0f);
    rec.noise.assign(micSamples, 0.0f);
    rec.reference.assign(static_cast<size_t>(sc.frames) * numRefs, 0.0f);
    rec.talkerActive.assign(sc.frames, 0);

    const double beta = reflectionCoefficient(sc.room);
    const int earlyFrames = static_cast<int>(std::lround(sc.earlyMs * 0.001 * sc.fs));
    const int activityBlock = std::max(1, sc.fs / 100);  // 10 ms blocks for talker activity
    for (size_t t = 0; t < sc.talkers.size(); ++t) {
        const Source& s = sc.talkers[t];
        const std::vector<float> x = placed(s, s.startFrame, sc.frames);
        renderSource(sc, beta, micPos, x, talkerPos[t], rec.nearEnd.data(), rec.nearEarly.data(),
                     earlyFrames);
        std::vector<double> energy;
        for (int b0 = 0; b0 < sc.frames; b0 += activityBlock) {
            double e = 0.0;
            for (int f = b0; f < std::min(sc.frames, b0 + activityBlock); ++f) e += x[f] * x[f];
            energy.push_back(e);
        }
        const double loudest =
            energy.empty() ? 0.0 : *std::max_element(energy.begin(), energy.end());
        const double threshold = loudest * std::pow(10.0, kActivityFloorDb / 10.0);
        for (size_t b = 0; b < energy.size(); ++b) {
            if (!(energy[b] > threshold)) continue;
            const int b0 = static_cast<int>(b) * activityBlock;
            for (int f = b0; f < std::min(sc.frames, b0 + activityBlock); ++f)
                rec.talkerActive[f] = 1;
        }
    }

    if (sc.hasLoudspeaker) {
        const Source& s = sc.loudspeaker;
        const std::vector<float> ref = placed(s, s.startFrame, sc.frames);
        std::copy(ref.begin(), ref.end(), rec.reference.begin());
        const std::vector<float> x =
            placed(s, static_cast<long>(s.startFrame) + sc.referenceLeadFrames, sc.frames);
        renderSource(sc, beta, micPos, x, speakerPos, rec.echo.data(), nullptr, 0);
    }

    if (sc.noiseSnrDb < kNoNoiseSnrDb && sc.frames > 0) {
        if (!std::isfinite(sc.noiseSnrDb)) error("Scene", "Invalid noise SNR");
        rec.noise = diffuseNoise(sc, micPos);
        double target = meanSquare(rec.nearEnd, numMics, 0, &rec.talkerActive);
        if (target <= 0.0) target = meanSquare(rec.echo, numMics, 0, nullptr);
        if (target <= 0.0) target = 1e-4;
        const double have = meanSquare(rec.noise, numMics, 0, nullptr);
        const double scale =
            have > 0.0 ? std::sqrt(target * std::pow(10.0, -sc.noiseSnrDb / 10.0) / have) : 0.0;
        for (float& v : rec.noise) v = static_cast<float>(v * scale);
    }

    const int channels = numMics + numRefs;
    rec.mixture.assign(static_cast<size_t>(sc.frames) * channels, 0.0f);
    for (int f = 0; f < sc.frames; ++f) {
        const size_t in = static_cast<size_t>(f) * numMics;
        float* out = rec.mixture.data() + static_cast<size_t>(f) * channels;
        for (int m = 0; m < numMics; ++m)
            out[m] = rec.nearEnd[in + m] + rec.echo[in + m] + rec.noise[in + m];
        for (int r = 0; r < numRefs; ++r) out[numMics + r] = rec.reference[f * numRefs + r];
    }
    return rec;
}

Recording simulateEchoRoom(const std::vector<float>& far, float rt60, float azimuth,
                           const std::vector<float>& talk, int talkStart, float noiseSnrDb) {
    Scene sc;
    sc.frames = static_cast<int>(far.size());
    sc.room.rt60 = rt60;
    sc.mics = Scene::defaultArray();
    sc.hasLoudspeaker = true;
    sc.loudspeaker.signal = far;
    sc.loudspeaker.azimuth = azimuth;
    sc.loudspeaker.elevation = -20.0f;
    sc.loudspeaker.distance = 0.3f;
    sc.loudspeaker.gain = 0.3f;
    sc.noiseSnrDb = noiseSnrDb;
    if (!talk.empty()) {
        Source t;
        t.signal = talk;
        t.azimuth = 60.0f;
        t.distance = 1.0f;
        t.startFrame = talkStart;
        sc.talkers.push_back(t);
    }
    return simulate(sc);
}

}  // namespace velmora::scene
