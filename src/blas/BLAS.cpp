// Numeric kernels. Hot loops run over the contiguous runs of the containers (vectors, matrix
// rows, tensor depth fibers) through forEach(), whose main part has a trip count that is a
// multiple of 4 and carries no loop dependence, so g++ -O2 vectorises it; complex values are
// handled as interleaved float pairs (real, imaginary) to keep the arithmetic plain.

#include "blas/BLAS.h"

#include "blas/Random.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Error.h"

namespace velmora::blas {

namespace {

constexpr float kTiny = 1e-6f;                      // pivot / norm / |det|^2 floor
constexpr float kSumFloor = 2.220446049250313e-16;  // below: a sum is treated as zero
constexpr float kFloatMax = 3.4028235e38f;          // start values of the searches

// Stack workspace of the kernels that need temporaries (32 KB of floats).
constexpr int kScratchFloats = 8192;
constexpr int kScratchComplex = kScratchFloats / 2;
constexpr int kMaxChunk = 256;    // bins processed per pass of the chunked kernels
constexpr int kMaxEmbedded = 64;  // 2 x 64 x 64 floats: real embedding and inverse in the workspace
static_assert(2 * kMaxEmbedded * kMaxEmbedded <= kScratchFloats, "workspace too small");

// Calls body(i) for i in [0, n). The first n & ~3 iterations are declared independent so the
// compiler vectorises them without a runtime alias check; element-wise kernels are safe with
// an output that is exactly an input, since every iteration reads and writes one index only.
template <class Body>
inline __attribute__((always_inline)) void forEach(int n, Body body) {
    const int n4 = n & ~3;
#pragma GCC ivdep
    for (int i = 0; i < n4; ++i) body(i);
    for (int i = n4; i < n; ++i) body(i);
}

inline float* fl(Complex* p) {
    return reinterpret_cast<float*>(p);
}
inline const float* fl(const Complex* p) {
    return reinterpret_cast<const float*>(p);
}

inline float re(const float* p, int k) {
    return p[2 * k];
}
inline float im(const float* p, int k) {
    return p[2 * k + 1];
}

// Bins per pass so that `rows` complex runs of that length fit the workspace.
inline int chunkFor(int rows) {
    VM_ASSERT(rows > 0 && rows * 4 <= kScratchComplex);
    return std::min(kMaxChunk, (kScratchComplex / rows) & ~3);
}

}  // namespace

// ---- Element-wise arithmetic ----------------------------------------------------------------

namespace {

template <class Op>
void binaryReal(const float* a, const float* b, float* c, int n, Op op) {
    forEach(n, [&](int i) { c[i] = op(a[i], b[i]); });
}

template <class Op>
void binaryRealMatrix(const Matrix* a, const Matrix* b, Matrix* c, Op op) {
    VM_ASSERT(a->numRows() == b->numRows() && a->numColumns() == b->numColumns());
    VM_ASSERT(a->numRows() == c->numRows() && a->numColumns() == c->numColumns());
    for (int i = 0; i < a->numRows(); ++i)
        binaryReal(a->data()[i], b->data()[i], c->data()[i], a->numColumns(), op);
}

template <class Op>
void binaryComplexMatrix(const ComplexMatrix* a, const ComplexMatrix* b, ComplexMatrix* c, Op op) {
    VM_ASSERT(a->numRows() == b->numRows() && a->numColumns() == b->numColumns());
    VM_ASSERT(a->numRows() == c->numRows() && a->numColumns() == c->numColumns());
    for (int i = 0; i < a->numRows(); ++i)
        binaryReal(fl(a->data()[i]), fl(b->data()[i]), fl(c->data()[i]), 2 * a->numColumns(), op);
}

template <class Op>
void binaryTensor(const ComplexTensor3* a, const ComplexTensor3* b, ComplexTensor3* c, Op op) {
    VM_ASSERT(a->numRows() == b->numRows() && a->numColumns() == b->numColumns());
    VM_ASSERT(a->numRows() == c->numRows() && a->numColumns() == c->numColumns());
    VM_ASSERT(a->depth() == b->depth());
    VM_ASSERT(a->depth() == c->depth());
    for (int i = 0; i < a->numRows(); ++i)
        for (int j = 0; j < a->numColumns(); ++j)
            binaryReal(fl(a->data()[i][j]), fl(b->data()[i][j]), fl(c->data()[i][j]),
                       2 * a->depth(), op);
}

const auto kPlus = [](float x, float y) { return x + y; };
const auto kMinus = [](float x, float y) { return x - y; };

}  // namespace

void add(const Vector* a, const Vector* b, Vector* c) {
    VM_ASSERT(a->size() == b->size() && a->size() == c->size());
    binaryReal(a->data(), b->data(), c->data(), a->size(), kPlus);
}
void add(const Matrix* a, const Matrix* b, Matrix* c) {
    binaryRealMatrix(a, b, c, kPlus);
}
void add(const ComplexVector* a, const ComplexVector* b, ComplexVector* c) {
    VM_ASSERT(a->size() == b->size() && a->size() == c->size());
    binaryReal(fl(a->data()), fl(b->data()), fl(c->data()), 2 * a->size(), kPlus);
}
void add(const ComplexMatrix* a, const ComplexMatrix* b, ComplexMatrix* c) {
    binaryComplexMatrix(a, b, c, kPlus);
}
void add(const ComplexTensor3* a, const ComplexTensor3* b, ComplexTensor3* c) {
    binaryTensor(a, b, c, kPlus);
}

void subtract(const Vector* a, const Vector* b, Vector* c) {
    VM_ASSERT(a->size() == b->size() && a->size() == c->size());
    binaryReal(a->data(), b->data(), c->data(), a->size(), kMinus);
}
void subtract(const Matrix* a, const Matrix* b, Matrix* c) {
    binaryRealMatrix(a, b, c, kMinus);
}
void subtract(const ComplexVector* va, const ComplexVector* vb, ComplexVector* vc) {
    VM_ASSERT(vc->size() == va->size());
    VM_ASSERT(vc->size() == vb->size());
    binaryReal(fl(va->data()), fl(vb->data()), fl(vc->data()), 2 * va->size(), kMinus);
}
void subtract(const ComplexMatrix* a, const ComplexMatrix* b, ComplexMatrix* c) {
    binaryComplexMatrix(a, b, c, kMinus);
}
void subtract(const ComplexTensor3* a, const ComplexTensor3* b, ComplexTensor3* c) {
    binaryTensor(a, b, c, kMinus);
}

void scale(const float* a, float x, float* b, int n) {
    forEach(n, [&](int i) { b[i] = x * a[i]; });
}
void scale(const Vector* a, float x, Vector* b) {
    VM_ASSERT(a->size() == b->size());
    scale(a->data(), x, b->data(), a->size());
}
void scale(const Matrix* a, float x, Matrix* b) {
    VM_ASSERT(a->numRows() == b->numRows() && a->numColumns() == b->numColumns());
    for (int i = 0; i < a->numRows(); ++i) scale(a->data()[i], x, b->data()[i], a->numColumns());
}
void scale(const ComplexVector* a, float x, ComplexVector* b) {
    VM_ASSERT(a->size() == b->size());
    scale(fl(a->data()), x, fl(b->data()), 2 * a->size());
}
void scale(const ComplexMatrix* a, float x, ComplexMatrix* b) {
    VM_ASSERT(a->numRows() == b->numRows() && a->numColumns() == b->numColumns());
    for (int i = 0; i < a->numRows(); ++i)
        scale(fl(a->data()[i]), x, fl(b->data()[i]), 2 * a->numColumns());
}
void scale(const ComplexTensor3* ta, float x, ComplexTensor3* tb) {
    VM_ASSERT(ta->numRows() == tb->numRows());
    VM_ASSERT(ta->numColumns() == tb->numColumns());
    VM_ASSERT(ta->depth() == tb->depth());
    for (int i = 0; i < ta->numRows(); ++i)
        for (int j = 0; j < ta->numColumns(); ++j)
            scale(fl(ta->data()[i][j]), x, fl(tb->data()[i][j]), 2 * ta->depth());
}
void scale(const ComplexVector* a, float sre, float sim, ComplexVector* b) {
    VM_ASSERT(a->size() == b->size());
    const float* pa = fl(a->data());
    float* pb = fl(b->data());
    forEach(a->size(), [&](int k) {
        const float ar = re(pa, k), ai = im(pa, k);
        pb[2 * k] = sre * ar - sim * ai;
        pb[2 * k + 1] = sre * ai + sim * ar;
    });
}

void multiply(const Vector* a, const Vector* b, Vector* c) {
    VM_ASSERT(a->size() == c->size() && b->size() == c->size());
    binaryReal(a->data(), b->data(), c->data(), a->size(), [](float x, float y) { return x * y; });
}
void multiply(const Vector* a, const ComplexVector* b, ComplexVector* c) {
    VM_ASSERT(a->size() == c->size() && b->size() == c->size());
    const float* pa = a->data();
    const float* pb = fl(b->data());
    float* pc = fl(c->data());
    forEach(a->size(), [&](int k) {
        pc[2 * k] = pa[k] * pb[2 * k];
        pc[2 * k + 1] = pa[k] * pb[2 * k + 1];
    });
}

namespace {
// c = a * b (conjA false) or conj(a) * b (conjA true) over n complex values.
inline void complexProduct(const float* pa, const float* pb, float* pc, int n, bool conjA) {
    const float s = conjA ? -1.0f : 1.0f;
    forEach(n, [&](int k) {
        const float ar = re(pa, k), ai = s * im(pa, k), br = re(pb, k), bi = im(pb, k);
        pc[2 * k] = ar * br - ai * bi;
        pc[2 * k + 1] = ar * bi + ai * br;
    });
}
// acc += a * b over n complex values.
inline void complexProductAdd(const float* pa, const float* pb, float* acc, int n) {
    forEach(n, [&](int k) {
        const float ar = re(pa, k), ai = im(pa, k), br = re(pb, k), bi = im(pb, k);
        acc[2 * k] += ar * br - ai * bi;
        acc[2 * k + 1] += ar * bi + ai * br;
    });
}
}  // namespace

void multiply(const ComplexVector* a, const ComplexVector* b, ComplexVector* c) {
    VM_ASSERT(a->size() == c->size() && b->size() == c->size());
    complexProduct(fl(a->data()), fl(b->data()), fl(c->data()), a->size(), false);
}
void multiplyConj(const ComplexVector* a, const ComplexVector* b, ComplexVector* c) {
    VM_ASSERT(a->size() == c->size() && b->size() == c->size());
    complexProduct(fl(a->data()), fl(b->data()), fl(c->data()), a->size(), true);
}
void multiply(const ComplexMatrix* a, const ComplexMatrix* b, ComplexMatrix* c) {
    VM_ASSERT(a->numRows() == b->numRows() && a->numColumns() == b->numColumns());
    VM_ASSERT(a->numRows() == c->numRows() && a->numColumns() == c->numColumns());
    for (int i = 0; i < a->numRows(); ++i)
        complexProduct(fl(a->data()[i]), fl(b->data()[i]), fl(c->data()[i]), a->numColumns(),
                       false);
}

void scaleColumns(const Matrix* m, const Vector* s, Matrix* r) {
    VM_ASSERT(s->size() == m->numColumns());
    VM_ASSERT(m->numRows() == r->numRows() && m->numColumns() == r->numColumns());
    for (int i = 0; i < m->numRows(); ++i)
        binaryReal(m->data()[i], s->data(), r->data()[i], m->numColumns(),
                   [](float x, float y) { return x * y; });
}
void scaleColumns(const ComplexMatrix* m, const Vector* s, ComplexMatrix* r) {
    VM_ASSERT(s->size() == m->numColumns());
    VM_ASSERT(m->numRows() == r->numRows() && m->numColumns() == r->numColumns());
    const float* ps = s->data();
    for (int i = 0; i < m->numRows(); ++i) {
        const float* pm = fl(m->data()[i]);
        float* pr = fl(r->data()[i]);
        forEach(m->numColumns(), [&](int k) {
            pr[2 * k] = ps[k] * pm[2 * k];
            pr[2 * k + 1] = ps[k] * pm[2 * k + 1];
        });
    }
}
void scaleColumns(const ComplexMatrix* m, const ComplexVector* s, ComplexMatrix* r) {
    VM_ASSERT(s->size() == m->numColumns());
    VM_ASSERT(m->numRows() == r->numRows() && m->numColumns() == r->numColumns());
    for (int i = 0; i < m->numRows(); ++i)
        complexProduct(fl(s->data()), fl(m->data()[i]), fl(r->data()[i]), m->numColumns(), false);
}

void multiplyAdd(const Vector* a, const Vector* b, const Vector* c, Vector* r) {
    VM_ASSERT(a->size() == b->size());
    VM_ASSERT(a->size() == c->size());
    VM_ASSERT(a->size() == r->size());
    const float *pa = a->data(), *pb = b->data(), *pc = c->data();
    float* pr = r->data();
    forEach(a->size(), [&](int i) { pr[i] = pb[i] * pc[i] + pa[i]; });
}
void multiplyAdd(const ComplexVector* a, const ComplexVector* b, const ComplexVector* c,
                 ComplexVector* r) {
    VM_ASSERT(a->size() == b->size());
    VM_ASSERT(a->size() == c->size());
    VM_ASSERT(a->size() == r->size());
    const float *pa = fl(a->data()), *pb = fl(b->data()), *pc = fl(c->data());
    float* pr = fl(r->data());
    forEach(a->size(), [&](int k) {
        const float br = re(pb, k), bi = im(pb, k), cr = re(pc, k), ci = im(pc, k);
        pr[2 * k] = br * cr - bi * ci + pa[2 * k];
        pr[2 * k + 1] = br * ci + bi * cr + pa[2 * k + 1];
    });
}

void reciprocal(const Matrix* m, float x, Matrix* r) {
    VM_ASSERT(m->numRows() == r->numRows() && m->numColumns() == r->numColumns());
    for (int i = 0; i < m->numRows(); ++i) {
        const float* pm = m->data()[i];
        float* pr = r->data()[i];
        forEach(m->numColumns(), [&](int j) { pr[j] = 1.0f / (pm[j] + x); });
    }
}

namespace {
inline void divideRun(const float* pa, const float* pb, float x, float* pr, int n) {
    forEach(n, [&](int k) {
        const float inv = 1.0f / (pb[k] + x);
        pr[2 * k] = pa[2 * k] * inv;
        pr[2 * k + 1] = pa[2 * k + 1] * inv;
    });
}
}  // namespace

void divide(const ComplexMatrix* ma, const Matrix* mb, float x, ComplexMatrix* r) {
    VM_ASSERT(ma->numRows() == mb->numRows() && ma->numColumns() == mb->numColumns());
    VM_ASSERT(ma->numRows() == r->numRows() && ma->numColumns() == r->numColumns());
    for (int i = 0; i < ma->numRows(); ++i)
        divideRun(fl(ma->data()[i]), mb->data()[i], x, fl(r->data()[i]), ma->numColumns());
}
void divide(const ComplexVector* va, const Vector* vb, float x, ComplexVector* r) {
    VM_ASSERT(va->size() == vb->size());
    VM_ASSERT(va->size() == r->size());
    divideRun(fl(va->data()), vb->data(), x, fl(r->data()), va->size());
}

void accumulateColumnProducts(const Matrix* a, const Matrix* b, Vector* c) {
    VM_ASSERT(a->numRows() == b->numRows() && a->numColumns() == b->numColumns());
    VM_ASSERT(c->size() == a->numColumns());
    float* pc = c->data();
    for (int i = 0; i < a->numRows(); ++i) {
        const float *pa = a->data()[i], *pb = b->data()[i];
        forEach(a->numColumns(), [&](int j) { pc[j] += pa[j] * pb[j]; });
    }
}
void accumulateColumnProducts(const ComplexMatrix* a, const ComplexMatrix* b, ComplexVector* c) {
    VM_ASSERT(a->numRows() == b->numRows() && a->numColumns() == b->numColumns());
    VM_ASSERT(c->size() == a->numColumns());
    for (int i = 0; i < a->numRows(); ++i)
        complexProductAdd(fl(a->data()[i]), fl(b->data()[i]), fl(c->data()), a->numColumns());
}
void accumulateRowProducts(const Matrix* a, const Matrix* b, Vector* c) {
    VM_ASSERT(a->numRows() == b->numRows() && a->numColumns() == b->numColumns());
    VM_ASSERT(c->size() == a->numRows());
    for (int i = 0; i < a->numRows(); ++i) {
        const float *pa = a->data()[i], *pb = b->data()[i];
        float s = 0.0f;
        for (int j = 0; j < a->numColumns(); ++j) s += pa[j] * pb[j];
        c->data()[i] += s;
    }
}
void accumulateRowProducts(const ComplexMatrix* a, const ComplexMatrix* b, ComplexVector* c) {
    VM_ASSERT(a->numRows() == b->numRows() && a->numColumns() == b->numColumns());
    VM_ASSERT(c->size() == a->numRows());
    for (int i = 0; i < a->numRows(); ++i) {
        const float *pa = fl(a->data()[i]), *pb = fl(b->data()[i]);
        float sr = 0.0f, si = 0.0f;
        for (int j = 0; j < a->numColumns(); ++j) {
            sr += re(pa, j) * re(pb, j) - im(pa, j) * im(pb, j);
            si += re(pa, j) * im(pb, j) + im(pa, j) * re(pb, j);
        }
        c->data()[i] += Complex(sr, si);
    }
}
void accumulateProducts(const ComplexTensor3* a, const ComplexTensor3* b, ComplexMatrix* c) {
    VM_ASSERT(a->numRows() == b->numRows() && a->numColumns() == b->numColumns());
    VM_ASSERT(a->depth() == b->depth());
    VM_ASSERT(a->numColumns() == c->numRows() && a->depth() == c->numColumns());
    for (int i = 0; i < a->numRows(); ++i)
        for (int j = 0; j < a->numColumns(); ++j)
            complexProductAdd(fl(a->data()[i][j]), fl(b->data()[i][j]), fl(c->data()[j]),
                              a->depth());
}

// ---- Matrix-vector and per-bin products ---------------------------------------------------

void multiply(const ComplexMatrix* ma, const ComplexVector* vb, ComplexVector* vc) {
    VM_ASSERT(ma->numRows() == vc->size());
    VM_ASSERT(ma->numColumns() == vb->size());
    VM_ASSERT(vb != vc);
    const float* pb = fl(vb->data());
    for (int i = 0; i < ma->numRows(); ++i) {
        const float* pa = fl(ma->data()[i]);
        float sr = 0.0f, si = 0.0f;
        for (int j = 0; j < ma->numColumns(); ++j) {
            sr += re(pa, j) * re(pb, j) - im(pa, j) * im(pb, j);
            si += re(pa, j) * im(pb, j) + im(pa, j) * re(pb, j);
        }
        vc->data()[i] = Complex(sr, si);
    }
}

void multiplyPerBin(const ComplexTensor3* a, const ComplexMatrix* s, ComplexMatrix* x) {
    VM_ASSERT(a->numRows() == x->numRows());
    VM_ASSERT(a->numColumns() == s->numRows());
    VM_ASSERT(a->depth() == s->numColumns());
    VM_ASSERT(a->depth() == x->numColumns());
    VM_ASSERT(s != x);
    const int nb = a->depth();
    for (int j = 0; j < a->numRows(); ++j) {
        float* px = fl(x->data()[j]);
        forEach(2 * nb, [&](int k) { px[k] = 0.0f; });
        for (int c = 0; c < a->numColumns(); ++c)
            complexProductAdd(fl(a->data()[j][c]), fl(s->data()[c]), px, nb);
    }
}

void multiplyPerBinPower(const ComplexTensor3* a, const ComplexMatrix* s, Matrix* xsq) {
    VM_ASSERT(a->numRows() == xsq->numRows());
    VM_ASSERT(a->numColumns() == s->numRows());
    VM_ASSERT(a->depth() == s->numColumns());
    VM_ASSERT(a->depth() == xsq->numColumns());
    const int nb = a->depth();
    float acc[2 * kMaxChunk];
    for (int k0 = 0; k0 < nb; k0 += kMaxChunk) {
        const int len = std::min(kMaxChunk, nb - k0);
        for (int j = 0; j < a->numRows(); ++j) {
            forEach(2 * len, [&](int k) { acc[k] = 0.0f; });
            for (int c = 0; c < a->numColumns(); ++c)
                complexProductAdd(fl(a->data()[j][c] + k0), fl(s->data()[c] + k0), acc, len);
            float* pq = xsq->data()[j] + k0;
            forEach(len, [&](int k) { pq[k] = re(acc, k) * re(acc, k) + im(acc, k) * im(acc, k); });
        }
    }
}

namespace {
void tensorProduct(const ComplexTensor3* ta, const ComplexTensor3* tb, ComplexTensor3* tc,
                   int offset, int len) {
    VM_ASSERT(tc != ta && tc != tb);
    for (int i = 0; i < tc->numRows(); ++i)
        for (int j = 0; j < tc->numColumns(); ++j) {
            float* pc = fl(tc->data()[i][j] + offset);
            forEach(2 * len, [&](int k) { pc[k] = 0.0f; });
            for (int l = 0; l < ta->numColumns(); ++l)
                complexProductAdd(fl(ta->data()[i][l] + offset), fl(tb->data()[l][j] + offset), pc,
                                  len);
        }
}
}  // namespace

void multiplyPerBin(const ComplexTensor3* ta, const ComplexTensor3* tb, ComplexTensor3* tc) {
    VM_ASSERT(ta->depth() == tb->depth() && ta->depth() == tc->depth());
    VM_ASSERT(ta->numColumns() == tb->numRows());
    VM_ASSERT(ta->numRows() == tc->numRows() && tb->numColumns() == tc->numColumns());
    tensorProduct(ta, tb, tc, 0, ta->depth());
}

void multiplyPerBin(const ComplexTensor3* ta, const ComplexTensor3* tb, ComplexTensor3* tc,
                    int offset, int len) {
    const int mm = ta->numRows(), kk = ta->numColumns(), ff = ta->depth();
    const int nn = tb->numColumns();
    VM_ASSERT(tb->numRows() == kk && tb->numColumns() == nn && tb->depth() == ff);
    VM_ASSERT(tc->numRows() == mm && tc->numColumns() == nn && tc->depth() == ff);
    VM_ASSERT(offset >= 0 && offset < ff);
    VM_ASSERT(len >= 0 && offset + len <= ff);
    tensorProduct(ta, tb, tc, offset, len);
}

void filterMultichannel(const ComplexTensor3* w, const ComplexMatrix* data, ComplexMatrix* result) {
    const int nummics = w->numRows(), numbins = w->numColumns(), flen = w->depth();
    VM_ASSERT(data->numRows() == numbins && data->numColumns() == flen);
    VM_ASSERT(result->numRows() == nummics && result->numColumns() == numbins);
    for (int m = 0; m < nummics; ++m) {
        float* pr = fl(result->data()[m]);
        for (int b = 0; b < numbins; ++b) {
            const float* pw = fl(w->data()[m][b]);
            const float* pd = fl(data->data()[b]);
            float sr = 0.0f, si = 0.0f;
            for (int t = 0; t < flen; ++t) {
                sr += re(pw, t) * re(pd, t) - im(pw, t) * im(pd, t);
                si += re(pw, t) * im(pd, t) + im(pw, t) * re(pd, t);
            }
            pr[2 * b] = sr;
            pr[2 * b + 1] = si;
        }
    }
}

void filterMultichannelBinMajor(const ComplexTensor3* w, const ComplexMatrix* data,
                                ComplexMatrix* result) {
    const int numbins = w->numRows(), nummics = w->numColumns(), flen = w->depth();
    VM_ASSERT(data->numRows() == numbins && data->numColumns() == flen);
    VM_ASSERT(result->numRows() == nummics && result->numColumns() == numbins);
    for (int b = 0; b < numbins; ++b) {
        const float* pd = fl(data->data()[b]);
        for (int m = 0; m < nummics; ++m) {
            const float* pw = fl(w->data()[b][m]);
            float sr = 0.0f, si = 0.0f;
            for (int t = 0; t < flen; ++t) {
                sr += re(pw, t) * re(pd, t) - im(pw, t) * im(pd, t);
                si += re(pw, t) * im(pd, t) + im(pw, t) * re(pd, t);
            }
            result->data()[m][b] = Complex(sr, si);
        }
    }
}

// ---- Recursive smoothing -------------------------------------------------------------------

namespace {
inline void smoothRun(float a, const float* pavg, float b, const float* pm, float* pr, int n) {
    forEach(n, [&](int i) { pr[i] = a * pavg[i] + b * pm[i]; });
}
inline void smoothPowerRun(float a, const float* pa, float b, const float* px, float* pr, int n) {
    forEach(
        n, [&](int i) { pr[i] = a * pa[i] + b * (re(px, i) * re(px, i) + im(px, i) * im(px, i)); });
}
template <class Alpha, class Beta>
inline void smoothCrossRun(Alpha al, const float* pm, Beta be, const float* px, const float* py,
                           float* pr, int n) {
    forEach(n, [&](int k) {
        const float xr = re(px, k), xi = im(px, k), yr = re(py, k), yi = im(py, k);
        const float a = al(k), b = be(k);
        const float cr = a * pm[2 * k] + (xr * yr + xi * yi) * b;
        const float ci = a * pm[2 * k + 1] + (xi * yr - xr * yi) * b;
        pr[2 * k] = cr;
        pr[2 * k + 1] = ci;
    });
}
}  // namespace

void smooth(float a, const Matrix* avgm, float b, const Matrix* m, Matrix* result) {
    VM_ASSERT(avgm->numRows() == m->numRows() && avgm->numColumns() == m->numColumns());
    VM_ASSERT(avgm->numRows() == result->numRows() && avgm->numColumns() == result->numColumns());
    for (int i = 0; i < m->numRows(); ++i)
        smoothRun(a, avgm->data()[i], b, m->data()[i], result->data()[i], m->numColumns());
}
void smooth(float a, const Vector* avgv, float b, const Vector* v, Vector* result) {
    VM_ASSERT(avgv->size() == v->size());
    VM_ASSERT(avgv->size() == result->size());
    smoothRun(a, avgv->data(), b, v->data(), result->data(), v->size());
}
void smooth(float a, const ComplexMatrix* avgm, float b, const ComplexMatrix* m,
            ComplexMatrix* result) {
    VM_ASSERT(avgm->numRows() == m->numRows() && avgm->numColumns() == m->numColumns());
    VM_ASSERT(avgm->numRows() == result->numRows() && avgm->numColumns() == result->numColumns());
    for (int i = 0; i < m->numRows(); ++i)
        smoothRun(a, fl(avgm->data()[i]), b, fl(m->data()[i]), fl(result->data()[i]),
                  2 * m->numColumns());
}

void smoothPower(float a, const Vector* va, float b, const ComplexVector* vx, Vector* r) {
    VM_ASSERT(va->size() == vx->size());
    VM_ASSERT(va->size() == r->size());
    smoothPowerRun(a, va->data(), b, fl(vx->data()), r->data(), va->size());
}
void smoothPower(const Vector* a, const Vector* va, const Vector* b, const ComplexVector* vx,
                 Vector* r) {
    VM_ASSERT(va->size() == vx->size());
    VM_ASSERT(va->size() == r->size());
    VM_ASSERT(a->size() == va->size() && b->size() == va->size());
    const float *pal = a->data(), *pa = va->data(), *pbe = b->data(), *px = fl(vx->data());
    float* pr = r->data();
    forEach(va->size(), [&](int i) {
        pr[i] = pal[i] * pa[i] + pbe[i] * (re(px, i) * re(px, i) + im(px, i) * im(px, i));
    });
}
void smoothPower(float a, const Matrix* ma, float b, const ComplexMatrix* mx, Matrix* r, int offset,
                 int len) {
    const int numcols = ma->numColumns();
    VM_ASSERT(ma->numRows() == mx->numRows() && ma->numColumns() == mx->numColumns());
    VM_ASSERT(ma->numRows() == r->numRows() && ma->numColumns() == r->numColumns());
    VM_ASSERT(offset >= 0 && offset < numcols);
    VM_ASSERT(len >= 0 && offset + len <= numcols);
    for (int i = 0; i < ma->numRows(); ++i)
        smoothPowerRun(a, ma->data()[i] + offset, b, fl(mx->data()[i] + offset),
                       r->data()[i] + offset, len);
}

void smoothCrossPower(float a, const ComplexVector* va, float b, const ComplexVector* x,
                      const ComplexVector* y, ComplexVector* r) {
    VM_ASSERT(va->size() == x->size() && va->size() == y->size() && va->size() == r->size());
    smoothCrossRun([a](int) { return a; }, fl(va->data()), [b](int) { return b; }, fl(x->data()),
                   fl(y->data()), fl(r->data()), va->size());
}
void smoothCrossPower(const Vector* alpha, const ComplexVector* va, const Vector* beta,
                      const ComplexVector* x, const ComplexVector* y, ComplexVector* r) {
    VM_ASSERT(va->size() == alpha->size());
    VM_ASSERT(va->size() == beta->size());
    VM_ASSERT(va->size() == x->size() && va->size() == y->size() && va->size() == r->size());
    const float *pal = alpha->data(), *pbe = beta->data();
    smoothCrossRun([pal](int k) { return pal[k]; }, fl(va->data()), [pbe](int k) { return pbe[k]; },
                   fl(x->data()), fl(y->data()), fl(r->data()), va->size());
}
void smoothCrossPower(float a, const ComplexMatrix* ma, float b, const ComplexMatrix* mx,
                      const ComplexMatrix* my, ComplexMatrix* r, int offset, int len) {
    const int numcols = ma->numColumns();
    VM_ASSERT(ma->numRows() == mx->numRows() && ma->numColumns() == mx->numColumns());
    VM_ASSERT(ma->numRows() == my->numRows() && ma->numColumns() == my->numColumns());
    VM_ASSERT(ma->numRows() == r->numRows() && ma->numColumns() == r->numColumns());
    VM_ASSERT(offset >= 0 && offset < numcols);
    VM_ASSERT(len >= 0 && offset + len <= numcols);
    for (int i = 0; i < ma->numRows(); ++i)
        smoothCrossRun([a](int) { return a; }, fl(ma->data()[i] + offset), [b](int) { return b; },
                       fl(mx->data()[i] + offset), fl(my->data()[i] + offset),
                       fl(r->data()[i] + offset), len);
}

// ---- Hermitian covariance updates ----------------------------------------------------------

namespace {

// Upper triangle and diagonal of out = al * cxx + be * x x^H over bins k0 .. k0 + len - 1,
// lower triangle mirrored. al(t), be(t) give the coefficients of bin k0 + t.
template <class Alpha, class Beta>
void covarianceUpdate(Alpha al, Beta be, const ComplexTensor3* cxx, const ComplexMatrix* x,
                      ComplexTensor3* out, int k0, int len) {
    const int n = x->numRows();
    for (int i = 0; i < n; ++i) {
        const float* xi = fl(x->data()[i] + k0);
        {
            const float* c = fl(cxx->data()[i][i] + k0);
            float* o = fl(out->data()[i][i] + k0);
            forEach(len, [&](int k) {
                const float p = re(xi, k) * re(xi, k) + im(xi, k) * im(xi, k);
                o[2 * k] = al(k) * c[2 * k] + be(k) * p;
                o[2 * k + 1] = 0.0f;
            });
        }
        for (int j = i + 1; j < n; ++j) {
            const float* xj = fl(x->data()[j] + k0);
            const float* c = fl(cxx->data()[i][j] + k0);
            float* o = fl(out->data()[i][j] + k0);
            float* mirror = fl(out->data()[j][i] + k0);
            forEach(len, [&](int k) {
                const float pr = re(xi, k) * re(xj, k) + im(xi, k) * im(xj, k);
                const float pi = im(xi, k) * re(xj, k) - re(xi, k) * im(xj, k);
                const float orr = al(k) * c[2 * k] + be(k) * pr;
                const float oi = al(k) * c[2 * k + 1] + be(k) * pi;
                o[2 * k] = orr;
                o[2 * k + 1] = oi;
                mirror[2 * k] = orr;
                mirror[2 * k + 1] = -oi;
            });
        }
    }
}

}  // namespace

void updateCovariance(float alpha, float beta, const ComplexTensor3* cxx, const ComplexMatrix* x,
                      ComplexTensor3* out) {
    const int numrows = x->numRows(), depth = x->numColumns();
    VM_ASSERT(cxx->numRows() == numrows && cxx->numColumns() == numrows && cxx->depth() == depth);
    VM_ASSERT(out->numRows() == numrows && out->numColumns() == numrows && out->depth() == depth);
    covarianceUpdate([alpha](int) { return alpha; }, [beta](int) { return beta; }, cxx, x, out, 0,
                     depth);
}

void updateCovariance(const Vector* alpha, const Vector* beta, const ComplexTensor3* cxx,
                      const ComplexMatrix* x, ComplexTensor3* out) {
    const int numchs = out->numRows(), numbins = out->depth();
    VM_ASSERT(out->numColumns() == numchs);
    VM_ASSERT(cxx->numRows() == numchs && cxx->numColumns() == numchs);
    VM_ASSERT(cxx->depth() == numbins);
    VM_ASSERT(x->numRows() == numchs && x->numColumns() == numbins);
    VM_ASSERT(alpha->size() == numbins);
    VM_ASSERT(beta->size() == numbins);
    const float *pa = alpha->data(), *pb = beta->data();
    covarianceUpdate([pa](int k) { return pa[k]; }, [pb](int k) { return pb[k]; }, cxx, x, out, 0,
                     numbins);
}

void updateCovariance(const Vector* alpha, const Vector* beta, const ComplexTensor3* cxx,
                      const ComplexMatrix* x, ComplexTensor3* out, int offset, int len) {
    const int numchs = out->numRows(), numbins = out->depth();
    VM_ASSERT(out->numColumns() == numchs);
    VM_ASSERT(cxx->numRows() == numchs && cxx->numColumns() == numchs);
    VM_ASSERT(cxx->depth() == numbins);
    VM_ASSERT(x->numRows() == numchs && x->numColumns() == numbins);
    VM_ASSERT(alpha->size() == numbins);
    VM_ASSERT(beta->size() == numbins);
    VM_ASSERT(offset >= 0 && offset < numbins);
    VM_ASSERT(len >= 0 && offset + len <= numbins);
    const float *pa = alpha->data() + offset, *pb = beta->data() + offset;
    covarianceUpdate([pa](int k) { return pa[k]; }, [pb](int k) { return pb[k]; }, cxx, x, out,
                     offset, len);
}

void updateCrossCovariance(const Vector* alpha, const Vector* beta, const ComplexTensor3* c,
                           const ComplexMatrix* x, const ComplexMatrix* y, ComplexTensor3* out) {
    const int mm = c->numRows(), nn = c->numColumns(), ff = c->depth();
    VM_ASSERT(x->numRows() == mm && x->numColumns() == ff);
    VM_ASSERT(y->numRows() == nn && y->numColumns() == ff);
    VM_ASSERT(alpha->size() == ff);
    VM_ASSERT(beta->size() == ff);
    VM_ASSERT(out->numRows() == mm && out->numColumns() == nn && out->depth() == ff);
    const float *pa = alpha->data(), *pb = beta->data();
    for (int i = 0; i < mm; ++i)
        for (int j = 0; j < nn; ++j)
            smoothCrossRun([pa](int k) { return pa[k]; }, fl(c->data()[i][j]),
                           [pb](int k) { return pb[k]; }, fl(x->data()[i]), fl(y->data()[j]),
                           fl(out->data()[i][j]), ff);
}

// ---- Inverse-covariance updates ------------------------------------------------------------

namespace {

// out = s_k * ic0 - h_k * v v^H over bins k0 .. k0 + len - 1 with v = ic0 x and
// d = Re(x^H v); coefficients(k, d, &s, &h) gives s and h of bin k (absolute index).
// v lives in the stack workspace, one chunk of bins at a time, so the update may run in place.
template <class Coefficients>
void inverseCovarianceUpdate(const ComplexTensor3* ic0, const ComplexMatrix* x, ComplexTensor3* out,
                             int k0, int len, Coefficients coefficients) {
    const int n = ic0->numRows();
    const int chunk = chunkFor(n);
    alignas(16) float v[kScratchFloats];
    alignas(16) float sbuf[kMaxChunk];
    alignas(16) float hbuf[kMaxChunk];
    for (int kb = k0; kb < k0 + len; kb += chunk) {
        const int cl = std::min(chunk, k0 + len - kb);
        // v_i = sum_j ic0_ij x_j
        for (int i = 0; i < n; ++i) {
            float* vi = v + 2 * i * chunk;
            forEach(2 * cl, [&](int t) { vi[t] = 0.0f; });
            for (int j = 0; j < n; ++j)
                complexProductAdd(fl(ic0->data()[i][j] + kb), fl(x->data()[j] + kb), vi, cl);
        }
        // d = Re(x^H v), then the per-bin coefficients
        forEach(cl, [&](int t) { hbuf[t] = 0.0f; });
        for (int i = 0; i < n; ++i) {
            const float* xi = fl(x->data()[i] + kb);
            const float* vi = v + 2 * i * chunk;
            forEach(cl, [&](int t) { hbuf[t] += re(xi, t) * re(vi, t) + im(xi, t) * im(vi, t); });
        }
        for (int t = 0; t < cl; ++t) coefficients(kb + t, hbuf[t], &sbuf[t], &hbuf[t]);
        for (int i = 0; i < n; ++i) {
            const float* vi = v + 2 * i * chunk;
            {
                const float* c = fl(ic0->data()[i][i] + kb);
                float* o = fl(out->data()[i][i] + kb);
                forEach(cl, [&](int t) {
                    const float p = re(vi, t) * re(vi, t) + im(vi, t) * im(vi, t);
                    o[2 * t] = sbuf[t] * c[2 * t] - hbuf[t] * p;
                    o[2 * t + 1] = 0.0f;
                });
            }
            for (int j = i + 1; j < n; ++j) {
                const float* vj = v + 2 * j * chunk;
                const float* c = fl(ic0->data()[i][j] + kb);
                float* o = fl(out->data()[i][j] + kb);
                float* mirror = fl(out->data()[j][i] + kb);
                forEach(cl, [&](int t) {
                    const float pr = re(vi, t) * re(vj, t) + im(vi, t) * im(vj, t);
                    const float pi = im(vi, t) * re(vj, t) - re(vi, t) * im(vj, t);
                    const float orr = sbuf[t] * c[2 * t] - hbuf[t] * pr;
                    const float oi = sbuf[t] * c[2 * t + 1] - hbuf[t] * pi;
                    o[2 * t] = orr;
                    o[2 * t + 1] = oi;
                    mirror[2 * t] = orr;
                    mirror[2 * t + 1] = -oi;
                });
            }
        }
    }
}

}  // namespace

void updateInverseCovariance(float alpha, float beta, const ComplexTensor3* ic0,
                             const ComplexMatrix* x, ComplexTensor3* out) {
    const int numrows = x->numRows(), depth = x->numColumns();
    VM_ASSERT(ic0->numRows() == numrows && ic0->numColumns() == numrows && ic0->depth() == depth);
    VM_ASSERT(out->numRows() == numrows && out->numColumns() == numrows && out->depth() == depth);
    const float s = 1.0f / alpha;
    inverseCovarianceUpdate(ic0, x, out, 0, depth, [=](int, float d, float* ps, float* ph) {
        const float g = beta / (beta * d + alpha);
        *ps = s;
        *ph = g * s;
    });
}

void updateInverseCovariance(const Vector* alpha, const Vector* beta, const ComplexTensor3* ic0,
                             const ComplexMatrix* x, ComplexTensor3* out) {
    VM_ASSERT(ic0->numRows() == ic0->numColumns());
    VM_ASSERT(x->numRows() == ic0->numColumns() && x->numColumns() == ic0->depth());
    VM_ASSERT(alpha->size() == ic0->depth());
    VM_ASSERT(beta->size() == ic0->depth());
    VM_ASSERT(out->numRows() == ic0->numRows() && out->numColumns() == ic0->numColumns() &&
              out->depth() == ic0->depth());
    const float *pa = alpha->data(), *pb = beta->data();
    inverseCovarianceUpdate(ic0, x, out, 0, ic0->depth(),
                            [=](int k, float d, float* ps, float* ph) {
                                const float a = pa[k], b = pb[k];
                                *ps = 1.0f / a;
                                *ph = b / (a * a + a * b * d);
                            });
}

void updateInverseCovariance(const Vector* alpha, const Vector* beta, const ComplexTensor3* ic0,
                             const ComplexMatrix* x, ComplexTensor3* out, int offset, int len) {
    const int nummics = ic0->numRows(), numbins = ic0->depth();
    VM_ASSERT(ic0->numColumns() == nummics);
    VM_ASSERT(x->numRows() == nummics && x->numColumns() == numbins);
    VM_ASSERT(alpha->size() == numbins);
    VM_ASSERT(beta->size() == numbins);
    VM_ASSERT(offset >= 0 && offset < numbins);
    VM_ASSERT(len >= 0 && offset + len <= numbins);
    VM_ASSERT(out->numRows() == nummics && out->numColumns() == nummics && out->depth() == numbins);
    const float *pa = alpha->data(), *pb = beta->data();
    inverseCovarianceUpdate(ic0, x, out, offset, len, [=](int k, float d, float* ps, float* ph) {
        const float a = pa[k], b = pb[k];
        const float g = b / (b * d + a);
        *ps = 1.0f / a;
        *ph = g / a;
    });
}

void updateMixing(ComplexTensor3* ma0, const ComplexMatrix* dw, int j) {
    VM_ASSERT(dw->numRows() == ma0->numRows() && dw->numColumns() == ma0->depth());
    VM_ASSERT(j >= 0 && j < ma0->numColumns());
    const int rows = ma0->numRows(), cols = ma0->numColumns(), nb = ma0->depth();
    const int chunk = chunkFor(cols + 1);
    alignas(16) float u[kScratchFloats];
    for (int kb = 0; kb < nb; kb += chunk) {
        const int cl = std::min(chunk, nb - kb);
        // u_l = sum_i dw_i ma0_il, then u_l <- u_l / (1 + u_j) (the reciprocal kept in slot cols)
        for (int l = 0; l < cols; ++l) {
            float* ul = u + 2 * l * chunk;
            forEach(2 * cl, [&](int t) { ul[t] = 0.0f; });
            for (int i = 0; i < rows; ++i)
                complexProductAdd(fl(dw->data()[i] + kb), fl(ma0->data()[i][l] + kb), ul, cl);
        }
        float* r = u + 2 * cols * chunk;
        const float* uj = u + 2 * j * chunk;
        forEach(cl, [&](int t) {
            const float zr = 1.0f + re(uj, t), zi = im(uj, t);
            const float inv = 1.0f / (zr * zr + zi * zi);
            r[2 * t] = zr * inv;
            r[2 * t + 1] = -zi * inv;
        });
        for (int l = 0; l < cols; ++l) {
            float* ul = u + 2 * l * chunk;
            if (l != j) complexProduct(ul, r, ul, cl, false);
        }
        // ma0(:, l) -= ma0(:, j) * u_l / (1 + u_j), column j last: it scales by 1 / (1 + u_j)
        for (int i = 0; i < rows; ++i) {
            float* aj = fl(ma0->data()[i][j] + kb);
            for (int l = 0; l < cols; ++l) {
                if (l == j) continue;
                float* al = fl(ma0->data()[i][l] + kb);
                const float* ul = u + 2 * l * chunk;
                forEach(cl, [&](int t) {
                    al[2 * t] -= re(aj, t) * re(ul, t) - im(aj, t) * im(ul, t);
                    al[2 * t + 1] -= re(aj, t) * im(ul, t) + im(aj, t) * re(ul, t);
                });
            }
            complexProduct(aj, r, aj, cl, false);
        }
    }
}

// ---- Decompositions and inverses -----------------------------------------------------------

namespace {

// Accessor of element (i, j) of one bin of a tensor, or of a plain matrix.
struct BinAccess {
    Complex*** f;
    int k;
    Complex& operator()(int i, int j) const { return f[i][j][k]; }
};
struct ConstBinAccess {
    const Complex* const* const* f;
    int k;
    Complex operator()(int i, int j) const { return f[i][j][k]; }
};
struct RowAccess {
    Complex** r;
    Complex& operator()(int i, int j) const { return r[i][j]; }
};
struct ConstRowAccess {
    const Complex* const* r;
    Complex operator()(int i, int j) const { return r[i][j]; }
};
struct ScratchAccess {
    Complex* p;
    int n;
    Complex& operator()(int i, int j) const { return p[i * n + j]; }
};

inline float abs2(Complex z) {
    return z.real() * z.real() + z.imag() * z.imag();
}
// conj(a) * b without the library's NaN/Inf recovery path
inline Complex conjMul(Complex a, Complex b) {
    return Complex(a.real() * b.real() + a.imag() * b.imag(),
                   a.real() * b.imag() - a.imag() * b.real());
}
inline Complex mul(Complex a, Complex b) {
    return Complex(a.real() * b.real() - a.imag() * b.imag(),
                   a.real() * b.imag() + a.imag() * b.real());
}

// Upper Cholesky factor of the Hermitian a (upper triangle read) into r, radicands loaded by x.
// r may alias a element for element.
template <class In, class Out>
int choleskyCore(In a, Out r, int n, float x) {
    for (int i = 0; i < n; ++i) {
        float radicand = a(i, i).real() + x;
        for (int k = 0; k < i; ++k) radicand -= abs2(r(k, i));
        if (!(radicand > 0.0f)) return kSingular;
        const float rii = std::sqrt(radicand);
        const float inv = 1.0f / rii;
        for (int j = i + 1; j < n; ++j) {
            Complex s = a(i, j);
            for (int k = 0; k < i; ++k) s -= conjMul(r(k, i), r(k, j));
            r(i, j) = s * inv;
        }
        r(i, i) = Complex(rii, 0.0f);
        for (int j = 0; j < i; ++j) r(i, j) = Complex(0.0f, 0.0f);
    }
    return 0;
}

// A = L D L^H of the Hermitian a (lower triangle read, diagonal loaded by x) into l: L strictly
// below the diagonal, D on it, zeros above. l may alias a element for element.
template <class In, class Out>
int ldlCore(In a, Out l, int n, float x) {
    for (int j = 0; j < n; ++j) {
        float d = a(j, j).real() + x;
        for (int k = 0; k < j; ++k) d -= abs2(l(j, k)) * l(k, k).real();
        if (!(d > 0.0f)) return kSingular;
        const float inv = 1.0f / d;
        for (int i = j + 1; i < n; ++i) {
            Complex s = a(i, j);
            for (int k = 0; k < j; ++k) s -= mul(l(i, k), std::conj(l(j, k))) * l(k, k).real();
            l(i, j) = s * inv;
        }
        l(j, j) = Complex(d, 0.0f);
        for (int i = j + 1; i < n; ++i) l(j, i) = Complex(0.0f, 0.0f);
    }
    return 0;
}

// Gauss-Jordan on row tables: a is reduced to the identity, r (n x n) receives the inverse.
int gaussJordan(float** a, float** r, int n) {
    for (int i = 0; i < n; ++i) {
        std::fill(r[i], r[i] + n, 0.0f);
        r[i][i] = 1.0f;
    }
    for (int i = 0; i < n; ++i) {
        int p = i;
        while (p < n && !(std::fabs(a[p][i]) >= kTiny)) ++p;
        if (p == n) return kSingular;
        if (p != i) {
            std::swap(a[p], a[i]);
            std::swap(r[p], r[i]);
        }
        const float inv = 1.0f / a[i][i];
        float* ai = a[i];
        float* ri = r[i];
        forEach(n, [&](int c) {
            ai[c] *= inv;
            ri[c] *= inv;
        });
        for (int j = 0; j < n; ++j) {
            if (j == i) continue;
            const float f = a[j][i];
            if (f == 0.0f) continue;
            float* aj = a[j];
            float* rj = r[j];
            forEach(n, [&](int c) {
                aj[c] -= f * ai[c];
                rj[c] -= f * ri[c];
            });
        }
    }
    return 0;
}

}  // namespace

int cholesky(const ComplexMatrix* ma, ComplexMatrix* mr) {
    VM_ASSERT(ma->numRows() == ma->numColumns());
    VM_ASSERT(mr->numRows() == ma->numRows() && mr->numColumns() == ma->numColumns());
    return choleskyCore(ConstRowAccess{ma->data()}, RowAccess{mr->data()}, ma->numRows(), 0.0f);
}

int cholesky(const ComplexTensor3* ta, float x, ComplexTensor3* tr) {
    VM_ASSERT(ta->numRows() == ta->numColumns());
    VM_ASSERT(tr->numRows() == ta->numRows() && tr->numColumns() == ta->numColumns() &&
              tr->depth() == ta->depth());
    int rc = 0;
    for (int k = 0; k < ta->depth(); ++k)
        if (choleskyCore(ConstBinAccess{ta->data(), k}, BinAccess{tr->data(), k}, ta->numRows(),
                         x) != 0)
            rc = kSingular;
    return rc;
}

int ldl(const ComplexMatrix* ma, ComplexMatrix* ml) {
    VM_ASSERT(ma->numRows() == ma->numColumns());
    VM_ASSERT(ml->numRows() == ma->numRows() && ml->numColumns() == ma->numColumns());
    return ldlCore(ConstRowAccess{ma->data()}, RowAccess{ml->data()}, ma->numRows(), 0.0f);
}

int ldl(const ComplexTensor3* ta, float x, ComplexTensor3* tl, int fioffset, int filen) {
    VM_ASSERT(ta->numRows() == ta->numColumns());
    VM_ASSERT(tl->numRows() == ta->numRows() && tl->numColumns() == ta->numColumns() &&
              tl->depth() == ta->depth());
    VM_ASSERT(fioffset >= 0 && fioffset < ta->depth());
    VM_ASSERT(filen >= 0 && fioffset + filen <= ta->depth());
    int rc = 0;
    for (int k = fioffset; k < fioffset + filen; ++k)
        if (ldlCore(ConstBinAccess{ta->data(), k}, BinAccess{tl->data(), k}, ta->numRows(), x) != 0)
            rc = kSingular;
    return rc;
}

int inverseHermitian(const ComplexMatrix* matrix, ComplexMatrix* result) {
    VM_ASSERT(matrix->numRows() == matrix->numColumns());
    VM_ASSERT(matrix->numRows() == result->numRows() &&
              matrix->numColumns() == result->numColumns());
    const int n = matrix->numRows();
    Complex** x = result->data();
    if (cholesky(matrix, result) != 0) return kSingular;
    for (int i = 0; i < n; ++i)
        if (!(x[i][i].real() >= kTiny)) return kSingular;
    // X = R^-1 in place, column by column (upper triangular).
    for (int j = 0; j < n; ++j) {
        const float invjj = 1.0f / x[j][j].real();
        for (int i = 0; i < j; ++i) {
            Complex s(0.0f, 0.0f);
            for (int k = i; k < j; ++k) s += mul(x[i][k], x[k][j]);
            x[i][j] = -s * invjj;
        }
        x[j][j] = Complex(invjj, 0.0f);
    }
    // A^-1 = X X^H, upper triangle row by row in place, then the mirror.
    for (int i = 0; i < n; ++i)
        for (int j = i; j < n; ++j) {
            Complex s(0.0f, 0.0f);
            for (int k = j; k < n; ++k) s += mul(x[i][k], std::conj(x[j][k]));
            x[i][j] = s;
        }
    for (int i = 0; i < n; ++i) {
        x[i][i] = Complex(x[i][i].real(), 0.0f);
        for (int j = 0; j < i; ++j) x[i][j] = std::conj(x[j][i]);
    }
    return 0;
}

int inverseHermitian(const ComplexTensor3* ta, float x, ComplexTensor3* tinv, int fioffset,
                     int filen) {
    VM_ASSERT(ta->numRows() == ta->numColumns());
    VM_ASSERT(tinv->numRows() == ta->numRows() && tinv->numColumns() == ta->numColumns() &&
              tinv->depth() == ta->depth());
    VM_ASSERT(fioffset >= 0 && fioffset < ta->depth());
    VM_ASSERT(filen >= 0 && fioffset + filen <= ta->depth());
    const int n = ta->numRows();
    VM_ASSERT(n * n + 2 * n <= kScratchComplex);
    alignas(16) float workspace[kScratchFloats];
    Complex* scratch = reinterpret_cast<Complex*>(workspace);
    ScratchAccess l{scratch, n};
    Complex* y = scratch + n * n;
    int rc = 0;
    for (int k = fioffset; k < fioffset + filen; ++k) {
        if (ldlCore(ConstBinAccess{ta->data(), k}, l, n, x) != 0) {
            rc = kSingular;
            continue;
        }
        Complex*** out = tinv->data();
        // Column c of the inverse: L y = e_c, y /= D, L^H z = y; only rows i <= c are kept.
        for (int c = 0; c < n; ++c) {
            for (int i = 0; i < n; ++i) y[i] = Complex(i == c ? 1.0f : 0.0f, 0.0f);
            for (int i = c + 1; i < n; ++i) {
                Complex s = y[i];
                for (int m = c; m < i; ++m) s -= mul(l(i, m), y[m]);
                y[i] = s;
            }
            for (int i = c; i < n; ++i) y[i] *= 1.0f / l(i, i).real();
            for (int i = n - 1; i >= 0; --i) {
                Complex s = y[i];
                for (int m = i + 1; m < n; ++m) s -= conjMul(l(m, i), y[m]);
                y[i] = s;
            }
            for (int i = 0; i < c; ++i) {
                out[i][c][k] = y[i];
                out[c][i][k] = std::conj(y[i]);
            }
            out[c][c][k] = Complex(y[c].real(), 0.0f);
        }
    }
    return rc;
}

int inverse(Matrix* matrix, Matrix* result) {
    VM_ASSERT(matrix->numRows() == matrix->numColumns());
    VM_ASSERT(result->numRows() == matrix->numRows() &&
              result->numColumns() == matrix->numColumns());
    VM_ASSERT(matrix != result);
    return gaussJordan(matrix->data(), result->data(), matrix->numRows());
}

int inverse(const ComplexTensor3* ta, ComplexTensor3* tinv) {
    VM_ASSERT(ta->numRows() == ta->numColumns());
    VM_ASSERT(tinv->numRows() == ta->numRows() && tinv->numColumns() == ta->numColumns() &&
              tinv->depth() == ta->depth());
    const int n = ta->numRows(), n2 = 2 * n;
    VM_ASSERT(n2 <= kMaxEmbedded);
    alignas(16) float scratch[kScratchFloats];
    float* rowsA[kMaxEmbedded];
    float* rowsR[kMaxEmbedded];
    int rc = 0;
    for (int k = 0; k < ta->depth(); ++k) {
        for (int i = 0; i < n2; ++i) {
            rowsA[i] = scratch + i * n2;
            rowsR[i] = scratch + (n2 + i) * n2;
        }
        // [[Re, -Im], [Im, Re]]
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                const Complex z = ta->data()[i][j][k];
                rowsA[i][j] = z.real();
                rowsA[i][n + j] = -z.imag();
                rowsA[n + i][j] = z.imag();
                rowsA[n + i][n + j] = z.real();
            }
        if (gaussJordan(rowsA, rowsR, n2) != 0) {
            rc = kSingular;
            continue;
        }
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                tinv->data()[i][j][k] = Complex(rowsR[i][j], rowsR[n + i][j]);
    }
    return rc;
}

