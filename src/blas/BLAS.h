#pragma once
// Numeric kernels over the blas containers: element-wise arithmetic, recursive smoothing,
// per-bin products and Hermitian covariance / inverse-covariance updates, factorisations and
// inverses, 2 x 2 closed forms, quadratic forms, reductions, searches and first-order filters.
//
// Conventions shared by every kernel:
//  - Shapes are checked on entry with assertions that name the violated condition.
//  - Outputs are supplied by the caller and come last; an output may be the same object as an
//    input unless the comment says otherwise (those kernels assert it).
//  - No kernel allocates heap memory. The few that need temporaries (inverse-covariance update,
//    mixing update, per-bin inverses) use a fixed stack workspace and process bins in chunks.
//  - "Per bin" means for every depth index k of a tensor (or column of a channels x bins
//    matrix); bins are the innermost, contiguous loop.
//  - Decompositions and inverses return kSingular (-94) on singular or non-positive input and 0
//    on success; the output is then partly written and what to do is the caller's decision.

#include "blas/Complex.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/ComplexVector.h"
#include "blas/Matrix.h"
#include "blas/Vector.h"

namespace velmora::blas {

constexpr int kSingular = -94;  // return code of a failed decomposition or inverse

// ---- Element-wise arithmetic ----------------------------------------------------------------

// c = a + b
void add(const Vector* a, const Vector* b, Vector* c);
void add(const Matrix* a, const Matrix* b, Matrix* c);
void add(const ComplexVector* a, const ComplexVector* b, ComplexVector* c);
void add(const ComplexMatrix* a, const ComplexMatrix* b, ComplexMatrix* c);
void add(const ComplexTensor3* a, const ComplexTensor3* b, ComplexTensor3* c);

// c = a - b
void subtract(const Vector* a, const Vector* b, Vector* c);
void subtract(const Matrix* a, const Matrix* b, Matrix* c);
void subtract(const ComplexVector* va, const ComplexVector* vb, ComplexVector* vc);
void subtract(const ComplexMatrix* a, const ComplexMatrix* b, ComplexMatrix* c);
void subtract(const ComplexTensor3* a, const ComplexTensor3* b, ComplexTensor3* c);

// b = x * a
void scale(const Vector* a, float x, Vector* b);
void scale(const float* a, float x, float* b, int n);
void scale(const Matrix* a, float x, Matrix* b);
void scale(const ComplexVector* a, float x, ComplexVector* b);
void scale(const ComplexMatrix* a, float x, ComplexMatrix* b);
void scale(const ComplexTensor3* ta, float x, ComplexTensor3* tb);
// b = (re + i im) * a
void scale(const ComplexVector* a, float re, float im, ComplexVector* b);

// c = a o b (element-wise)
void multiply(const Vector* a, const Vector* b, Vector* c);
void multiply(const Vector* a, const ComplexVector* b, ComplexVector* c);
void multiply(const ComplexVector* a, const ComplexVector* b, ComplexVector* c);
void multiply(const ComplexMatrix* a, const ComplexMatrix* b, ComplexMatrix* c);
// c = conj(a) o b
void multiplyConj(const ComplexVector* a, const ComplexVector* b, ComplexVector* c);

// r(i, j) = s_j * m(i, j)
void scaleColumns(const Matrix* m, const Vector* s, Matrix* r);
void scaleColumns(const ComplexMatrix* m, const Vector* s, ComplexMatrix* r);
void scaleColumns(const ComplexMatrix* m, const ComplexVector* s, ComplexMatrix* r);

// r = b o c + a
void multiplyAdd(const Vector* a, const Vector* b, const Vector* c, Vector* r);
void multiplyAdd(const ComplexVector* a, const ComplexVector* b, const ComplexVector* c,
                 ComplexVector* r);

// r = 1 / (m + x)
void reciprocal(const Matrix* m, float x, Matrix* r);
// r = ma / (mb + x), complex numerator, real denominator
void divide(const ComplexMatrix* ma, const Matrix* mb, float x, ComplexMatrix* r);
void divide(const ComplexVector* va, const Vector* vb, float x, ComplexVector* r);

// c_j += sum_i a(i, j) * b(i, j)
void accumulateColumnProducts(const Matrix* a, const Matrix* b, Vector* c);
void accumulateColumnProducts(const ComplexMatrix* a, const ComplexMatrix* b, ComplexVector* c);
// c_i += sum_j a(i, j) * b(i, j)
void accumulateRowProducts(const Matrix* a, const Matrix* b, Vector* c);
void accumulateRowProducts(const ComplexMatrix* a, const ComplexMatrix* b, ComplexVector* c);
// per bin: c(j, k) += sum_i a(i, j, k) * b(i, j, k)
void accumulateProducts(const ComplexTensor3* a, const ComplexTensor3* b, ComplexMatrix* c);

// ---- Matrix-vector and per-bin products ---------------------------------------------------

// vc = ma * vb; vc must not be vb.
void multiply(const ComplexMatrix* ma, const ComplexVector* vb, ComplexVector* vc);
// per bin: x(j, k) = sum_c a(j, c, k) * s(c, k); x must not be s.
void multiplyPerBin(const ComplexTensor3* a, const ComplexMatrix* s, ComplexMatrix* x);
// per bin: xsq(j, k) = |sum_c a(j, c, k) * s(c, k)|^2
void multiplyPerBinPower(const ComplexTensor3* a, const ComplexMatrix* s, Matrix* xsq);
// per bin: tc(:, :, k) = ta(:, :, k) * tb(:, :, k); tc must be a third tensor.
void multiplyPerBin(const ComplexTensor3* ta, const ComplexTensor3* tb, ComplexTensor3* tc);
// The same over bins offset .. offset + len - 1 only.
void multiplyPerBin(const ComplexTensor3* ta, const ComplexTensor3* tb, ComplexTensor3* tc,
                    int offset, int len);
// Frequency-domain multichannel filter without conjugation:
// result(m, b) = sum_t w(m, b, t) * data(b, t), w is channels x bins x taps.
void filterMultichannel(const ComplexTensor3* w, const ComplexMatrix* data, ComplexMatrix* result);
// The same with w laid out bins x channels x taps.
void filterMultichannelBinMajor(const ComplexTensor3* w, const ComplexMatrix* data,
                                ComplexMatrix* result);

// ---- Recursive smoothing -------------------------------------------------------------------

// result = a * avg + b * m
void smooth(float a, const Matrix* avgm, float b, const Matrix* m, Matrix* result);
void smooth(float a, const Vector* avgv, float b, const Vector* v, Vector* result);
void smooth(float a, const ComplexMatrix* avgm, float b, const ComplexMatrix* m,
            ComplexMatrix* result);

// r_i = a * va_i + b * |vx_i|^2
void smoothPower(float a, const Vector* va, float b, const ComplexVector* vx, Vector* r);
// r_i = a_i * va_i + b_i * |vx_i|^2
void smoothPower(const Vector* a, const Vector* va, const Vector* b, const ComplexVector* vx,
                 Vector* r);
// r(i, j) = a * ma(i, j) + b * |mx(i, j)|^2 for columns offset .. offset + len - 1
void smoothPower(float a, const Matrix* ma, float b, const ComplexMatrix* mx, Matrix* r, int offset,
                 int len);

// r = a * va + b * x o conj(y)
void smoothCrossPower(float a, const ComplexVector* va, float b, const ComplexVector* x,
                      const ComplexVector* y, ComplexVector* r);
void smoothCrossPower(const Vector* alpha, const ComplexVector* va, const Vector* beta,
                      const ComplexVector* x, const ComplexVector* y, ComplexVector* r);
// The same for matrices over columns offset .. offset + len - 1.
void smoothCrossPower(float a, const ComplexMatrix* ma, float b, const ComplexMatrix* mx,
                      const ComplexMatrix* my, ComplexMatrix* r, int offset, int len);

// ---- Hermitian covariance updates (channels x channels x bins) ------------------------------
// out(i, j, k) = alpha_k * cxx(i, j, k) + beta_k * x(i, k) * conj(x(j, k)), x channels x bins.
// Only i <= j is computed; the diagonal is real and the lower triangle is written as the exact
// conjugate of the upper one, so the result is Hermitian bit for bit. out may be cxx.

void updateCovariance(float alpha, float beta, const ComplexTensor3* cxx, const ComplexMatrix* x,
                      ComplexTensor3* out);
void updateCovariance(const Vector* alpha, const Vector* beta, const ComplexTensor3* cxx,
                      const ComplexMatrix* x, ComplexTensor3* out);
// Bins offset .. offset + len - 1 only; the other bins of out are left as they are.
void updateCovariance(const Vector* alpha, const Vector* beta, const ComplexTensor3* cxx,
                      const ComplexMatrix* x, ComplexTensor3* out, int offset, int len);
// out(i, j, k) = alpha_k * c(i, j, k) + beta_k * x(i, k) * conj(y(j, k)) for all (i, j).
void updateCrossCovariance(const Vector* alpha, const Vector* beta, const ComplexTensor3* c,
                           const ComplexMatrix* x, const ComplexMatrix* y, ComplexTensor3* out);

// ---- Inverse-covariance updates (rank one, Sherman-Morrison) --------------------------------
// Given ic0 = C^-1 per bin and the snapshot x (channels x bins), out = (alpha C + beta x x^H)^-1:
// v = ic0 x, d = Re(x^H v), out = (ic0 - g v v^H) / alpha with g = beta / (beta d + alpha).
// Hermitian like the covariance updates; out may be ic0.

void updateInverseCovariance(float alpha, float beta, const ComplexTensor3* ic0,
                             const ComplexMatrix* x, ComplexTensor3* out);
// Per-bin alpha, beta: out = ic0 / alpha - g' v v^H with g' = beta / (alpha^2 + alpha beta d).
void updateInverseCovariance(const Vector* alpha, const Vector* beta, const ComplexTensor3* ic0,
                             const ComplexMatrix* x, ComplexTensor3* out);
// Bins offset .. offset + len - 1 only, with the scalar form's formula per bin.
void updateInverseCovariance(const Vector* alpha, const Vector* beta, const ComplexTensor3* ic0,
                             const ComplexMatrix* x, ComplexTensor3* out, int offset, int len);
// Keeps ma0 = W^-1 exact per bin after row j of the demixing matrix W changed by dw(:, k):
// u = dw^T ma0 (row vector), ma0 = ma0 - (ma0 e_j) u / (1 + u_j). In place.
void updateMixing(ComplexTensor3* ma0, const ComplexMatrix* dw, int j);

// ---- Decompositions and inverses -----------------------------------------------------------

// Upper Cholesky factor R of a Hermitian positive definite matrix, A = R^H R (real diagonal,
// zero lower part). Reads the upper triangle of ma only. mr may be ma.
int cholesky(const ComplexMatrix* ma, ComplexMatrix* mr);
// Per bin, with x added to every radicand (diagonal loading). Bins that fail are left partly
// written; the return is kSingular if any bin failed.
int cholesky(const ComplexTensor3* ta, float x, ComplexTensor3* tr);
// Square-root free A = L D L^H: ml receives L strictly below the diagonal (unit diagonal
// implied), D on the diagonal (real), zeros above. Reads the lower triangle only. ml may be ma.
int ldl(const ComplexMatrix* ma, ComplexMatrix* ml);
// Per bin over bins fioffset .. fioffset + filen - 1, with x added to the diagonal.
int ldl(const ComplexTensor3* ta, float x, ComplexTensor3* tl, int fioffset, int filen);
// Hermitian inverse through the Cholesky factor; kSingular if the factorisation fails or a
// diagonal factor is below 1e-6. result may be matrix; the result is exactly Hermitian.
int inverseHermitian(const ComplexMatrix* matrix, ComplexMatrix* result);
// Per bin over a bin range, through the LDL^H factorisation of (A + x I).
int inverseHermitian(const ComplexTensor3* ta, float x, ComplexTensor3* tinv, int fioffset,
                     int filen);
// Real Gauss-Jordan inverse. The pivot of column i is the first row j >= i with magnitude
// >= 1e-6; rows of both matrices are swapped by pointer. matrix is reduced (overwritten).
int inverse(Matrix* matrix, Matrix* result);
// General complex per-bin inverse through the real embedding [[Re, -Im], [Im, Re]].
int inverse(const ComplexTensor3* ta, ComplexTensor3* tinv);

// 2 x 2 closed forms per bin (the leading 2 x 2 of each bin).
// result_k = Re a00 Re a11 - |a01|^2
void determinant2x2(const ComplexTensor3* tensor, Vector* result);
// Hermitian inverse with loading x on the diagonal.
void inverseHermitian2x2(const ComplexTensor3* tensor, float x, ComplexTensor3* tinv);
// General inverse; |det|^2 below 1e-6 is replaced by 1, so it never fails.
void inverse2x2(const ComplexTensor3* tensor, ComplexTensor3* tinv);

// Generalised eigenproblem det(c1 - lambda c0) = 0 per bin for Hermitian 2 x 2 c1, c0 with
// loading x on both diagonals. lambda row 0 gets the root with +sqrt, row 1 the one with -sqrt.
// type 2: eigenvalues only (w may be null).
// type 1: w = demixing matrix whose row r solves w_r (c1 - lambda_r c0) = 0 (of the two
//         candidate rows the larger one), scaled to determinant 1.
// other:  w = the unnormalised rows: row 0 = (b11, -b01) of b = c1 - lambda_0 c0, row 1 =
//         (-b10, b00) of b = c1 - lambda_1 c0 (type 3 names this form).
void generalizedEigen2x2(const ComplexTensor3* c1, const ComplexTensor3* c0, float x, int type,
                         Matrix* lambda, ComplexTensor3* w);
// The same roots for c0, c1 with per-bin loadings dl0, dl1, and the unnormalised demixing rows.
void demix2x2(const ComplexTensor3* c0, const ComplexTensor3* c1, const Vector* dl0,
              const Vector* dl1, Matrix* eigenvalue, ComplexTensor3* demix);

// Adds x to every diagonal real part.
void loadDiagonal(ComplexMatrix* m, float x);
void loadDiagonal(ComplexTensor3* t, float x);
// Every bin whose trace exceeds threshold is multiplied by factor.
void scaleWhereTraceAbove(ComplexTensor3* t, float threshold, float factor);
// out(j, j, k) = 1; out(j, l, k) = c / (|c| + x) above the diagonal, conjugate below.
void normalizePhase(const ComplexTensor3* c, float x, ComplexTensor3* out);

// ---- Quadratic forms -----------------------------------------------------------------------

// Re(w^H C w) of a Hermitian C (diagonal once, upper off-diagonal terms twice).
float quadraticForm(const ComplexMatrix* mc, const ComplexVector* w);
// q_k = Re(w_k^H C_k w_k) with w_k the column k of mw.
void quadraticForm(const ComplexTensor3* tc, const ComplexMatrix* mw, Vector* q);

// ---- Reductions and norms ------------------------------------------------------------------

int sum(const int* x, int n);
float sum(const float* x, int n);
float sum(const Vector* v);
float sum(const Matrix* m);
Complex sum(const ComplexVector* v);
void columnSums(const Matrix* m, Vector* v);
float columnSum(const Matrix* m, int j);
void rowSums(const Matrix* m, Vector* v);
// Row sums of rows offset .. offset + len - 1 into the same entries of v.
void rowSums(const Matrix* m, Vector* v, int offset, int len);
float rowSum(const Matrix* m, int i);
void columnSums(const ComplexMatrix* m, ComplexVector* v);

// Powers: sums of |x|^2.
float power(const ComplexMatrix* m);
void rowPowers(const ComplexMatrix* m, Vector* v);
void rowPowers(const ComplexMatrix* m, Vector* v, int offset, int len);
float rowPower(const ComplexMatrix* m, int i);
// Column powers of columns offset .. offset + len - 1 into the same entries of v.
void columnPowers(const ComplexMatrix* m, Vector* v, int offset, int len);
float power(const ComplexVector* v);
float power(const Vector* v);
float power(const ComplexTensor3* t);
// v += row powers of m
void accumulateRowPowers(const ComplexMatrix* m, Vector* v);
// Euclidean norms: square roots of the powers.
float norm(const ComplexMatrix* m);
float norm(const ComplexVector* v);
float norm(const Vector* v);
float norm(const ComplexTensor3* t);
void rowNorms(const ComplexMatrix* m, Vector* v);

float mean(const float* x, int n);
// Mean and population variance (divided by n); either output may be null.
void meanVariance(const float* x, int n, float* mean, float* variance);
// sum conj(x_i) y_i and sum x_i y_i
Complex dot(const ComplexVector* x, const ComplexVector* y);
float dot(const Vector* x, const Vector* y);
// Per column i: y_i = sum_j conj(x(j, i)) z(j, i); ysq_i = |y_i|^2.
void columnDots(const ComplexMatrix* x, const ComplexMatrix* z, ComplexVector* y);
void columnDotPowers(const ComplexMatrix* x, const ComplexMatrix* z, Vector* ysq);

// ---- Magnitudes and logarithms -------------------------------------------------------------

void magnitudeSquared(const ComplexVector* cv, Vector* v);
void magnitudeSquared(const ComplexMatrix* m, Matrix* abs2);
// |m(row, j)|^2 of one row
void magnitudeSquared(const ComplexMatrix* m, int row, Vector* abs2);
// log10(|x|^2 + x0)
void logPower(const ComplexVector* cv, float x0, Vector* v);
void logPower(const ComplexMatrix* cm, float x0, Matrix* m);

// ---- Normalisation and search --------------------------------------------------------------

// Scales x to sum 1 and returns the old sum; below 2.220446049250313e-16 every element
// becomes 1 / n.
float normalizeSum(float* x, int n);
// u = v / |v|; vectors with norm below 1e-6 are copied unchanged.
void normalize(const ComplexVector* v, ComplexVector* u);
// Each column of r = the column of m over its norm (columns below 1e-6 unchanged).
void normalizeColumns(const ComplexMatrix* m, ComplexMatrix* r);
// Index of the first maximum (minimum); -1 for an empty or all-NaN array. index and value are
// optional outputs.
int argMax(const float* x, int n, int* index = nullptr, float* value = nullptr);
int argMin(const float* x, int n, int* index = nullptr, float* value = nullptr);
int argMax(const Vector* v, int* index = nullptr, float* value = nullptr);
int argMin(const Vector* v, int* index = nullptr, float* value = nullptr);
// Ascending selection sort in place.
void sortAscending(float* x, int n);
void fill(float* x, int n, float value);
// rand() / 32767 per element
void fillRandom(float* x, int n);

// ---- First-order filters -------------------------------------------------------------------

// y_i = x_i - a x_(i-1), y_0 = x_0 - a prev (prev: last input of the previous call). y may be x.
void preEmphasis(const Vector* x, float a, float prev, Vector* y);
// y_i = x_i + a y_(i-1) starting from prev (last output of the previous call); returns the
// last output.
float deEmphasis(const Vector* x, float a, float prev, Vector* y);

// ---- Debug printing: "%d " / "%f " per element, then a newline ------------------------------

void print(const int* x, int n);
void print(const float* x, int n);
void print(const unsigned char* x, int n);

}  // namespace velmora::blas
