#!/usr/bin/env python3
"""Writes the demo recording: a 16 kHz, 16-bit WAV file with the default array's seven
microphone channels followed by one loudspeaker reference channel.

A voiced, talker-like source (a glottal-pulse-like harmonic series with a moving pitch and a
syllable envelope) arrives as a plane wave from a chosen azimuth at the default geometry (six
microphones on a 4.25 cm circle and one in the centre), delayed per microphone with a
fractional-delay (windowed sinc) filter; the reference carries a different signal (a swept
tone, as a loudspeaker would play) that also leaks into the microphones as a weak echo; a
little independent noise is added to every microphone. Only the standard library is used, and
the output is the same on every run (fixed seed).

Usage: make_demo_input.py OUTPUT.wav [--seconds S] [--azimuth DEG]
"""
import argparse
import math
import random
import struct
import wave

FS = 16000
SPEED_OF_SOUND = 340.0
RADIUS = 0.0425
MICS = [(RADIUS * math.cos(math.radians(a)), RADIUS * math.sin(math.radians(a)))
        for a in (0, 60, 120, 180, 240, 300)] + [(0.0, 0.0)]


def talker(n):
    """A voiced source: harmonics of a pitch that glides, under a syllable-rate envelope."""
    out = [0.0] * n
    phase = 0.0
    for i in range(n):
        t = i / FS
        f0 = 120.0 + 30.0 * math.sin(2 * math.pi * 0.7 * t)
        phase += 2 * math.pi * f0 / FS
        s = sum(math.sin(k * phase) / k for k in range(1, 25) if k * f0 < 7000)
        envelope = max(0.0, math.sin(2 * math.pi * 2.0 * t)) ** 0.5
        out[i] = 0.15 * envelope * s
    return out


def sweep(n):
    """A slow logarithmic sweep from 200 Hz to 4 kHz, as a loudspeaker signal."""
    out = [0.0] * n
    phase = 0.0
    duration = n / FS
    for i in range(n):
        f = 200.0 * (4000.0 / 200.0) ** ((i / FS) / duration)
        phase += 2 * math.pi * f / FS
        out[i] = 0.3 * math.sin(phase)
    return out


def fractional_delay(x, delay, taps=33):
    """x delayed by `delay` samples (any real value) with a Hann-windowed sinc filter."""
    half = taps // 2
    base = int(math.floor(delay))
    frac = delay - base
    h = []
    for k in range(-half, half + 1):
        t = k - frac
        sinc = 1.0 if abs(t) < 1e-12 else math.sin(math.pi * t) / (math.pi * t)
        window = 0.5 + 0.5 * math.cos(math.pi * t / (half + 1))
        h.append(sinc * window)
    y = [0.0] * len(x)
    for i in range(len(x)):
        acc = 0.0
        for j, hk in enumerate(h):
            src = i - base - (j - half)
            if 0 <= src < len(x):
                acc += hk * x[src]
        y[i] = acc
    return y


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--azimuth", type=float, default=60.0)
    args = parser.parse_args()

    n = int(args.seconds * FS)
    rng = random.Random(20261208)
    source = talker(n)
    reference = sweep(n)
    ux, uy = math.cos(math.radians(args.azimuth)), math.sin(math.radians(args.azimuth))
    channels = []
    for mx, my in MICS:
        # A plane wave from the azimuth reaches microphones nearer the source earlier.
        lead = (mx * ux + my * uy) / SPEED_OF_SOUND * FS
        speech = fractional_delay(source, 4.0 - lead)
        echo = fractional_delay(reference, 24.0)
        channels.append([s + 0.1 * e + rng.gauss(0.0, 0.002) for s, e in zip(speech, echo)])
    channels.append(reference)

    frames = bytearray()
    for i in range(n):
        for ch in channels:
            v = max(-32768, min(32767, int(math.floor(ch[i] * 32768.0 + 0.5))))
            frames += struct.pack("<h", v)
    with wave.open(args.output, "wb") as w:
        w.setnchannels(len(channels))
        w.setsampwidth(2)
        w.setframerate(FS)
        w.writeframes(bytes(frames))


if __name__ == "__main__":
    main()
