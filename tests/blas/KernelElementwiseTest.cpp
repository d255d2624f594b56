// Element-wise kernels, reductions, searches and filters on small known inputs.

#include <gtest/gtest.h>

#include <cmath>

#include "blas/BLAS.h"

namespace velmora::blas {
namespace {

TEST(KernelElementwise, ComplexProductsAndTailElements) {
    // Size 5: one group of four plus a tail element.
    ComplexVector a(5), b(5), c(5);
    for (int i = 0; i < 5; ++i) {
        a.set(i, 1.0f + i, 2.0f);
        b.set(i, 3.0f, -1.0f - i);
    }
    multiply(&a, &b, &c);
    multiplyConj(&a, &b, &c);
    for (int i = 0; i < 5; ++i) {
        const Complex want = std::conj(a.get(i)) * b.get(i);
        EXPECT_EQ(c.get(i), want) << i;
    }
    multiply(&a, &b, &a);  // in place
    for (int i = 0; i < 5; ++i) EXPECT_EQ(a.get(i), Complex(1.0f + i, 2.0f) * b.get(i));

    ComplexVector d(5);
    subtract(&a, &a, &d);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(d.get(i), Complex(0, 0));

    Vector r(5), den(5);
    ComplexVector q(5);
    den.fill(1.0f);
    divide(&b, &den, 1.0f, &q);
    EXPECT_EQ(q.get(4), Complex(1.5f, -2.5f));
}

TEST(KernelElementwise, SmoothingFormulas) {
    ComplexVector m(2), x(2), y(2), r(2);
    m.set(0, 1, 1);
    x.set(0, 1, 2);
    y.set(0, 3, -1);
    smoothCrossPower(0.5f, &m, 2.0f, &x, &y, &r);
    // 0.5 (1 + i) + 2 (1 + 2i) conj(3 - i) = 0.5 + 0.5i + 2 (1 + 7i)
    EXPECT_EQ(r.get(0), Complex(2.5f, 14.5f));

    Vector avg(3), p(3);
    ComplexVector s(3);
    avg.fill(2.0f);
    s.set(2, 3, 4);
    smoothPower(0.5f, &avg, 0.1f, &s, &p);
    EXPECT_FLOAT_EQ(p.get(0), 1.0f);
    EXPECT_FLOAT_EQ(p.get(2), 1.0f + 2.5f);
}

TEST(KernelReductions, NormsPowersAndDots) {
    ComplexMatrix m(2, 3);
    m.set(0, 0, 3, 4);
    m.set(1, 2, 1, 0);
    EXPECT_FLOAT_EQ(power(&m), 26.0f);
    EXPECT_FLOAT_EQ(norm(&m), std::sqrt(26.0f));
    Vector rows(2), cols(3);
    rowPowers(&m, &rows);
    EXPECT_FLOAT_EQ(rows.get(0), 25.0f);
    EXPECT_FLOAT_EQ(rows.get(1), 1.0f);
    columnPowers(&m, &cols, 1, 2);
    EXPECT_FLOAT_EQ(cols.get(2), 1.0f);
    accumulateRowPowers(&m, &rows);
    EXPECT_FLOAT_EQ(rows.get(0), 50.0f);

    ComplexVector u(2), v(2);
    u.set(0, 0, 1);  // i
    v.set(0, 0, 1);
    EXPECT_EQ(dot(&u, &v), Complex(1, 0));  // conj(i) i = 1

    float mu = 0, var = 0;
    const float data[4] = {1, 2, 3, 4};
    meanVariance(data, 4, &mu, &var);
    EXPECT_FLOAT_EQ(mu, 2.5f);
    EXPECT_FLOAT_EQ(var, 1.25f);  // population variance
    meanVariance(data, 4, nullptr, &var);
}

TEST(KernelMagnitudes, LogPowerFloorAvoidsMinusInfinity) {
    ComplexVector cv(2);
    cv.set(1, 3, 4);
    Vector v(2);
    logPower(&cv, 1e-10f, &v);
    EXPECT_FLOAT_EQ(v.get(0), -10.0f);
    EXPECT_FLOAT_EQ(v.get(1), std::log10(25.0f + 1e-10f));
    magnitudeSquared(&cv, &v);
    EXPECT_FLOAT_EQ(v.get(1), 25.0f);
}

TEST(KernelSearch, FirstExtremeWinsAndNormalisation) {
    const float x[3] = {1, 3, 3};
    int idx = -2;
    float val = 0;
    EXPECT_EQ(argMax(x, 3, &idx, &val), 1);
    EXPECT_EQ(idx, 1);
    EXPECT_EQ(val, 3.0f);
    const float y[4] = {2, 0, 5, 0};
    EXPECT_EQ(argMin(y, 4), 1);
    EXPECT_EQ(argMax(y, 0, &idx, &val), -1);
    EXPECT_EQ(idx, -1);

    float z[3] = {0, 0, 0};
    EXPECT_EQ(normalizeSum(z, 3), 0.0f);
    for (float e : z) EXPECT_FLOAT_EQ(e, 1.0f / 3.0f);
    float w[2] = {1, 3};
    EXPECT_EQ(normalizeSum(w, 2), 4.0f);
    EXPECT_FLOAT_EQ(w[1], 0.75f);

    float s[5] = {3, -1, 2, 2, 0};
    sortAscending(s, 5);
    const float sorted[5] = {-1, 0, 2, 2, 3};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(s[i], sorted[i]);

    // Unit norm, near-zero vectors and columns untouched.
    ComplexVector a(2), u(2);
    a.set(0, 3, 0);
    a.set(1, 0, 4);
    normalize(&a, &u);
    EXPECT_FLOAT_EQ(u.imag(1), 0.8f);
    ComplexVector tiny(2);
    tiny.set(0, 1e-8f, 0);
    normalize(&tiny, &tiny);
    EXPECT_EQ(tiny.real(0), 1e-8f);
    ComplexMatrix m(2, 2);
    m.set(0, 0, 0, 2);
    m.set(1, 1, 1e-9f, 0);
    normalizeColumns(&m, &m);
    EXPECT_EQ(m.get(0, 0), Complex(0, 1));
    EXPECT_EQ(m.real(1, 1), 1e-9f);
}

TEST(KernelFilters, EmphasisCarriesStateAcrossCalls) {
    Vector x(4), y(4), back(4);
    for (int i = 0; i < 4; ++i) x.set(i, 1.0f + i);
    preEmphasis(&x, 0.5f, 2.0f, &y);
    EXPECT_FLOAT_EQ(y.get(0), 1.0f - 1.0f);
    EXPECT_FLOAT_EQ(y.get(3), 4.0f - 1.5f);
    // de-emphasis with the matching state undoes it
    const float last = deEmphasis(&y, 0.5f, 2.0f, &back);
    for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(back.get(i), x.get(i));
    EXPECT_FLOAT_EQ(last, 4.0f);
    preEmphasis(&x, 0.5f, 2.0f, &x);  // in place
    for (int i = 0; i < 4; ++i) EXPECT_EQ(x.get(i), y.get(i));
}

}  // namespace
}  // namespace velmora::blas
