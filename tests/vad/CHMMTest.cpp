// Two-state online model: defaults, the setting rules of Gaussians and transitions, one forward
// step against a hand computation, learning two clusters, the switching floor, the diagnostic
// print and the index assertions.
#include "vad/CHMM.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

using velmora::vad::CHMM;

namespace {

std::string printed(const CHMM& m) {
    std::FILE* f = std::tmpfile();
    m.print(f);
    std::rewind(f);
    std::string s;
    char buf[256];
    while (std::fgets(buf, sizeof buf, f)) s += buf;
    std::fclose(f);
    return s;
}

double gauss(double x, double mu, double var) {
    return std::exp(-(x - mu) * (x - mu) / (2.0 * var)) / std::sqrt(2.0 * M_PI * var);
}

}  // namespace

TEST(CHMMTest, DefaultsAndPrint) {
    CHMM m;
    EXPECT_EQ(m.numStates(), 2);
    EXPECT_FLOAT_EQ(m.forget(), 0.99f);
    EXPECT_FLOAT_EQ(m.minSNR(), 3.0f);
    EXPECT_FLOAT_EQ(m.minVariance(0), 4.0f);
    EXPECT_FLOAT_EQ(m.minVariance(1), 4.0f);
    EXPECT_EQ(printed(m),
              "Transition probability:\n0.600000 0.400000\n0.400000 0.600000\n"
              "Emission probability:\nGaussian 0: mu=20.000000, var=400.000000\n"
              "Gaussian 1: mu=50.000000, var=400.000000\n");
}

TEST(CHMMTest, SettingRules) {
    CHMM m;
    // Variance floor per state, separation applied to the speech state only.
    m.setMinVariance(1, 9.0f);
    m.setGaussian(0, 50.0f, 1.0f);
    m.setGaussian(1, 51.0f, 2.0f);
    float mu, var;
    m.getGaussian(0, &mu, &var);
    EXPECT_FLOAT_EQ(mu, 50.0f);
    EXPECT_FLOAT_EQ(var, 4.0f);
    m.getGaussian(1, &mu, &var);
    EXPECT_FLOAT_EQ(mu, 53.0f);
    EXPECT_FLOAT_EQ(var, 9.0f);
    m.setMinSNR(10.0f);
    m.setGaussian(1, 55.0f, 20.0f);
    m.getGaussian(1, &mu, nullptr);
    EXPECT_FLOAT_EQ(mu, 60.0f);
    // A noise mean above the speech mean is allowed (the rule guards state 1 only).
    m.setGaussian(0, 70.0f, 5.0f);
    m.getGaussian(0, &mu, nullptr);
    EXPECT_FLOAT_EQ(mu, 70.0f);
    // The likelihood uses the stored Gaussian and has a floor.
    EXPECT_NEAR(m.emissionProbability(70.0f, 0), 1.0 / std::sqrt(2.0 * M_PI * 5.0), 1e-6);
    EXPECT_FLOAT_EQ(m.emissionProbability(1e6f, 0), 2.220446e-16f);
    // Even a non-positive minimum variance keeps the likelihood finite.
    m.setMinVariance(0, -1.0f);
    m.setGaussian(0, 10.0f, 0.0f);
    EXPECT_TRUE(std::isfinite(m.emissionProbability(10.0f, 0)));
    EXPECT_TRUE(std::isfinite(m.update(10.0f)[1]));

    // Rows are normalised, an all-zero row becomes uniform, rare switching is floored.
    m.setTransitionProbability(3.0f, 1.0f, 0.0f, 0.0f);
    EXPECT_FLOAT_EQ(m.transitionProbability(0, 0), 0.75f);
    EXPECT_FLOAT_EQ(m.transitionProbability(0, 1), 0.25f);
    EXPECT_FLOAT_EQ(m.transitionProbability(1, 0), 0.5f);
    EXPECT_FLOAT_EQ(m.transitionProbability(1, 1), 0.5f);
    m.setTransitionProbability(1.0f, 0.001f, 0.0f, 1.0f);
    EXPECT_FLOAT_EQ(m.transitionProbability(0, 0), 0.99f);
    EXPECT_FLOAT_EQ(m.transitionProbability(0, 1), 0.01f);
    EXPECT_FLOAT_EQ(m.transitionProbability(1, 0), 0.01f);
    EXPECT_FLOAT_EQ(m.transitionProbability(1, 1), 0.99f);
}