void determinant2x2(const ComplexTensor3* tensor, Vector* result) {
    VM_ASSERT(tensor->numRows() >= 2 && tensor->numColumns() >= 2);
    VM_ASSERT(tensor->depth() == result->size());
    const float *a00 = fl(tensor->data()[0][0]), *a01 = fl(tensor->data()[0][1]),
                *a11 = fl(tensor->data()[1][1]);
    float* r = result->data();
    forEach(result->size(), [&](int k) {
        r[k] = re(a00, k) * re(a11, k) - (re(a01, k) * re(a01, k) + im(a01, k) * im(a01, k));
    });
}

void inverseHermitian2x2(const ComplexTensor3* tensor, float x, ComplexTensor3* tinv) {
    VM_ASSERT(tensor->numRows() >= 2 && tensor->numColumns() >= 2);
    VM_ASSERT(tinv->numRows() >= 2 && tinv->numColumns() >= 2);
    VM_ASSERT(tensor->depth() == tinv->depth());
    const float *a00 = fl(tensor->data()[0][0]), *a01 = fl(tensor->data()[0][1]),
                *a11 = fl(tensor->data()[1][1]);
    float *b00 = fl(tinv->data()[0][0]), *b01 = fl(tinv->data()[0][1]),
          *b10 = fl(tinv->data()[1][0]), *b11 = fl(tinv->data()[1][1]);
    forEach(tensor->depth(), [&](int k) {
        const float d0 = re(a00, k) + x, d1 = re(a11, k) + x;
        const float cr = re(a01, k), ci = im(a01, k);
        const float inv = 1.0f / (d0 * d1 - (cr * cr + ci * ci));
        b00[2 * k] = d1 * inv;
        b00[2 * k + 1] = 0.0f;
        b11[2 * k] = d0 * inv;
        b11[2 * k + 1] = 0.0f;
        b01[2 * k] = -cr * inv;
        b01[2 * k + 1] = -ci * inv;
        b10[2 * k] = -cr * inv;
        b10[2 * k + 1] = ci * inv;
    });
}

