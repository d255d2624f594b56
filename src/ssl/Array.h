#pragma once
// Array: the geometry of a microphone array, numElements() element positions in metres (all at
// the origin after construction), with the plane-wave propagation delays and steering vectors the
// spatial stages scan with. A plane wave from direction u reaches element m at relative time
// delay(m) = -(p_m . u) / 340 s, so the steering vector element is exp(+j 2 pi f (p_m . u) / 340).

#include <memory>
#include <vector>

#include "blas/Complex.h"
#include "blas/ComplexVector.h"
#include "ssl/Angle.h"

namespace velmora::ssl {

class Array {
  public:
    explicit Array(int numelements);
    ~Array();
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;

    int numElements() const;

    // Element positions in metres; any output of getPosition may be null.
    void getPosition(int m, float* x, float* y, float* z) const;
    void setPosition(int m, float x, float y, float z);
    // Euclidean distance between elements m1 and m2, metres.
    float distance(int m1, int m2) const;

    // Arrival time of a plane wave from (azimuth, elevation) at element m relative to the
    // origin, seconds: -(p_m . u) / 340.
    float delay(int m, float azimuth, float elevation) const;
    // out[m] = cos(2 pi f tau_m) - j sin(2 pi f tau_m), tau_m = delay(m, azimuth, elevation), for
    // every element; f in Hz. `out` holds numElements() values.
    void steeringVector(float azimuth, float elevation, float f, blas::Complex* out) const;
    void steeringVector(float azimuth, float elevation, float f, blas::ComplexVector* out) const;

    // One "%f %f %f\n" line per element on standard output.
    void print() const;

  private:
    struct Impl {
        int numelements;
        std::vector<float> x, y, z;
    };
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::ssl
