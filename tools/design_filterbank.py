#!/usr/bin/python3
# Designs the seven prototype filters of the polyphase filter banks and writes them as the
# generated source file src/transform/PPFPrototypes.cpp.
#
# Method. With the spectra passed unchanged from analysis to synthesis, the bank (hop B, C
# prototype blocks, delay D, analysis a_j[i] = h[B(C-j)-1-i], synthesis s_j[i] = h[jB+i], even
# blocks folded into the first half of the 2B frame, odd ones into the second) is the periodically
# time-varying filter y[n] = sum_p c_p(n mod B) x[n - D + 2Bp] with
# c_p(r) = sum_k h[r+kB] h[B+D-1-r-kB-2Bp]: c_0 is the gain of the delayed main term and the other
# c_p are alias residues. Each c_p(r) is a convolution of the polyphase columns r and B-1-r of h.
# The low-delay prototypes (types 0, 1, 3, 4, 5, 6) minimise by Levenberg-Marquardt
#     sum_r hinge(c_0(r), gain interval)^2 + sum_{p!=0} sum_r c_p(r)^2
#       + lambda * (1/pi) int_{1.5 pi/B}^{pi} |H(w)|^2 dw / B^2 + hinge(peak position)^2
# where the gain interval lies inside the type's allowed end-to-end gain range and the last term
# keeps the largest coefficient at the prescribed position. Type 0 and 1 start from an asymmetric
# raised-cosine window; types 3, 5, 6 start from type 0 and type 4 from type 1, resampled to their
# length. The linear-phase type 2 is parametrised so that it reconstructs perfectly by
# construction: each polyphase column (h0, h1, h2, h3) = (cos f cos t, cos f sin t, -sin f sin t,
# sin f cos t) has unit energy and h0 h2 + h1 h3 = 0, and column B-1-r is column r reversed; only
# the stop-band energy is minimised (L-BFGS). Everything is deterministic (no random start); the
# run takes a few minutes with an optimised BLAS (Debian libopenblas0) and longer without.

import argparse
import os
import sys
import time

import numpy as np
import scipy.linalg as sla
import scipy.optimize as so

# type: (B, C, D, peak position, lowest gain, highest gain, stop-band weight lambda)
TYPES = [
    (160, 6, 160, 208, 0.9478, 1.0208, 30.0),
    (160, 6, 480, 358, 0.9943, 0.9964, 10.0),
    (320, 4, 960, 639, 1.0, 1.0, 0.0),
    (320, 6, 320, 418, 0.9165, 0.9879, 30.0),
    (320, 6, 960, 734, 0.9945, 0.9994, 10.0),
    (480, 6, 480, 660, 0.9092, 0.9679, 30.0),
    (640, 6, 640, 835, 0.9174, 0.9892, 30.0),
]
EMPHASIS = 0.9


def pr_terms(h, B, C, D):
    """c[n, r] = sum_k P[k, r] P[n-k, B-1-r]; the main term is row D/B, aliases rows of its parity."""
    P = h.reshape(C, B)
    R = P[:, ::-1]
    c = np.zeros((2 * C - 1, B))
    for n in range(2 * C - 1):
        for k in range(max(0, n - C + 1), min(C, n + 1)):
            c[n] += P[k] * R[n - k]
    n0 = D // B
    alias = [n for n in range(2 * C - 1) if (n - n0) % 2 == 0 and n != n0]
    return c, n0, alias


def stop_q(L, ws):
    """Toeplitz Q with h^T Q h = (1/pi) int_ws^pi |H(w)|^2 dw."""
    d = np.arange(1, L, dtype=float)
    q = np.empty(L)
    q[0] = (np.pi - ws) / np.pi
    q[1:] = -np.sin(ws * d) / (np.pi * d)
    return sla.toeplitz(q)


def stopband_db(h, B, over=16):
    """Attenuation of the prototype beyond 1.5 bin spacings (1.5 pi / B) relative to DC."""
    N = 1
    while N < over * len(h):
        N *= 2
    H = np.abs(np.fft.rfft(h, N))
    w = np.pi * np.arange(len(H)) / (len(H) - 1)
    return 20 * np.log10(H[0] / H[w >= 1.5 * np.pi / B].max())


