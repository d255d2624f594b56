#pragma once
// Checks of settings that come from the configuration file or a caller. A value that a stage
// cannot work with is refused when the stage is built, through error(), with a message that
// names the key and the value:
//   "Invalid <key>: <value>, allowed <lo> to <hi>"
// Floats must also be finite. These checks are for configuration values only; conditions that
// only the code can break stay VM_ASSERTs.

#include "Error.h"

#include <cmath>

namespace velmora::util {

// Refuses value outside [lo, hi]. `cls` is the class name of the error tag.
inline void requireRange(const char* cls, const char* key, int value, int lo, int hi) {
    if (value < lo || value > hi)
        error(cls, "Invalid %s: %d, allowed %d to %d", key, value, lo, hi);
}

// Refuses NaN, infinities and values outside [lo, hi].
inline void requireRange(const char* cls, const char* key, float value, float lo, float hi) {
    if (!std::isfinite(value) || value < lo || value > hi)
        error(cls, "Invalid %s: %g, allowed %g to %g", key, static_cast<double>(value),
              static_cast<double>(lo), static_cast<double>(hi));
}

// Refuses NaN and infinities.
inline void requireFinite(const char* cls, const char* key, float value) {
    if (!std::isfinite(value))
        error(cls, "Invalid %s: %g, a finite number is required", key, static_cast<double>(value));
}

}  // namespace velmora::util
