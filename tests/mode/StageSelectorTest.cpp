// Stage selectors: algorithm numbers, constraints and their messages, and the selectors' own
// services (suppressor delay lines, localiser cache, activity mean, locks at start).

#include <gtest/gtest.h>

#include "common/TestUtil.h"

#include <functional>
#include <string>
#include <vector>

#include "Params.h"
#include "aec/AECInterface.h"
#include "agc/AGCInterface.h"
#include "bf/BFInterface.h"
#include "blas/ComplexMatrix.h"
#include "blas/Vector.h"
#include "common/AllocCounter.h"
#include "mode/AECAlgorithm.h"
#include "mode/AGCAlgorithm.h"
#include "mode/BFAlgorithm.h"
#include "mode/DRAlgorithm.h"
#include "mode/NSAlgorithm.h"
#include "mode/PFAlgorithm.h"
#include "mode/SSLAlgorithm.h"
#include "mode/VADAlgorithm.h"
#include "ns/NSInterface.h"
#include "pf/PFInterface.h"
#include "ssl/SSLInterface.h"
#include "vad/VADInterface.h"

using velmora::Params;
using velmora::blas::ComplexMatrix;
using velmora::blas::Vector;
using namespace velmora::mode;

using velmora::test::errorOf;

namespace {

// A small configuration that every selector accepts with pass-through stages.
Params passThrough() {
    Params p;
    p.nummics = 2;
    p.numrefs = 1;
    p.numouts = 1;
    p.aec_algorithm = 0;
    p.agc_algorithm = 0;
    return p;
}

const int K = 8;

TEST(AECAlgorithm, NumbersAndConstraints) {
    Params p = passThrough();
    AECAlgorithm bypass(&p, K);
    EXPECT_EQ(bypass.numMics(), 2);
    EXPECT_EQ(bypass.numRefs(), 1);
    EXPECT_EQ(bypass.numBins(), K);
    EXPECT_EQ(bypass.delay(), 0);

    p.aec_algorithm = 999;
    EXPECT_EQ(errorOf([&] { AECAlgorithm a(&p, K); }),
              "velmora, AECAlgorithm: Unsupported AEC algorithm: 999");
    p.numrefs = 0;  // without references any number gives the pass-through
    AECAlgorithm noRefs(&p, K);
    EXPECT_EQ(noRefs.numRefs(), 0);
    EXPECT_EQ(noRefs.numMics(), 2);

    p.numrefs = 3;
    for (int algo : {201, 202}) {
        p.aec_algorithm = algo;
        EXPECT_EQ(errorOf([&] { AECAlgorithm a(&p, K); }),
                  "velmora, AECAlgorithm: Mono or stereo references required: 3");
    }
}

TEST(AECAlgorithm, WithoutReferencesNearEndIsMicrophone) {
    Params p = passThrough();
    p.numrefs = 0;
    p.aec_algorithm = 201;
    AECAlgorithm aec(&p, K);
    ComplexMatrix mic(2, K), nearend(2, K), echo(2, K);
    mic.set(1, 3, 0.25f, -0.5f);
    echo.set(0, 0, 9.0f, 9.0f);
    velmora::test::AllocCounter count;
    aec.process(&mic, nullptr, &nearend, &echo);
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_EQ(nearend.get(1, 3), mic.get(1, 3));
    EXPECT_EQ(echo.get(0, 0), velmora::blas::Complex(9.0f, 9.0f));
}

TEST(DRAndPFAndAGCAlgorithm, UnknownNumbers) {
    Params p = passThrough();
    DRAlgorithm dr(&p, K);
    EXPECT_EQ(dr.numChannels(), 2);
    EXPECT_EQ(dr.numBins(), K);
    EXPECT_EQ(dr.delay(), 0);
    p.dr_algorithm = 7;
    EXPECT_EQ(errorOf([&] { DRAlgorithm d(&p, K); }),
              "velmora, DRAlgorithm: Unknown deverberation algorithm: 7\n");

    p = passThrough();
    VADAlgorithm vad(&p, K, nullptr);
    p.pf_algorithm = 9;
    EXPECT_EQ(errorOf([&] { PFAlgorithm f(&p, &vad); }),
              "velmora, PFAlgorithm: Unsupported PF algorithm: 9");

    p = passThrough();
    p.agc_algorithm = 4;
    EXPECT_EQ(errorOf([&] { AGCAlgorithm a(&p); }),
              "velmora, AGCAlgorithm: Unknown AGC algorithm: 4\n");
}

TEST(AGCAlgorithm, ChannelsAndFramesFromTheConfiguration) {
    Params p = passThrough();
    p.numouts = 2;
    p.block_size = 0.02f;
    AGCAlgorithm agc(&p);
    EXPECT_EQ(agc.numChannels(), 2);
    EXPECT_EQ(agc.blockSize(), 320);
    EXPECT_EQ(agc.delay(), 0);
    std::vector<float> in(640), out(640);
    for (size_t i = 0; i < in.size(); i++) in[i] = 0.001f * static_cast<float>(i);
    velmora::test::AllocCounter count;
    agc.process(in.data(), out.data());
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_EQ(out, in);
    p.block_size = 0.01f;
    EXPECT_EQ(AGCAlgorithm(&p).blockSize(), 160);
}

TEST(VADAlgorithm, NumbersAndPilotConstraints) {
    Params p = passThrough();
    p.vad_algorithm = 3;
    EXPECT_EQ(errorOf([&] { VADAlgorithm v(&p, K, nullptr); }),
              "velmora, VADAlgorithm: Pilot information required.");
    Vector pilots(2);
    p.numpilots = 2;
    EXPECT_EQ(errorOf([&] { VADAlgorithm v(&p, K, &pilots); }),
              "velmora, VADAlgorithm: Equal no. of output and pilot channels required: 1, 2");
    p.vad_algorithm = 100;
    EXPECT_EQ(errorOf([&] { VADAlgorithm v(&p, K, &pilots); }),
              "velmora, VADAlgorithm: Equal no. of output and pilot channels required: 1, 2");
    p.numouts = 2;
    EXPECT_EQ(errorOf([&] { VADAlgorithm v(&p, K, nullptr); }),
              "velmora, VADAlgorithm: Mono output required: 2");
    p.vad_algorithm = 5;
    EXPECT_EQ(errorOf([&] { VADAlgorithm v(&p, K, nullptr); }),
              "velmora, VADAlgorithm: Unknown VAD algorithm: 5");

    p.vad_algorithm = 0;
    VADAlgorithm bypass(&p, K, nullptr);
    EXPECT_EQ(bypass.numMics(), 2);
    EXPECT_EQ(bypass.numOuts(), 2);
    EXPECT_EQ(bypass.numBins(), K);
    EXPECT_EQ(bypass.vadValue(0), 0.0f);
    EXPECT_EQ(bypass.vadValue(1), 0.0f);
    EXPECT_DEATH(bypass.vadValue(2), "n >= 0 && n < pp->vad->numOuts\\(\\)");
}

// Speech probability (n + 1) * (k + 1) / 100 in every bin.
class RampVAD : public velmora::vad::VADInterface {
  public:
    int numMics() const override { return 2; }
    int numOuts() const override { return 2; }
    int numBins() const override { return 5; }
    int delay() const override { return 0; }
    float look(int) const override { return 0.0f; }
    void setLook(int, float) override {}
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void process(const ComplexMatrix*) override {}
    float speechProbability(int n, int k) const override { return (n + 1) * (k + 1) / 100.0f; }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}
};

