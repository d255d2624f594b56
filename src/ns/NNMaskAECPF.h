#pragma once
// NNMaskAECPF and NNRES: residual-echo suppressors driven by a per-bin speech mask from one mask
// model per channel (ns/MaskModel.h; model files in ns_model_base). Per channel i the model's
// features are, natural log of |32768 v[k]|^2 + 1 over the K bins of: the channel's echo
// estimate, every reference, the channel's near-end input, in that order ((2 + R) K values).
//
// NNMaskAECPF applies the mask to the near-end input of the model's delay ago:
// out_i = mask_i o x_i. NNRES uses it to split that input into speech (mask o x) and noise
// ((1 - mask) o x) and runs a per-channel multi-frame Wiener filter on the two (like PWFRES, with
// 0.2 / 0.8 smoothing and the noise covariance kept as its inverse); blocks whose first echo
// estimate is below -45 dB pass unchanged. With this build's model (mask all zero) NNMaskAECPF
// outputs silence, and so does NNRES whenever the echo gate is open.
//
// Both work on the model's 160 bins. Absurd or non-finite bins enter as silence. Nothing
// allocates after construction.

#include <memory>

#include "ns/NSInterface.h"

namespace velmora::ns {

class NNMaskAECPF : public NSInterface {
  public:
    NNMaskAECPF(int numchs, int numrefs, const char* modelbase);
    ~NNMaskAECPF() override;
    NNMaskAECPF(const NNMaskAECPF&) = delete;
    NNMaskAECPF& operator=(const NNMaskAECPF&) = delete;

    int numChannels() const override;
    int numRefs() const override;
    int numBins() const override;
    int delay() const override;
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
                 const blas::ComplexMatrix* echo) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

class NNRES : public NSInterface {
  public:
    // flen >= 1 taps (at most 63), or 2 when flen is 0.
    NNRES(int numchs, int numrefs, int flen, float beta, const char* modelbase);
    ~NNRES() override;
    NNRES(const NNRES&) = delete;
    NNRES& operator=(const NNRES&) = delete;

    int numChannels() const override;
    int numRefs() const override;
    int numBins() const override;
    int delay() const override;
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
                 const blas::ComplexMatrix* echo) override;
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::ns