void inverse2x2(const ComplexTensor3* tensor, ComplexTensor3* tinv) {
    VM_ASSERT(tensor->numRows() >= 2 && tensor->numColumns() >= 2);
    VM_ASSERT(tinv->numRows() >= 2 && tinv->numColumns() >= 2);
    VM_ASSERT(tensor->depth() == tinv->depth());
    const float *a00 = fl(tensor->data()[0][0]), *a01 = fl(tensor->data()[0][1]),
                *a10 = fl(tensor->data()[1][0]), *a11 = fl(tensor->data()[1][1]);
    float *b00 = fl(tinv->data()[0][0]), *b01 = fl(tinv->data()[0][1]),
          *b10 = fl(tinv->data()[1][0]), *b11 = fl(tinv->data()[1][1]);
    forEach(tensor->depth(), [&](int k) {
        const float p00r = re(a00, k), p00i = im(a00, k), p01r = re(a01, k), p01i = im(a01, k);
        const float p10r = re(a10, k), p10i = im(a10, k), p11r = re(a11, k), p11i = im(a11, k);
        const float dr = p00r * p11r - p00i * p11i - (p01r * p10r - p01i * p10i);
        const float di = p00r * p11i + p00i * p11r - (p01r * p10i + p01i * p10r);
        float m2 = dr * dr + di * di;
        m2 = m2 < kTiny ? 1.0f : m2;
        const float ir = dr / m2, ii = -di / m2;  // 1 / det = conj(det) / |det|^2
        b00[2 * k] = p11r * ir - p11i * ii;
        b00[2 * k + 1] = p11r * ii + p11i * ir;
        b11[2 * k] = p00r * ir - p00i * ii;
        b11[2 * k + 1] = p00r * ii + p00i * ir;
        b01[2 * k] = -(p01r * ir - p01i * ii);
        b01[2 * k + 1] = -(p01r * ii + p01i * ir);
        b10[2 * k] = -(p10r * ir - p10i * ii);
        b10[2 * k + 1] = -(p10r * ii + p10i * ir);
    });
}

