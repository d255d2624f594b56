#pragma once
// DualAFGeneral: the default echo canceller. One CSAECFDGeneral2 core per microphone cancels the
// echo of one or two references; two references are first turned into their halved sum and
// difference, which decorrelates a typical stereo far end. Delay 0; the cores write straight
// into the caller's output rows. Nothing allocates after construction.

#include <memory>

#include "aec/AECInterface.h"

namespace velmora::aec {

class CSAECFDGeneral2;

class DualAFGeneral : public AECInterface {
  public:
    // aflen: filter length in blocks (0 selects 15); level 0 selects the parameter preset with
    // a single adaptation after the output choice, any other level the one that adapts before
    // it and learns a tap profile.
    DualAFGeneral(int nummics, int numrefs, int numbins, int aflen, int level);
    ~DualAFGeneral() override;
    DualAFGeneral(const DualAFGeneral&) = delete;
    DualAFGeneral& operator=(const DualAFGeneral&) = delete;

    int numMics() const override;
    int numRefs() const override;
    int numBins() const override;
    int delay() const override { return 0; }
    void process(const blas::ComplexMatrix* mic, const blas::ComplexMatrix* ref,
                 blas::ComplexMatrix* nearend, blas::ComplexMatrix* echo) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

    // Applies the parameter preset of `level` (0, or any other value) to a core.
    static void applyPreset(int level, CSAECFDGeneral2* core);

    // The core of microphone m, for inspection.
    const CSAECFDGeneral2* core(int m) const;
    // The transformed references of the last block (meaningful with two references).
    const blas::ComplexMatrix* refMix() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::aec
