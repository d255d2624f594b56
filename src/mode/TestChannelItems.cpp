#include "mode/TestChannelItems.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "Params.h"
#include "util/Check.h"

namespace velmora::mode {

namespace {

const char* verdict(bool failed) {
    return failed ? "FAILED" : "PASSED";
}

int framesPerBlock(const Params* p) {
    return static_cast<int>(static_cast<float>(p->fsout) * p->block_size);
}

// Group label and index of channel c: microphones first, then references, each numbered from 0.
struct Label {
    const char* group;
    int index;
};
Label labelOf(int c, int mics) {
    return c < mics ? Label{"MIC", c} : Label{"REF", c - mics};
}

// Calls f(i, j, label) for every pair i < j of microphones, then of references (channel indices
// over all channels).
template <typename F>
void forEachPair(int mics, int refs, F f) {
    for (int i = 0; i < mics; ++i)
        for (int j = i + 1; j < mics; ++j) f(i, j, "MIC", i, j);
    for (int i = 0; i < refs; ++i)
        for (int j = i + 1; j < refs; ++j) f(mics + i, mics + j, "REF", i, j);
}

int numPairs(int mics, int refs) {
    return mics * (mics - 1) / 2 + refs * (refs - 1) / 2;
}

}  // namespace

double similarity(const float* a, const float* b, int count, int stride) {
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (int n = 0; n < count; ++n) {
        const double x = a[static_cast<size_t>(n) * stride];
        const double y = b[static_cast<size_t>(n) * stride];
        ab += x * y;
        aa += x * x;
        bb += y * y;
    }
    const double denominator = std::sqrt(aa) * std::sqrt(bb);
    return denominator < 1e-6 ? 1.0 : std::fabs(ab) / denominator;
}

// ---------------------------------------------------------------------------------------------

struct TestSaturation::Impl {
    int mics, refs, frames;
    double level;
    float maxRate;
    long long blocks = 0;
    std::vector<long long> clipped;  // per channel
};

TestSaturation::TestSaturation(const Params* params) : pp(std::make_unique<Impl>()) {
    util::requireRange("TestSaturation", "test_saturation_level", params->test_saturation_level,
                       0.0f, 1.0f);
    util::requireRange("TestSaturation", "test_max_saturation_rate",
                       params->test_max_saturation_rate, 0.0f, 1.0f);
    pp->mics = params->nummics;
    pp->refs = params->numrefs;
    pp->frames = framesPerBlock(params);
    pp->level = params->test_saturation_level;
    pp->maxRate = params->test_max_saturation_rate;
    pp->clipped.assign(static_cast<size_t>(pp->mics + pp->refs), 0);
}

TestSaturation::~TestSaturation() = default;

int TestSaturation::blockLength() {
    return pp->frames;
}

void TestSaturation::process(const float* block, float*) {
    Impl& s = *pp;
    const int nc = s.mics + s.refs;
    for (int c = 0; c < nc; ++c) {
        long long count = 0;
        for (int n = 0; n < s.frames; ++n)
            count +=
                std::fabs(static_cast<double>(block[static_cast<size_t>(n) * nc + c])) > s.level;
        s.clipped[c] += count;
    }
    ++s.blocks;
}

void TestSaturation::report() {
    const Impl& s = *pp;
    std::printf("Saturation Test\n");
    std::printf("test_saturation_level = %f\n", s.level);
    std::printf("test_max_saturation_rate = %f\n", static_cast<double>(s.maxRate));
    std::printf("\n");
    std::printf("Channel\t\tSaturation Rate\t\tResult\n");
    const double samples = static_cast<double>(s.frames) * static_cast<double>(s.blocks);
    for (int c = 0; c < s.mics + s.refs; ++c) {
        const double rate = s.blocks > 0 ? static_cast<double>(s.clipped[c]) / samples : 0.0;
        const Label l = labelOf(c, s.mics);
        std::printf("%s %d\t\t%f\t\t%s\n", l.group, l.index, rate,
                    verdict(s.blocks == 0 || rate > s.maxRate));
    }
}

// ---------------------------------------------------------------------------------------------

struct TestDiscontinuity::Impl {
    int mics, refs, frames;
    float level, maxRate;
    long long blocks = 0;
    std::vector<float> last;            // last sample of each channel in the previous block
    std::vector<long long> jumpBlocks;  // per channel
    std::vector<double> diff;           // scratch: the differences of one channel
};

TestDiscontinuity::TestDiscontinuity(const Params* params) : pp(std::make_unique<Impl>()) {
    util::requireRange("TestDiscontinuity", "test_discontinuity_level",
                       params->test_discontinuity_level, 0.0f, 1.0e6f);
    util::requireRange("TestDiscontinuity", "test_max_discontinuity_rate",
                       params->test_max_discontinuity_rate, 0.0f, 1.0f);
    Impl& s = *pp;
    s.mics = params->nummics;
    s.refs = params->numrefs;
    s.frames = framesPerBlock(params);
    s.level = params->test_discontinuity_level;
    s.maxRate = params->test_max_discontinuity_rate;
    s.last.assign(static_cast<size_t>(s.mics + s.refs), 0.0f);
    s.jumpBlocks.assign(static_cast<size_t>(s.mics + s.refs), 0);
    s.diff.assign(static_cast<size_t>(s.frames), 0.0);
}

TestDiscontinuity::~TestDiscontinuity() = default;

int TestDiscontinuity::blockLength() {
    return pp->frames;
}

void TestDiscontinuity::process(const float* block, float*) {
    Impl& s = *pp;
    const int nc = s.mics + s.refs;
    const int n = s.frames;
    for (int c = 0; c < nc; ++c) {
        double previous = s.last[c];
        double mean = 0.0;
        for (int t = 0; t < n; ++t) {
            const double x = block[static_cast<size_t>(t) * nc + c];
            s.diff[t] = x - previous;
            previous = x;
            mean += s.diff[t];
        }
        s.last[c] = static_cast<float>(previous);
        mean /= n;
        double var = 0.0;
        double peak = 0.0;
        for (int t = 0; t < n; ++t) {
            var += (s.diff[t] - mean) * (s.diff[t] - mean);
            peak = std::fmax(peak, std::fabs(s.diff[t]));
        }
        const double sd = std::sqrt(var / n);
        if (peak > sd * s.level) ++s.jumpBlocks[c];
    }
    ++s.blocks;
}

void TestDiscontinuity::report() {
    const Impl& s = *pp;
    std::printf("Discontinuity Test\n");
    std::printf("test_discontinuity_level = %f\n", static_cast<double>(s.level));
    std::printf("test_max_discontinuity_rate = %f\n", static_cast<double>(s.maxRate));
    std::printf("\n");
    std::printf("Channel\t\tDiscontinuity Rate\tResult\n");
    for (int c = 0; c < s.mics + s.refs; ++c) {
        const double rate =
            s.blocks > 0 ? static_cast<double>(s.jumpBlocks[c]) / static_cast<double>(s.blocks)
                         : 0.0;
        const Label l = labelOf(c, s.mics);
        std::printf("%s %d\t\t%f\t\t%s\n", l.group, l.index, rate,
                    verdict(s.blocks == 0 || rate > s.maxRate));
    }
}

// ---------------------------------------------------------------------------------------------

struct TestSimilarity::Impl {
    int mics, refs, frames;
    float maxSimilarity;
    long long blocks = 0;
    std::vector<double> sums;  // per pair, in report order
};

TestSimilarity::TestSimilarity(const Params* params) : pp(std::make_unique<Impl>()) {
    util::requireRange("TestSimilarity", "test_max_similarity", params->test_max_similarity, 0.0f,
                       1.0f);
    Impl& s = *pp;
    s.mics = params->nummics;
    s.refs = params->numrefs;
    s.frames = framesPerBlock(params);
    s.maxSimilarity = params->test_max_similarity;
    s.sums.assign(static_cast<size_t>(numPairs(s.mics, s.refs)), 0.0);
}

TestSimilarity::~TestSimilarity() = default;

int TestSimilarity::blockLength() {
    return pp->frames;
}

void TestSimilarity::process(const float* block, float*) {
    Impl& s = *pp;
    const int nc = s.mics + s.refs;
    size_t k = 0;
    forEachPair(s.mics, s.refs, [&](int a, int b, const char*, int, int) {
        s.sums[k++] += similarity(block + a, block + b, s.frames, nc);
    });
    ++s.blocks;
}

void TestSimilarity::report() {
    const Impl& s = *pp;
    std::printf("Similarity Test\n");
    std::printf("test_max_similarity = %f\n", static_cast<double>(s.maxSimilarity));
    std::printf("\n");
    std::printf("Channel\t\tSimilarity\t\tResult\n");
    size_t k = 0;
    forEachPair(s.mics, s.refs, [&](int, int, const char* group, int i, int j) {
        const double mean = s.blocks > 0 ? s.sums[k] / static_cast<double>(s.blocks) : 0.0;
        ++k;
        std::printf("%s %d,%d\t\t%f\t\t%s\n", group, i, j, mean,
                    verdict(s.blocks == 0 || mean > s.maxSimilarity));
    });
}

// ---------------------------------------------------------------------------------------------

struct TestAmpDiff::Impl {
    int mics, refs, frames;
    float maxRate;
    long long blocks = 0;
    std::vector<double> energy;  // per channel, summed over all blocks
};

TestAmpDiff::TestAmpDiff(const Params* params) : pp(std::make_unique<Impl>()) {
    util::requireRange("TestAmpDiff", "test_max_amp_diff_rate", params->test_max_amp_diff_rate,
                       0.0f, 1.0e6f);
    Impl& s = *pp;
    s.mics = params->nummics;
    s.refs = params->numrefs;
    s.frames = framesPerBlock(params);
    s.maxRate = params->test_max_amp_diff_rate;
    s.energy.assign(static_cast<size_t>(s.mics + s.refs), 0.0);
}

TestAmpDiff::~TestAmpDiff() = default;

int TestAmpDiff::blockLength() {
    return pp->frames;
}

void TestAmpDiff::process(const float* block, float*) {
    Impl& s = *pp;
    const int nc = s.mics + s.refs;
    for (int c = 0; c < nc; ++c) {
        double sum = 0.0;
        for (int t = 0; t < s.frames; ++t) {
            const double x = block[static_cast<size_t>(t) * nc + c];
            sum += x * x;
        }
        s.energy[c] += sum;
    }
    ++s.blocks;
}

void TestAmpDiff::report() {
    const Impl& s = *pp;
    std::printf("Amplitude Difference Test\n");
    std::printf("test_max_amp_diff_rate = %f\n", static_cast<double>(s.maxRate));
    std::printf("\n");
    std::printf("Channel\t\tAmp Diff Rate\t\tResult\n");
    const double samples = static_cast<double>(s.frames) * static_cast<double>(s.blocks);
    auto rms = [&](int c) { return s.blocks > 0 ? std::sqrt(s.energy[c] / samples) : 0.0; };
    forEachPair(s.mics, s.refs, [&](int a, int b, const char* group, int i, int j) {
        const double ra = rms(a), rb = rms(b);
        double rate = 0.0;
        if (ra >= 1e-6)
            rate = std::fabs(ra - rb) / ra;
        else if (rb >= 1e-6)
            rate = 1.0;
        std::printf("%s %d,%d\t\t%f\t\t%s\n", group, i, j, rate,
                    verdict(s.blocks == 0 || rate > s.maxRate));
    });
}

}  // namespace velmora::mode