namespace {

// Roots of det(c1 - lambda c0) = m lambda^2 + l lambda + n for one bin of loaded Hermitian
// 2 x 2 matrices (diagonals passed as reals). A slightly negative discriminant from round-off
// is clamped to 0 so the roots stay real.
inline void eigenRoots(float c000, float c011, Complex c001, float c100, float c111, Complex c101,
                       float* lambda0, float* lambda1) {
    const float m = c000 * c011 - abs2(c001);
    const float n = c100 * c111 - abs2(c101);
    const float l = 2.0f * conjMul(c101, c001).real() - c100 * c011 - c000 * c111;
    const float root = std::sqrt(std::max(l * l - 4.0f * m * n, 0.0f));
    *lambda0 = (-l + root) / (2.0f * m);
    *lambda1 = (-l - root) / (2.0f * m);
}

struct Loaded2x2 {
    float d0, d1;  // loaded diagonal
    Complex off;   // element (0, 1)
};

inline Loaded2x2 loadBin(const ComplexTensor3* t, int k, float x) {
    return {t->data()[0][0][k].real() + x, t->data()[1][1][k].real() + x, t->data()[0][1][k]};
}

// Row r of the unnormalised demixing matrix for root lambda: of b = c1 - lambda c0, row 0 is
// (b11, -b01) and row 1 is (-b10, b00); both solve w b = 0.
inline void candidateRows(const Loaded2x2& c1, const Loaded2x2& c0, float lambda, Complex* row0,
                          Complex* row1) {
    const Complex b01 = c1.off - lambda * c0.off;
    row0[0] = Complex(c1.d1 - lambda * c0.d1, 0.0f);
    row0[1] = -b01;
    row1[0] = -std::conj(b01);
    row1[1] = Complex(c1.d0 - lambda * c0.d0, 0.0f);
}

}  // namespace

