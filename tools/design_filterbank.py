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
#       + lambda * (1/pi) int_{1.5 pi/B}^{pi} |H(w)|^2 dw / B^2
#       + sum_w hinge(|H(w)| - T H(0))^2 + hinge(peak position)^2
# where the gain interval lies inside the type's allowed end-to-end gain range, T is a ceiling on
# the stop band (every grid frequency beyond 1.5 bin spacings, pi / (4L) apart) and the last term
# keeps the largest coefficient at the prescribed position. The alias and gain residuals of
# position r depend only on the polyphase columns r and B-1-r, so the Gauss-Newton matrix is block
# diagonal plus a low-rank stop-band part (identity minus the few prolate spheroidal sequences of
# the pass band) plus the active hinge rows; each step is solved exactly with the Woodbury
# identity, which makes an iteration cost milliseconds instead of a dense L x L factorisation.
# Starts: type 0 from an asymmetric raised-cosine window refined by a pass with the stop-band
# energy alone; type 1 (delay 3B) from the linear-phase perfect-reconstruction design of 4 blocks
# followed by two blocks of zeros; types 3, 5, 6 from type 0 and type 4 from type 1, stretched to
# their length. The linear-phase type 2 is parametrised so that it reconstructs perfectly by
# construction: each polyphase column (h0, h1, h2, h3) = (cos f cos t, cos f sin t, -sin f sin t,
# sin f cos t) has unit energy and h0 h2 + h1 h3 = 0, and column B-1-r is column r reversed; only
# the stop-band energy (weighted up next to the band edge) is minimised (L-BFGS). Everything is
# deterministic (no random start, one BLAS thread); the run takes about two minutes.

import argparse
import os
import sys
import time

# one BLAS thread: the same sums in the same order on every machine, so the tables are reproducible
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import scipy.linalg as sla  # noqa: E402
import scipy.optimize as so  # noqa: E402
import scipy.signal.windows as ssw  # noqa: E402

# type: (B, C, D, peak position, lowest gain, highest gain)
TYPES = [
    (160, 6, 160, 208, 0.9478, 1.0208),
    (160, 6, 480, 358, 0.9943, 0.9964),
    (320, 4, 960, 639, 1.0, 1.0),
    (320, 6, 320, 418, 0.9165, 0.9879),
    (320, 6, 960, 734, 0.9945, 0.9994),
    (480, 6, 480, 660, 0.9092, 0.9679),
    (640, 6, 640, 835, 0.9174, 0.9892),
]
# weight of the hinge that keeps the largest coefficient in place; type 4 starts from type 1
# stretched, whose shape would rather peak some 60 samples early
PEAK_WEIGHT = [3.0, 3.0, 0.0, 3.0, 300.0, 3.0, 3.0]
LAMBDA_START = 30.0  # stop-band energy weight of the first pass (type 0 from the raw window)
LAMBDA = 0.3  # stop-band energy weight of the final pass
STOP_DB = 39.0  # stop-band ceiling of the final pass, relative to H(0)
# extra stop-band energy weight between 1.5 and 3 bin spacings for the linear-phase type, where
# its highest sidelobes sit
SYM_EDGE_WEIGHT, SYM_EDGE_END = 2.0, 3.0
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


def lowpass_basis(L, B):
    """V, lam with stop_q(L, 1.5 pi / B) = I - V diag(lam) V^T to within 1e-15: the discrete prolate
    spheroidal sequences of the band below 1.5 pi / B, of which only about 1.5 C + 15 matter."""
    NW = 0.75 * L / B
    V, lam = ssw.dpss(L, NW, int(2 * NW) + 40, return_ratios=True)
    keep = lam > 1e-15
    return V[keep].T, lam[keep]


