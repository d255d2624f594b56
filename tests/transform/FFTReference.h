#pragma once
// Reference values for the FFT tests: a direct DFT in double precision, random test signals
// and the error bound the single-precision transforms must meet.

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace velmora::test {

using cdouble = std::complex<double>;

// X[k] = sum_n x[n] e^(-2 pi i k n / N) for every k in `bins` (all N bins when empty).
inline std::vector<cdouble> directDft(const std::vector<cdouble>& x, std::vector<int> bins = {}) {
    const long n = static_cast<long>(x.size());
    if (bins.empty())
        for (int k = 0; k < n; ++k) bins.push_back(k);
    std::vector<cdouble> w(n);
    for (long i = 0; i < n; ++i) w[i] = std::polar(1.0, -2.0 * M_PI * static_cast<double>(i) / n);
    std::vector<cdouble> out;
    for (int k : bins) {
        cdouble s = 0.0;
        for (long i = 0; i < n; ++i) s += x[i] * w[(static_cast<long>(k) * i) % n];
        out.push_back(s);
    }
    return out;
}

// Uniform in [-1, 1], reproducible.
inline std::vector<float> randomSignal(int n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (float& v : x) v = u(gen);
    return x;
}

inline double maxAbs(const std::vector<cdouble>& x) {
    double m = 0.0;
    for (const cdouble& v : x) m = std::max(m, std::abs(v));
    return m;
}

// Single-precision rounding bound for an N-point transform, relative to the spectrum's scale.
inline double fftTolerance(int n, double scale) {
    return 2e-7 * std::max(1.0, std::log2(static_cast<double>(n))) * scale;
}

// Bins checked against the direct DFT: all of them up to 4096 points, else a spread sample
// that includes both ends and the middle.
inline std::vector<int> checkedBins(int n, int count) {
    std::vector<int> bins;
    if (count <= 4096) {
        for (int k = 0; k < count; ++k) bins.push_back(k);
        return bins;
    }
    for (int k = 0; k < 8; ++k) bins.push_back(k);
    for (int k = 8; k < count; k += 997) bins.push_back(k);
    for (int k : {n / 4 - 1, n / 4, n / 2 - 1, n / 2, count - 2, count - 1})
        if (k >= 0 && k < count) bins.push_back(k);
    return bins;
}

}  // namespace velmora::test