void generalizedEigen2x2(const ComplexTensor3* c1, const ComplexTensor3* c0, float x, int type,
                         Matrix* lambda, ComplexTensor3* w) {
    const int depth = c1->depth();
    VM_ASSERT(c1->numRows() == 2 && c1->numColumns() == 2);
    VM_ASSERT(c0->numRows() == 2 && c0->numColumns() == 2 && c0->depth() == depth);
    VM_ASSERT(lambda->numRows() == 2 && lambda->numColumns() == depth);
    if (type != 2) VM_ASSERT(w && w->numRows() == 2 && w->numColumns() == 2 && w->depth() == depth);
    for (int k = 0; k < depth; ++k) {
        const Loaded2x2 a1 = loadBin(c1, k, x), a0 = loadBin(c0, k, x);
        float l0, l1;
        eigenRoots(a0.d0, a0.d1, a0.off, a1.d0, a1.d1, a1.off, &l0, &l1);
        lambda->data()[0][k] = l0;
        lambda->data()[1][k] = l1;
        if (type == 2) continue;
        Complex rows[2][2];
        Complex p[2], q[2];
        candidateRows(a1, a0, l0, rows[0], q);
        candidateRows(a1, a0, l1, p, rows[1]);
        if (type == 1) {
            // the better conditioned candidate of each root, then det W = 1
            if (abs2(q[0]) + abs2(q[1]) > abs2(rows[0][0]) + abs2(rows[0][1])) {
                rows[0][0] = q[0];
                rows[0][1] = q[1];
            }
            if (abs2(p[0]) + abs2(p[1]) > abs2(rows[1][0]) + abs2(rows[1][1])) {
                rows[1][0] = p[0];
                rows[1][1] = p[1];
            }
            const Complex det = mul(rows[0][0], rows[1][1]) - mul(rows[0][1], rows[1][0]);
            if (abs2(det) > 0.0f) {
                const Complex s = 1.0f / std::sqrt(det);
                for (auto& row : rows)
                    for (auto& e : row) e = mul(e, s);
            }
        }
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) w->data()[i][j][k] = rows[i][j];
    }
}

