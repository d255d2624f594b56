#pragma once
// Fixed: a beamformer with precomputed per-bin weights read from a beam file. Output n applies
// the stored beam nearest to its look direction, y[n][k] = sum_m conj(w_m,k) x[m][k]. Without a
// beam file it is a plain pass-through of the microphone rows (numouts 0 then means one output
// per microphone); with one, numouts 0 means one output per stored beam. Nothing allocates after
// construction.
//
// Beam file (little-endian, no header or padding): int32 numBeams B, int32 numBins K, int32
// numMics M, B float32 look azimuths in degrees (non-decreasing), then for every beam b, bin k
// and microphone m the complex weight w_b,k,m as float32 real, float32 imaginary.

#include <memory>

#include "bf/BFInterface.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"

namespace velmora::bf {

class Fixed : public BFInterface {
  public:
    // `path` null or empty: no beam file. Load failures raise "velmora, Fixed" errors.
    Fixed(int nummics, int numouts, int numbins, const char* path);
    ~Fixed() override;
    Fixed(const Fixed&) = delete;
    Fixed& operator=(const Fixed&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    void lock(int, const float*) override {}
    void unlock(int) override {}
    // Azimuth of the beam output n applies (0.0 without a beam file).
    float look(int n) const override;
    // Selects for output n the stored beam nearest to `azimuth`, the lower index on a tie.
    void setLook(int n, float azimuth) override;
    void process(const blas::ComplexMatrix* datain, blas::ComplexMatrix* dataout) override;
    blas::ComplexTensor3* sslData() override { return nullptr; }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    // Stored beams (0 without a beam file) and the beam output n applies (-1 without one).
    int numBeams() const;
    int beamIndex(int n) const;

    // Writes a beam file: `angles` holds B non-decreasing azimuths, `weights` is B x M x K with
    // the weights w as they are to be stored (loading conjugates them). Raises
    // "Cannot write beamformers to: %s" when the file cannot be written.
    static void writeBeamFile(const char* path, const blas::Vector* angles,
                              const blas::ComplexTensor3* weights);

  private:
    void load(const char* path);
    int nearestBeam(float azimuth) const;
    void selectBeam(int n, int beam);

    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::bf
