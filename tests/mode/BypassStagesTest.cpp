// The pass-through members of the eight stage families.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "aec/AECBypass.h"
#include "agc/AGCBypass.h"
#include "bf/BFBypass.h"
#include "blas/ComplexMatrix.h"
#include "common/AllocCounter.h"
#include "dr/DRBypass.h"
#include "ns/NSBypass.h"
#include "pf/PFBypass.h"
#include "ssl/SSLBypass.h"
#include "vad/VADBypass.h"

using velmora::blas::ComplexMatrix;
using velmora::test::AllocCounter;

namespace {

void fillPattern(ComplexMatrix* m, float offset) {
    for (int i = 0; i < m->numRows(); i++)
        for (int j = 0; j < m->numColumns(); j++)
            m->set(i, j, offset + i * 1000.0f + j, -(offset + i * 0.5f + j * 0.25f));
}

bool sameBits(const ComplexMatrix& a, const ComplexMatrix& b) {
    if (a.numRows() != b.numRows() || a.numColumns() != b.numColumns()) return false;
    for (int i = 0; i < a.numRows(); i++)
        if (std::memcmp(a.data()[i], b.data()[i], sizeof(a.data()[i][0]) * a.numColumns()) != 0)
            return false;
    return true;
}

TEST(AECBypass, NearEndIsMicrophoneAndEchoKeepsItsContents) {
    velmora::aec::AECBypass aec(3, 0, 5);
    EXPECT_EQ(aec.numMics(), 3);
    EXPECT_EQ(aec.numRefs(), 0);
    EXPECT_EQ(aec.numBins(), 5);
    EXPECT_EQ(aec.delay(), 0);
    ComplexMatrix mic(3, 5), nearend(3, 5), echo(3, 5), echoBefore(3, 5);
    fillPattern(&mic, 1.0f);
    fillPattern(&nearend, 77.0f);
    fillPattern(&echo, 9.0f);
    echoBefore.copy(&echo);
    AllocCounter count;
    aec.process(&mic, nullptr, &nearend, &echo);
    aec.process(&mic, nullptr, &mic, &echo);  // in place: nothing to copy
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_TRUE(sameBits(nearend, mic));
    EXPECT_TRUE(sameBits(echo, echoBefore));
}

TEST(AECBypass, ConstructorAndShapeAssertions) {
    EXPECT_DEATH(velmora::aec::AECBypass(0, 1, 4), "nummics > 0");
    EXPECT_DEATH(velmora::aec::AECBypass(1, -1, 4), "numrefs >= 0");
    EXPECT_DEATH(velmora::aec::AECBypass(1, 1, 0), "numbins > 0");
    velmora::aec::AECBypass aec(2, 1, 4);
    ComplexMatrix mic(3, 4), nearend(3, 4), echo(2, 4);
    EXPECT_DEATH(aec.process(&mic, nullptr, &nearend, &echo), "numMics");
}

TEST(BFBypass, PassesTheFirstOutputsMicrophonesBitForBit) {
    ComplexMatrix in(4, 6);
    fillPattern(&in, 3.0f);
    velmora::bf::BFBypass all(4, 4, 6);
    ComplexMatrix outAll(4, 6);
    velmora::bf::BFBypass one(4, 1, 6);
    ComplexMatrix outOne(1, 6);
    AllocCounter count;
    all.process(&in, &outAll);
    one.process(&in, &outOne);
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_TRUE(sameBits(outAll, in));
    for (int j = 0; j < 6; j++) EXPECT_EQ(outOne.get(0, j), in.get(0, j));

    EXPECT_EQ(one.numMics(), 4);
    EXPECT_EQ(one.numOuts(), 1);
    EXPECT_EQ(one.numBins(), 6);
    EXPECT_EQ(one.delay(), 0);
    one.setLook(0, 45.0f);
    one.lock(0, nullptr);
    EXPECT_EQ(one.look(0), 0.0f);
    EXPECT_EQ(one.sslData(), nullptr);
}

TEST(BFBypass, Assertions) {
    EXPECT_DEATH(velmora::bf::BFBypass(0, 1, 4), "nummics > 0");
    EXPECT_DEATH(velmora::bf::BFBypass(2, 0, 4), "numouts > 0");
    EXPECT_DEATH(velmora::bf::BFBypass(2, 1, 0), "numbins > 0");
    EXPECT_DEATH(velmora::bf::BFBypass(2, 3, 4), "numouts <= nummics");
    velmora::bf::BFBypass bf(3, 2, 4);
    ComplexMatrix in(3, 4), wrongIn(2, 4), out(2, 4), wrongOut(2, 5);
    EXPECT_DEATH(bf.process(&wrongIn, &out),
                 "in->numRows\\(\\) == numMics\\(\\) && in->numColumns\\(\\) == numBins\\(\\)");
    EXPECT_DEATH(bf.process(&in, &wrongOut), "out->numRows\\(\\) == numOuts\\(\\)");
}

TEST(AGCBypass, CopiesOrLeavesTheBlock) {
    velmora::agc::AGCBypass agc(2, 160);
    EXPECT_EQ(agc.numChannels(), 2);
    EXPECT_EQ(agc.blockSize(), 160);
    EXPECT_EQ(agc.delay(), 0);
    std::vector<float> in(320), out(330, 5.0f);
    for (size_t i = 0; i < in.size(); i++) in[i] = static_cast<float>(i) / 400.0f - 0.4f;
    std::vector<float> same = in;
    AllocCounter count;
    agc.process(in.data(), out.data());
    agc.process(same.data(), same.data());
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
    EXPECT_EQ(out[320], 5.0f);  // exactly numChannels x blockSize floats are written
    EXPECT_EQ(same, in);
    EXPECT_DEATH(velmora::agc::AGCBypass(0, 160), "numchs > 0");
    EXPECT_DEATH(velmora::agc::AGCBypass(1, 0), "blocksize > 0");
}

TEST(PassThroughStages, LeaveBlocksUnchangedAndReportNothing) {
    ComplexMatrix block(2, 8), before(2, 8), ref(1, 8), echo(2, 8);
    fillPattern(&block, 0.5f);
    before.copy(&block);

    velmora::dr::DRBypass dr(2, 8);
    velmora::ns::NSBypass ns(2, 1, 8);
    velmora::pf::PFBypass pf(2, 8);
    velmora::vad::VADBypass vad(2, 2, 8);
    velmora::ssl::SSLBypass ssl(2, 2, 8);
    AllocCounter count;
    dr.process(&block);
    ns.lock(0, nullptr);
    ns.process(&block, &ref, &echo);
    ns.unlock(0);
    pf.lock(1, nullptr);
    pf.process(&block);
    vad.setLook(0, 30.0f);
    vad.process(&block);
    ssl.process(&block);
    ssl.reset();
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_TRUE(sameBits(block, before));

    EXPECT_EQ(dr.numChannels(), 2);
    EXPECT_EQ(dr.numBins(), 8);
    EXPECT_EQ(ns.numChannels(), 2);
    EXPECT_EQ(ns.numRefs(), 1);
    EXPECT_EQ(ns.numBins(), 8);
    EXPECT_EQ(pf.numChannels(), 2);
    EXPECT_EQ(pf.numBins(), 8);
    EXPECT_EQ(dr.delay() + ns.delay() + pf.delay() + vad.delay(), 0);

    EXPECT_EQ(vad.numMics(), 2);
    EXPECT_EQ(vad.numOuts(), 2);
    EXPECT_EQ(vad.numBins(), 8);
    EXPECT_EQ(vad.look(0), 0.0f);
    for (int n = 0; n < 2; n++)
        for (int k = 0; k < 8; k++) EXPECT_EQ(vad.speechProbability(n, k), 0.0f);

    EXPECT_EQ(ssl.numMics(), 2);
    EXPECT_EQ(ssl.numOuts(), 2);
    EXPECT_EQ(ssl.numBins(), 8);
    EXPECT_EQ(ssl.numScans(), 0);
    int index = -7;
    float value = -7.0f;
    EXPECT_EQ(ssl.direction(1, &index, &value), 0.0f);
    EXPECT_EQ(index, -7);
    EXPECT_EQ(value, -7.0f);
}

TEST(PassThroughStages, ConstructorAssertions) {
    EXPECT_DEATH(velmora::dr::DRBypass(0, 4), "numchs > 0");
    EXPECT_DEATH(velmora::dr::DRBypass(1, 0), "numbins > 0");
    EXPECT_DEATH(velmora::ns::NSBypass(0, 1, 4), "numchs > 0");
    EXPECT_DEATH(velmora::ns::NSBypass(1, -1, 4), "numrefs >= 0");
    EXPECT_DEATH(velmora::ns::NSBypass(1, 1, 0), "numbins > 0");
    EXPECT_DEATH(velmora::vad::VADBypass(0, 1, 4), "nummics > 0");
    EXPECT_DEATH(velmora::vad::VADBypass(1, 0, 4), "numouts > 0");
    EXPECT_DEATH(velmora::vad::VADBypass(1, 1, 0), "numbins > 0");
    EXPECT_DEATH(velmora::ssl::SSLBypass(0, 1, 4), "nummics > 0");
    EXPECT_DEATH(velmora::ssl::SSLBypass(1, 0, 4), "numouts > 0");
    EXPECT_DEATH(velmora::ssl::SSLBypass(1, 1, 0), "numbins > 0");
}

}  // namespace