void demix2x2(const ComplexTensor3* c0, const ComplexTensor3* c1, const Vector* dl0,
              const Vector* dl1, Matrix* eigenvalue, ComplexTensor3* demix) {
    VM_ASSERT(c0->numRows() == 2 && c0->numColumns() == 2);
    VM_ASSERT(c1->numRows() == 2 && c1->numColumns() == 2);
    VM_ASSERT(demix->numRows() == 2 && demix->numColumns() == 2);
    VM_ASSERT(c1->depth() == dl1->size() && c0->depth() == dl0->size());
    VM_ASSERT(eigenvalue->numRows() == 2 && eigenvalue->numColumns() == demix->depth());
    VM_ASSERT(c1->depth() == c0->depth());
    VM_ASSERT(c1->depth() == demix->depth());
    for (int k = 0; k < c0->depth(); ++k) {
        const Loaded2x2 a0 = loadBin(c0, k, dl0->data()[k]), a1 = loadBin(c1, k, dl1->data()[k]);
        float l0, l1;
        eigenRoots(a0.d0, a0.d1, a0.off, a1.d0, a1.d1, a1.off, &l0, &l1);
        eigenvalue->data()[0][k] = l0;
        eigenvalue->data()[1][k] = l1;
        Complex row0[2], row1[2], unused[2];
        candidateRows(a1, a0, l0, row0, unused);
        candidateRows(a1, a0, l1, unused, row1);
        Complex*** d = demix->data();
        d[0][0][k] = row0[0];
        d[0][1][k] = row0[1];
        d[1][0][k] = row1[0];
        d[1][1][k] = row1[1];
    }
}