class LowDelayProblem:
    """Least squares over h. The alias and gain residuals of position r depend only on the
    polyphase columns r and B-1-r, so their Gauss-Newton matrix is block diagonal (B/2 blocks of
    2C x 2C); the stop-band energy is the identity minus a low-rank term, and the peak and
    stop-band hinges add a few dense rows. Each Levenberg-Marquardt step is solved exactly with
    the Woodbury identity around the block-diagonal part."""
    GAIN_WEIGHT = 20.0
    STOP_WEIGHT = 30.0

    def __init__(self, B, C, D, peak, glo, ghi, lam, stop_db=None, href=1.0, peak_weight=3.0):
        self.B, self.C, self.D, self.peak = B, C, D, peak
        self.peak_weight = peak_weight
        self.glo, self.ghi = glo, ghi
        self.L = L = B * C
        half = B // 2
        r, k = np.arange(half), np.arange(C)
        # coefficient indices of block r: column r, then column B-1-r
        self.ix = np.concatenate([k[None, :] * B + r[:, None],
                                  k[None, :] * B + (B - 1 - r)[:, None]], axis=1)
        n0 = D // B
        self.ns = [n0] + [n for n in range(2 * C - 1) if (n - n0) % 2 == 0 and n != n0]
        self.lq = lam / B**2
        self.V, self.vl = lowpass_basis(L, B)
        self.wr = 1.0 / np.sqrt(half)  # residuals are averaged over the distinct positions
        self.stop_db = stop_db
        if stop_db is not None:
            # |H| on a grid of pi / (4L) beyond the stop-band edge must stay below T * H(0)
            self.T = 10 ** (-stop_db / 20)
            self.nfft = 8 * L
            self.wgrid = 2 * np.pi * np.arange(self.nfft // 2 + 1) / self.nfft
            self.sidx = np.nonzero(self.wgrid >= 1.5 * np.pi / B)[0]
            self.href = href

    def qform(self, h):
        p = self.V.T @ h
        return self.lq * (h @ h - p @ (self.vl * p))

    def qmul(self, x):
        return self.lq * (x - self.V @ (self.vl * (self.V.T @ x)))

    def residuals(self, h, jac=True):
        """Block residuals E (B/2 x terms) with Jacobian J (B/2 x terms x 2C) and the dense rows:
        values er, Jacobian R (rows x L)."""
        C = self.C
        V = h[self.ix]
        X, Y = V[:, :C], V[:, C:]
        E = np.zeros((len(V), len(self.ns)))
        J = np.zeros((len(V), len(self.ns), 2 * C)) if jac else None
        for i, n in enumerate(self.ns):
            for k in range(max(0, n - C + 1), min(C, n + 1)):
                j = n - k
                E[:, i] += X[:, k] * Y[:, j]
                if jac:
                    J[:, i, k] += Y[:, j]
                    J[:, i, C + j] += X[:, k]
        c0 = E[:, 0]
        E[:, 0] = self.GAIN_WEIGHT * (c0 - np.clip(c0, self.glo, self.ghi))
        E *= self.wr
        if jac:
            J[:, 0, :] *= self.GAIN_WEIGHT * (E[:, 0] != 0)[:, None]
            J *= self.wr
        # keep the largest coefficient at the prescribed position
        v = h - h[self.peak] + 0.002
        v[self.peak] = 0
        idx = np.nonzero(v > 0)[0]
        pw = self.peak_weight * self.wr
        er, R = [pw * v[idx]], []
        if jac:
            Rp = np.zeros((len(idx), self.L))
            Rp[np.arange(len(idx)), idx] = pw
            Rp[:, self.peak] -= pw
            R.append(Rp)
        if self.stop_db is not None:
            Hf = np.fft.rfft(h, self.nfft)[self.sidx]
            a = np.abs(Hf)
            rr = (a - self.T * h.sum()) / self.href
            act = rr > 0
            er.append(self.STOP_WEIGHT * rr[act])
            if jac and act.any():
                ph = np.outer(self.wgrid[self.sidx[act]], np.arange(self.L))
                u = Hf[act] / a[act]
                G = u.real[:, None] * np.cos(ph) - u.imag[:, None] * np.sin(ph)
                R.append(self.STOP_WEIGHT * (G - self.T) / self.href)
        er = np.concatenate(er)
        R = np.vstack(R) if jac else None
        return E, J, er, R

    def cost(self, h):
        E, _, er, _ = self.residuals(h, jac=False)
        return np.sum(E**2) + er @ er + self.qform(h)

    def solve(self, h, iters, log):
        ix, C = self.ix, self.C
        mu, F = 1e-3, self.cost(h)
        Wq = np.sqrt(self.lq * self.vl) * self.V  # the subtracted low-rank part of the stop band
        di = np.arange(2 * C)
        for it in range(iters):
            E, J, er, R = self.residuals(h)
            Hb = np.einsum("rni,rnj->rij", J, J)
            g = self.qmul(h) + R.T @ er
            np.add.at(g, ix, np.einsum("rni,rn->ri", J, E))
            # A = M + W S W^T with M block diagonal, S = diag(+1 for R rows, -1 for Wq)
            W = np.hstack([R.T, Wq])
            Sinv = np.concatenate([np.ones(R.shape[0]), -np.ones(Wq.shape[1])])
            Wb, gb = W[ix], g[ix]
            dg = Hb[:, di, di] + self.lq
            while True:
                M = Hb.copy()
                M[:, di, di] += self.lq + mu * dg
                cf = np.linalg.cholesky(M)
                cft = np.transpose(cf, (0, 2, 1))
                MiW = np.linalg.solve(cft, np.linalg.solve(cf, Wb))
                Mig = np.linalg.solve(cft, np.linalg.solve(cf, gb[:, :, None]))[:, :, 0]
                cap = np.diag(Sinv) + np.einsum("rik,ril->kl", Wb, MiW)
                t = sla.solve(cap, np.einsum("rik,ri->k", Wb, Mig))
                d = np.zeros(self.L)
                d[ix] = np.einsum("rik,k->ri", MiW, t) - Mig
                Fn = self.cost(h + d)
                if Fn < F:
                    rel = (F - Fn) / F
                    h, F, mu = h + d, Fn, max(mu / 5, 1e-12)
                    break
                mu *= 4
                if mu > 1e8:  # no descent left
                    log("  iteration %d: cost %.6g, converged" % (it, F))
                    return h
            if it % 50 == 0 or it == iters - 1:
                log("  iteration %d: cost %.6g" % (it, F))
            if rel < 1e-12:
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
    ws = 1.5 * np.pi / B
    Q = (stop_q(L, ws) + SYM_EDGE_WEIGHT * (stop_q(L, ws) - stop_q(L, SYM_EDGE_END * np.pi / B))) * (
        1e4 / B**2)

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
    ap.add_argument("--iterations", type=int, default=1000,
                    help="Levenberg-Marquardt iterations of the final pass per type "
                         "(default: %(default)s)")
    ap.add_argument("--first-iterations", type=int, default=150,
                    help="iterations of the first pass of type 0 (default: %(default)s)")
    ap.add_argument("--no-verify", action="store_true",
                    help="skip the time-domain simulation that reports the reconstruction SNR")
    ap.add_argument("--quiet", action="store_true", help="print only the summary")
    args = ap.parse_args()
    log = (lambda s: None) if args.quiet else (lambda s: print(s, flush=True))

    tables = [None] * 7
    order = [0, 1, 3, 5, 6, 4, 2]  # types started from another one come after it
    seed_of = {3: 0, 5: 0, 6: 0, 4: 1}
    for ty in order:
        B, C, D, peak, lo, hi = TYPES[ty]
        t0 = time.time()
        log("type %d: B=%d C=%d D=%d" % (ty, B, C, D))
        if ty == 2:
            h = design_symmetric(B, C, log)
        else:
            glo, ghi = gain_interval(lo, hi)
            if ty in seed_of:
                h = resample_from(tables[seed_of[ty]], B, C, D, peak, glo, ghi)
            elif D == B:
                h = initial_low_delay(B, C, D, peak)
                log("  first pass (stop-band energy only)")
                h = LowDelayProblem(B, C, D, peak, glo, ghi, LAMBDA_START).solve(
                    h, args.first_iterations, log)
            else:
                # delay 3B: the main term pairs h[i] with h[4B-1-i], so the linear-phase perfect
                # reconstruction design of 4 blocks followed by two blocks of zeros is a
                # perfect-reconstruction start with the right delay
                h = np.zeros(B * C)
                h[:4 * B] = design_symmetric(B, 4, log) * np.sqrt(0.5 * (glo + ghi))
            log("  final pass (stop-band ceiling %.1f dB)" % STOP_DB)
            h = LowDelayProblem(B, C, D, peak, glo, ghi, LAMBDA, STOP_DB, h.sum(),
                                PEAK_WEIGHT[ty]).solve(h, args.iterations, log)
        tables[ty] = h.astype(np.float32).astype(np.float64)
        log("  %.1f s" % (time.time() - t0))

    rng = np.random.default_rng(12345)
    print("type  peak   sum         gain range        alias SNR  chain SNR  stop band")
    for ty, h in enumerate(tables):
        B, C, D, peak, lo, hi = TYPES[ty]
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
