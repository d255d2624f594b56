#pragma once
// Parametric multichannel Wiener filter cores. Per output o they track a target covariance and
// an interference covariance of the snapshots, each weighted per call by a caller-given factor,
// and form the filter w = (Phi_n^-1 Phi_t) e_0 / (trace(Phi_n^-1 Phi_t) + beta) (reference
// microphone 0). A candidate filter whose output power on the current snapshot would exceed
// 30 times that of microphone 0 (or is not finite) is refused for that bin and the previous one
// kept. PMWF serves any number of microphones and keeps the inverse interference covariance by
// rank-one updates (trace guard 1e6, bins that turn non-finite restart); StereoPMWF serves two
// microphones in closed form through the adjugate and ignores beta.

#include <memory>

namespace velmora::blas {
class Vector;
class ComplexMatrix;
class ComplexTensor3;
}  // namespace velmora::blas

namespace velmora::bf {

class PMWFCore {
  public:
    virtual ~PMWFCore() = default;
    virtual int numMics() const = 0;
    virtual int numOuts() const = 0;
    virtual int numBins() const = 0;
    // numOuts x numMics x numBins: y_o = sum_m filters(o, m) x_m.
    virtual const blas::ComplexTensor3* filters() const = 0;
    // phitarget, phiinterf: numOuts weights; datain numMics x numBins; dataout null or
    // numOuts x numBins.
    virtual void process(const blas::Vector* phitarget, const blas::Vector* phiinterf,
                         const blas::ComplexMatrix* datain, blas::ComplexMatrix* dataout) = 0;
    virtual void hook1(int) {}
    virtual void hook2(int) {}
};

class PMWF : public PMWFCore {
  public:
    PMWF(int nummics, int numouts, int numbins, float forget, float beta);
    ~PMWF() override;
    PMWF(const PMWF&) = delete;
    PMWF& operator=(const PMWF&) = delete;

    int numMics() const override;
    int numOuts() const override;
    int numBins() const override;
    const blas::ComplexTensor3* filters() const override;
    void process(const blas::Vector* phitarget, const blas::Vector* phiinterf,
                 const blas::ComplexMatrix* datain, blas::ComplexMatrix* dataout) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

class StereoPMWF {
  public:
    static constexpr int NUM_MICS = 2;

    StereoPMWF(int numouts, int numbins);
    ~StereoPMWF();
    StereoPMWF(const StereoPMWF&) = delete;
    StereoPMWF& operator=(const StereoPMWF&) = delete;

    int numMics() const { return NUM_MICS; }
    int numOuts() const;
    int numBins() const;
    const blas::ComplexTensor3* filters() const;
    // forget per call; beta is accepted for symmetry with PMWF and not used.
    void process(float forget, float beta, const blas::Vector* phitarget,
                 const blas::Vector* phiinterf, const blas::ComplexMatrix* datain,
                 blas::ComplexMatrix* dataout);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::bf