TEST(VADAlgorithm, ActivityValueIsTheMeanOverBins) {
    VADAlgorithm vad(new RampVAD);
    float sum0 = 0.0f, sum1 = 0.0f;
    for (int k = 0; k < 5; k++) {
        sum0 += 1 * (k + 1) / 100.0f;
        sum1 += 2 * (k + 1) / 100.0f;
    }
    velmora::test::AllocCounter count;
    EXPECT_EQ(vad.vadValue(0), sum0 / 5.0f);
    EXPECT_EQ(vad.vadValue(1), sum1 / 5.0f);
    EXPECT_FLOAT_EQ(vad.vadValue(1), 0.06f);
    EXPECT_EQ(count.allocations(), 0);
}

// Records the look and lock calls it receives.
class RecordingBF : public velmora::bf::BFInterface {
  public:
    std::vector<std::string>* log;
    explicit RecordingBF(std::vector<std::string>* l) : log(l) {}
    int numMics() const override { return 2; }
    int numOuts() const override { return 1; }
    int numBins() const override { return K; }
    int delay() const override { return 0; }
    void lock(int n, const float* blocks) override {
        log->push_back("lock " + std::to_string(n) + (blocks ? " count" : " null"));
    }
    void unlock(int) override {}
    float look(int) const override { return 0.0f; }
    void setLook(int n, float azimuth) override {
        log->push_back("setLook " + std::to_string(n) + " " +
                       std::to_string(static_cast<int>(azimuth)));
    }
    void process(const ComplexMatrix*, ComplexMatrix*) override {}
    velmora::blas::ComplexTensor3* sslData() override { return nullptr; }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}
};

