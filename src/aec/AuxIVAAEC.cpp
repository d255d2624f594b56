#include "aec/AuxIVAAEC.h"

#include "Error.h"
#include "blas/ComplexVector.h"

namespace velmora::aec {

namespace {
constexpr float kInitialInverse = 100000.0f;  // Q at creation: this times the identity
// A bin whose trace of Q exceeds that of the initial loading (kInitialInverse per reference) is
// running away in directions the references no longer excite (Q grows by 1 / lambda per
// update there) and has Q scaled by kTraceScale. A fixed limit below the initial trace would
// act on every bin at its first update, and with G kept the filter W = G Q would stay scaled
// down until G has forgotten that update.
constexpr float kTraceScale = 0.01f;
}  // namespace

AuxIVAAEC::AuxIVAAEC(int nummics, int numrefs, int numbins, float forget, bool perBin)
    : AuxIVACore(nummics, numrefs, numbins, forget, perBin),
      G_(nummics, numrefs, numbins),
      Q_(numrefs, numrefs, numbins),
      u_(numrefs) {
    VM_ASSERT(numrefs > 0);
    for (int k = 0; k < numbins; ++k) resetBin(k);
}

AuxIVAAEC::~AuxIVAAEC() = default;

void AuxIVAAEC::update(const blas::ComplexMatrix* mic) {
    using blas::Complex;
    computeWeights(0, numMics_);
    const int R = numRefs_, K = numBins_;
    Complex*** q = Q_.data();
    Complex* u = u_.data();
    for (int k = 0; k < K; ++k) {
        const float l = forget_.data()[k], s = weights_.data()[k];
        // u = Q x; xQx = x^H u (real for a Hermitian Q).
        float xqx = 0.0f;
        for (int i = 0; i < R; ++i) {
            Complex acc = 0.0f;
            for (int j = 0; j < R; ++j) acc += q[i][j][k] * refs_.data()[j][k];
            u[i] = acc;
            xqx += (std::conj(refs_.data()[i][k]) * acc).real();
        }
        const float c = s / (l + s * xqx), li = 1.0f / l;
        float trace = 0.0f;
        // Upper triangle, mirrored as exact conjugates, with a real diagonal: Q stays exactly
        // Hermitian (rounding in an anti-Hermitian part would grow by 1 / lambda per block).
        for (int i = 0; i < R; ++i) {
            q[i][i][k] = Complex((q[i][i][k].real() - c * std::norm(u[i])) * li, 0.0f);
            for (int j = i + 1; j < R; ++j) {
                q[i][j][k] = (q[i][j][k] - c * (u[i] * std::conj(u[j]))) * li;
                q[j][i][k] = std::conj(q[i][j][k]);
            }
            trace += q[i][i][k].real();
        }
        if (trace > static_cast<float>(R) * kInitialInverse)
            for (int i = 0; i < R; ++i)
                for (int j = 0; j < R; ++j) q[i][j][k] *= kTraceScale;
        for (int m = 0; m < numMics_; ++m) {
            const Complex d = mic->data()[m][k];
            for (int r = 0; r < R; ++r) {
                Complex& g = G_.data()[m][r][k];
                g = l * g + s * (d * std::conj(refs_.data()[r][k]));
            }
            for (int j = 0; j < R; ++j) {
                Complex acc = 0.0f;
                for (int i = 0; i < R; ++i) acc += G_.data()[m][i][k] * q[i][j][k];
                W_.data()[m][j][k] = acc;
            }
        }
    }
}

void AuxIVAAEC::resetBin(int k) {
    for (int i = 0; i < numRefs_; ++i)
        for (int j = 0; j < numRefs_; ++j) Q_.data()[i][j][k] = i == j ? kInitialInverse : 0.0f;
    for (int m = 0; m < numMics_; ++m)
        for (int r = 0; r < numRefs_; ++r) G_.data()[m][r][k] = 0.0f;
    clearFilterBin(k);
}

}  // namespace velmora::aec
