#pragma once
// AGCAlgorithm: the pipeline's handle on the time-domain gain control. Builds the gain control
// named by agc_algorithm for numouts channels and blocks of int(fsout * block_size) frames,
// configures it by name, owns it and forwards the pipeline's calls to it. Unknown numbers and
// refused settings raise from the constructor.

#include <memory>

namespace velmora {
class Params;
}
namespace velmora::agc {
class AGCInterface;
}

namespace velmora::mode {

class AGCAlgorithm {
  public:
    explicit AGCAlgorithm(const Params* params);
    ~AGCAlgorithm();
    AGCAlgorithm(const AGCAlgorithm&) = delete;
    AGCAlgorithm& operator=(const AGCAlgorithm&) = delete;

    int numChannels() const;
    // Frames per block.
    int blockSize() const;
    // Delay added, in samples.
    int delay() const;
    // Interleaved block of numChannels() x blockSize() floats; `out` may equal `in`.
    void process(const float* in, float* out);

    // The gain control itself (owned by this selector).
    agc::AGCInterface* stage();

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::mode
