// Factorisations, inverses, Hermitian updates and 2 x 2 closed forms, checked against
// references computed here in double precision.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "blas/BLAS.h"
#include "common/AllocCounter.h"

namespace velmora::blas {
namespace {

using CD = std::complex<double>;
using MatD = std::vector<std::vector<CD>>;

MatD binOf(const ComplexTensor3& t, int k) {
    MatD m(t.numRows(), std::vector<CD>(t.numColumns()));
    for (int i = 0; i < t.numRows(); ++i)
        for (int j = 0; j < t.numColumns(); ++j) m[i][j] = CD(t.get(i, j, k));
    return m;
}

// Inverse by complex Gauss-Jordan with partial pivoting, in double precision.
MatD invertD(MatD a) {
    const int n = static_cast<int>(a.size());
    MatD r(n, std::vector<CD>(n));
    for (int i = 0; i < n; ++i) r[i][i] = 1.0;
    for (int c = 0; c < n; ++c) {
        int p = c;
        for (int i = c + 1; i < n; ++i)
            if (std::abs(a[i][c]) > std::abs(a[p][c])) p = i;
        std::swap(a[p], a[c]);
        std::swap(r[p], r[c]);
        const CD inv = 1.0 / a[c][c];
        for (int j = 0; j < n; ++j) {
            a[c][j] *= inv;
            r[c][j] *= inv;
        }
        for (int i = 0; i < n; ++i) {
            if (i == c) continue;
            const CD f = a[i][c];
            for (int j = 0; j < n; ++j) {
                a[i][j] -= f * a[c][j];
                r[i][j] -= f * r[c][j];
            }
        }
    }
    return r;
}

// Random well-conditioned Hermitian positive definite bins: B B^H + n I.
void fillSpd(ComplexTensor3* t, std::mt19937* rng) {
    std::normal_distribution<float> g;
    const int n = t->numRows();
    for (int k = 0; k < t->depth(); ++k) {
        std::vector<CD> b(n * n);
        for (auto& z : b) z = CD(g(*rng), g(*rng));
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                CD s = i == j ? CD(n, 0) : CD(0, 0);
                for (int l = 0; l < n; ++l) s += b[i * n + l] * std::conj(b[j * n + l]);
                t->set(i, j, k, Complex(s));
            }
        for (int i = 0; i < n; ++i) t->set(i, i, k, t->get(i, i, k).real(), 0.0f);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < i; ++j) t->set(i, j, k, std::conj(t->get(j, i, k)));
    }
}

void fillGaussian(ComplexMatrix* m, std::mt19937* rng) {
    std::normal_distribution<float> g;
    for (int i = 0; i < m->numRows(); ++i)
        for (int j = 0; j < m->numColumns(); ++j) m->set(i, j, g(*rng), g(*rng));
}

void expectExactlyHermitian(const ComplexTensor3& t) {
    for (int k = 0; k < t.depth(); ++k)
        for (int i = 0; i < t.numRows(); ++i) {
            EXPECT_EQ(t.get(i, i, k).imag(), 0.0f);
            for (int j = i + 1; j < t.numColumns(); ++j) {
                EXPECT_EQ(t.get(j, i, k).real(), t.get(i, j, k).real());
                EXPECT_EQ(t.get(j, i, k).imag(), -t.get(i, j, k).imag());
            }
        }
}