def gain_interval(lo, hi):
    """Target interval for c_0: inside [lo, hi] with a margin, as close to 1 as allowed."""
    m = 0.1 * (hi - lo)
    t = min(max(1.0, lo + m), hi - m)
    return max(lo + m, t - 0.003), min(hi - m, t + 0.003)


class LowDelayProblem:
    GAIN_WEIGHT = 20.0
    PEAK_WEIGHT = 3.0

    def __init__(self, B, C, D, peak, glo, ghi, lam):
        self.B, self.C, self.D, self.peak = B, C, D, peak
        self.glo, self.ghi = glo, ghi
        self.L = B * C
        self.Q = stop_q(self.L, 1.5 * np.pi / B) * (lam / B**2)
        self.wr = 1.0 / np.sqrt(B / 2)  # residuals are averaged over the distinct positions

    def residuals(self, h, jac=True):
        B, C, L = self.B, self.C, self.L
        P = h.reshape(C, B)
        c, n0, alias = pr_terms(h, B, C, self.D)
        half = B // 2  # c(r) = c(B-1-r)
        r = np.arange(half)
        es, Js = [], []
        for n in [n0] + alias:
            val = c[n, :half]
            if n == n0:
                res = self.GAIN_WEIGHT * (val - np.clip(val, self.glo, self.ghi))
                active, wgt = res != 0, self.GAIN_WEIGHT
            else:
                res, active, wgt = val, np.ones(half, bool), 1.0
            es.append(res)
            if jac:
                Jn = np.zeros((half, L))
                for k in range(max(0, n - C + 1), min(C, n + 1)):
                    j = n - k
                    Jn[r, k * B + r] += wgt * P[j, B - 1 - r]
                    Jn[r, j * B + B - 1 - r] += wgt * P[k, r]
                Jn[~active] = 0
                Js.append(Jn)
        # keep the largest coefficient at the prescribed position
        v = h - h[self.peak] + 0.002
        v[self.peak] = 0
        idx = np.nonzero(v > 0)[0]
        es.append(self.PEAK_WEIGHT * v[idx])
        e = np.concatenate(es) * self.wr
        if not jac:
            return e, None
        Jp = np.zeros((len(idx), L))
        Jp[np.arange(len(idx)), idx] = self.PEAK_WEIGHT
        Jp[:, self.peak] -= self.PEAK_WEIGHT
        Js.append(Jp)
        return e, np.vstack(Js) * self.wr

    def cost(self, h):
        e, _ = self.residuals(h, jac=False)
        return e @ e + h @ self.Q @ h

    def solve(self, h, iters, log):
        mu, F = 1e-1, self.cost(h)
        I = np.eye(self.L)
        for it in range(iters):
            e, J = self.residuals(h)
            A = J.T @ J + self.Q
            g = J.T @ e + self.Q @ h
            while True:
                d = -sla.cho_solve(sla.cho_factor(A + mu * I), g)
                Fn = self.cost(h + d)
                if Fn < F:
                    h, mu = h + d, max(mu / 3, 1e-9)
                    converged = F - Fn < 2e-4 * F
                    F = Fn
                    break
                mu *= 4
                if mu > 1e6:
                    return h
            log("  iteration %d: cost %.4g" % (it, F))
            if converged:
                break
        return h


def initial_low_delay(B, C, D, peak):
    """Asymmetric raised-cosine window: rises to the peak, then decays over the remaining length."""
    L = B * C
    t = np.arange(L) + 0.5
    up = peak + 0.5
    x = np.where(t < up, (t - up) / (up + 0.4 * B), (t - up) / (L - up))
    w = np.where(t < up, np.cos(0.5 * np.pi * np.clip(x, -1, 0)) ** 2,
                 np.cos(0.5 * np.pi * np.clip(x, 0, 1)) ** 2)
    c, n0, _ = pr_terms(w, B, C, D)
    return w / np.sqrt(np.mean(c[n0]))


def resample_from(h0, B, C, D, peak, glo, ghi):
    """Stretches a designed prototype to another block size, moving its peak to `peak`."""
    L0, L = len(h0), B * C
    p0 = int(np.argmax(h0))
    t = np.arange(L) + 0.5
    # piecewise-linear time map that sends peak to p0 and keeps both ends
    src = np.where(t <= peak, t * (p0 + 0.5) / (peak + 0.5),
                   p0 + 0.5 + (t - peak - 0.5) * (L0 - p0 - 0.5) / (L - peak - 0.5))
    h = np.interp(src - 0.5, np.arange(L0), h0)
    c, n0, _ = pr_terms(h, B, C, D)
    return h * np.sqrt(0.5 * (glo + ghi) / np.mean(c[n0]))


