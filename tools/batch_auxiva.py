#!/usr/bin/python3
# Offline (batch) auxiliary-function IVA: the reference against which the engine's online
# separators (bf_algorithm 402, 403, 500) are compared on the same file.
#
# Reads a multichannel 16-bit WAV (M microphones), separates it into M sources by textbook
# iterative projection (AuxIVA-IP with a spherical Laplacian source model: per source s and
# frame t the weight 1 / max(r, eps), r = sqrt(sum_f |y_s(f, t)|^2); per bin
# V_s = mean_t x x^H / r_s; w_s = (W V_s)^-1 e_s, normalised by sqrt(w_s^H V_s w_s)), over the
# whole file at once with a long STFT (4096-point periodic Hann window, hop 1024 by default),
# projects every source back onto the reference microphone (y_s scaled by (W^-1)[ref, s] per
# bin) and writes the M sources as a 16-bit WAV of the same length. Needs python3-numpy only.

import argparse
import sys
import wave

import numpy as np


def read_wav(path):
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            sys.exit("batch_auxiva: %s: only 16-bit PCM is read" % path)
        ch, fs, n = w.getnchannels(), w.getframerate(), w.getnframes()
        x = np.frombuffer(w.readframes(n), dtype="<i2").astype(np.float64) / 32768.0
    return x.reshape(-1, ch).T, fs


def write_wav(path, y, fs):
    pcm = np.clip(np.floor(y.T * 32768.0 + 0.5), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(y.shape[0])
        w.setsampwidth(2)
        w.setframerate(fs)
        w.writeframes(pcm.tobytes())


def stft(x, n, hop):
    win = 0.5 * (1.0 - np.cos(2.0 * np.pi * np.arange(n) / n))
    pad = np.pad(x, ((0, 0), (n, n + hop)))
    frames = (pad.shape[1] - n) // hop + 1
    idx = np.arange(n)[None, :] + hop * np.arange(frames)[:, None]
    return np.fft.rfft(pad[:, idx] * win, axis=-1), win  # channels x frames x bins


def istft(X, win, hop, length):
    n = win.size
    frames = X.shape[1]
    y = np.zeros((X.shape[0], n + hop * (frames - 1)))
    norm = np.zeros(y.shape[1])
    seg = np.fft.irfft(X, n=n, axis=-1) * win
    for t in range(frames):
        y[:, t * hop:t * hop + n] += seg[:, t]
        norm[t * hop:t * hop + n] += win * win
    y /= np.maximum(norm, 1e-8)
    return y[:, n:n + length]


def auxiva(X, iterations, eps=1e-6):
    """X: M x T x F. Returns the demixing matrices W (F x M x M) and Y = W X."""
    M, T, F = X.shape
    Xf = np.transpose(X, (2, 0, 1))  # F x M x T
    W = np.tile(np.eye(M, dtype=complex), (F, 1, 1))
    for _ in range(iterations):
        Y = W @ Xf  # F x M x T
        r = np.sqrt(np.sum(np.abs(Y) ** 2, axis=0))  # M x T
        weight = 1.0 / np.maximum(r, eps)
        for s in range(M):
            V = np.einsum("fmt,fnt->fmn", Xf * weight[s][None, None, :], Xf.conj()) / T
            WV = W @ V
            w = np.linalg.solve(WV, np.broadcast_to(np.eye(M)[:, s], (F, M))[..., None])[..., 0]
            norm = np.sqrt(np.maximum(np.real(np.einsum("fm,fmn,fn->f", w.conj(), V, w)), eps))
            W[:, s, :] = (w / norm[:, None]).conj()
    return W, W @ Xf


def main():
    ap = argparse.ArgumentParser(description="Batch AuxIVA separation of a multichannel WAV.")
    ap.add_argument("input", help="mixture, 16-bit WAV with M >= 2 channels")
    ap.add_argument("output", help="separated sources, 16-bit WAV with M channels")
    ap.add_argument("--fft", type=int, default=4096, help="STFT length (default 4096)")
    ap.add_argument("--hop", type=int, default=1024, help="STFT hop (default 1024)")
    ap.add_argument("--iterations", type=int, default=50, help="IP iterations (default 50)")
    ap.add_argument("--ref", type=int, default=0, help="projection-back microphone (default 0)")
    a = ap.parse_args()
    x, fs = read_wav(a.input)
    M = x.shape[0]
    if M < 2:
        sys.exit("batch_auxiva: at least two channels are required")
    if a.fft < 16 or a.fft & (a.fft - 1) or not 0 < a.hop <= a.fft // 2 or a.iterations < 1:
        sys.exit("batch_auxiva: --fft must be a power of two >= 16, 0 < --hop <= fft/2, "
                 "--iterations >= 1")
    if not 0 <= a.ref < M:
        sys.exit("batch_auxiva: --ref must name one of the %d channels" % M)
    X, win = stft(x, a.fft, a.hop)
    W, Y = auxiva(X, a.iterations)
    A = np.linalg.inv(W)  # F x M x M
    Y = Y * A[:, a.ref, :][:, :, None]  # projection back: F x M x T
    y = istft(np.transpose(Y, (1, 2, 0)), win, a.hop, x.shape[1])
    write_wav(a.output, y, fs)


if __name__ == "__main__":
    main()