TEST(BFAlgorithm, NumbersAndConstraints) {
    Params p = passThrough();
    VADAlgorithm vad(&p, K, nullptr);
    auto bfError = [&](int algo) {
        p.bf_algorithm = algo;
        return errorOf([&] { BFAlgorithm b(&p, &vad); });
    };
    EXPECT_EQ(bfError(2), "velmora, BFAlgorithm: VAD required");
    EXPECT_EQ(bfError(302), "velmora, BFAlgorithm: VAD required");
    EXPECT_EQ(bfError(501), "velmora, BFAlgorithm: VAD required");
    EXPECT_EQ(bfError(200), "velmora, BFAlgorithm: VAD required");
    EXPECT_EQ(bfError(401), "velmora, BFAlgorithm: Stereo outputs required: 1");
    EXPECT_EQ(bfError(500), "velmora, BFAlgorithm: Equal no. of mics and outputs required: 2, 1");
    EXPECT_EQ(bfError(7), "velmora, BFAlgorithm: Unsupported beamforming algorithm: 7");

    p.vad_algorithm = 1;  // the check reads the configured number only
    p.nummics = 3;
    EXPECT_EQ(bfError(200), "velmora, BFAlgorithm: Stereo inputs required: 3");
    EXPECT_EQ(bfError(402), "velmora, BFAlgorithm: Stereo inputs required: 3");

    p = passThrough();
    p.numouts = 2;
    VADAlgorithm vad2(&p, K, nullptr);
    p.bf_algorithm = 303;
    EXPECT_EQ(errorOf([&] { BFAlgorithm b(&p, &vad2); }),
              "velmora, BFAlgorithm: Mono output required: 2");
    p.numouts = 1;  // the detector still has two outputs
    EXPECT_EQ(errorOf([&] { BFAlgorithm b(&p, &vad2); }),
              "velmora, BFAlgorithm: No. of vad outputs not match: 2, 1");
}

TEST(BFAlgorithm, OneMicrophoneAlwaysPassesThrough) {
    Params p = passThrough();
    p.nummics = 1;
    p.bf_algorithm = 500;
    VADAlgorithm vad(&p, K, nullptr);
    BFAlgorithm bf(&p, &vad);
    EXPECT_EQ(bf.numMics(), 1);
    EXPECT_EQ(bf.numOuts(), 1);
    EXPECT_EQ(bf.numBins(), K);
    EXPECT_EQ(bf.delay(), 0);
    EXPECT_EQ(bf.sslData(), nullptr);
    ComplexMatrix in(1, K), out(1, K);
    in.set(0, 5, 0.5f, 0.25f);
    velmora::test::AllocCounter count;
    bf.process(&in, &out);
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_EQ(out.get(0, 5), in.get(0, 5));
}

TEST(BFAlgorithm, SteersAndLocksOutputZeroAfterBuilding) {
    Params p = passThrough();
    p.bf_look = 60.0f;
    std::vector<std::string> log;
    { BFAlgorithm bf(&p, new RecordingBF(&log)); }
    EXPECT_EQ(log, std::vector<std::string>({"setLook 0 60"}));
    log.clear();
    p.bf_islocked = true;
    { BFAlgorithm bf(&p, new RecordingBF(&log)); }
    EXPECT_EQ(log, std::vector<std::string>({"setLook 0 60", "lock 0 null"}));
}