def design_symmetric(B, C, log):
    """Linear-phase perfect-reconstruction prototype of 4 blocks (delay (C-1)B)."""
    assert C == 4
    L, half = B * C, B // 2
    cols = np.arange(half)

    def build(x):
        th, ph = x[:half], x[half:]
        rho, sig = np.cos(ph), np.sin(ph)
        V = np.stack([rho * np.cos(th), rho * np.sin(th), -sig * np.sin(th), sig * np.cos(th)])
        P = np.zeros((C, B))
        P[:, :half] = V
        P[:, B - 1 - cols] = V[::-1]
        return P.reshape(-1)

    def grad(x, gh):
        th, ph = x[:half], x[half:]
        G = gh.reshape(C, B)
        GV = G[:, :half] + G[::-1, B - 1 - cols]
        rho, sig, ct, st = np.cos(ph), np.sin(ph), np.cos(th), np.sin(th)
        dth = GV[0] * (-rho * st) + GV[1] * (rho * ct) + GV[2] * (-sig * ct) + GV[3] * (-sig * st)
        dph = GV[0] * (-sig * ct) + GV[1] * (-sig * st) + GV[2] * (-rho * st) + GV[3] * (rho * ct)
        return np.concatenate([dth, dph])

    # start from a Gaussian bump projected onto the constraint set
    t = (np.arange(L) + 0.5) / L
    V = np.exp(-0.5 * ((t - 0.5) / 0.17) ** 2).reshape(C, B)[:, :half]
    th = np.arctan2(V[1], V[0])
    ph = np.arctan2(V[2] * -np.sin(th) + V[3] * np.cos(th), np.hypot(V[0], V[1]))
    x0 = np.concatenate([th, ph])
    Q = stop_q(L, 1.5 * np.pi / B) * (1e4 / B**2)

    def f(x):
        h = build(x)
        Qh = Q @ h
        return h @ Qh, grad(x, 2 * Qh)

    r = so.minimize(f, x0, jac=True, method="L-BFGS-B",
                    options={"maxiter": 5000, "ftol": 1e-15, "gtol": 1e-12})
    log("  L-BFGS: %s after %d iterations" % (r.message, r.nit))
    h = build(r.x)
    return -h if h.sum() < 0 else h


def simulate(h, B, C, D, x):
    """The bank's folding and overlap-add with pre- and de-emphasis, spectra passed unchanged."""
    u = np.empty_like(x)
    u[0] = x[0]
    u[1:] = x[1:] - EMPHASIS * x[:-1]
    L = B * C
    nb = len(x) // B
    v = np.zeros(nb * B)
    a = np.stack([h[B * (C - j) - 1 - np.arange(B)] for j in range(C)])
    s = h.reshape(C, B)
    hist = np.zeros((C, B))
    acc = np.zeros((C, B))
    for b in range(nb):
        hist = np.roll(hist, -1, axis=0)
        hist[-1] = u[b * B:(b + 1) * B]
        prod = hist * a
        A, Dd = prod[0::2].sum(axis=0), prod[1::2].sum(axis=0)
        acc[0::2] += A * s[0::2]
        acc[1::2] += Dd * s[1::2]
        v[b * B:(b + 1) * B] = acc[0]
        acc = np.roll(acc, -1, axis=0)
        acc[-1] = 0
    y = np.empty_like(v)
    m = 0.0
    for n in range(len(v)):
        m = v[n] + EMPHASIS * m
        y[n] = m
    return y


def chain_snr(h, B, C, D, x):
    """Reconstruction SNR against the delayed main term (position gain c_0, emphasis pair)."""
    c, n0, _ = pr_terms(h, B, C, D)
    g = c[n0]
    y = simulate(h, B, C, D, x)
    n = len(y)
    xd = np.zeros(n)
    xd[D:] = x[:n - D]
    u = xd.copy()
    u[1:] -= EMPHASIS * xd[:-1]
    u *= g[np.arange(n) % B]
    ref = np.empty(n)
    m = 0.0
    for i in range(n):
        m = u[i] + EMPHASIS * m
        ref[i] = m
    s = slice(2 * L_of(B, C), n)
    return 10 * np.log10(np.sum(ref[s] ** 2) / np.sum((y[s] - ref[s]) ** 2))


