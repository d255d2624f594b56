"""Shared pieces of the velmora-batch tests: the tools' paths and a corpus of short simulated
recordings made with velmora-scene."""

import math
import os
import random
import struct
import subprocess
import sys
import wave

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BATCH = os.path.join(SOURCE_DIR, "tools", "velmora-batch")
CONF = os.path.join(SOURCE_DIR, "conf", "default.conf")
VELMORA = os.environ.get("VELMORA", os.path.join(SOURCE_DIR, "build", "velmora"))
SCENE = os.environ.get("VELMORA_SCENE", os.path.join(SOURCE_DIR, "build", "velmora-scene"))
PYTHON = sys.executable
RECORDINGS = 20


def write_mono(path, samples, rate=16000):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(b"".join(struct.pack("<h", max(-32767, min(32767, int(s * 32767))))
                               for s in samples))


def voiced(seconds, f0, seed):
    """A speech-like source: a vibrato harmonic series in syllable-rate bursts."""
    rng = random.Random(seed)
    n = int(seconds * 16000)
    out = []
    phase = 0.0
    for i in range(n):
        t = i / 16000.0
        f = f0 * (1.0 + 0.05 * math.sin(2 * math.pi * 3.0 * t))
        phase += 2 * math.pi * f / 16000.0
        env = max(0.0, math.sin(2 * math.pi * 2.5 * t)) ** 2
        s = sum(math.sin(k * phase) / k for k in range(1, 6))
        out.append(0.2 * env * s + 0.002 * rng.uniform(-1, 1))
    return out


def make_corpus(directory, count=RECORDINGS, seconds=3.0):
    """Writes count seven-microphone recordings (talker, echo and noise differ per recording)
    and returns [(key, path)]."""
    os.makedirs(directory, exist_ok=True)
    talker = os.path.join(directory, "talker.wav")
    farend = os.path.join(directory, "farend.wav")
    write_mono(talker, voiced(seconds, 140.0, 1))
    write_mono(farend, voiced(seconds, 210.0, 2))
    items = []
    for n in range(count):
        key = f"rec{n:02d}"
        path = os.path.join(directory, key + ".wav")
        subprocess.run([SCENE, "--talker", f"{talker},{(37 * n) % 360},1.2,0.0",
                        "--farend", f"{farend},{(180 + 53 * n) % 360},0.8,0.2",
                        "--snr", "20", "--seed", str(n + 1), "--length", str(seconds),
                        "--conf", CONF, path],
                       check=True, stdout=subprocess.DEVNULL)
        items.append((key, path))
    return items


def write_list(path, items):
    with open(path, "w") as f:
        f.writelines(f"{k} {p}\n" for k, p in items)


def read_summary(outdir):
    with open(os.path.join(outdir, "summary.tsv")) as f:
        lines = f.read().splitlines()
    header = lines[0].split("\t")
    return {r[0]: dict(zip(header, r)) for r in (line.split("\t") for line in lines[1:])}


def batch(*args, **kw):
    return subprocess.run([PYTHON, BATCH, *args, "--velmora", VELMORA], capture_output=True,
                          text=True, **kw)


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()