TEST(KernelCholesky, FactorOfKnownMatrixAndReconstruction) {
    ComplexMatrix a(2, 2), r(2, 2);
    a.set(0, 0, 4, 0);
    a.set(0, 1, 2, 0);
    a.set(1, 0, 2, 0);
    a.set(1, 1, 3, 0);
    ASSERT_EQ(cholesky(&a, &r), 0);
    EXPECT_FLOAT_EQ(r.real(0, 0), 2.0f);
    EXPECT_FLOAT_EQ(r.real(0, 1), 1.0f);
    EXPECT_EQ(r.get(1, 0), Complex(0, 0));
    EXPECT_FLOAT_EQ(r.real(1, 1), std::sqrt(2.0f));

    // Random complex Hermitian 5 x 5: R^H R reproduces A, in place as well.
    std::mt19937 rng(7);
    ComplexTensor3 spd(5, 5, 1);
    fillSpd(&spd, &rng);
    ComplexMatrix m(5, 5);
    spd.getFrontalSlice(0, &m);
    ComplexMatrix f(5, 5);
    f.copy(&m);
    ASSERT_EQ(cholesky(&f, &f), 0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(f.imag(i, i), 0.0f);
        for (int j = 0; j < i; ++j) EXPECT_EQ(f.get(i, j), Complex(0, 0));
        for (int j = 0; j < 5; ++j) {
            CD s = 0;
            for (int l = 0; l < 5; ++l) s += std::conj(CD(f.get(l, i))) * CD(f.get(l, j));
            EXPECT_NEAR(std::abs(s - CD(m.get(i, j))), 0.0, 1e-4 * std::abs(CD(m.get(i, i))));
        }
    }
}

TEST(KernelCholesky, NonPositiveInputFails) {
    ComplexMatrix a(2, 2), r(2, 2);
    a.set(0, 0, 1, 0);
    a.set(0, 1, 2, 0);
    a.set(1, 0, 2, 0);
    a.set(1, 1, 1, 0);  // second radicand 1 - 4 < 0
    EXPECT_EQ(cholesky(&a, &r), kSingular);
    ComplexMatrix z(3, 3), inv(3, 3);  // zero radicand: singular, no inf in the factor
    EXPECT_EQ(cholesky(&z, &inv), kSingular);
    EXPECT_EQ(inverseHermitian(&z, &inv), kSingular);

    // Per bin: loading makes a singular bin factorisable.
    ComplexTensor3 t(2, 2, 2), tr(2, 2, 2);
    t.set(0, 0, 0, 1, 0);
    t.set(1, 1, 0, 1, 0);
    EXPECT_EQ(cholesky(&t, 0.0f, &tr), kSingular);  // bin 1 is all zero
    EXPECT_EQ(cholesky(&t, 1e-3f, &tr), 0);
    EXPECT_FLOAT_EQ(tr.real(1, 1, 1), std::sqrt(1e-3f));
}

TEST(KernelInverse, HermitianInverseMatchesReference) {
    std::mt19937 rng(11);
    for (int n : {1, 2, 4, 7}) {
        ComplexTensor3 spd(n, n, 1);
        fillSpd(&spd, &rng);
        ComplexMatrix m(n, n), inv(n, n);
        spd.getFrontalSlice(0, &m);
        ASSERT_EQ(inverseHermitian(&m, &inv), 0);
        const MatD ref = invertD(binOf(spd, 0));
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(inv.imag(i, i), 0.0f);
            for (int j = 0; j < n; ++j) {
                EXPECT_NEAR(std::abs(CD(inv.get(i, j)) - ref[i][j]), 0.0, 1e-5) << n;
                EXPECT_EQ(inv.get(j, i), std::conj(inv.get(i, j)));
            }
        }
        // in place
        ASSERT_EQ(inverseHermitian(&m, &m), 0);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) EXPECT_EQ(m.get(i, j), inv.get(i, j));
    }
}

