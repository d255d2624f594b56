#pragma once
// TDE: aligns microphones and loudspeaker references in the time domain by delaying either all
// microphone channels or all reference channels by a whole number of samples. The offset is
// either fixed at construction or estimated once per hop by GCC-PHAT between the summed
// microphones and the summed references; the estimated offset is applied with a 20-sample
// margin so that the echo always trails its reference. At most one group is delayed at a time,
// by at most fftSize() / 2 samples. All storage is created by the constructor.

#include <memory>

namespace velmora {
class Params;
}

namespace velmora::aec {

class TDE {
  public:
    // Counts and offsets in samples. maxoffset < 1 selects the default analysis size (65536);
    // a non-zero refoffset switches estimation off and applies that offset (positive: the
    // microphones are delayed, negative: the references are).
    TDE(int nummics, int numrefs, int blocksize, int maxoffset, int refoffset);
    ~TDE();
    TDE(const TDE&) = delete;
    TDE& operator=(const TDE&) = delete;

    int numMics() const;
    int numRefs() const;
    int blockSize() const;
    // Transform length F of the correlation analysis.
    int fftSize() const;
    // Samples per analysis hop (a multiple of blockSize()).
    int hop() const;
    int blocksPerHop() const;
    // Number of cross-spectrum bins updated in block `idx` of a hop.
    int binSchedule(int idx) const;
    // True when the offset was fixed at construction.
    bool fixedOffset() const;
    // The offset in samples last estimated (or the fixed one), before the safety margin.
    float offset() const;
    // Current delays of the two delay lines in samples (at least one of them is 0).
    int micDelay() const;
    int refDelay() const;

    // One block of blockSize() frames of numMics() microphone samples followed by numRefs()
    // reference samples; writes the aligned block in the same layout. `out` may equal `in`.
    void process(const float* in, float* out);

    // Converts a configured time in seconds to samples as the pipelines do: the single-precision
    // product fs * seconds truncated toward zero. Products beyond the int range saturate and
    // NaN gives 0, so an absurd configuration reaches the constructor as a checkable value.
    static int toSamples(int fs, float seconds);

    // The estimator a configuration asks for (aec_tde_active, offsets in seconds at fsout), for
    // blocks of `blocksize` frames; null when it is off or there is no reference to align. The
    // offsets must lie within +-kMaxOffsetSeconds (the search range is not negative).
    static constexpr float kMaxOffsetSeconds = 10.0f;
    static std::unique_ptr<TDE> fromParams(const Params& p, int blocksize);

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
};

}  // namespace velmora::aec
