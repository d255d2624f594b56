#pragma once
// The random fill of the containers: 15 random bits scaled to [0, 1], the same range on every
// platform whatever its RAND_MAX (dividing rand() by 32767 alone gives values far above 1 where
// RAND_MAX is 2^31 - 1).

#include <cstdlib>

namespace velmora::blas {

inline float randomUnit() { return static_cast<float>((std::rand() & 0x7FFF) / 32767.0); }

}  // namespace velmora::blas
