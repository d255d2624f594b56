#include "bf/StereoAuxIVA.h"

#include <algorithm>
#include <cmath>

#include "Error.h"
#include "blas/ComplexMatrix.h"
#include "blas/ComplexTensor3.h"
#include "blas/Vector.h"

namespace velmora::bf {

using blas::Complex;

namespace {

constexpr float kAcceptRatio = 30.0f;    // a row may give at most this times mic 0's power
constexpr float kMinPower = 0.01f;       // floor of the demixed power behind phi
constexpr float kShape = -0.9f;          // phi = power^kShape
constexpr float kGrowthOffset = 0.001f;  // added to the old trace in the growth guard

}  // namespace

struct StereoAuxIVA::Impl {
    int N = 0;
    float growthLimit = 0.0f;
    float initial = 0.0f;  // V1, V2 at start (times I)
    std::unique_ptr<blas::ComplexTensor3> V1, V2, W;
    std::unique_ptr<blas::Vector> phi;

    void restartCovariances(int k) {
        for (blas::ComplexTensor3* v : {V1.get(), V2.get()}) {
            v->data()[0][0][k] = v->data()[1][1][k] = Complex(initial, 0.0f);
            v->data()[0][1][k] = v->data()[1][0][k] = Complex(0.0f, 0.0f);
        }
    }
};

StereoAuxIVA::StereoAuxIVA(int numbins, float initial) : pp(new Impl) {
    VM_ASSERT(numbins > 0);
    VM_ASSERT(initial >= 0.0f);
    Impl& s = *pp;
    s.N = numbins;
    s.initial = initial;
    s.V1 = std::make_unique<blas::ComplexTensor3>(2, 2, s.N);
    s.V2 = std::make_unique<blas::ComplexTensor3>(2, 2, s.N);
    s.W = std::make_unique<blas::ComplexTensor3>(2, 2, s.N);
    s.phi = std::make_unique<blas::Vector>(2);
    for (int k = 0; k < s.N; ++k) {
        s.restartCovariances(k);
        s.W->data()[0][0][k] = s.W->data()[1][1][k] = Complex(1.0f, 0.0f);
    }
}

StereoAuxIVA::~StereoAuxIVA() = default;

int StereoAuxIVA::numBins() const {
    return pp->N;
}
const blas::ComplexTensor3* StereoAuxIVA::demixing() const {
    return pp->W.get();
}
void StereoAuxIVA::setGrowthLimit(float factor) {
    pp->growthLimit = factor;
}

void StereoAuxIVA::update(float forget, float loading, int type, const blas::Vector* phi,
                          const blas::ComplexMatrix* datain) {
    VM_ASSERT(datain->numRows() == NUM_MICS && datain->numColumns() == numBins());
    VM_ASSERT(phi->size() == NUM_MICS);
    Impl& s = *pp;
    const Complex* x0 = datain->data()[0];
    const Complex* x1 = datain->data()[1];
    Complex*** V1 = s.V1->data();
    Complex*** V2 = s.V2->data();
    Complex*** W = s.W->data();
    const float b1 = (1.0f - forget) * phi->data()[0];
    const float b2 = (1.0f - forget) * phi->data()[1];
    for (int k = 0; k < s.N; ++k) {
        const Complex a = x0[k], b = x1[k];
        const float p00 = std::norm(a), p11 = std::norm(b);
        const Complex p01 = a * std::conj(b);
        bool refused = false;
        for (int src = 0; s.growthLimit > 0.0f && src < 2; ++src) {
            const Complex* const* const* V = src == 0 ? V1 : V2;
            const float old = V[0][0][k].real() + V[1][1][k].real();
            refused |= forget * old + (src == 0 ? b1 : b2) * (p00 + p11) >
                       s.growthLimit * (old + kGrowthOffset);
        }
        for (int src = 0; !refused && src < 2; ++src) {
            Complex*** V = src == 0 ? V1 : V2;
            const float w = src == 0 ? b1 : b2;
            const float d0 = forget * V[0][0][k].real() + w * p00;
            const float d1 = forget * V[1][1][k].real() + w * p11;
            V[0][0][k] = Complex(d0, 0.0f);
            V[1][1][k] = Complex(d1, 0.0f);
            V[0][1][k] = forget * V[0][1][k] + w * p01;
            V[1][0][k] = std::conj(V[0][1][k]);
        }
        if (!std::isfinite(V1[0][0][k].real() + V1[1][1][k].real() + std::norm(V1[0][1][k]) +
                           V2[0][0][k].real() + V2[1][1][k].real() + std::norm(V2[0][1][k]))) {
            s.restartCovariances(k);
            continue;
        }

        // Roots of det(V2 - mu V1) = det(V1) mu^2 + l mu + det(V2) with loading on the diagonals.
        const float a00 = V1[0][0][k].real() + loading, a11 = V1[1][1][k].real() + loading;
        const float c00 = V2[0][0][k].real() + loading, c11 = V2[1][1][k].real() + loading;
        const Complex a01 = V1[0][1][k], c01 = V2[0][1][k];
        const double detA = double(a00) * a11 - std::norm(a01);
        const double detC = double(c00) * c11 - std::norm(c01);
        const double l = 2.0 * (double(a01.real()) * c01.real() + double(a01.imag()) * c01.imag()) -
                         double(c00) * a11 - double(a00) * c11;
        if (!(detA > 0.0)) continue;  // no positive definite V1 yet: keep the rows
        const double root = std::sqrt(std::max(l * l - 4.0 * detA * detC, 0.0));
        const float mu1 = static_cast<float>((-l + root) / (2.0 * detA));
        const float mu2 = static_cast<float>((-l - root) / (2.0 * detA));
        if (type == 2) continue;
        Complex r[2][2];
        r[0][0] = Complex(c11 - mu1 * a11, 0.0f);
        r[0][1] = mu1 * a01 - c01;
        r[1][0] = std::conj(mu2 * a01 - c01);
        r[1][1] = Complex(c00 - mu2 * a00, 0.0f);
        if (type != 3) {
            // B = inverse of the rows (the mixing estimate); row s scaled by an entry of
            // column s of B.
            const Complex det = r[0][0] * r[1][1] - r[0][1] * r[1][0];
            if (!(std::norm(det) > 0.0f) || !std::isfinite(std::norm(det))) continue;
            const Complex inv = 1.0f / det;
            const Complex B[2][2] = {{r[1][1] * inv, -r[0][1] * inv},
                                     {-r[1][0] * inv, r[0][0] * inv}};
            for (int src = 0; src < 2; ++src) {
                Complex scale = B[src][src];
                if (type == 1) {
                    const Complex other = B[1 - src][src];
                    if (std::norm(other) > std::norm(scale)) scale = other;
                }
                r[src][0] *= scale;
                r[src][1] *= scale;
            }
        }
        const float limit = kAcceptRatio * p00;
        for (int src = 0; src < 2; ++src) {
            const float p = std::norm(r[src][0] * a + r[src][1] * b);
            if (!std::isfinite(p) || p > limit) continue;
            W[src][0][k] = r[src][0];
            W[src][1][k] = r[src][1];
        }
    }
}

void StereoAuxIVA::process(float forget, float loading, int type, const blas::ComplexMatrix* datain,
                           blas::ComplexMatrix* dataout) {
    VM_ASSERT(datain->numRows() == NUM_MICS && datain->numColumns() == numBins());
    if (dataout) VM_ASSERT(dataout->numRows() == NUM_MICS && dataout->numColumns() == numBins());
    Impl& s = *pp;
    const Complex* x0 = datain->data()[0];
    const Complex* x1 = datain->data()[1];
    Complex*** W = s.W->data();
    float power[2] = {0.0f, 0.0f};
    for (int src = 0; src < 2; ++src) {
        Complex* y = dataout ? dataout->data()[src] : nullptr;
        const Complex* w0 = W[src][0];
        const Complex* w1 = W[src][1];
        for (int k = 0; k < s.N; ++k) {
            const Complex v = w0[k] * x0[k] + w1[k] * x1[k];
            if (y) y[k] = v;
            power[src] += std::norm(v);
        }
    }
    for (int src = 0; src < 2; ++src)
        s.phi->data()[src] = std::pow(power[src] > kMinPower ? power[src] : kMinPower, kShape);
    update(forget, loading, type, s.phi.get(), datain);
}

}  // namespace velmora::bf