TEST(KernelInverse, TensorInversesMatchReference) {
    std::mt19937 rng(5);
    const int n = 4, nb = 9;
    ComplexTensor3 spd(n, n, nb), inv(n, n, nb), ldlF(n, n, nb);
    fillSpd(&spd, &rng);
    const float loading = 0.5f;
    // loaded LDL^H inverse over bins 2 .. 7 only
    ASSERT_EQ(inverseHermitian(&spd, loading, &inv, 2, 6), 0);
    for (int k = 0; k < nb; ++k) {
        MatD a = binOf(spd, k);
        for (int i = 0; i < n; ++i) a[i][i] += loading;
        const MatD ref = invertD(a);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                if (k < 2 || k >= 8) {
                    EXPECT_EQ(inv.get(i, j, k), Complex(0, 0));
                } else {
                    EXPECT_NEAR(std::abs(CD(inv.get(i, j, k)) - ref[i][j]), 0.0, 1e-5);
                }
            }
    }

    // LDL^H factor reproduces the loaded matrix.
    ASSERT_EQ(ldl(&spd, loading, &ldlF, 0, nb), 0);
    for (int k = 0; k < nb; ++k)
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                CD s = 0;
                for (int l = 0; l <= std::min(i, j); ++l) {
                    const CD li = l == i ? CD(1) : CD(ldlF.get(i, l, k));
                    const CD lj = l == j ? CD(1) : CD(ldlF.get(j, l, k));
                    s += li * double(ldlF.real(l, l, k)) * std::conj(lj);
                }
                const CD want = CD(spd.get(i, j, k)) + (i == j ? CD(loading) : CD(0));
                EXPECT_NEAR(std::abs(s - want), 0.0, 1e-4 * n);
                if (j > i) {
                    EXPECT_EQ(ldlF.get(i, j, k), Complex(0, 0));
                }
            }

    // General complex inverse of non-Hermitian bins through the real embedding.
    ComplexTensor3 g(3, 3, 4), ginv(3, 3, 4);
    std::normal_distribution<float> gauss;
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                g.set(i, j, k, gauss(rng) + (i == j ? 3.0f : 0.0f), gauss(rng));
    ASSERT_EQ(inverse(&g, &ginv), 0);
    for (int k = 0; k < 4; ++k) {
        const MatD ref = invertD(binOf(g, k));
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                EXPECT_NEAR(std::abs(CD(ginv.get(i, j, k)) - ref[i][j]), 0.0, 1e-4);
    }
}

TEST(KernelLdl, MatrixFormAndNonPositivePivot) {
    ComplexMatrix a(2, 2), l(2, 2);
    a.set(0, 0, 4, 0);
    a.set(1, 0, 2, -2);
    a.set(0, 1, 2, 2);
    a.set(1, 1, 5, 0);
    ASSERT_EQ(ldl(&a, &l), 0);
    EXPECT_FLOAT_EQ(l.real(0, 0), 4.0f);                // d0
    EXPECT_EQ(l.get(1, 0), Complex(0.5f, -0.5f));       // l10 = a10 / d0
    EXPECT_FLOAT_EQ(l.real(1, 1), 5.0f - 0.5f * 4.0f);  // d1 = a11 - |l10|^2 d0
    EXPECT_EQ(l.get(0, 1), Complex(0, 0));
    a.set(1, 1, 1, 0);  // d1 = 1 - 2 < 0
    EXPECT_EQ(ldl(&a, &l), kSingular);
}

TEST(KernelGaussJordan, PivotsBySwappingRows) {
    Matrix a(2, 2), r(2, 2);
    a.set(0, 1, 1);
    a.set(1, 0, 1);
    ASSERT_EQ(inverse(&a, &r), 0);
    EXPECT_EQ(r.get(0, 0), 0.0f);
    EXPECT_EQ(r.get(0, 1), 1.0f);
    EXPECT_EQ(r.get(1, 0), 1.0f);
    EXPECT_EQ(r.get(1, 1), 0.0f);

    // 3 x 3 whose first column needs row 2 as pivot (row 1's entry is below 1e-6)
    const float m[3][3] = {{0, 2, 1}, {1e-7f, 1, 3}, {2, 1, 0}};
    Matrix b(3, 3), binv(3, 3);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) b.set(i, j, m[i][j]);
    ASSERT_EQ(inverse(&b, &binv), 0);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            float s = 0;
            for (int l = 0; l < 3; ++l) s += m[i][l] * binv.get(l, j);
            EXPECT_NEAR(s, i == j ? 1.0f : 0.0f, 1e-5f);
        }

    Matrix z(3, 3), zi(3, 3);
    EXPECT_EQ(inverse(&z, &zi), kSingular);
}

