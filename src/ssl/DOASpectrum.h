#pragma once
// DOASpectrum: a grid of numScans() candidate azimuths angle(i) = -180 + i * 360 / numScans()
// with one response value each (zero after construction and reset()), a scan range of indices
// [low, high] (initially the whole grid) and the peak rule the localisers report. Azimuths map
// to the nearest grid index; one that falls off the grid (for example 180) maps to index 0.

#include <memory>
#include <vector>

namespace velmora::ssl {

class DOASpectrum {
  public:
    explicit DOASpectrum(int numscans);
    ~DOASpectrum();
    DOASpectrum(const DOASpectrum&) = delete;
    DOASpectrum& operator=(const DOASpectrum&) = delete;

    int numScans() const;
    // Grid spacing in degrees, angle(1) - angle(0) (360 for a one-scan grid).
    float step() const;

    // Nearest index floor((wrapAngle(azimuth) + 180) / step() + 0.5); 0 when that lies outside
    // [0, numScans() - 1] or the azimuth is not a finite number.
    int index(float azimuth) const;
    float angle(int index) const;

    // The numScans() response values, read and written in place.
    float* values();
    const float* values() const;
    float value(int index) const;
    void setValue(int index, float value);
    float valueAt(float azimuth) const { return value(index(azimuth)); }
    // All values back to 0.
    void reset();

    // The scan range as indices or as their angles (either output may be null), and set from two
    // azimuths, each mapped to its index. A range whose low index exceeds its high one is empty.
    void scanRange(int* low, int* high) const;
    void scanRangeAngles(float* low, float* high) const;
    void setScanRange(float azlow, float azhigh);

    // Scans the range in ascending order for the first index whose value is strictly larger
    // than all before it, starting from a best value of 0, and returns that index; its value
    // and angle go to the pointers when they are not null. When nothing in the range exceeds 0
    // the index is 0 and the value 0.
    int peak(float* value, float* angle) const;

  private:
    struct Impl {
        int numscans;
        int scanlow;
        int scanhigh;
        float step;
        std::vector<float> angles;
        std::vector<float> values;
    };
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::ssl
