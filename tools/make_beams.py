#!/usr/bin/python3
# Writes a beam file for the fixed beamformer (bf_algorithm 1, or the pre-beamformer when
# bf_model_base is set): one delay-and-sum beam per look azimuth for a microphone geometry.
#
# Geometry: the `nummics` value and the "miccoor = " block of a configuration file (read as the
# engine reads them: the block holds as many coordinate lines as nummics says at that point,
# '#' lines skipped, missing values 0), or the default 7-microphone circle when none is given.
#
# Beam b, bin k (centre frequency f_k = k * fs / (2 K)), microphone m:
#     w[b, k, m] = a_m / M,  a_m = exp(+j 2 pi f_k (p_m . u_b) / 340)
# with p_m the microphone position in metres and u_b the unit vector of (azimuth_b, elevation);
# a is the steering vector of the engine's Array, so the beamformer output w^H x passes a plane
# wave from the look direction with unit gain in every bin.
#
# File layout (little-endian, no header or padding): int32 B, int32 K, int32 M, B float32
# azimuths in degrees (ascending), then B x K x M complex weights as float32 (real, imaginary).
# K must equal the engine's bin count (samples per block at 16 kHz: 160 for 10 ms blocks).

import argparse
import math
import re
import sys

import numpy as np

SPEED_OF_SOUND = 340.0
DEFAULT_MICS = [
    (0.0425, 0.0, 0.0), (0.02125, 0.036806, 0.0), (-0.02125, 0.036806, 0.0),
    (-0.0425, 0.0, 0.0), (-0.02125, -0.036806, 0.0), (0.02125, -0.036806, 0.0),
    (0.0, 0.0, 0.0),
]
MAX_MICS = 100


def leading_int(text):
    """The integer at the start of `text` (0 when there is none), as scanf reads it."""
    match = re.match(r"\s*[-+]?\d+", text)
    return int(match.group(0)) if match else 0


def read_geometry(path):
    """Microphone positions from a configuration file, as an M x 3 array."""
    mics = [list(p) for p in DEFAULT_MICS] + [[0.0, 0.0, 0.0] for _ in range(MAX_MICS - 7)]
    nummics = 7
    with open(path, "r", errors="replace") as f:
        lines = f.read().splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.startswith("#"):
            continue
        if line.startswith("miccoor = "):
            index = 0
            while index < nummics:
                if i >= len(lines):
                    sys.exit("make_beams: %s: failed to read mic coordinates" % path)
                coord = lines[i]
                i += 1
                if coord.startswith("#"):
                    continue
                values = [0.0, 0.0, 0.0]
                for n, field in enumerate(coord.split()[:3]):
                    match = re.match(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?", field)
                    if not match:
                        break  # scanf stops at the first field it cannot read
                    values[n] = float(match.group(0))
                    if match.end() != len(field):
                        break
                mics[index] = values
                index += 1
            continue
        if "=" in line:
            key, value = line.split("=", 1)
            if key.strip() == "nummics":
                nummics = leading_int(value)
                if nummics < 1 or nummics > MAX_MICS:
                    sys.exit("make_beams: %s: nummics out of range: %d" % (path, nummics))
    return np.array(mics[:nummics], dtype=np.float64)


def wrap_angle(a):
    r = math.fmod(a, 360.0)
    if r < -180.0:
        r += 360.0
    elif r > 180.0:
        r -= 360.0
    return r


def delay_and_sum(mics, azimuths, elevation, numbins, fs):
    """Complex weights B x K x M of delay-and-sum beams."""
    el = math.radians(elevation)
    az = np.radians(np.asarray(azimuths, dtype=np.float64))
    u = np.stack([np.cos(el) * np.cos(az), np.cos(el) * np.sin(az),
                  np.full_like(az, np.sin(el))], axis=1)          # B x 3
    proj = u @ mics.T                                               # B x M, metres
    freqs = np.arange(numbins, dtype=np.float64) * fs / (2.0 * numbins)
    phase = 2.0 * np.pi * freqs[None, :, None] * proj[:, None, :] / SPEED_OF_SOUND
    return np.exp(1j * phase) / mics.shape[0]


def write_beam_file(path, azimuths, weights):
    numbeams, numbins, nummics = weights.shape
    with open(path, "wb") as f:
        f.write(np.array([numbeams, numbins, nummics], dtype="<i4").tobytes())
        f.write(np.asarray(azimuths, dtype="<f4").tobytes())
        f.write(np.ascontiguousarray(weights, dtype="<c8").tobytes())


def parse_azimuths(text):
    try:
        return [float(a) for a in text.replace(" ", "").split(",") if a != ""]
    except ValueError:
        sys.exit("make_beams: bad azimuth list: %s" % text)


def main():
    parser = argparse.ArgumentParser(
        description="Write delay-and-sum beams in the fixed beamformer's beam-file format.",
        epilog="Example: make_beams.py --config conf/default.conf --num-beams 12 beams.bin, "
               "then set 'bf_model_base = beams.bin' in the configuration.")
    parser.add_argument("output", help="beam file to write (the bf_model_base path)")
    parser.add_argument("--config", help="configuration file whose nummics and miccoor lines "
                        "give the geometry (default: the 7-microphone circle)")
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--azimuths", help="comma-separated look azimuths in degrees, "
                       "e.g. -90,0,90 (wrapped to [-180, 180] and sorted)")
    group.add_argument("--num-beams", type=int, help="N beams at -180 + i * 360 / N degrees "
                       "(default 12)")
    parser.add_argument("--elevation", type=float, default=0.0,
                        help="elevation of every beam in degrees (default 0)")
    parser.add_argument("--bins", type=int, default=160,
                        help="bins K of the filter bank (default 160, 10 ms blocks)")
    parser.add_argument("--fs", type=float, default=16000.0,
                        help="processing sample rate in Hz (default 16000)")
    args = parser.parse_args()

    if args.bins < 1:
        sys.exit("make_beams: --bins must be positive")
    if not -90.0 <= args.elevation <= 90.0:
        sys.exit("make_beams: --elevation must lie in [-90, 90]")
    if not args.fs > 0.0:
        sys.exit("make_beams: --fs must be positive")
    if args.azimuths is not None:
        azimuths = sorted(set(wrap_angle(a) for a in parse_azimuths(args.azimuths)))
    else:
        n = 12 if args.num_beams is None else args.num_beams
        if n < 1:
            sys.exit("make_beams: --num-beams must be positive")
        azimuths = [-180.0 + i * 360.0 / n for i in range(n)]
    if not azimuths or not all(math.isfinite(a) for a in azimuths):
        sys.exit("make_beams: no valid azimuth given")

    mics = (read_geometry(args.config) if args.config
            else np.array(DEFAULT_MICS, dtype=np.float64))
    weights = delay_and_sum(mics, azimuths, args.elevation, args.bins, args.fs)
    try:
        write_beam_file(args.output, azimuths, weights)
    except OSError as e:
        sys.exit("make_beams: cannot write %s: %s" % (args.output, e.strerror))
    print("%s: %d beams (%s degrees), %d bins, %d mics" % (
        args.output, len(azimuths), ", ".join("%g" % a for a in azimuths), args.bins,
        mics.shape[0]))


if __name__ == "__main__":
    main()
