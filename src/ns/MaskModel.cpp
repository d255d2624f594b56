#include "ns/MaskModel.h"

namespace velmora::ns {

MaskModel::MaskModel(const char* dir, int /*threads*/, int /*batch*/, const char* /*set*/,
                     int /*context*/)
    : mask(kBins, 0.0f) {
    const std::string base = dir ? dir : "";
    for (const char* name :
         {"fe.cfg", "final.nnet", "ali_train_pdf.counts", "final.feature_transform"})
        paths.push_back(base + "/" + name);
}

}  // namespace velmora::ns
