#pragma once
// The complex element type of all complex containers: two floats, real part first, imaginary
// part second (8 bytes), so a run of Complex values can be read as interleaved float pairs.

#include <complex>

namespace velmora::blas {

using Complex = std::complex<float>;

static_assert(sizeof(Complex) == 2 * sizeof(float), "Complex must be two packed floats");

}  // namespace velmora::blas
