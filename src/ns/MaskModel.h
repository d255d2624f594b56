#pragma once
// MaskModel: the interface between the mask-driven stages (NNMask, NNMaskAECPF, NNRES) and a
// neural time-frequency mask estimator. A model lives in a directory holding four files,
//   fe.cfg, final.nnet, ali_train_pdf.counts, final.feature_transform
// (paths formed as "<dir>/<name>"). Per block the stage fills inputDim() features and calls
// compute(); output() then holds outputDim() mask values in [0, 1], one per bin, that refer to
// the input of delay() blocks ago.
//
// This build carries no network: the files are named but not read, the input dimension is 0,
// compute() does nothing and the mask is 160 zeros with delay 0. A real estimator replaces the
// body of this class (same operations) and reads its files in the constructor, raising
// "velmora, MaskModel" errors for files it cannot use.

#include <string>
#include <vector>

namespace velmora::ns {

class MaskModel {
  public:
    static constexpr int kBins = 160;

    // `dir` may be null (no directory configured). The remaining arguments (threads, batch, the
    // feature set's name, context frames) are fixed by the stages: 1, 1, "default", 50.
    MaskModel(const char* dir, int threads, int batch, const char* set, int context);

    int inputDim() const { return 0; }
    int outputDim() const { return kBins; }
    int delay() const { return 0; }
    // `features` holds at least inputDim() values (the stages pass more, see their comments).
    void compute(const float* /*features*/) {}
    const float* output() const { return mask.data(); }

    // The four model file paths, in the order above.
    const std::vector<std::string>& files() const { return paths; }

  private:
    std::vector<std::string> paths;
    std::vector<float> mask;
};

}  // namespace velmora::ns
