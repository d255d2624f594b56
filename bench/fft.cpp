// Our transforms against KISS FFT at the same sizes: each benchmark runs one forward and one
// inverse transform of a random frame. Compare the pairs (fft160 vs kissfftr/320, fft4g vs
// kissfft at 256, 512, 1024) in the same run.

#include <benchmark/benchmark.h>

#include <kiss_fft.h>
#include <kiss_fftr.h>

#include <vector>

#include "blas/ComplexVector.h"
#include "blas/Vector.h"
#include "transform/FFT_fft160.h"
#include "transform/FFT_fft4g.h"

using velmora::blas::ComplexVector;
using velmora::blas::Vector;

static void BM_fft160_real320(benchmark::State& state) {
    velmora::transform::FFT_fft160 fft;
    Vector x(320), y(320);
    x.fillRandom();
    ComplexVector fx(160);
    for (auto _ : state) {
        fft.fft(&x, &fx);
        fft.ifft(&fx, &y);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(BM_fft160_real320);

static void BM_kissfftr(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    kiss_fftr_cfg fwd = kiss_fftr_alloc(n, 0, nullptr, nullptr);
    kiss_fftr_cfg inv = kiss_fftr_alloc(n, 1, nullptr, nullptr);
    std::vector<float> x(n), y(n);
    for (int i = 0; i < n; ++i) x[i] = static_cast<float>(i % 7) - 3.0f;
    std::vector<kiss_fft_cpx> fx(n / 2 + 1);
    for (auto _ : state) {
        kiss_fftr(fwd, x.data(), fx.data());
        kiss_fftri(inv, fx.data(), y.data());
        benchmark::DoNotOptimize(y.data());
    }
    kiss_fftr_free(fwd);
    kiss_fftr_free(inv);
}
BENCHMARK(BM_kissfftr)->Arg(320)->Arg(256)->Arg(512)->Arg(1024);

static void BM_fft4g_real(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    FFT_fft4g fft(n);
    Vector x(n), y(n);
    x.fillRandom();
    ComplexVector fx(n / 2 + 1);
    for (auto _ : state) {
        fft.fft(&x, &fx);
        fft.ifft(&fx, &y);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(BM_fft4g_real)->Arg(256)->Arg(512)->Arg(1024);

static void BM_fft4g_complex(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    FFT_fft4g fft(n);
    ComplexVector x(n), fx(n), y(n);
    x.fillRandom();
    for (auto _ : state) {
        fft.fft(&x, &fx);
        fft.ifft(&fx, &y);
        benchmark::DoNotOptimize(y.data());
    }
}
BENCHMARK(BM_fft4g_complex)->Arg(256)->Arg(512)->Arg(1024);

static void BM_kissfft_complex(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    kiss_fft_cfg fwd = kiss_fft_alloc(n, 0, nullptr, nullptr);
    kiss_fft_cfg inv = kiss_fft_alloc(n, 1, nullptr, nullptr);
    std::vector<kiss_fft_cpx> x(n), fx(n), y(n);
    for (int i = 0; i < n; ++i)
        x[i] = {static_cast<float>(i % 7) - 3.0f, static_cast<float>(i % 5)};
    for (auto _ : state) {
        kiss_fft(fwd, x.data(), fx.data());
        kiss_fft(inv, fx.data(), y.data());
        benchmark::DoNotOptimize(y.data());
    }
    kiss_fft_free(fwd);
    kiss_fft_free(inv);
}
BENCHMARK(BM_kissfft_complex)->Arg(256)->Arg(512)->Arg(1024);
