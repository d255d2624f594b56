#pragma once
// TestItem: one check of the hardware test mode. An item consumes 16 kHz blocks of
// blockLength() frames (nummics microphones then numrefs references per frame), accumulates its
// statistics block by block, and prints its verdicts with report() at the end of the run.
// Items never modify the block they are given; only pass-through items write to `out`.

namespace velmora::mode {

class TestItem {
  public:
    virtual ~TestItem() = default;
    // Frames per block that the item consumes.
    virtual int blockLength() = 0;
    // One block, frame-major; `out` may be null (no output wanted).
    virtual void process(const float* block, float* out) = 0;
    // Prints the item's result to standard output.
    virtual void report() = 0;
};

}  // namespace velmora::mode
