#!/usr/bin/env python3
"""velmora_report.py: one PNG picture of a Velmora run.

For an input recording, the tool's output for it and the configuration, draws the spectrograms of
microphone 0 and of output 0 on the same colour scale, the per-block direction estimate and the
voice-activity value when the configuration has the localiser (ssl_algorithm) or the detector
(vad_algorithm) on, and, when the input came from the scene simulator (build/velmora-scene writes
IN.txt, IN_echo.wav and IN_near.wav beside IN.wav), the true talker direction and the echo
reduction (ERLE of the output against microphone 0) over time where the echo dominates. The
tracks come from running the engine block by block on the input with the configuration (or with
--track-config, for example the same chain with the localiser on). Prints the PNG path and its
panels; the PNG's "Panels" text entry lists them too.

Usage: velmora_report.py INPUT.wav OUTPUT.wav CONF [--track-config CONF] [--png PATH]
                         [--build DIR] [--title TEXT]
Needs python3-numpy, python3-matplotlib, python3-soundfile and the velmora module of the build
(BUILD/python, default build/ beside tools/).
"""

import argparse
import os
import re
import sys

import numpy as np

FS = 16000
WIDTH_INCHES = 12.0  # 1200 pixels at DPI
PANEL_INCHES = 2.2  # height of one panel
MARGIN_INCHES = 0.6  # title and time axis
DPI = 100
ERLE_WINDOW_S = 0.1  # ERLE is measured over 100 ms windows
ECHO_DOMINANCE = 10.0  # a window counts when its echo is 10 dB above the near end at mic 0
SPEC_FFT = 512
SPEC_HOP = 128
SPEC_RANGE_DB = 80.0  # colour scale: the loudest bin of both spectrograms down to 80 dB below


def figure_height(panels):
    """Height in inches of a report with this many panels."""
    return PANEL_INCHES * panels + MARGIN_INCHES


def import_velmora(build):
    try:
        import velmora  # noqa: F401  (an installed module)
    except ImportError:
        sys.path.insert(0, os.path.join(build, "python"))
        import velmora  # noqa: F401
    return sys.modules["velmora"]


def read_description(path):
    """The key = value lines of a scene description (IN.txt), or {} when there is none."""
    info = {}
    if not os.path.isfile(path):
        return info
    with open(path) as f:
        for line in f:
            m = re.match(r"^\s*([A-Za-z_][A-Za-z0-9_]*)\s*=\s*(.*?)\s*$", line)
            if m and not line.lstrip().startswith("#"):
                info[m.group(1)] = m.group(2)
    return info


def numbers(text):
    return [float(v) for v in re.split(r"[,\s]+", text.strip()) if v]


def spectrogram_db(x):
    """Power spectrogram in dB (bins x frames) of a mono signal, Hann window."""
    window = np.hanning(SPEC_FFT).astype(np.float64)
    if len(x) < SPEC_FFT:
        x = np.pad(x, (0, SPEC_FFT - len(x)))
    count = 1 + (len(x) - SPEC_FFT) // SPEC_HOP
    idx = np.arange(SPEC_FFT)[None, :] + SPEC_HOP * np.arange(count)[:, None]
    spec = np.fft.rfft(x[idx] * window, axis=1)
    return 10.0 * np.log10(np.abs(spec.T) ** 2 + 1e-12)


def engine_tracks(velmora, x, conf):
    """Per-block direction and voice-activity values of every output, from the engine run block
    by block on the input; None for a stage that is off."""
    engine = velmora.Engine(conf)
    settings = engine.settings
    ssl_on = int(settings.get("ssl_algorithm", "0")) != 0
    vad_on = int(settings.get("vad_algorithm", "0")) != 0
    frames = engine.in_frames_per_block
    blocks = len(x) // frames
    outs = engine.num_outs
    direction = np.zeros((blocks, outs), np.float32)
    vad = np.zeros((blocks, outs), np.float32)
    out = np.zeros((engine.out_frames_per_block, outs), np.float32)
    x = np.ascontiguousarray(x, dtype=np.float32)
    for b in range(blocks):
        engine.process(x[b * frames:(b + 1) * frames], out=out)
        for n in range(outs):
            if ssl_on:
                direction[b, n] = engine.direction(n)
            if vad_on:
                vad[b, n] = engine.vad_value(n)
    seconds = frames / engine.input_rate
    times = (np.arange(blocks) + 1) * seconds
    return times, (direction if ssl_on else None), (vad if vad_on else None), settings


