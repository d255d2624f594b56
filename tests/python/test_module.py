"""The velmora module against the command-line tool: the same samples, the engine's errors,
threads, state, the integer PCM paths and the README's notebook example."""

import os
import re
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

from conftest import (BUILD_DIR, DEFAULT_CONF, SOURCE_DIR, read_wav, run_tool, velmora)


def conf_dict(path):
    """A configuration file as a dict (key = value lines, the miccoor block as rows)."""
    config, lines = {}, open(path).read().splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.startswith("miccoor = "):
            rows = []
            while len(rows) < int(config.get("nummics", 7)):
                if not lines[i].startswith("#"):
                    rows.append([float(v) for v in lines[i].split()])
                i += 1
            config["miccoor"] = rows
        elif "=" in line and not line.startswith("#"):
            key, value = (s.strip() for s in line.split("=", 1))
            config[key] = value
    return config


def quantize(y, bits):
    """The engine's output converter: floor(x * 2^(bits-1) + 0.5), saturated."""
    scale = float(2 ** (bits - 1))
    return np.clip(np.floor(y.astype(np.float64) * scale + 0.5), -scale, scale - 1).astype(np.int64)


def block_loop(engine, x):
    frames = engine.in_frames_per_block
    out = [engine.process(x[b * frames:(b + 1) * frames]) for b in range(len(x) // frames)]
    return np.concatenate(out)


def test_enhance_gives_the_command_line_samples(scene, tmp_path):
    x = read_wav(scene)
    y = velmora.enhance(x, DEFAULT_CONF)
    assert y.dtype == np.float32 and y.shape == (len(x) // 160 * 160, 1)

    wav = str(tmp_path / "cli.wav")
    assert run_tool(DEFAULT_CONF, scene, wav).returncode == 0
    import soundfile as sf
    cli16 = sf.read(wav, dtype="int16")[0]
    np.testing.assert_array_equal(quantize(y[:, 0], 16), cli16)
    # 32-bit raw output keeps nearly every bit of the floats.
    conf32 = tmp_path / "conf32.conf"
    conf32.write_text(open(DEFAULT_CONF).read() + "\nnbitsout = 32\n")
    assert run_tool(str(conf32), scene, str(tmp_path / "cli.pcm")).returncode == 0
    cli32 = np.fromfile(tmp_path / "cli.pcm", dtype="<i4")
    np.testing.assert_array_equal(quantize(y[:, 0], 32), cli32)
    # Echo is really cancelled (not a pass-through): the far-end-only span loses >= 10 dB.
    span = slice(int(3.0 * 16000), int(3.5 * 16000))
    assert 10 * np.log10(np.sum(x[span, 0] ** 2) / np.sum(y[span, 0] ** 2)) > 10

    # The same keys as a dict, in another order, give the same engine.
    config = conf_dict(DEFAULT_CONF)
    shuffled = dict(reversed(list(config.items())))
    np.testing.assert_array_equal(velmora.enhance(x, shuffled), y)

    # Block by block: the enhancement output is the block loop's, moved by the delay.
    engine = velmora.Engine(DEFAULT_CONF)
    loop = block_loop(engine, x)
    d = engine.delay // engine.out_frames_per_block * engine.out_frames_per_block
    np.testing.assert_array_equal(loop[d:], y[:len(y) - d])

    # Localisation: per-block rows with forgetting, one row otherwise, as the tool prints.
    track = velmora.localize(x, {"ssl_algorithm": 1, "ssl_forget": 0.98})
    assert track.shape == (len(x) // 160, 1)
    conf = tmp_path / "ssl.conf"
    conf.write_text("ssl_algorithm = 1\nssl_forget = 0.98\n")
    printed = np.loadtxt(run_tool(str(conf), scene).stdout.splitlines(), dtype=np.float32)
    np.testing.assert_array_equal(printed, track[:, 0])
    final = velmora.localize(x, {"ssl_algorithm": 1})
    assert final.shape == (1, 1) and abs(final[0, 0] - 60) <= 10


def test_bad_configuration_raises_the_engine_message(tmp_path):
    # Among them values that stages once asserted on, which would end the interpreter.
    cases = [{"block_size": 0.015}, {"aec_algorithm": 7}, {"nbitsin": 8}, {"fsout": 48000},
             {"ssl_algorithm": 1, "ssl_numscans": 0}, {"vad_algorithm": 1, "vad_forget": "nan"},
             {"ns_algorithm": 1, "ns_level": -1}, {"pf_algorithm": 1, "pf_level": 2},
             {"numouts": 8}, {"numouts": 1000000}]
    for case in cases:
        conf = tmp_path / "bad.conf"
        conf.write_text("".join("%s = %s\n" % kv for kv in case.items()))
        cli = run_tool(str(conf))
        assert cli.returncode == 255
        for config in (case, str(conf)):
            with pytest.raises(velmora.Error) as err:
                velmora.Engine(config)
            assert str(err.value) + "\n" == cli.stderr
        with pytest.raises(velmora.Error):
            velmora.enhance(np.zeros((1600, 8), np.float32), case)
    with pytest.raises(velmora.Error, match="Cannot open conf file"):
        velmora.Engine(str(tmp_path / "missing.conf"))
    rows = [[0, 0, 0], [0.05, 0, 0], [0, 0.05, 0], [0.05, 0.05, 0]]
    with pytest.raises(velmora.Error, match="Failed to read mic coordinates"):
        velmora.Engine({"nummics": 3, "miccoor": rows[:2]})
    with pytest.raises(velmora.Error, match="miccoor has 4 rows, nummics is 3"):
        velmora.Engine({"nummics": 3, "miccoor": rows})
    with pytest.raises(velmora.Error, match="blanks"):
        velmora.Engine({"fe_in_path": "two words.wav"})
    with pytest.warns(UserWarning, match="aec_algoritm"):
        velmora.Engine({"aec_algoritm": 0})

    # Calls the stages would assert on are refused, and the interpreter carries on.
    engine = velmora.Engine({"numouts": 1, "pf_algorithm": 2})
    for call in (lambda: engine.lock(1), lambda: engine.direction(-1),
                 lambda: engine.volume(99), lambda: engine.set_look(2, 30.0)):
        with pytest.raises(IndexError):
            call()
    with pytest.raises(ValueError):
        engine.process(np.zeros((100, 8), np.float32))
    with pytest.raises(TypeError):
        engine.process(np.zeros((160, 8), np.complex64))
    engine.lock(0, 5)
    engine.unlock(0)
    assert np.all(np.isfinite(engine.process(np.zeros((160, 8)))))


def test_engines_in_threads_equal_sequential(scene):
    x = read_wav(scene)
    configs = [DEFAULT_CONF, {"ssl_algorithm": 1, "ssl_forget": 0.98, "dr_algorithm": 1,
                              "dr_power": 3}]

    def run(config):
        engine = velmora.Engine(config)
        frames = engine.in_frames_per_block
        out, directions = [], []
        for b in range(len(x) // frames):
            out.append(engine.process(x[b * frames:(b + 1) * frames]))
            directions.append(engine.direction(0))
        return np.concatenate(out), np.array(directions), velmora.enhance(x, config)

    sequential = [run(c) for c in configs]
    results, errors = [None] * 3, [None]

    def work(i):
        results[i] = run(configs[i])

    def fail():  # an engine failing in a third thread keeps its own message
        try:
            velmora.Engine({"aec_algorithm": 7})
        except velmora.Error as e:
            errors[0] = str(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    threads.append(threading.Thread(target=fail))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, sequential):
        for a, b in zip(got, want):
            np.testing.assert_array_equal(a, b)
    assert errors[0] == "velmora, AECAlgorithm: Unsupported AEC algorithm: 7"


def test_state_round_trip_resumes_identically(scene):
    x = read_wav(scene)
    frames, half = 160, len(x) // 320
    blocks = [x[b * frames:(b + 1) * frames] for b in range(len(x) // frames)]
    reference = velmora.Engine(DEFAULT_CONF)
    want = [reference.process(b) for b in blocks]

    engine = velmora.Engine(DEFAULT_CONF)
    got = [engine.process(b) for b in blocks[:half]]
    state = engine.save_state()
    assert isinstance(state, bytes)
    engine.load_state(state)
    assert engine.save_state() == state
    got += [engine.process(b) for b in blocks[half:]]
    np.testing.assert_array_equal(np.concatenate(got), np.concatenate(want))


def test_integer_pcm_paths(scene):
    import soundfile as sf
    x16 = sf.read(scene, dtype="int16")[0]
    frames = 160
    for bits, ints in ((16, x16), (24, x16.astype(np.int32) * 256 + 77)):
        config = {"nbitsin": bits, "nbitsout": bits}
        floats, pcm, raw = (velmora.Engine(config) for _ in range(3))
        for b in range(200):
            block = np.ascontiguousarray(ints[b * frames:(b + 1) * frames])
            want = quantize(floats.process(block.astype(np.float32) / 2 ** (bits - 1)), bits)
            got = pcm.process(block)
            assert got.dtype == (np.int16 if bits == 16 else np.int32)
            np.testing.assert_array_equal(got, want)
            data = block.astype("<i2").tobytes() if bits == 16 else b"".join(
                int(v).to_bytes(3, "little", signed=True) for v in block.ravel())
            out = raw.process_bytes(data)
            if bits == 16:
                np.testing.assert_array_equal(np.frombuffer(out, "<i2"), want.ravel())
            else:
                assert out == b"".join(int(v).to_bytes(3, "little", signed=True)
                                       for v in want.ravel())


def test_readme_notebook_example(scene, tmp_path):
    readme = open(os.path.join(SOURCE_DIR, "README.md")).read()
    code = re.search(r"<!-- notebook example -->\s*```python\n(.*?)```", readme, re.S).group(1)
    assert len(code.strip().splitlines()) <= 10
    (tmp_path / "demo").mkdir()
    os.symlink(scene, tmp_path / "demo" / "demo_7mic_1ref.wav")
    (tmp_path / "conf").mkdir()
    os.symlink(DEFAULT_CONF, tmp_path / "conf" / "default.conf")
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.path.join(BUILD_DIR, "python"))
    subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, check=True)
    assert (tmp_path / "enhanced.png").stat().st_size > 10000
    import soundfile as sf
    y, fs = sf.read(tmp_path / "enhanced.wav", dtype="float32")
    assert fs == 16000 and len(y) == len(read_wav(scene)) // 160 * 160