void loadDiagonal(ComplexMatrix* m, float x) {
    const int n = std::min(m->numRows(), m->numColumns());
    for (int i = 0; i < n; ++i) m->data()[i][i] += x;
}

void loadDiagonal(ComplexTensor3* t, float x) {
    const int n = std::min(t->numRows(), t->numColumns());
    for (int i = 0; i < n; ++i) {
        float* p = fl(t->data()[i][i]);
        forEach(t->depth(), [&](int k) { p[2 * k] += x; });
    }
}

void scaleWhereTraceAbove(ComplexTensor3* t, float threshold, float factor) {
    const int n = std::min(t->numRows(), t->numColumns());
    for (int k = 0; k < t->depth(); ++k) {
        float trace = 0.0f;
        for (int i = 0; i < n; ++i) trace += t->data()[i][i][k].real();
        if (!(trace > threshold)) continue;
        for (int i = 0; i < t->numRows(); ++i)
            for (int j = 0; j < t->numColumns(); ++j) t->data()[i][j][k] *= factor;
    }
}

void normalizePhase(const ComplexTensor3* c, float x, ComplexTensor3* out) {
    VM_ASSERT(c->numRows() == c->numColumns());
    VM_ASSERT(out->numRows() == c->numRows() && out->numColumns() == c->numColumns() &&
              out->depth() == c->depth());
    const int n = c->numRows(), nb = c->depth();
    for (int j = 0; j < n; ++j) {
        float* d = fl(out->data()[j][j]);
        forEach(nb, [&](int k) {
            d[2 * k] = 1.0f;
            d[2 * k + 1] = 0.0f;
        });
        for (int l = j + 1; l < n; ++l) {
            const float* p = fl(c->data()[j][l]);
            float* o = fl(out->data()[j][l]);
            float* mirror = fl(out->data()[l][j]);
            forEach(nb, [&](int k) {
                const float inv = 1.0f / (std::sqrt(re(p, k) * re(p, k) + im(p, k) * im(p, k)) + x);
                const float pr = re(p, k) * inv, pi = im(p, k) * inv;
                o[2 * k] = pr;
                o[2 * k + 1] = pi;
                mirror[2 * k] = pr;
                mirror[2 * k + 1] = -pi;
            });
        }
    }
}

// ---- Quadratic forms -----------------------------------------------------------------------

float quadraticForm(const ComplexMatrix* mc, const ComplexVector* w) {
    VM_ASSERT(mc->numRows() == w->size() && mc->numColumns() == w->size());
    const int n = w->size();
    const Complex* pw = w->data();
    float q = 0.0f;
    for (int i = 0; i < n; ++i) {
        q += mc->data()[i][i].real() * abs2(pw[i]);
        for (int j = i + 1; j < n; ++j)
            q += 2.0f * conjMul(pw[i], mul(mc->data()[i][j], pw[j])).real();
    }
    return q;
}

void quadraticForm(const ComplexTensor3* tc, const ComplexMatrix* mw, Vector* q) {
    VM_ASSERT(tc->numRows() == tc->numColumns());
    VM_ASSERT(tc->numRows() == mw->numRows());
    VM_ASSERT(tc->depth() == mw->numColumns());
    VM_ASSERT(tc->depth() == q->size());
    const int n = tc->numRows();
    float* pq = q->data();
    forEach(q->size(), [&](int k) { pq[k] = 0.0f; });
    for (int i = 0; i < n; ++i) {
        const float* wi = fl(mw->data()[i]);
        const float* cii = fl(tc->data()[i][i]);
        forEach(q->size(), [&](int k) {
            pq[k] += cii[2 * k] * (re(wi, k) * re(wi, k) + im(wi, k) * im(wi, k));
        });
        for (int j = i + 1; j < n; ++j) {
            const float* wj = fl(mw->data()[j]);
            const float* c = fl(tc->data()[i][j]);
            // 2 Re(conj(w_i) c w_j)
            forEach(q->size(), [&](int k) {
                const float tr = re(c, k) * re(wj, k) - im(c, k) * im(wj, k);
                const float ti = re(c, k) * im(wj, k) + im(c, k) * re(wj, k);
                pq[k] += 2.0f * (re(wi, k) * tr + im(wi, k) * ti);
            });
        }
    }
}

// ---- Reductions and norms ------------------------------------------------------------------

int sum(const int* x, int n) {
    int s = 0;
    for (int i = 0; i < n; ++i) s += x[i];
    return s;
}
float sum(const float* x, int n) {
    float s = 0.0f;
    for (int i = 0; i < n; ++i) s += x[i];
    return s;
}
float sum(const Vector* v) {
    return sum(v->data(), v->size());
}
float sum(const Matrix* m) {
    float s = 0.0f;
    for (int i = 0; i < m->numRows(); ++i) s += sum(m->data()[i], m->numColumns());
    return s;
}
Complex sum(const ComplexVector* v) {
    float sr = 0.0f, si = 0.0f;
    const float* p = fl(v->data());
    for (int i = 0; i < v->size(); ++i) {
        sr += re(p, i);
        si += im(p, i);
    }
    return Complex(sr, si);
}
void columnSums(const Matrix* m, Vector* v) {
    const int numcols = m->numColumns();
    VM_ASSERT(v->size() == numcols);
    float* pv = v->data();
    forEach(numcols, [&](int j) { pv[j] = 0.0f; });
    for (int i = 0; i < m->numRows(); ++i) {
        const float* pm = m->data()[i];
        forEach(numcols, [&](int j) { pv[j] += pm[j]; });
    }
}
float columnSum(const Matrix* m, int j) {
    VM_ASSERT(j >= 0 && j < m->numColumns());
    float s = 0.0f;
    for (int i = 0; i < m->numRows(); ++i) s += m->data()[i][j];
    return s;
}
void rowSums(const Matrix* m, Vector* v) {
    VM_ASSERT(m->numRows() == v->size());
    for (int i = 0; i < m->numRows(); ++i) v->data()[i] = sum(m->data()[i], m->numColumns());
}
void rowSums(const Matrix* m, Vector* v, int offset, int len) {
    const int numrows = m->numRows();
    VM_ASSERT(v->size() == numrows);
    VM_ASSERT(offset >= 0 && offset < numrows);
    VM_ASSERT(len >= 0 && offset + len <= numrows);
    for (int i = offset; i < offset + len; ++i) v->data()[i] = sum(m->data()[i], m->numColumns());
}
float rowSum(const Matrix* m, int i) {
    VM_ASSERT(i >= 0 && i < m->numRows());
    return sum(m->data()[i], m->numColumns());
}
void columnSums(const ComplexMatrix* m, ComplexVector* v) {
    VM_ASSERT(v->size() == m->numColumns());
    float* pv = fl(v->data());
    forEach(2 * v->size(), [&](int j) { pv[j] = 0.0f; });
    for (int i = 0; i < m->numRows(); ++i) {
        const float* pm = fl(m->data()[i]);
        forEach(2 * v->size(), [&](int j) { pv[j] += pm[j]; });
    }
}

namespace {
inline float runPower(const float* p, int n) {
    float s = 0.0f;
    for (int i = 0; i < n; ++i) s += re(p, i) * re(p, i) + im(p, i) * im(p, i);
    return s;
}
}  // namespace

float power(const ComplexMatrix* m) {
    float s = 0.0f;
    for (int i = 0; i < m->numRows(); ++i) s += runPower(fl(m->data()[i]), m->numColumns());
    return s;
}
void rowPowers(const ComplexMatrix* m, Vector* v) {
    VM_ASSERT(m->numRows() == v->size());
    for (int i = 0; i < m->numRows(); ++i)
        v->data()[i] = runPower(fl(m->data()[i]), m->numColumns());
}
void rowPowers(const ComplexMatrix* m, Vector* v, int offset, int len) {
    const int numrows = m->numRows();
    VM_ASSERT(m->numRows() == v->size());
    VM_ASSERT(offset >= 0 && offset < numrows);
    VM_ASSERT(len > 0 && offset + len <= numrows);
    for (int i = offset; i < offset + len; ++i)
        v->data()[i] = runPower(fl(m->data()[i]), m->numColumns());
}
float rowPower(const ComplexMatrix* m, int i) {
    VM_ASSERT(i >= 0 && i < m->numRows());
    return runPower(fl(m->data()[i]), m->numColumns());
}
void columnPowers(const ComplexMatrix* m, Vector* v, int offset, int len) {
    VM_ASSERT(m->numColumns() == v->size());
    VM_ASSERT(offset >= 0 && offset < m->numColumns());
    VM_ASSERT(len > 0 && offset + len <= m->numColumns());
    float* pv = v->data() + offset;
    forEach(len, [&](int j) { pv[j] = 0.0f; });
    for (int i = 0; i < m->numRows(); ++i) {
        const float* p = fl(m->data()[i] + offset);
        forEach(len, [&](int j) { pv[j] += re(p, j) * re(p, j) + im(p, j) * im(p, j); });
    }
}
float power(const ComplexVector* v) {
    return runPower(fl(v->data()), v->size());
}
float power(const Vector* v) {
    float s = 0.0f;
    const float* p = v->data();
    for (int i = 0; i < v->size(); ++i) s += p[i] * p[i];
    return s;
}
float power(const ComplexTensor3* t) {
    float s = 0.0f;
    for (int i = 0; i < t->numRows(); ++i)
        for (int j = 0; j < t->numColumns(); ++j) s += runPower(fl(t->data()[i][j]), t->depth());
    return s;
}
void accumulateRowPowers(const ComplexMatrix* m, Vector* v) {
    VM_ASSERT(m->numRows() == v->size());
    for (int i = 0; i < m->numRows(); ++i)
        v->data()[i] += runPower(fl(m->data()[i]), m->numColumns());
}
float norm(const ComplexMatrix* m) {
    return std::sqrt(power(m));
}
float norm(const ComplexVector* v) {
    return std::sqrt(power(v));
}
float norm(const Vector* v) {
    return std::sqrt(power(v));
}
float norm(const ComplexTensor3* t) {
    return std::sqrt(power(t));
}
void rowNorms(const ComplexMatrix* m, Vector* v) {
    rowPowers(m, v);
    float* p = v->data();
    forEach(v->size(), [&](int i) { p[i] = std::sqrt(p[i]); });
}

