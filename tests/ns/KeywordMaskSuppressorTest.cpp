// Edge cases of the keyword-triggered, multichannel and mask-driven suppressors: the zero mask
// model silences NNMaskAECPF always and NNRES whenever the echo gate is open; KWSRESBatch without
// a detector changes the block only after a lock; hostile bins stay out of every output; nothing
// allocates per block.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "blas/ComplexMatrix.h"
#include "common/AllocCounter.h"
#include "ns/KWSRESBatch.h"
#include "ns/MaskModel.h"
#include "ns/NNMaskAECPF.h"
#include "ns/PMWFAES.h"

namespace velmora::test {
namespace {

constexpr int K = 160;

bool allZero(const blas::ComplexMatrix& m) {
    for (int i = 0; i < m.numRows(); ++i)
        for (int k = 0; k < m.numColumns(); ++k)
            if (m.data()[i][k] != blas::Complex(0.0f, 0.0f)) return false;
    return true;
}

bool allFinite(const blas::ComplexMatrix& m) {
    for (int i = 0; i < m.numRows(); ++i)
        for (int k = 0; k < m.numColumns(); ++k)
            if (!std::isfinite(std::abs(m.data()[i][k]))) return false;
    return true;
}

TEST(MaskSuppressors, ZeroModelSilences) {
    const ns::MaskModel model("dir", 1, 1, "default", 50);
    EXPECT_EQ(model.files()[1], "dir/final.nnet");
    EXPECT_EQ(model.outputDim(), 160);
    EXPECT_EQ(model.delay(), 0);

    blas::ComplexMatrix x(2, K), ref(1, K), loud(2, K), quiet(2, K);
    x.fillRandom();
    ref.fillRandom();
    loud.fillRandom();        // about 0 dB: the gate is open
    quiet.fill(1e-4f, 0.0f);  // far below -45 dB
    ns::NNMaskAECPF pf(2, 1, nullptr);
    EXPECT_EQ(pf.numBins(), 160);
    blas::ComplexMatrix y(2, K);
    y.copy(&x);
    pf.process(&y, &ref, &quiet);
    EXPECT_TRUE(allZero(y));

    ns::NNRES res(2, 1, 0, 0.1f, "models");
    y.copy(&x);
    res.process(&y, &ref, &quiet);  // gate closed: unchanged
    for (int k = 0; k < K; ++k) ASSERT_EQ(y.data()[1][k], x.data()[1][k]);
    AllocCounter allocations;
    for (int b = 0; b < 5; ++b) {
        y.copy(&x);
        res.process(&y, &ref, &loud);
        EXPECT_TRUE(allZero(y));
    }
    EXPECT_EQ(allocations.allocations(), 0);
}

TEST(KWSRESBatch, ChangesTheBlockOnlyAfterALock) {
    blas::ComplexMatrix x(1, K), echo(1, K), y(1, K);
    echo.fillRandom();
    ns::KWSRESBatch res(1, 1, K, 0, 0.1f, nullptr);
    for (int b = 0; b < 120; ++b) {
        x.fillRandom();
        y.copy(&x);
        res.process(&y, nullptr, &echo);
        for (int k = 0; k < K; ++k) ASSERT_EQ(y.data()[0][k], x.data()[0][k]) << b;
    }
    EXPECT_FALSE(res.ready(0));
    const float count = 500.0f;  // limited to 75
    res.lock(0, &count);
    res.lock(3, nullptr);  // no such channel: ignored
    EXPECT_TRUE(res.ready(0));
    bool changed = false;
    AllocCounter allocations;
    for (int b = 0; b < 10; ++b) {
        x.fillRandom();
        y.copy(&x);
        res.process(&y, nullptr, &echo);
        for (int k = 0; k < K; ++k) {
            changed |= y.data()[0][k] != x.data()[0][k];
            ASSERT_LE(std::norm(y.data()[0][k]), std::norm(x.data()[0][k]) * 1.0001f);
        }
    }
    EXPECT_EQ(allocations.allocations(), 0);
    EXPECT_TRUE(changed);
}

// NaN, infinite and absurd bins: outputs stay finite and the stages keep working.
TEST(KeywordAndMultichannelSuppressors, SurviveHostileBins) {
    blas::ComplexMatrix x(2, K), echo(2, K), y(2, K);
    ns::PMWFAES aes(2, 1, K, 0, 0.1f);
    ns::KWSRESBatch kws(2, 1, K, 3, 0.1f, nullptr);
    const float inf = std::numeric_limits<float>::infinity();
    AllocCounter allocations;
    for (int b = 0; b < 300; ++b) {
        x.fillRandom();
        echo.fillRandom();
        if (b % 50 == 7) x.data()[1][b % K] = blas::Complex(std::nanf(""), inf);
        if (b % 50 == 9) x.data()[0][3] = blas::Complex(1e30f, 0.0f);
        y.copy(&x);
        aes.process(&y, nullptr, &echo);
        ASSERT_TRUE(allFinite(y)) << b;
        if (b == 150) kws.lock(1, nullptr);
        y.copy(&x);
        kws.process(&y, nullptr, &echo);
        for (int k = 0; k < K; ++k)
            if (b % 50 != 7 && b % 50 != 9) {
                ASSERT_TRUE(std::isfinite(std::abs(y.data()[1][k])));
            }
    }
    EXPECT_EQ(allocations.allocations(), 0);
}

}  // namespace
}  // namespace velmora::test
