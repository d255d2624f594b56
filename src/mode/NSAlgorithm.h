#pragma once
// NSAlgorithm: the pipeline's handle on the residual-echo and noise suppressor. Builds the
// suppressor named by ns_algorithm (the pass-through whenever there is no reference channel),
// owns it, and keeps two delay lines so that the reference block reaches the suppressor refdelay
// blocks late and the echo estimate echodelay blocks late, in step with the block that has
// travelled through the later stages. Only the first numchs rows of the delayed echo estimate
// are handed on. The lines start zeroed and are allocated once, at construction.

#include <memory>

namespace velmora {
class Params;
}
namespace velmora::blas {
class ComplexMatrix;
}
namespace velmora::ns {
class NSInterface;
}

namespace velmora::mode {

class VADAlgorithm;

class NSAlgorithm {
  public:
    // numchs: channels to clean (at most nummics); refdelay, echodelay: delays in blocks;
    // vad: the detector selector, or null when there is none (not owned).
    NSAlgorithm(const Params* params, int numchs, int numbins, int refdelay, int echodelay,
                VADAlgorithm* vad);
    // Adopts an already built suppressor (owned from now on) and builds the delay lines for its
    // channel and bin counts.
    NSAlgorithm(const Params* params, ns::NSInterface* stage, int refdelay, int echodelay);
    ~NSAlgorithm();
    NSAlgorithm(const NSAlgorithm&) = delete;
    NSAlgorithm& operator=(const NSAlgorithm&) = delete;

    int numChannels() const;
    int numRefs() const;
    int numBins() const;
    // Delay added by the suppressor, in blocks.
    int delay() const;
    void lock(int n, const float* blocks);
    void unlock(int n);
    // Cleans `nearend` (numChannels() x numBins()) in place. `ref` (numrefs x K, or null) and
    // `echo` (nummics x K, or null for silence) are pushed into the delay lines first; the
    // suppressor sees their delayed versions.
    void process(blas::ComplexMatrix* nearend, const blas::ComplexMatrix* ref,
                 const blas::ComplexMatrix* echo);

    // The delayed blocks of the last process(): the references (null without references) and
    // the first numChannels() rows of the echo estimate. Valid until the next process().
    const blas::ComplexMatrix* delayedReference() const;
    const blas::ComplexMatrix* delayedEcho() const;

    // The suppressor itself (owned by this selector).
    ns::NSInterface* stage();

  private:
    struct Impl;
    std::unique_ptr<Impl> pp;
    void buildLines(const Params* params, int numchs, int numbins, int refdelay, int echodelay);
};

}  // namespace velmora::mode