float mean(const float* x, int n) {
    return n > 0 ? sum(x, n) / n : 0.0f;
}

void meanVariance(const float* x, int n, float* mean, float* variance) {
    float mu = 0.0f, var = 0.0f;
    if (n > 0) {
        mu = sum(x, n) / n;
        for (int i = 0; i < n; ++i) var += (x[i] - mu) * (x[i] - mu);
        var /= n;
    }
    if (mean) *mean = mu;
    if (variance) *variance = var;
}

Complex dot(const ComplexVector* x, const ComplexVector* y) {
    VM_ASSERT(x->size() == y->size());
    const float *px = fl(x->data()), *py = fl(y->data());
    float sr = 0.0f, si = 0.0f;
    for (int i = 0; i < x->size(); ++i) {
        sr += re(px, i) * re(py, i) + im(px, i) * im(py, i);
        si += re(px, i) * im(py, i) - im(px, i) * re(py, i);
    }
    return Complex(sr, si);
}
float dot(const Vector* x, const Vector* y) {
    VM_ASSERT(x->size() == y->size());
    float s = 0.0f;
    for (int i = 0; i < x->size(); ++i) s += x->data()[i] * y->data()[i];
    return s;
}

namespace {
// acc_i += conj(x_i) z_i over n complex values
inline void conjProductAdd(const float* px, const float* pz, float* acc, int n) {
    forEach(n, [&](int i) {
        acc[2 * i] += re(px, i) * re(pz, i) + im(px, i) * im(pz, i);
        acc[2 * i + 1] += re(px, i) * im(pz, i) - im(px, i) * re(pz, i);
    });
}
}  // namespace

void columnDots(const ComplexMatrix* x, const ComplexMatrix* z, ComplexVector* y) {
    const int ff = x->numColumns();
    VM_ASSERT(x->numRows() == z->numRows() && x->numColumns() == z->numColumns());
    VM_ASSERT(y->size() == ff);
    float* py = fl(y->data());
    forEach(2 * ff, [&](int i) { py[i] = 0.0f; });
    for (int j = 0; j < x->numRows(); ++j)
        conjProductAdd(fl(x->data()[j]), fl(z->data()[j]), py, ff);
}

void columnDotPowers(const ComplexMatrix* x, const ComplexMatrix* z, Vector* ysq) {
    VM_ASSERT(x->numRows() == z->numRows() && x->numColumns() == z->numColumns());
    VM_ASSERT(ysq->size() == x->numColumns());
    alignas(16) float acc[2 * kMaxChunk];
    for (int k0 = 0; k0 < x->numColumns(); k0 += kMaxChunk) {
        const int len = std::min(kMaxChunk, x->numColumns() - k0);
        forEach(2 * len, [&](int i) { acc[i] = 0.0f; });
        for (int j = 0; j < x->numRows(); ++j)
            conjProductAdd(fl(x->data()[j] + k0), fl(z->data()[j] + k0), acc, len);
        float* p = ysq->data() + k0;
        forEach(len, [&](int i) { p[i] = re(acc, i) * re(acc, i) + im(acc, i) * im(acc, i); });
    }
}

// ---- Magnitudes and logarithms -------------------------------------------------------------

namespace {
inline void magnitudeRun(const float* p, float* out, int n) {
    forEach(n, [&](int i) { out[i] = re(p, i) * re(p, i) + im(p, i) * im(p, i); });
}
inline void logPowerRun(const float* p, float x0, float* out, int n) {
    for (int i = 0; i < n; ++i) out[i] = std::log10(re(p, i) * re(p, i) + im(p, i) * im(p, i) + x0);
}
}  // namespace

void magnitudeSquared(const ComplexVector* cv, Vector* v) {
    VM_ASSERT(cv->size() == v->size());
    magnitudeRun(fl(cv->data()), v->data(), v->size());
}
void magnitudeSquared(const ComplexMatrix* m, Matrix* abs2) {
    VM_ASSERT(m->numRows() == abs2->numRows());
    VM_ASSERT(m->numColumns() == abs2->numColumns());
    for (int i = 0; i < m->numRows(); ++i)
        magnitudeRun(fl(m->data()[i]), abs2->data()[i], m->numColumns());
}
void magnitudeSquared(const ComplexMatrix* m, int row, Vector* abs2) {
    VM_ASSERT(row >= 0 && row < m->numRows());
    VM_ASSERT(m->numColumns() == abs2->size());
    magnitudeRun(fl(m->data()[row]), abs2->data(), abs2->size());
}
void logPower(const ComplexVector* cv, float x0, Vector* v) {
    VM_ASSERT(cv->size() == v->size());
    logPowerRun(fl(cv->data()), x0, v->data(), v->size());
}
void logPower(const ComplexMatrix* cm, float x0, Matrix* m) {
    VM_ASSERT(cm->numRows() == m->numRows() && cm->numColumns() == m->numColumns());
    for (int i = 0; i < cm->numRows(); ++i)
        logPowerRun(fl(cm->data()[i]), x0, m->data()[i], m->numColumns());
}

// ---- Normalisation and search --------------------------------------------------------------

float normalizeSum(float* x, int n) {
    const float s = sum(x, n);
    if (n <= 0) return s;
    if (s < kSumFloor) {
        fill(x, n, 1.0f / n);
    } else {
        scale(x, 1.0f / s, x, n);
    }
    return s;
}

void normalize(const ComplexVector* v, ComplexVector* u) {
    VM_ASSERT(v->size() == u->size());
    const float nv = norm(v);
    if (nv < kTiny) {
        if (u != v) u->copy(v);
        return;
    }
    scale(v, 1.0f / nv, u);
}

void normalizeColumns(const ComplexMatrix* m, ComplexMatrix* r) {
    VM_ASSERT(m->numRows() == r->numRows() && m->numColumns() == r->numColumns());
    const int nc = m->numColumns();
    alignas(16) float acc[kMaxChunk];
    for (int k0 = 0; k0 < nc; k0 += kMaxChunk) {
        const int len = std::min(kMaxChunk, nc - k0);
        forEach(len, [&](int j) { acc[j] = 0.0f; });
        for (int i = 0; i < m->numRows(); ++i) {
            const float* p = fl(m->data()[i] + k0);
            forEach(len, [&](int j) { acc[j] += re(p, j) * re(p, j) + im(p, j) * im(p, j); });
        }
        forEach(len, [&](int j) {
            const float nj = std::sqrt(acc[j]);
            acc[j] = nj < kTiny ? 1.0f : 1.0f / nj;
        });
        for (int i = 0; i < m->numRows(); ++i) {
            const float* p = fl(m->data()[i] + k0);
            float* o = fl(r->data()[i] + k0);
            forEach(len, [&](int j) {
                o[2 * j] = p[2 * j] * acc[j];
                o[2 * j + 1] = p[2 * j + 1] * acc[j];
            });
        }
    }
}

int argMax(const float* x, int n, int* index, float* value) {
    int best = -1;
    float v = -kFloatMax;
    for (int i = 0; i < n; ++i)
        if (x[i] > v) {
            v = x[i];
            best = i;
        }
    if (index) *index = best;
    if (value) *value = v;
    return best;
}

int argMin(const float* x, int n, int* index, float* value) {
    int best = -1;
    float v = kFloatMax;
    for (int i = 0; i < n; ++i)
        if (x[i] < v) {
            v = x[i];
            best = i;
        }
    if (index) *index = best;
    if (value) *value = v;
    return best;
}

int argMax(const Vector* v, int* index, float* value) {
    return argMax(v->data(), v->size(), index, value);
}
int argMin(const Vector* v, int* index, float* value) {
    return argMin(v->data(), v->size(), index, value);
}

void sortAscending(float* x, int n) {
    for (int i = 0; i + 1 < n; ++i) {
        int m = i;
        for (int j = i + 1; j < n; ++j)
            if (x[j] < x[m]) m = j;
        if (m != i) std::swap(x[i], x[m]);
    }
}

void fill(float* x, int n, float value) {
    forEach(n, [&](int i) { x[i] = value; });
}

void fillRandom(float* x, int n) {
    for (int i = 0; i < n; ++i) x[i] = randomUnit();
}

// ---- First-order filters -------------------------------------------------------------------

void preEmphasis(const Vector* x, float a, float prev, Vector* y) {
    VM_ASSERT(x->size() == y->size());
    const float* px = x->data();
    float* py = y->data();
    // Backwards, so that y may be x.
    for (int i = x->size() - 1; i > 0; --i) py[i] = px[i] - a * px[i - 1];
    py[0] = px[0] - a * prev;
}

float deEmphasis(const Vector* x, float a, float prev, Vector* y) {
    VM_ASSERT(x->size() == y->size());
    const float* px = x->data();
    float* py = y->data();
    float last = prev;
    for (int i = 0; i < x->size(); ++i) {
        last = px[i] + a * last;
        py[i] = last;
    }
    return last;
}

// ---- Debug printing ------------------------------------------------------------------------

void print(const int* x, int n) {
    for (int i = 0; i < n; ++i) std::printf("%d ", x[i]);
    std::printf("\n");
}
void print(const float* x, int n) {
    for (int i = 0; i < n; ++i) std::printf("%f ", x[i]);
    std::printf("\n");
}
void print(const unsigned char* x, int n) {
    for (int i = 0; i < n; ++i) std::printf("%d ", x[i]);
    std::printf("\n");
}

}  // namespace velmora::blas
