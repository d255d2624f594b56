#pragma once
// TDConvBlock: filters one sample stream with numChannelsOut() FIR filters of size() taps at
// once, giving one output per filter for every input sample:
//   out[i] = sum over j = 0 .. size-1 of h_i[j] * x[n - j]   (summed in order of j).
// Coefficients and history start at zero; the history persists between calls.

#include <memory>

namespace velmora::util {

class TDConvBlock {
  public:
    TDConvBlock(int numchout, int size);
    ~TDConvBlock();
    TDConvBlock(const TDConvBlock&) = delete;
    TDConvBlock& operator=(const TDConvBlock&) = delete;

    int numChannelsOut() const;
    int size() const;

    // Filter chidx gets min(count, size()) coefficients h[0], h[1], ...; the rest are zero.
    void setFilter(int chidx, const float* coeffs, int count);
    // One input sample in, numChannelsOut() output samples out.
    void process(float x, float* out);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::util