def L_of(B, C):
    return B * C


def write_cpp(path, tables):
    lines = [
        "// Generated by tools/design_filterbank.py; do not edit. Prototype filters of the polyphase",
        "// filter banks, one table per window type (see PPFPrototypes.h).",
        "",
        '#include "transform/PPFPrototypes.h"',
        "",
        "namespace velmora::transform {",
        "",
        "const float kPPFPrototypes[kPPFPrototypeTotal] = {",
    ]
    for ty, h in enumerate(tables):
        lines.append("    // type %d: %d coefficients" % (ty, len(h)))
        vals = ["%.9gf" % np.float32(v) for v in h]
        vals = [v if ("." in v or "e" in v) else v[:-1] + ".0f" for v in vals]
        for i in range(0, len(vals), 6):
            lines.append("    " + ", ".join(vals[i:i + 6]) + ",")
    lines += ["};", "", "}  // namespace velmora::transform", ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def main():
    ap = argparse.ArgumentParser(description=__doc__ or "", epilog=(
        "Designs the seven prototype filters of the polyphase filter banks (see the header "
        "comment of this file for the method) and writes them as a C++ table."))
    ap.description = ("Design the polyphase filter-bank prototypes (types 0..6) by optimisation "
                      "and write src/transform/PPFPrototypes.cpp.")
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--output", default=os.path.join(here, "..", "src", "transform",
                                                     "PPFPrototypes.cpp"),
                    help="generated C++ file (default: %(default)s)")
    ap.add_argument("--iterations", type=int, default=40,
                    help="maximum Levenberg-Marquardt iterations per type (default: 40)")
    ap.add_argument("--no-verify", action="store_true",
                    help="skip the time-domain simulation that reports the reconstruction SNR")
    ap.add_argument("--quiet", action="store_true", help="print only the summary")
    args = ap.parse_args()
    log = (lambda s: None) if args.quiet else (lambda s: print(s, flush=True))

    tables = [None] * 7
    order = [0, 1, 3, 5, 6, 4, 2]  # types started from another one come after it
    seed_of = {3: 0, 5: 0, 6: 0, 4: 1}
    for ty in order:
        B, C, D, peak, lo, hi, lam = TYPES[ty]
        t0 = time.time()
        log("type %d: B=%d C=%d D=%d" % (ty, B, C, D))
        if ty == 2:
            h = design_symmetric(B, C, log)
        else:
            glo, ghi = gain_interval(lo, hi)
            if ty in seed_of:
                h = resample_from(tables[seed_of[ty]], B, C, D, peak, glo, ghi)
            else:
                h = initial_low_delay(B, C, D, peak)
            h = LowDelayProblem(B, C, D, peak, glo, ghi, lam).solve(h, args.iterations, log)
        tables[ty] = h.astype(np.float32).astype(np.float64)
        log("  %.1f s" % (time.time() - t0))

    rng = np.random.default_rng(12345)
    print("type  peak   sum         gain range        alias SNR  chain SNR  stop band")
    for ty, h in enumerate(tables):
        B, C, D, peak, lo, hi, lam = TYPES[ty]
        c, n0, alias = pr_terms(h, B, C, D)
        g = c[n0]
        asnr = 10 * np.log10(np.sum(g**2) / np.sum(c[alias] ** 2))
        csnr = float("nan") if args.no_verify else chain_snr(
            h, B, C, D, rng.standard_normal(B * 100))
        ok = int(np.argmax(h)) == peak and g.min() >= lo - 1e-6 and g.max() <= hi + 1e-6
        print("%d     %4d  %10.5f  %.5f..%.5f  %6.1f dB  %6.1f dB  %5.1f dB%s" % (
            ty, int(np.argmax(h)), h.sum(), g.min(), g.max(), asnr, csnr,
            stopband_db(h, B), "" if ok else "  OUT OF SPEC"))
    write_cpp(args.output, tables)
    print("wrote %s" % os.path.normpath(args.output))


if __name__ == "__main__":
    sys.exit(main())
