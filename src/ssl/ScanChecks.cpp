#include "ssl/ScanChecks.h"

#include <cmath>

#include "Error.h"
#include "Params.h"
#include "util/Check.h"

namespace velmora::ssl {

void checkScanSettings(const char* cls, const Params* p) {
    util::requireRange(cls, "ssl_numscans", p->ssl_numscans, 1, kMaxScanDirections);
    util::requireRange(cls, "ssl_elevation", p->ssl_elevation, -90.0f, 90.0f);
    const int nyquist = p->fsout / 2;
    util::requireRange(cls, "ssl_f_high", p->ssl_f_high, 1, nyquist);
    util::requireRange(cls, "ssl_f_low", p->ssl_f_low, 0, p->ssl_f_high - 1);
}

void checkGeometry(const char* cls, const Params* p) {
    const int M = p->nummics;
    if (M < 2 || M > kMaxChannels)
        error(cls, "Spatial processing requires 2 to %d microphones: %d", kMaxChannels, M);
    float pos[kMaxChannels][3];
    for (int m = 0; m < M; ++m) {
        p->getMicCoordinate(m, &pos[m][0], &pos[m][1], &pos[m][2]);
        if (!std::isfinite(pos[m][0]) || !std::isfinite(pos[m][1]) || !std::isfinite(pos[m][2]))
            error(cls, "Invalid miccoor of mic %d: %g %g %g", m, static_cast<double>(pos[m][0]),
                  static_cast<double>(pos[m][1]), static_cast<double>(pos[m][2]));
    }
    double aperture = 0.0;
    int far1 = 0, far2 = 0;
    for (int a = 0; a < M; ++a) {
        for (int b = a + 1; b < M; ++b) {
            const double dx = double(pos[a][0]) - pos[b][0];
            const double dy = double(pos[a][1]) - pos[b][1];
            const double dz = double(pos[a][2]) - pos[b][2];
            const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
            if (d < kMinMicDistance)
                error(cls,
                      "Mics %d and %d coincide in miccoor (%g m apart, at least %g m required)", a,
                      b, d, static_cast<double>(kMinMicDistance));
            if (d > aperture) aperture = d, far1 = a, far2 = b;
        }
    }
    if (aperture < kMinAperture)
        error(cls,
              "Array aperture too small in miccoor: %g m between mics %d and %d, at least %g m "
              "required",
              aperture, far1, far2, static_cast<double>(kMinAperture));
}

}  // namespace velmora::ssl
