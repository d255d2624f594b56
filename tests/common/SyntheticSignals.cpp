#include "common/SyntheticSignals.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace velmora::test {

namespace {

constexpr double kFs = 16000.0;
constexpr double kPi = 3.14159265358979323846;

void normalise(std::vector<float>* x, float rms) {
    double p = 0.0;
    for (float v : *x) p += double(v) * v;
    const double g = rms / (std::sqrt(p / std::max<size_t>(1, x->size())) + 1e-12);
    for (float& v : *x) v = static_cast<float>(v * g);
}

// Two-pole resonator at f Hz with bandwidth bw Hz.
struct Resonator {
    double a1 = 0, a2 = 0, y1 = 0, y2 = 0, g = 0;
    void set(double f, double bw) {
        const double r = std::exp(-kPi * bw / kFs);
        a1 = 2 * r * std::cos(2 * kPi * f / kFs);
        a2 = -r * r;
        g = 1 - r;
    }
    double step(double x) {
        const double y = g * x + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

}  // namespace

std::vector<float> speechLike(double seconds, float rms, unsigned seed) {
    const size_t n = static_cast<size_t>(seconds * kFs);
    std::vector<float> x(n, 0.0f);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> g(0.0, 1.0);
    Resonator f1, f2, f3, fric;
    double phase = 0.0, f0 = 100 + 80 * u(rng), hp = 0.0;
    size_t pos = 0;
    while (pos < n) {
        // A syllable: 120-320 ms, then a pause of 40-400 ms (a long one now and then).
        const size_t len = static_cast<size_t>((0.12 + 0.2 * u(rng)) * kFs);
        const size_t pause =
            static_cast<size_t>((u(rng) < 0.2 ? 0.25 + 0.3 * u(rng) : 0.04 + 0.1 * u(rng)) * kFs);
        const double t1 = 300 + 500 * u(rng), t2 = 900 + 1400 * u(rng), t3 = 2400 + 700 * u(rng);
        const bool fricative = u(rng) < 0.35;
        const double target = std::clamp(f0 + 30 * g(rng), 90.0, 220.0);
        fric.set(3500 + 2500 * u(rng), 1500);
        for (size_t i = 0; i < len && pos + i < n; ++i) {
            const double t = double(i) / len;
            f0 += (target - f0) * 0.0005;
            // Formants glide between syllables.
            f1.set(t1 * (0.9 + 0.2 * t), 80);
            f2.set(t2 * (1.1 - 0.2 * t), 120);
            f3.set(t3, 200);
            phase += f0 * (1 + 0.01 * g(rng)) / kFs;
            double pulse = 0.0;
            if (phase >= 1.0) {
                phase -= 1.0;
                pulse = 1.0;
            }
            // Differentiated pulse: a flat-ish glottal spectrum.
            const double exc = pulse - hp;
            hp = pulse;
            const double env = std::sin(kPi * t);
            double v = 6.0 * f1.step(exc) + 3.0 * f2.step(exc) + 1.5 * f3.step(exc);
            if (fricative && t < 0.3) v += 0.4 * fric.step(g(rng)) * std::sin(kPi * t / 0.3);
            x[pos + i] = static_cast<float>(env * v);
        }
        pos += len + pause;
    }
    normalise(&x, rms);
    return x;
}

std::vector<float> guitarLike(double seconds, float rms, unsigned seed) {
    const size_t n = static_cast<size_t>(seconds * kFs);
    std::vector<double> y(n, 0.0);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    static const int kScale[] = {0, 2, 4, 7, 9, 12, 14, 16, 19, 21};
    size_t pos = 0;
    while (pos < n) {
        // A plucked note, sometimes with a second string (a dyad).
        const int strings = u(rng) < 0.3 ? 2 : 1;
        for (int s = 0; s < strings; ++s) {
            const int semis = kScale[static_cast<int>(u(rng) * 10) % 10] + 12 * (s);
            const double f = 110.0 * std::pow(2.0, semis / 12.0);
            const int period = std::max(2, static_cast<int>(kFs / f + 0.5));
            std::vector<double> line(static_cast<size_t>(period));
            for (double& v : line) v = 2 * u(rng) - 1;
            const size_t len = std::min(n - pos, static_cast<size_t>(2.0 * kFs));
            size_t idx = 0;
            double prev = 0.0;
            for (size_t i = 0; i < len; ++i) {
                const double cur = line[idx];
                y[pos + i] += cur;
                line[idx] = 0.996 * 0.5 * (cur + prev);
                prev = cur;
                idx = (idx + 1) % static_cast<size_t>(period);
            }
        }
        pos += static_cast<size_t>((0.2 + 0.35 * u(rng)) * kFs);
    }
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = static_cast<float>(y[i]);
    normalise(&x, rms);
    return x;
}

}  // namespace velmora::test