def erle_track(mic, out, stem, info):
    """ERLE (dB) of output 0 against microphone 0 per window where the echo dominates, NaN
    elsewhere; None when the input carries no scene information. The echo and near-end
    components beside the recording tell where the echo dominates; without them the
    description's echo_only span does."""
    import soundfile as sf

    win = int(ERLE_WINDOW_S * FS)
    n = min(len(mic), len(out)) // win
    if n == 0:
        return None
    times = (np.arange(n) + 0.5) * ERLE_WINDOW_S
    energy = lambda s: np.sum(s[: n * win].astype(np.float64).reshape(n, win) ** 2, axis=1)
    mic_e, out_e = energy(mic), energy(out)
    if os.path.isfile(stem + "_echo.wav") and os.path.isfile(stem + "_near.wav"):
        echo = sf.read(stem + "_echo.wav", dtype="float32", always_2d=True)[0][:, 0]
        near = sf.read(stem + "_near.wav", dtype="float32", always_2d=True)[0][:, 0]
        echo_e, near_e = energy(np.pad(echo, (0, max(0, n * win - len(echo))))), energy(
            np.pad(near, (0, max(0, n * win - len(near)))))
        mask = (echo_e > ECHO_DOMINANCE * near_e) & (echo_e > 1e-3 * max(echo_e.max(), 1e-30))
        how = "echo 10 dB above the near end"
    elif "echo_only" in info:
        start, end = numbers(info["echo_only"])[:2]
        mask = (times - 0.5 * ERLE_WINDOW_S >= start) & (times + 0.5 * ERLE_WINDOW_S <= end)
        how = "echo-only span %.2f-%.2f s" % (start, end)
    else:
        return None
    with np.errstate(divide="ignore", invalid="ignore"):
        erle = 10.0 * np.log10(np.maximum(mic_e, 1e-30) / np.maximum(out_e, 1e-30))
    erle[~mask] = np.nan
    return times, erle, how


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[1],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("input", help="the recording (WAV, microphones then references)")
    ap.add_argument("output", help="the tool's output for it (WAV)")
    ap.add_argument("conf", help="the configuration of the run")
    ap.add_argument("--track-config", help="configuration for the direction and voice-activity "
                    "tracks (default: CONF)")
    ap.add_argument("--png", help="the picture to write (default: OUTPUT with .png)")
    ap.add_argument("--build", default=os.path.join(here, "..", "build"),
                    help="build directory holding python/velmora (default: build)")
    ap.add_argument("--title", help="title line (default: the file names)")
    args = ap.parse_args(argv)

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import soundfile as sf

    velmora = import_velmora(args.build)
    x, fs_in = sf.read(args.input, dtype="float32", always_2d=True)
    y, fs_out = sf.read(args.output, dtype="float32", always_2d=True)
    if fs_out != FS:
        sys.exit("velmora_report.py: %s is at %d Hz, expected %d" % (args.output, fs_out, FS))
    stem = os.path.splitext(args.input)[0]
    info = read_description(stem + ".txt")
    times, direction, vad, settings = engine_tracks(velmora, x, args.track_config or args.conf)
    true_az = numbers(info["talker_azimuth"]) if "talker_azimuth" in info else []
    mic0 = x[:, 0] if fs_in == FS else None
    erle = erle_track(mic0, y[:, 0], stem, info) if mic0 is not None and info else None

    panels = ["Microphone 0", "Output 0"]
    if direction is not None or true_az:
        panels.append("Direction")
    if vad is not None:
        panels.append("Voice activity")
    if erle is not None:
        panels.append("ERLE")

    height = figure_height(len(panels))
    fig, axes = plt.subplots(len(panels), 1, sharex=True, figsize=(WIDTH_INCHES, height), dpi=DPI)
    fig.subplots_adjust(left=0.07, right=0.93, top=1.0 - 0.6 / height, bottom=0.45 / height,
                        hspace=0.35)
    duration = len(x) / fs_in
    fig.suptitle(args.title or "%s -> %s (%s)" % (os.path.basename(args.input),
                                                 os.path.basename(args.output),
                                                 os.path.basename(args.conf)))
    specs = [spectrogram_db(x[:, 0].astype(np.float64)), spectrogram_db(y[:, 0].astype(np.float64))]
    top = max(s.max() for s in specs)
    rates = [fs_in, fs_out]
    for ax, name, spec, rate, length in zip(axes, panels[:2], specs, rates, [len(x), len(y)]):
        image = ax.imshow(spec, origin="lower", aspect="auto", cmap="magma",
                          vmin=top - SPEC_RANGE_DB, vmax=top,
                          extent=[0, length / rate, 0, rate / 2000.0])
        ax.set_title(name + " (dB, common scale)", fontsize=9, loc="left")
        ax.set_ylabel("kHz")
        # In the right margin, so that every panel keeps the same width and time axis.
        fig.colorbar(image, cax=ax.inset_axes([1.01, 0.0, 0.012, 1.0]))

    for ax, name in zip(axes[2:], panels[2:]):
        ax.set_title(name, fontsize=9, loc="left")
        ax.grid(True, alpha=0.3)
        if name == "Direction":
            if direction is not None:
                for n in range(direction.shape[1]):
                    ax.plot(times, direction[:, n], lw=1, label="estimate, output %d" % n)
            for i, az in enumerate(true_az):
                ax.axhline(az, color="k", ls="--", lw=1, label="true talker" if i == 0 else None)
            if direction is None:
                ax.text(0.01, 0.85, "localiser off (ssl_algorithm = 0)", transform=ax.transAxes,
                        fontsize=8)
            ax.set_ylim(-180, 180)
            ax.set_yticks([-180, -90, 0, 90, 180])
            ax.set_ylabel("degrees")
            ax.legend(loc="lower right", fontsize=7)
        elif name == "Voice activity":
            for n in range(vad.shape[1]):
                ax.plot(times, vad[:, n], lw=1, label="output %d" % n)
            ax.set_ylabel("value")
            ax.legend(loc="upper right", fontsize=7)
        elif name == "ERLE":
            t, e, how = erle
            ax.plot(t, e, marker=".", ms=3, lw=1)
            ax.set_ylabel("dB")
            fade = float(settings.get("init_time", "0") or 0)
            if fade > 0:
                # The input is faded in over init_time: ERLE there also counts the fade.
                ax.axvspan(0, min(fade, duration), color="0.85", zorder=0)
                ax.text(0.005, 0.88, "fade-in (init_time %g s)" % fade, fontsize=7,
                        transform=ax.transAxes)
            ax.set_title("ERLE, output 0 against microphone 0, 100 ms windows (%s)" % how,
                         fontsize=9, loc="left")
    axes[-1].set_xlabel("time (s)")
    axes[-1].set_xlim(0, duration)

    png = args.png or os.path.splitext(args.output)[0] + ".png"
    os.makedirs(os.path.dirname(os.path.abspath(png)), exist_ok=True)
    fig.savefig(png, dpi=DPI, metadata={"Panels": "; ".join(panels),
                                        "Software": "velmora_report.py"})
    plt.close(fig)
    print("Wrote %s (%s)" % (png, ", ".join(panels)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