TEST(KernelCovariance, UpdateIsExactlyHermitian) {
    // 0.9 * 0 + 0.1 * x x^H with x = (1, i)
    ComplexTensor3 c(2, 2, 3);
    ComplexMatrix x(2, 3);
    for (int k = 0; k < 3; ++k) {
        x.set(0, k, 1, 0);
        x.set(1, k, 0, 1);
    }
    updateCovariance(0.9f, 0.1f, &c, &x, &c);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(c.get(0, 0, k), Complex(0.1f, 0.0f));
        EXPECT_EQ(c.get(1, 1, k), Complex(0.1f, 0.0f));
        EXPECT_EQ(c.get(0, 1, k), Complex(0.0f, -0.1f));
        EXPECT_EQ(c.get(1, 0, k), Complex(0.0f, 0.1f));
    }

    // Many random per-bin updates in place: exact Hermitian symmetry, values vs double reference.
    std::mt19937 rng(3);
    const int n = 4, nb = 10;
    ComplexTensor3 cov(n, n, nb);
    std::vector<MatD> ref(nb, MatD(n, std::vector<CD>(n)));
    Vector alpha(nb), beta(nb);
    for (int k = 0; k < nb; ++k) {
        alpha.set(k, 0.8f + 0.01f * k);
        beta.set(k, 0.2f);
    }
    ComplexMatrix snap(n, nb);
    for (int it = 0; it < 50; ++it) {
        fillGaussian(&snap, &rng);
        updateCovariance(&alpha, &beta, &cov, &snap, &cov);
        for (int k = 0; k < nb; ++k)
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j)
                    ref[k][i][j] =
                        double(alpha.get(k)) * ref[k][i][j] +
                        double(beta.get(k)) * CD(snap.get(i, k)) * std::conj(CD(snap.get(j, k)));
    }
    expectExactlyHermitian(cov);
    for (int k = 0; k < nb; ++k)
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                EXPECT_NEAR(std::abs(CD(cov.get(i, j, k)) - ref[k][i][j]), 0.0, 1e-4);

    // Bin range: bins outside the range stay untouched.
    ComplexTensor3 before(n, n, nb);
    before.copy(&cov);
    updateCovariance(&alpha, &beta, &cov, &snap, &cov, 3, 4);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            EXPECT_EQ(cov.get(i, j, 2), before.get(i, j, 2));
            EXPECT_EQ(cov.get(i, j, 7), before.get(i, j, 7));
            EXPECT_NE(cov.get(0, 0, 3), before.get(0, 0, 3));
        }
}

TEST(KernelCovariance, CrossCovarianceUsesConjugateOfY) {
    ComplexTensor3 c(1, 2, 2), out(1, 2, 2);
    ComplexMatrix x(1, 2), y(2, 2);
    Vector alpha(2), beta(2);
    alpha.fill(0.5f);
    beta.fill(2.0f);
    c.fill(1.0f, 1.0f);
    x.set(0, 1, 1, 2);
    y.set(1, 1, 3, -1);
    updateCrossCovariance(&alpha, &beta, &c, &x, &y, &out);
    // 0.5 (1 + i) + 2 (1 + 2i)(3 + i) = 0.5 + 0.5i + 2 (1 + 7i)
    EXPECT_EQ(out.get(0, 1, 1), Complex(2.5f, 14.5f));
    EXPECT_EQ(out.get(0, 0, 1), Complex(0.5f, 0.5f));
}

