#include "mode/TestFreq.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "Params.h"
#include "blas/ComplexMatrix.h"
#include "mode/HPF.h"
#include "mode/TestChannelItems.h"
#include "transform/PPFBankAnalyzer.h"

namespace velmora::mode {

namespace {

constexpr double kFloorDb = -75.0;

}  // namespace

struct TestFreq::Impl {
    int mics, channels, hop, bins;
    float minSimilarity;
    bool printDetail;
    long long blocks = 0;
    std::vector<float> lower, upper;  // mask per bin
    std::unique_ptr<HPF> hpf;
    std::unique_ptr<transform::PPFBankAnalyzer> analyzer;
    std::unique_ptr<blas::ComplexMatrix> spectra;
    std::vector<float> filtered;  // hop x channels
    std::vector<double> power;    // mics x bins, accumulated
};

TestFreq::TestFreq(const Params* params) : pp(std::make_unique<Impl>()) {
    Impl& s = *pp;
    s.mics = params->nummics;
    s.channels = params->nummics + params->numrefs;
    s.hop = static_cast<int>(static_cast<float>(params->fsout) * params->block_size);
    s.minSimilarity = params->test_freqdb_min_similarity;
    s.printDetail = params->test_print_detail;
    s.hpf = std::make_unique<HPF>(s.channels, params->hpf_power);
    s.analyzer = std::make_unique<transform::PPFBankAnalyzer>(s.channels, s.hop);
    s.bins = s.analyzer->numBins();
    s.spectra = std::make_unique<blas::ComplexMatrix>(s.channels, s.bins);
    s.filtered.assign(static_cast<size_t>(s.hop) * s.channels, 0.0f);
    s.power.assign(static_cast<size_t>(s.mics) * s.bins, 0.0);
    s.lower.resize(s.bins);
    s.upper.resize(s.bins);
    for (int j = 0; j < s.bins; ++j) {
        const int entry =
            std::min(kNumFreqDbValues - 1,
                     static_cast<int>(static_cast<long long>(j) * kNumFreqDbValues / s.bins));
        s.lower[j] = params->test_freqdb_lower[entry];
        s.upper[j] = params->test_freqdb_upper[entry];
    }
}

TestFreq::~TestFreq() = default;

int TestFreq::blockLength() {
    return pp->hop;
}

void TestFreq::process(const float* block, float*) {
    Impl& s = *pp;
    s.hpf->process(block, s.filtered.data(), s.hop);
    s.analyzer->analyze(s.filtered.data(), s.spectra.get());
    const blas::Complex* const* x = static_cast<const blas::ComplexMatrix&>(*s.spectra).data();
    for (int c = 0; c < s.mics; ++c) {
        double* acc = s.power.data() + static_cast<size_t>(c) * s.bins;
        for (int j = 0; j < s.bins; ++j) acc[j] += std::norm(x[c][j]);
    }
    ++s.blocks;
}

void TestFreq::report() {
    Impl& s = *pp;
    const bool none = s.blocks == 0;
    std::vector<float> db(s.power.size());
    for (size_t i = 0; i < db.size(); ++i) {
        const double p = none ? 0.0 : s.power[i] / static_cast<double>(s.blocks);
        db[i] = static_cast<float>(p > 0.0 ? std::max(10.0 * std::log10(p), kFloorDb) : kFloorDb);
    }
    auto curve = [&](int c) { return db.data() + static_cast<size_t>(c) * s.bins; };

    std::printf("Test Frequency Response Similarity\n");
    std::printf("test_freqdb_min_similarity = %f\n", static_cast<double>(s.minSimilarity));
    std::printf("\n");
    std::printf("Channel\t\tSimilarity\t\tResult\n");
    for (int i = 0; i < s.mics; ++i) {
        for (int j = i + 1; j < s.mics; ++j) {
            const double sim = similarity(curve(i), curve(j), s.bins, 1);
            std::printf("MIC %d,%d\t\t%f\t\t%s\n", i, j, sim,
                        none || sim < s.minSimilarity ? "FAILED" : "PASSED");
        }
    }

    std::printf("\n");
    std::printf("Test Frequency Response Interval\n");
    std::printf("\n");
    std::printf("Channel\t\tResult\n");
    for (int c = 0; c < s.mics; ++c) {
        bool outside = none;
        const float* v = curve(c);
        for (int j = 0; j < s.bins; ++j) outside |= v[j] < s.lower[j] || v[j] > s.upper[j];
        std::printf("MIC %d\t\t%s\n", c, outside ? "FAILED" : "PASSED");
    }

    if (s.printDetail) {
        std::printf("\n");
        std::printf("Frequency Responses (dB):\n");
        std::printf("\n");
        for (int c = 0; c < s.mics; ++c) std::printf(c ? " MIC%d" : "MIC%d", c);
        std::printf("\n");
        for (int j = 0; j < s.bins; ++j) {
            for (int c = 0; c < s.mics; ++c)
                std::printf(c ? " %f" : "%f", static_cast<double>(curve(c)[j]));
            std::printf("\n");
        }
    }
}

}  // namespace velmora::mode
