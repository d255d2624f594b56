"""Progress of the command-line jobs: shown on a terminal for long inputs, never otherwise, and
never changing standard output or the output file."""

import os
import pty

import numpy as np
import pytest

from conftest import DEFAULT_CONF, TOOL, make_scene, run_tool


def run_in_pty(args):
    """Runs the tool with standard output and standard error on a pseudo-terminal; returns
    (status, everything the terminal received)."""
    import subprocess

    master, slave = pty.openpty()
    proc = subprocess.Popen([TOOL, *args], stdin=subprocess.DEVNULL, stdout=slave, stderr=slave)
    os.close(slave)
    received = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the terminal closed with the last writer
            break
        if not chunk:
            break
        received += chunk
    os.close(master)
    return proc.wait(), received.decode()


@pytest.fixture(scope="module")
def scenes(tmp_path_factory):
    d = str(tmp_path_factory.mktemp("progress"))
    return make_scene(d, "long", seconds=12.0), make_scene(d, "short", seconds=4.0), d


def test_progress_on_a_terminal_only(scenes):
    long, short, d = scenes
    status, seen = run_in_pty([DEFAULT_CONF, long, os.path.join(d, "tty.wav")])
    assert status == 0
    lines = seen.replace("\r\n", "\n").split("\r")
    assert any(l.startswith("Progress:") for l in lines) and "100.0%" in seen
    assert "RTF" in seen and seen.endswith("\n")

    plain = run_tool(DEFAULT_CONF, long, os.path.join(d, "plain.wav"))
    assert plain.returncode == 0 and plain.stdout == "" and plain.stderr == ""
    with open(os.path.join(d, "tty.wav"), "rb") as a, open(os.path.join(d, "plain.wav"), "rb") as b:
        assert a.read() == b.read()

    # Localisation: the direction line is the same on the terminal as through a pipe.
    conf = os.path.join(d, "ssl.conf")
    with open(conf, "w") as f:
        f.write("ssl_algorithm = 1\n")
    status, seen = run_in_pty([conf, long])
    piped = run_tool(conf, long)
    assert status == 0 and "Progress:" in seen and piped.stderr == ""
    assert seen.replace("\r\n", "\n").split("\n")[-2] == piped.stdout.strip()

    # A short input, or a terminal that takes a line per block, shows none.
    assert "Progress" not in run_in_pty([DEFAULT_CONF, short, os.path.join(d, "s.wav")])[1]
    status, seen = run_in_pty([DEFAULT_CONF, long, os.path.join(d, "t.wav"), "-t"])
    assert status == 0 and "Progress" not in seen and seen.count("\nRTF: ") == 1199