TEST(KernelShermanMorrison, KnownUpdateAndRandomAgainstDirectInverse) {
    ComplexTensor3 ic(2, 2, 1);
    ic.set(0, 0, 0, 1, 0);
    ic.set(1, 1, 0, 1, 0);
    ComplexMatrix x(2, 1);
    x.set(0, 0, 1, 0);
    updateInverseCovariance(1.0f, 1.0f, &ic, &x, &ic);
    EXPECT_FLOAT_EQ(ic.real(0, 0, 0), 0.5f);
    EXPECT_FLOAT_EQ(ic.real(1, 1, 0), 1.0f);
    EXPECT_EQ(ic.get(0, 1, 0), Complex(0, 0));

    std::mt19937 rng(21);
    for (int n : {2, 3, 8}) {
        const int nb = 37;  // not a multiple of 4: the scalar tail runs too
        ComplexTensor3 c(n, n, nb), ic0(n, n, nb), scalarOut(n, n, nb), binOut(n, n, nb),
            rangeOut(n, n, nb);
        fillSpd(&c, &rng);
        for (int k = 0; k < nb; ++k) {
            const MatD inv = invertD(binOf(c, k));
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j) ic0.set(i, j, k, Complex(inv[i][j]));
        }
        ComplexMatrix snap(n, nb);
        fillGaussian(&snap, &rng);
        Vector alpha(nb), beta(nb);
        for (int k = 0; k < nb; ++k) {
            alpha.set(k, 0.7f + 0.005f * k);
            beta.set(k, 0.3f + 0.01f * k);
        }
        updateInverseCovariance(0.9f, 0.1f, &ic0, &snap, &scalarOut);
        updateInverseCovariance(&alpha, &beta, &ic0, &snap, &binOut);
        rangeOut.copy(&ic0);
        updateInverseCovariance(&alpha, &beta, &rangeOut, &snap, &rangeOut, 5, 30);
        expectExactlyHermitian(scalarOut);
        expectExactlyHermitian(binOut);
        for (int k = 0; k < nb; ++k) {
            MatD a1 = binOf(c, k), a2 = binOf(c, k);
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j) {
                    const CD xx = CD(snap.get(i, k)) * std::conj(CD(snap.get(j, k)));
                    a1[i][j] = 0.9 * a1[i][j] + 0.1 * xx;
                    a2[i][j] = double(alpha.get(k)) * a2[i][j] + double(beta.get(k)) * xx;
                }
            const MatD r1 = invertD(a1), r2 = invertD(a2);
            double scale = 0;
            for (int i = 0; i < n; ++i) scale = std::max(scale, std::abs(r2[i][i]));
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j) {
                    EXPECT_NEAR(std::abs(CD(scalarOut.get(i, j, k)) - r1[i][j]), 0.0, 1e-4 * scale);
                    EXPECT_NEAR(std::abs(CD(binOut.get(i, j, k)) - r2[i][j]), 0.0, 1e-4 * scale);
                    if (k >= 5 && k < 35) {
                        EXPECT_NEAR(std::abs(CD(rangeOut.get(i, j, k)) - r2[i][j]), 0.0,
                                    1e-4 * scale);
                    } else {
                        EXPECT_EQ(rangeOut.get(i, j, k), ic0.get(i, j, k));
                    }
                }
        }
    }
}

TEST(KernelShermanMorrison, MixingUpdateKeepsInverseOfChangedDemixing) {
    std::mt19937 rng(9);
    std::normal_distribution<float> g;
    const int n = 3, nb = 6, row = 1;
    ComplexTensor3 w(n, n, nb), a(n, n, nb);
    ComplexMatrix dw(n, nb);
    for (int k = 0; k < nb; ++k)
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) w.set(i, j, k, g(rng) + (i == j ? 3.0f : 0.0f), g(rng));
    for (int k = 0; k < nb; ++k) {
        const MatD inv = invertD(binOf(w, k));
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) a.set(i, j, k, Complex(inv[i][j]));
    }
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < nb; ++k) dw.set(i, k, 0.3f * g(rng), 0.3f * g(rng));
    updateMixing(&a, &dw, row);
    for (int k = 0; k < nb; ++k) {
        MatD w2 = binOf(w, k);
        for (int i = 0; i < n; ++i) w2[row][i] += CD(dw.get(i, k));
        const MatD ref = invertD(w2);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                EXPECT_NEAR(std::abs(CD(a.get(i, j, k)) - ref[i][j]), 0.0, 1e-4);
    }
}

