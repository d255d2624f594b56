#pragma once
// The direction-scan settings that the SRP-PHAT localiser and the SRP-PHAT detector share, checked
// by their selectors before the stage is built, so that a configuration cannot reach the stages'
// own preconditions.

#include "Params.h"
#include "util/Check.h"

namespace velmora::mode {

inline void checkScanSettings(const char* cls, const Params* p) {
    util::requireAtLeast(cls, "ssl_numscans", p->ssl_numscans, 1);
    util::requireRange(cls, "ssl_elevation", p->ssl_elevation, -90.0f, 90.0f);
    const int nyquist = p->fsout / 2;
    util::requireRange(cls, "ssl_f_low", p->ssl_f_low, 0, nyquist);
    util::requireRange(cls, "ssl_f_high", p->ssl_f_high, 0, nyquist);
    if (p->ssl_f_low >= p->ssl_f_high)
        error(cls, "Invalid ssl_f_low: %d, below ssl_f_high (%d) required", p->ssl_f_low,
              p->ssl_f_high);
}

}  // namespace velmora::mode
