#pragma once
// Settings and geometry that the spatial stages (detector, localiser) refuse when they are
// built, with the error tag of the calling class.

namespace velmora {
class Params;
}

namespace velmora::ssl {

constexpr int kMaxScanDirections = 3600;    // ssl_numscans: a tenth of a degree
constexpr float kMinMicDistance = 1.0e-4f;  // metres: closer microphones coincide
constexpr float kMinAperture = 1.0e-3f;     // metres: smallest usable array

// ssl_numscans in 1..kMaxScanDirections, ssl_elevation in [-90, 90], and a band
// 0 <= ssl_f_low < ssl_f_high <= fsout / 2.
void checkScanSettings(const char* cls, const Params* p);

// At least two microphones with finite coordinates, no two closer than kMinMicDistance, and an
// aperture (largest distance) of at least kMinAperture; the message names the microphones.
void checkGeometry(const char* cls, const Params* p);

}  // namespace velmora::ssl
