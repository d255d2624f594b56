"""tools/velmora_report.py: the picture's size and panels for a simulated recording (as the
demo draws it) and for a recording without scene information."""

import os
import shutil
import struct
import subprocess
import sys
import zlib

from conftest import BUILD_DIR, DEFAULT_CONF, SOURCE_DIR, run_tool

REPORT = os.path.join(SOURCE_DIR, "tools", "velmora_report.py")


def png_info(path):
    """(width, height, text entries) of a PNG file."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, size, texts = 8, None, {}
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            size = struct.unpack(">II", body[:8])
        elif kind == b"tEXt":
            key, value = body.split(b"\0", 1)
            texts[key.decode("latin-1")] = value.decode("latin-1")
        elif kind == b"zTXt":
            key, rest = body.split(b"\0", 1)
            texts[key.decode("latin-1")] = zlib.decompress(rest[1:]).decode("latin-1")
        pos += 12 + length
    return size[0], size[1], texts


def report(*args):
    r = subprocess.run([sys.executable, REPORT, *args, "--build", BUILD_DIR],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return r.stdout


def test_report_of_a_simulated_run(scene, tmp_path):
    out = str(tmp_path / "out.wav")
    assert run_tool(DEFAULT_CONF, scene, out).returncode == 0
    # As the demo draws it: the direction track from the chain with the localiser on.
    track = tmp_path / "track.conf"
    track.write_text(open(DEFAULT_CONF).read() + "\nssl_algorithm = 1\nssl_forget = 0.98\n")
    png = str(tmp_path / "report.png")
    printed = report(scene, out, DEFAULT_CONF, "--track-config", str(track), "--png", png)
    assert printed.startswith("Wrote " + png)
    width, height, texts = png_info(png)
    assert texts["Panels"] == "Microphone 0; Output 0; Direction; ERLE"
    assert (width, height) == (1200, round(100 * (2.2 * 4 + 0.6)))

    # A recording without its scene description: no ERLE, no true direction; the detector's
    # track when it is on, no direction panel when the localiser is off.
    bare = str(tmp_path / "bare.wav")
    shutil.copy(scene, bare)
    vad = tmp_path / "vad.conf"
    vad.write_text(open(DEFAULT_CONF).read() + "\nvad_algorithm = 1\nbf_look = 60\n")
    png = str(tmp_path / "bare.png")
    report(bare, out, str(vad), "--png", png)
    width, height, texts = png_info(png)
    assert texts["Panels"] == "Microphone 0; Output 0; Voice activity"
    assert (width, height) == (1200, round(100 * (2.2 * 3 + 0.6)))
