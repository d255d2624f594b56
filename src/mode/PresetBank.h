#pragma once
// The preset filter banks of the full-NS (flag 1) and multistream pipelines: the same hops as the
// general pipeline's banks, with the longer synthesis delays of window types 1 (0.01 s blocks,
// 480 samples) and 4 (0.02 s blocks, 960 samples). Other block sizes are refused.

#include "Error.h"
#include "transform/PPFPrototypes.h"

namespace velmora::mode {

// `cls`: the class name of the error tag.
inline transform::PPFWindowType presetWindowType(const char* cls, float blockSize) {
    if (blockSize == 0.01f) return transform::PPFWindowType{1};
    if (blockSize == 0.02f) return transform::PPFWindowType{4};
    error(cls, "0.01 and 0.02 block size required: %f", static_cast<double>(blockSize));
}

}  // namespace velmora::mode
