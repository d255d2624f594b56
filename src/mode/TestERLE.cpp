#include "mode/TestERLE.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "Params.h"
#include "aec/TDE.h"
#include "blas/ComplexMatrix.h"
#include "mode/AECAlgorithm.h"
#include "mode/HPF.h"
#include "mode/NSAlgorithm.h"
#include "mode/TDEchoSlot.h"
#include "transform/PPFBankAnalyzer.h"
#include "transform/PPFBankSynthesizer.h"

namespace velmora::mode {

namespace {

constexpr double kFloorDb = -75.0;
constexpr double kMinActivityDb = -40.0;  // reference activity for a block to count

double erle(double in, double out) {
    if (out < 1e-6) return kFloorDb;
    const double ratio = in / out;
    return ratio > 0.0 ? std::max(10.0 * std::log10(ratio), kFloorDb) : kFloorDb;
}

}  // namespace

struct TestERLE::Impl {
    int mics, refs, channels, hop;
    Params stageParams;
    std::unique_ptr<HPF> hpf;
    std::unique_ptr<aec::TDE> tde;
    std::unique_ptr<transform::PPFBankAnalyzer> analyzer;
    std::unique_ptr<transform::PPFBankSynthesizer> synthesizer;
    std::unique_ptr<AECAlgorithm> aec;
    std::unique_ptr<TDEchoSlot> tdEcho;  // time-domain canceller, when aec_algorithm has one
    std::unique_ptr<NSAlgorithm> ns;
    std::unique_ptr<blas::ComplexMatrix> allIn, micsIn, refsIn, nearEnd, echoEst;
    std::vector<float> filtered;  // hop x channels
    std::vector<float> cleaned;   // hop x mics
    std::vector<double> inSum, outSum, blockEnergy;

    explicit Impl(const Params& p) : stageParams(p) {}
};

TestERLE::TestERLE(const Params* params) : pp(std::make_unique<Impl>(*params)) {
    Impl& s = *pp;
    const Params& p = s.stageParams;
    s.mics = p.nummics;
    s.refs = p.numrefs;
    s.channels = s.mics + s.refs;
    s.hop = static_cast<int>(static_cast<float>(p.fsout) * p.block_size);
    s.hpf = std::make_unique<HPF>(s.channels, p.hpf_power);
    s.tde = aec::TDE::fromParams(p, s.hop);
    s.analyzer = std::make_unique<transform::PPFBankAnalyzer>(s.channels, s.hop);
    s.synthesizer = std::make_unique<transform::PPFBankSynthesizer>(s.mics, s.hop);
    const int bins = s.analyzer->numBins();
    s.aec = std::make_unique<AECAlgorithm>(&p, bins);
    s.tdEcho = TDEchoSlot::make(s.aec.get(), *s.analyzer);
    s.ns = std::make_unique<NSAlgorithm>(&p, s.mics, bins, s.aec->delay(), 0, nullptr);
    s.allIn = std::make_unique<blas::ComplexMatrix>(s.channels, bins);
    s.micsIn = std::make_unique<blas::ComplexMatrix>(s.mics, bins, true);
    s.allIn->rowsView(0, s.micsIn.get());
    if (s.refs > 0) {
        s.refsIn = std::make_unique<blas::ComplexMatrix>(s.refs, bins, true);
        s.allIn->rowsView(s.mics, s.refsIn.get());
    }
    s.nearEnd = std::make_unique<blas::ComplexMatrix>(s.mics, bins);
    s.echoEst = std::make_unique<blas::ComplexMatrix>(s.mics, bins);
    s.nearEnd->fill(0.0f, 0.0f);
    s.echoEst->fill(0.0f, 0.0f);
    s.filtered.assign(static_cast<size_t>(s.hop) * s.channels, 0.0f);
    s.cleaned.assign(static_cast<size_t>(s.hop) * s.mics, 0.0f);
    s.inSum.assign(static_cast<size_t>(s.mics), 0.0);
    s.outSum.assign(static_cast<size_t>(s.mics), 0.0);
    s.blockEnergy.assign(static_cast<size_t>(s.mics), 0.0);
}

TestERLE::~TestERLE() = default;

int TestERLE::blockLength() {
    return pp->hop;
}

void TestERLE::process(const float* block, float*) {
    Impl& s = *pp;
    for (int c = 0; c < s.mics; ++c) {
        double e = 0.0;
        for (int t = 0; t < s.hop; ++t) {
            const double x = block[static_cast<size_t>(t) * s.channels + c];
            e += x * x;
        }
        s.blockEnergy[c] = e;
    }

    s.hpf->process(block, s.filtered.data(), s.hop);
    if (s.tde) s.tde->process(s.filtered.data(), s.filtered.data());
    // The energy of the input is taken above, before any time-domain cancellation.
    if (s.tdEcho) s.tdEcho->process(s.filtered.data(), s.channels);
    s.analyzer->analyze(s.filtered.data(), s.allIn.get());
    bool counts = false;
    if (s.refs > 0) {
        const int bins = s.refsIn->numColumns();
        const blas::Complex* const* r = static_cast<const blas::ComplexMatrix&>(*s.refsIn).data();
        double power = 0.0;
        for (int i = 0; i < s.refs; ++i)
            for (int k = 0; k < bins; ++k) power += std::norm(r[i][k]);
        power /= static_cast<double>(s.refs) * bins;
        const double db = power > 0.0 ? std::max(10.0 * std::log10(power), kFloorDb) : kFloorDb;
        counts = db >= kMinActivityDb;
    }

    s.aec->process(s.micsIn.get(), s.refsIn.get(), s.nearEnd.get(), s.echoEst.get());
    if (s.tdEcho) s.echoEst->copy(s.tdEcho->echo());
    s.ns->process(s.nearEnd.get(), s.refsIn.get(), s.echoEst.get());
    s.synthesizer->synthesize(s.nearEnd.get(), s.cleaned.data());

    if (!counts) return;
    for (int c = 0; c < s.mics; ++c) {
        double e = 0.0;
        for (int t = 0; t < s.hop; ++t) {
            const double y = s.cleaned[static_cast<size_t>(t) * s.mics + c];
            e += y * y;
        }
        s.inSum[c] += s.blockEnergy[c];
        s.outSum[c] += e;
    }
}

void TestERLE::report() {
    const Impl& s = *pp;
    std::printf("Test ERLE (Echo Return Loss Enhancement)\n");
    std::printf("\n");
    std::printf("Channel\t\tERLE (dB)\n");
    double in = 0.0, out = 0.0;
    for (int c = 0; c < s.mics; ++c) {
        std::printf("MIC %d\t\t%f\n", c, erle(s.inSum[c], s.outSum[c]));
        in += s.inSum[c];
        out += s.outSum[c];
    }
    std::printf("Average\t\t%f\n", erle(in, out));
}

}  // namespace velmora::mode
