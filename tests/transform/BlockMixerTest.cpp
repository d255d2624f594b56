#include "transform/BlockMixer.h"

#include <gtest/gtest.h>

#include <complex>
#include <random>
#include <vector>

#include "blas/ComplexMatrix.h"
#include "common/AllocCounter.h"

using velmora::blas::Complex;
using velmora::blas::ComplexMatrix;

namespace {

void fillRandom(ComplexMatrix* m, std::mt19937* gen) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int i = 0; i < m->numRows(); ++i)
        for (int j = 0; j < m->numColumns(); ++j) m->set(i, j, u(*gen), u(*gen));
}

}  // namespace

TEST(BlockMixer, IdentityFiltersCopyTheInput) {
    BlockMixer mixer(2, 2, 9, 1);
    EXPECT_EQ(mixer.numIns(), 2);
    EXPECT_EQ(mixer.numOuts(), 2);
    EXPECT_EQ(mixer.numBins(), 9);
    EXPECT_EQ(mixer.filterLength(), 1);
    for (int m = 0; m < 2; ++m) mixer.filter(m, m)->fill(1.0f, 0.0f);
    std::mt19937 gen(1);
    ComplexMatrix in(2, 9), out(2, 9);
    for (int b = 0; b < 3; ++b) {
        fillRandom(&in, &gen);
        mixer.process(&in, &out);
        for (int m = 0; m < 2; ++m)
            for (int k = 0; k < 9; ++k) ASSERT_EQ(out.get(m, k), in.get(m, k)) << m << " " << k;
    }
}

TEST(BlockMixer, SecondTapDelaysByOneBlock) {
    BlockMixer mixer(1, 1, 5, 2);
    ComplexMatrix* f = mixer.filter(0, 0);
    for (int k = 0; k < 5; ++k) f->set(1, k, 1.0f, 0.0f);
    std::mt19937 gen(2);
    ComplexMatrix in(1, 5), prev(1, 5), out(1, 5);
    for (int b = 0; b < 4; ++b) {
        fillRandom(&in, &gen);
        mixer.process(&in, &out);
        for (int k = 0; k < 5; ++k) ASSERT_EQ(out.get(0, k), prev.get(0, k)) << b << " " << k;
        prev.copy(&in);
    }
}

TEST(BlockMixer, RandomFiltersMatchDirectComputation) {
    const int ins = 3, outs = 2, bins = 7, flen = 3, blocks = 6;
    BlockMixer mixer(ins, outs, bins, flen);
    std::mt19937 gen(3);
    for (int m = 0; m < outs; ++m)
        for (int n = 0; n < ins; ++n) fillRandom(mixer.filter(m, n), &gen);
    std::vector<std::vector<Complex>> inputs;  // [block][n * bins + k]
    ComplexMatrix in(ins, bins), out(outs, bins);
    for (int b = 0; b < blocks; ++b) {
        fillRandom(&in, &gen);
        std::vector<Complex> copy;
        for (int n = 0; n < ins; ++n)
            for (int k = 0; k < bins; ++k) copy.push_back(in.get(n, k));
        inputs.push_back(copy);
        mixer.process(&in, &out);
        for (int m = 0; m < outs; ++m) {
            for (int k = 0; k < bins; ++k) {
                std::complex<double> expected = 0.0;
                for (int n = 0; n < ins; ++n)
                    for (int t = 0; t < flen && t <= b; ++t)
                        expected += std::complex<double>(mixer.filter(m, n)->get(t, k)) *
                                    std::complex<double>(inputs[b - t][n * bins + k]);
                ASSERT_NEAR(out.real(m, k), expected.real(), 1e-5) << b << " " << m << " " << k;
                ASSERT_NEAR(out.imag(m, k), expected.imag(), 1e-5) << b << " " << m << " " << k;
            }
        }
    }
}

TEST(BlockMixer, ProcessAllocatesNothing) {
    BlockMixer mixer(2, 3, 129, 4);
    ComplexMatrix in(2, 129), out(3, 129);
    in.fill(0.5f, -0.5f);
    mixer.filter(2, 1)->fill(0.25f, 0.0f);
    velmora::test::AllocCounter count;
    for (int i = 0; i < 10; ++i) mixer.process(&in, &out);
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_FLOAT_EQ(out.real(2, 128), 0.5f);  // four taps of 0.25 on a constant 0.5
}

TEST(BlockMixerDeathTest, ChecksArguments) {
    EXPECT_DEATH(BlockMixer(0, 1, 4, 1), "numins > 0");
    EXPECT_DEATH(BlockMixer(1, 0, 4, 1), "numouts > 0");
    EXPECT_DEATH(BlockMixer(1, 1, 0, 1), "numbins > 0");
    EXPECT_DEATH(BlockMixer(1, 1, 4, 0), "flen > 0");
    BlockMixer mixer(2, 1, 4, 1);
    EXPECT_DEATH(mixer.filter(1, 0), "m >= 0 && m < numOuts\\(\\)");
    EXPECT_DEATH(mixer.filter(0, 2), "n >= 0 && n < numIns\\(\\)");
    ComplexMatrix in(2, 4), wrongIn(1, 4), out(1, 4), wrongOut(1, 5);
    EXPECT_DEATH(
        mixer.process(&wrongIn, &out),
        "blockin->numRows\\(\\) == numIns\\(\\) && blockin->numColumns\\(\\) == numBins\\(\\)");
    EXPECT_DEATH(
        mixer.process(&in, &wrongOut),
        "blockout->numRows\\(\\) == numOuts\\(\\) && blockout->numColumns\\(\\) == numBins\\(\\)");
}