// Post-filter of three channels that records its locks.
class RecordingPF : public velmora::pf::PFInterface {
  public:
    std::vector<std::string>* log;
    explicit RecordingPF(std::vector<std::string>* l) : log(l) {}
    int numChannels() const override { return 3; }
    int numBins() const override { return K; }
    int delay() const override { return 0; }
    void process(ComplexMatrix*) override {}
    void lock(int n, const float* blocks) override {
        log->push_back("lock " + std::to_string(n) + (blocks ? " count" : " null"));
    }
    void unlock(int) override {}
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}
};

TEST(PFAlgorithm, LocksEveryChannelAtStartWhenConfigured) {
    Params p = passThrough();
    std::vector<std::string> log;
    { PFAlgorithm pf(&p, new RecordingPF(&log)); }
    EXPECT_TRUE(log.empty());
    p.bf_islocked = true;
    { PFAlgorithm pf(&p, new RecordingPF(&log)); }
    EXPECT_EQ(log, std::vector<std::string>({"lock 0 null", "lock 1 null", "lock 2 null"}));

    VADAlgorithm vad(&p, K, nullptr);
    PFAlgorithm bypass(&p, &vad);  // the pass-through accepts the locks
    EXPECT_EQ(bypass.numChannels(), 1);
    EXPECT_EQ(bypass.delay(), 0);
}

// Localiser that counts its scans; output n points at 10 * n + (number of blocks seen).
class CountingSSL : public velmora::ssl::SSLInterface {
  public:
    int* scans;
    int blocks = 0;
    explicit CountingSSL(int* s) : scans(s) {}
    int numMics() const override { return 2; }
    int numOuts() const override { return 2; }
    int numBins() const override { return K; }
    int numScans() const override { return 36; }
    void process(const ComplexMatrix*) override { blocks++; }
    float direction(int n, int* index, float* value) override {
        EXPECT_EQ(index, nullptr);
        EXPECT_EQ(value, nullptr);
        ++*scans;
        return 10.0f * n + blocks;
    }
    void reset() override { blocks = 0; }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}
};

TEST(SSLAlgorithm, ScansAtMostOncePerBlockAndOutput) {
    int scans = 0;
    SSLAlgorithm ssl(new CountingSSL(&scans));
    ComplexMatrix block(2, K);
    ssl.process(&block);
    velmora::test::AllocCounter count;
    EXPECT_EQ(ssl.direction(1), 11.0f);
    EXPECT_EQ(ssl.direction(1), 11.0f);
    EXPECT_EQ(scans, 1);
    EXPECT_EQ(ssl.direction(0), 1.0f);
    EXPECT_EQ(scans, 2);
    ssl.process(&block);
    EXPECT_EQ(scans, 2);  // nothing is scanned until asked
    EXPECT_EQ(ssl.direction(1), 12.0f);
    EXPECT_EQ(ssl.direction(1), 12.0f);
    EXPECT_EQ(scans, 3);
    ssl.reset();  // statistics forgotten: the next answer comes from the localiser
    EXPECT_EQ(ssl.direction(1), 10.0f);
    EXPECT_EQ(scans, 4);
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_DEATH(ssl.direction(2), "n >= 0 && n < pp->ssl->numOuts\\(\\)");
}

TEST(SSLAlgorithm, PassThroughAndNumbers) {
    Params p = passThrough();
    p.numouts = 2;
    VADAlgorithm vad(&p, K, nullptr);
    BFAlgorithm bf(&p, &vad);
    SSLAlgorithm ssl(&p, &vad, &bf);
    EXPECT_EQ(ssl.numOuts(), 2);
    ComplexMatrix block(2, K);
    ssl.process(&block);
    EXPECT_EQ(ssl.direction(0), 0.0f);
    EXPECT_EQ(ssl.direction(1), 0.0f);
    p.ssl_algorithm = 2;
    EXPECT_EQ(errorOf([&] { SSLAlgorithm s(&p, &vad, &bf); }),
              "velmora, SSLAlgorithm: Unknown SSL algorithm: 2");
    p.numouts = 0;
    EXPECT_DEATH(SSLAlgorithm(&p, &vad, &bf), "params->numouts > 0");
}