TEST(KernelAllocation, CovarianceAndShermanMorrisonAllocateNothing) {
    const int n = 4, nb = 160;
    ComplexTensor3 c(n, n, nb), ic(n, n, nb);
    ComplexMatrix x(n, nb);
    Vector alpha(nb), beta(nb);
    alpha.fill(0.99f);
    beta.fill(0.01f);
    x.fillRandom();
    ic.fillRandomHermitian();
    loadDiagonal(&ic, 10.0f);
    test::AllocCounter count;
    for (int it = 0; it < 20; ++it) {
        updateCovariance(0.99f, 0.01f, &c, &x, &c);
        updateCovariance(&alpha, &beta, &c, &x, &c);
        updateInverseCovariance(0.99f, 0.01f, &ic, &x, &ic);
        updateInverseCovariance(&alpha, &beta, &ic, &x, &ic);
        updateInverseCovariance(&alpha, &beta, &ic, &x, &ic, 8, 100);
    }
    EXPECT_EQ(count.allocations(), 0);
}

TEST(Kernel2x2, DeterminantAndInversesMatchReference) {
    std::mt19937 rng(13);
    const int nb = 6;
    ComplexTensor3 h(2, 2, nb), hinv(2, 2, nb), ginv(2, 2, nb);
    fillSpd(&h, &rng);
    Vector det(nb);
    determinant2x2(&h, &det);
    inverseHermitian2x2(&h, 0.25f, &hinv);
    inverse2x2(&h, &ginv);
    for (int k = 0; k < nb; ++k) {
        const MatD a = binOf(h, k);
        EXPECT_NEAR(det.get(k), (a[0][0] * a[1][1] - a[0][1] * a[1][0]).real(), 1e-4);
        MatD loaded = a;
        loaded[0][0] += 0.25;
        loaded[1][1] += 0.25;
        const MatD r1 = invertD(loaded), r2 = invertD(a);
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) {
                EXPECT_NEAR(std::abs(CD(hinv.get(i, j, k)) - r1[i][j]), 0.0, 1e-5);
                EXPECT_NEAR(std::abs(CD(ginv.get(i, j, k)) - r2[i][j]), 0.0, 1e-5);
            }
    }
    // A near-singular general matrix does not blow up: |det|^2 below 1e-6 counts as 1, so
    // 1 / det becomes conj(det) = 1e-8 and the inverse stays finite.
    ComplexTensor3 s(2, 2, 1), sinv(2, 2, 1);
    s.set(0, 0, 0, 1e-4f, 0);
    s.set(1, 1, 0, 1e-4f, 0);
    inverse2x2(&s, &sinv);
    EXPECT_FLOAT_EQ(sinv.real(0, 0, 0), 1e-12f);
}

