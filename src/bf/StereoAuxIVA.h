#pragma once
// StereoAuxIVA: online auxiliary-function IVA for two sources and two microphones over N bins,
// solved in closed form. Per source a weighted covariance (V1, V2, starting 0.001 I unless the
// constructor is given another start) is
// forgotten exponentially; the demixing rows are the two generalised eigenvectors of (V2, V1)
// with diagonal loading, the row of source 0 the one of the larger root. Projection back
// (`type` 0: onto the source's own microphone, 1: onto the microphone of larger gain, 2: roots
// only, 3: unscaled rows). A new row whose output power on the current snapshot is not finite or
// exceeds 30 times that of microphone 0 is refused for that bin.

#include <memory>

namespace velmora::blas {
class Vector;
class ComplexMatrix;
class ComplexTensor3;
}  // namespace velmora::blas

namespace velmora::bf {

class StereoAuxIVA {
  public:
    static constexpr int NUM_MICS = 2;

    // V1 and V2 start (and restart after a non-finite value) as `initial` times I.
    explicit StereoAuxIVA(int numbins, float initial = 0.001f);
    ~StereoAuxIVA();
    StereoAuxIVA(const StereoAuxIVA&) = delete;
    StereoAuxIVA& operator=(const StereoAuxIVA&) = delete;

    int numBins() const;

    // One snapshot datain (2 x numBins) with source weights phi (2 values).
    void update(float forget, float loading, int type, const blas::Vector* phi,
                const blas::ComplexMatrix* datain);
    // dataout (optional, 2 x numBins) = W datain with the previous rows; phi from the demixed
    // powers summed over the bins, phi = max(power, 0.01)^-0.9; then update().
    void process(float forget, float loading, int type, const blas::ComplexMatrix* datain,
                 blas::ComplexMatrix* dataout);

    const blas::ComplexTensor3* demixing() const;  // W, 2 x 2 x numBins

    // With factor > 0, a snapshot that would let either covariance's trace in a bin exceed
    // factor * (old trace + 0.001) is refused there for both (0: no such guard, the default).
    // V1 and V2 then stay sums of the same snapshots, told apart only by the weights phi;
    // refusing a snapshot for one source alone (the one quiet in it, hence the larger weight)
    // drops exactly what teaches that source's row to null the other talker.
    void setGrowthLimit(float factor);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::bf