// Suppressor that keeps, per block, the first reference and echo value it was handed.
class RecordingNS : public velmora::ns::NSInterface {
  public:
    std::vector<float> refSeen, echoSeen;
    int echoRows = -1;
    bool refNull = false;
    int numChannels() const override { return 1; }
    int numRefs() const override { return 1; }
    int numBins() const override { return K; }
    int delay() const override { return 0; }
    void lock(int, const float*) override {}
    void unlock(int) override {}
    void process(ComplexMatrix*, const ComplexMatrix* ref, const ComplexMatrix* echo) override {
        refNull = ref == nullptr;
        if (ref) refSeen.push_back(ref->real(0, 3));
        echoSeen.push_back(echo->real(0, 3));
        echoRows = echo->numRows();
    }
    void hook1(int32_t) override {}
    void hook2(int32_t) override {}
};

TEST(NSAlgorithm, DelayLinesAlignReferenceAndEcho) {
    Params p = passThrough();
    p.nummics = 2;
    auto* rec = new RecordingNS;
    rec->refSeen.reserve(8);
    rec->echoSeen.reserve(8);
    NSAlgorithm ns(&p, rec, 2, 1);
    ComplexMatrix nearend(1, K), ref(1, K), echo(2, K);
    velmora::test::AllocCounter count;
    for (int b = 1; b <= 5; b++) {
        ref.set(0, 3, 100.0f + b, 0.0f);
        echo.set(0, 3, 200.0f + b, 0.0f);
        echo.set(1, 3, 300.0f + b, 0.0f);
        ns.process(&nearend, &ref, &echo);
    }
    EXPECT_EQ(count.allocations(), 0);
    // Block 3 sees the reference of block 1, zeros before; the echo is one block late.
    EXPECT_EQ(rec->refSeen, std::vector<float>({0.0f, 0.0f, 101.0f, 102.0f, 103.0f}));
    EXPECT_EQ(rec->echoSeen, std::vector<float>({0.0f, 201.0f, 202.0f, 203.0f, 204.0f}));
    EXPECT_EQ(rec->echoRows, 1);  // only the channels being cleaned
    EXPECT_EQ(ns.delayedReference()->real(0, 3), 103.0f);
    EXPECT_EQ(ns.delayedEcho()->real(0, 3), 204.0f);

    ns.process(&nearend, nullptr, nullptr);  // no reference given; echo silent
    EXPECT_TRUE(rec->refNull);
    EXPECT_EQ(rec->echoSeen.back(), 205.0f);
}

TEST(NSAlgorithm, ZeroDelaysAndPassThrough) {
    Params p = passThrough();
    p.ns_algorithm = 999;
    EXPECT_EQ(errorOf([&] { NSAlgorithm n(&p, 1, K, 0, 0, nullptr); }),
              "velmora, NSAlgorithm: Unsupported NS algorithm: 999");
    p.numrefs = 0;  // without references any number gives the pass-through
    NSAlgorithm ns(&p, 1, K, 0, 0, nullptr);
    EXPECT_EQ(ns.numChannels(), 1);
    EXPECT_EQ(ns.numRefs(), 0);
    EXPECT_EQ(ns.numBins(), K);
    EXPECT_EQ(ns.delay(), 0);
    EXPECT_EQ(ns.delayedReference(), nullptr);
    ComplexMatrix nearend(1, K), echo(2, K);
    nearend.set(0, 2, 0.5f, 0.5f);
    echo.set(0, 2, 7.0f, 0.0f);
    ns.process(&nearend, nullptr, &echo);
    EXPECT_EQ(nearend.get(0, 2), velmora::blas::Complex(0.5f, 0.5f));
    EXPECT_EQ(ns.delayedEcho()->real(0, 2), 7.0f);  // delay 0: the block itself

    EXPECT_DEATH(NSAlgorithm(&p, 0, K, 0, 0, nullptr), "numchs > 0");
    EXPECT_DEATH(NSAlgorithm(&p, 1, 0, 0, 0, nullptr), "numbins > 0");
    EXPECT_DEATH(NSAlgorithm(&p, 1, K, -1, 0, nullptr), "refdelay >= 0");
    EXPECT_DEATH(NSAlgorithm(&p, 1, K, 0, -1, nullptr), "echodelay >= 0");
    EXPECT_EQ(errorOf([&] { NSAlgorithm n(&p, 3, K, 0, 0, nullptr); }),
              "velmora, NSAlgorithm: Invalid numouts: 3, allowed 1 to 2");
}

}  // namespace