TEST(CHMMTest, OneStepMatchesHandComputation) {
    CHMM m;
    const double x = 42.0;
    const double b0 = gauss(x, 20, 400), b1 = gauss(x, 50, 400);
    const double alpha[2] = {0.1, 0.9};
    const double A[2][2] = {{0.6, 0.4}, {0.4, 0.6}};
    double xi[2][2], g[2] = {0, 0}, total = 0;
    for (int q = 0; q < 2; ++q)
        for (int p = 0; p < 2; ++p) {
            xi[q][p] = A[q][p] * alpha[q] * (p ? b1 : b0);
            g[p] += xi[q][p];
            total += xi[q][p];
        }
    for (auto& row : xi)
        for (double& v : row) v /= total;
    const double g0 = g[0] / total, g1 = g[1] / total;
    const float* gamma = m.update(static_cast<float>(x));
    EXPECT_NEAR(gamma[0], g0, 1e-5);
    EXPECT_NEAR(gamma[1], g1, 1e-5);
    EXPECT_NEAR(gamma[0] + gamma[1], 1.0, 1e-6);
    EXPECT_FLOAT_EQ(m.posterior(1), gamma[1]);

    // Re-estimation of the noise state, then of the speech state.
    const double l0 = 0.99 + (1 - g0) * 0.01, l1 = 0.99 + (1 - g1) * 0.01;
    const double mu0 = l0 * 20 + (1 - l0) * x, var0 = l0 * 400 + (1 - l0) * (x - mu0) * (x - mu0);
    const double mu1 = l1 * 50 + (1 - l1) * x, var1 = l1 * 400 + (1 - l1) * (x - mu1) * (x - mu1);
    float mu, var;
    m.getGaussian(0, &mu, &var);
    EXPECT_NEAR(mu, mu0, 1e-4);
    EXPECT_NEAR(var, var0, 1e-3);
    m.getGaussian(1, &mu, &var);
    EXPECT_NEAR(mu, mu1, 1e-4);
    EXPECT_NEAR(var, var1, 1e-3);
    double a0[2], a1[2];
    for (int j = 0; j < 2; ++j) {
        a0[j] = l0 * A[0][j] + (1 - l0) * xi[0][j] / g0;
        a1[j] = l1 * A[1][j] + (1 - l1) * xi[1][j] / g1;
    }
    EXPECT_NEAR(m.transitionProbability(0, 1), a0[1] / (a0[0] + a0[1]), 1e-5);
    EXPECT_NEAR(m.transitionProbability(1, 0), a1[0] / (a1[0] + a1[1]), 1e-5);
}

TEST(CHMMTest, LearnsTwoClustersAndFloorsSwitching) {
    CHMM m;
    m.setForget(0.95f);
    m.setGaussian(0, 35.0f, 30.0f);
    m.setGaussian(1, 60.0f, 30.0f);
    // Alternating runs of noise near 30 and speech near 70.
    int correct = 0, total = 0;
    for (int run = 0; run < 20; ++run) {
        for (int t = 0; t < 30; ++t) {
            const bool speech = run % 2 == 1;
            const float x = (speech ? 70.0f : 30.0f) + static_cast<float>((t * 7) % 5) - 2.0f;
            const float p = m.update(x)[1];
            if (run >= 4) {
                ++total;
                correct += (p > 0.5f) == speech;
            }
        }
    }
    EXPECT_GT(correct, total * 95 / 100);
    float mu0, mu1;
    m.getGaussian(0, &mu0, nullptr);
    m.getGaussian(1, &mu1, nullptr);
    EXPECT_NEAR(mu0, 30.0f, 4.0f);
    EXPECT_NEAR(mu1, 70.0f, 4.0f);

    // Nothing but noise with full adaptation: leaving the noise state becomes so unlikely that
    // the row is reset to the floor.
    CHMM quiet;
    quiet.setForget(0.0f);
    for (int t = 0; t < 50; ++t) quiet.update(20.0f);
    EXPECT_FLOAT_EQ(quiet.transitionProbability(0, 0), 0.99f);
    EXPECT_FLOAT_EQ(quiet.transitionProbability(0, 1), 0.01f);
}

TEST(CHMMDeathTest, IndexAndRangeAssertions) {
    CHMM m;
    EXPECT_DEATH(m.setForget(1.5f), "forget >= 0.0 && forget <= 1.0");
    EXPECT_DEATH(m.setMinVariance(2, 1.0f), "n >= 0 && n < numStates\\(\\)");
    EXPECT_DEATH(m.minVariance(-1), "n >= 0 && n < numStates\\(\\)");
    EXPECT_DEATH(m.transitionProbability(2, 0), "statei >= 0 && statei < numStates\\(\\)");
    EXPECT_DEATH(m.transitionProbability(0, -1), "statej >= 0 && statej < numStates\\(\\)");
    EXPECT_DEATH(m.setGaussian(2, 0.0f, 1.0f), "state >= 0 && state < numStates\\(\\)");
    EXPECT_DEATH(m.getGaussian(-1, nullptr, nullptr), "state >= 0 && state < numStates\\(\\)");
}
