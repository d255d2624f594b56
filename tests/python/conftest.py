"""Shared helpers of the Python tests: where the build is, the velmora module, and simulated
scenes made with the scene simulator from synthetic voiced signals (nothing is read from
outside the repository)."""

import os
import subprocess
import sys

import numpy as np
import pytest

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD_DIR = os.environ.get("VELMORA_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
TOOL = os.path.join(BUILD_DIR, "velmora")
SCENE_TOOL = os.path.join(BUILD_DIR, "velmora-scene")
DEFAULT_CONF = os.path.join(SOURCE_DIR, "conf", "default.conf")
FS = 16000

sys.path.insert(0, os.path.join(BUILD_DIR, "python"))
import velmora  # noqa: E402


def voiced(seconds, f0, seed):
    """A speech-like signal: a gliding harmonic tone under a syllable-rate envelope."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * FS)) / FS
    f = f0 * (1.0 + 0.1 * np.sin(2 * np.pi * 0.7 * t))
    phase = 2 * np.pi * np.cumsum(f) / FS
    x = sum(np.sin(k * phase) / k for k in range(1, 40) if k * f0 < 7000)
    envelope = np.maximum(0.0, np.sin(2 * np.pi * 2.5 * t + rng.uniform(0, 6))) ** 2
    return (0.3 * x * envelope / np.max(np.abs(x))).astype(np.float32)


def make_scene(directory, name="scene", seconds=7.0, talker_azimuth=60):
    """A 7-microphone + 1-reference room recording: the far end from 0.2 s, a talker from
    3.5 s, diffuse noise. Returns the recording's path; velmora-scene writes its components
    and the description NAME.txt beside it."""
    import soundfile as sf

    near = os.path.join(directory, name + "_src_near.wav")
    far = os.path.join(directory, name + "_src_far.wav")
    sf.write(near, voiced(3.0, 170, 1), FS, subtype="PCM_16")
    sf.write(far, voiced(4.0, 120, 2), FS, subtype="PCM_16")
    path = os.path.join(directory, name + ".wav")
    subprocess.run([SCENE_TOOL, "--rt60", "0.3", "--snr", "25", "--length", str(seconds),
                    "--talker", "%s,%g,1,3.5" % (near, talker_azimuth),
                    "--farend", far + ",-120,0.25,0.2,0.5", path],
                   check=True, stdout=subprocess.DEVNULL)
    return path


@pytest.fixture(scope="session")
def scene(tmp_path_factory):
    return make_scene(str(tmp_path_factory.mktemp("scene")))


def read_wav(path):
    import soundfile as sf

    return sf.read(path, dtype="float32", always_2d=True)[0]


def run_tool(*args, **kwargs):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, **kwargs)