TEST(Kernel2x2, GeneralizedEigenproblemSolvesThePencil) {
    std::mt19937 rng(17);
    const int nb = 8;
    const float load = 1e-3f;
    ComplexTensor3 c0(2, 2, nb), c1(2, 2, nb), w1(2, 2, nb), w3(2, 2, nb);
    fillSpd(&c0, &rng);
    fillSpd(&c1, &rng);
    Matrix lambda(2, nb), lambda2(2, nb);
    generalizedEigen2x2(&c1, &c0, load, 1, &lambda, &w1);
    generalizedEigen2x2(&c1, &c0, load, 3, &lambda2, &w3);
    for (int k = 0; k < nb; ++k) {
        MatD a0 = binOf(c0, k), a1 = binOf(c1, k);
        for (int i = 0; i < 2; ++i) {
            a0[i][i] += load;
            a1[i][i] += load;
        }
        // reference: eigenvalues of c0^-1 c1, real and positive for this pencil
        const MatD inv0 = invertD(a0);
        CD m[2][2];
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) m[i][j] = inv0[i][0] * a1[0][j] + inv0[i][1] * a1[1][j];
        const CD tr = m[0][0] + m[1][1], dt = m[0][0] * m[1][1] - m[0][1] * m[1][0];
        const CD root = std::sqrt(tr * tr - 4.0 * dt);
        const double hi = ((tr + root) / 2.0).real(), lo = ((tr - root) / 2.0).real();
        EXPECT_NEAR(lambda.get(0, k), hi, 1e-3 * hi);
        EXPECT_NEAR(lambda.get(1, k), lo, 1e-3 * hi);
        EXPECT_EQ(lambda2.get(0, k), lambda.get(0, k));
        // every row r solves w_r (c1 - lambda_r c0) = 0
        for (const ComplexTensor3* w : {&w1, &w3})
            for (int r = 0; r < 2; ++r) {
                const double lr = lambda.get(r, k);
                const CD wr0(w->get(r, 0, k)), wr1(w->get(r, 1, k));
                const double scale = std::abs(wr0) + std::abs(wr1);
                for (int j = 0; j < 2; ++j) {
                    const CD res =
                        wr0 * (a1[0][j] - lr * a0[0][j]) + wr1 * (a1[1][j] - lr * a0[1][j]);
                    EXPECT_NEAR(std::abs(res), 0.0, 2e-3 * scale * std::abs(a1[j][j]));
                }
            }
        const CD det1 =
            CD(w1.get(0, 0, k)) * CD(w1.get(1, 1, k)) - CD(w1.get(0, 1, k)) * CD(w1.get(1, 0, k));
        EXPECT_NEAR(std::abs(det1 - 1.0), 0.0, 1e-4);
    }
    // demix2x2 with per-bin loadings agrees with the scalar-loaded type 3
    Vector dl(nb);
    dl.fill(load);
    Matrix ev(2, nb);
    ComplexTensor3 d(2, 2, nb);
    demix2x2(&c0, &c1, &dl, &dl, &ev, &d);
    for (int k = 0; k < nb; ++k) {
        EXPECT_EQ(ev.get(0, k), lambda2.get(0, k));
        EXPECT_EQ(ev.get(1, k), lambda2.get(1, k));
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) EXPECT_EQ(d.get(i, j, k), w3.get(i, j, k));
    }
}

TEST(KernelQuadraticForm, MatchesDirectProduct) {
    std::mt19937 rng(23);
    const int n = 3, nb = 5;
    ComplexTensor3 c(n, n, nb);
    fillSpd(&c, &rng);
    ComplexMatrix w(n, nb);
    fillGaussian(&w, &rng);
    Vector q(nb);
    quadraticForm(&c, &w, &q);
    for (int k = 0; k < nb; ++k) {
        CD s = 0;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                s += std::conj(CD(w.get(i, k))) * CD(c.get(i, j, k)) * CD(w.get(j, k));
        EXPECT_NEAR(q.get(k), s.real(), 1e-4 * std::abs(s));
        ComplexMatrix ck(n, n);
        ComplexVector wk(n);
        c.getFrontalSlice(k, &ck);
        w.getColumn(k, &wk);
        EXPECT_NEAR(quadraticForm(&ck, &wk), s.real(), 1e-4 * std::abs(s));
    }
}

TEST(KernelAssertions, ShapeMismatchNamesTheCondition) {
    ComplexTensor3 c(2, 2, 4);
    ComplexMatrix x(3, 4);
    EXPECT_DEATH(updateCovariance(0.9f, 0.1f, &c, &x, &c),
                 "cxx->numRows\\(\\) == numrows && cxx->numColumns\\(\\) == numrows && "
                 "cxx->depth\\(\\) == depth");
    ComplexMatrix x2(2, 4);
    Vector alpha(3), beta(4);
    EXPECT_DEATH(updateInverseCovariance(&alpha, &beta, &c, &x2, &c),
                 "alpha->size\\(\\) == ic0->depth\\(\\)");
    ComplexMatrix a(2, 3), r(2, 2);
    EXPECT_DEATH(cholesky(&a, &r), "ma->numRows\\(\\) == ma->numColumns\\(\\)");
}

}  // namespace
}  // namespace velmora::blas
