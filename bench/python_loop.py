#!/usr/bin/env python3
"""Benchmark: the cost of driving the engine from Python, block by block, against the same
block loop in C++.

Both run the default configuration (conf/default.conf) over the demo recording
(demo/demo_7mic_1ref.wav, 7.5 s, 750 blocks of 10 ms) with a fresh engine per run:
- C++ loop: velmora.enhance(x, conf), the command-line tool's enhancement job (reading each
  block from the array, processing it, writing it out) in C++ with the GIL released, less the
  time to build the engine;
- Python loop: `for each block: y = engine.process(x[i:i + 160])` (a new output array per
  block), and the same with a preallocated `out=` array.
Times are process CPU time (the machine is shared: time spent descheduled would count on a
wall clock), per block, the least of REPEATS interleaved runs over the first BLOCKS blocks.
Prints the time per block of each and the Python loops' extra cost; the target is at most 10 %
over the C++ loop. Exit status 1 when the plain Python loop misses it.

Usage: bench/python_loop.py [--build DIR] [--repeats N] [--blocks N] [--conf CONF] [--input WAV]
(needs the module in BUILD/python, python3-numpy and python3-soundfile)
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
TARGET = 0.10  # the Python loop may cost at most 10 % more than the C++ loop


def main():
    ap = argparse.ArgumentParser(description="Python process loop against the C++ loop")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--repeats", type=int, default=40)
    ap.add_argument("--blocks", type=int, default=300, help="blocks per run (0: all)")
    ap.add_argument("--conf", default=os.path.join(ROOT, "conf", "default.conf"))
    ap.add_argument("--input", default=os.path.join(ROOT, "demo", "demo_7mic_1ref.wav"))
    args = ap.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    import numpy as np
    import soundfile as sf
    import velmora

    x = np.ascontiguousarray(sf.read(args.input, dtype="float32", always_2d=True)[0])
    probe = velmora.Engine(args.conf)
    frames = probe.in_frames_per_block
    blocks = len(x) // frames
    if 0 < args.blocks < blocks:
        blocks = args.blocks
        x = np.ascontiguousarray(x[:blocks * frames])
    # The job also runs delay() / block extra blocks to push the delayed tail out.
    job_blocks = blocks + probe.delay // probe.out_frames_per_block

    def build():
        t = time.process_time()
        velmora.Engine(args.conf)
        return time.process_time() - t

    # enhance() builds its engine inside the timed call; the Python loops build theirs outside.
    construction = min(build() for _ in range(args.repeats))

    def cpp_loop():
        t = time.process_time()
        velmora.enhance(x, args.conf)
        return (time.process_time() - t - construction) / job_blocks

    def python_loop():
        engine = velmora.Engine(args.conf)
        t = time.process_time()
        for i in range(0, blocks * frames, frames):
            y = engine.process(x[i:i + frames])
        return (time.process_time() - t) / blocks

    def python_loop_out():
        engine = velmora.Engine(args.conf)
        out = np.empty((engine.out_frames_per_block, engine.num_outs), np.float32)
        t = time.process_time()
        for i in range(0, blocks * frames, frames):
            engine.process(x[i:i + frames], out=out)
        return (time.process_time() - t) / blocks

    loops = {"C++ loop (enhance)": cpp_loop, "Python loop, process(block)": python_loop,
             "Python loop, process(block, out=)": python_loop_out}
    best = {name: float("inf") for name in loops}
    for _ in range(args.repeats):  # interleaved, so that a busy moment hits every loop alike
        for name, loop in loops.items():
            best[name] = min(best[name], loop())

    cpp = best["C++ loop (enhance)"]
    print("Configuration %s, input %s: %d blocks of %d frames, %d channels in, %d out; "
          "building the engine takes %.2f ms"
          % (os.path.relpath(args.conf), os.path.relpath(args.input), blocks, frames,
             probe.num_ins, probe.num_outs, construction * 1e3))
    for name, per_block in best.items():
        extra = "" if name.startswith("C++") else ", %+.1f %% against C++" % (
            100.0 * (per_block / cpp - 1.0))
        print("%-36s %8.2f us per block (RTF %.4f)%s"
              % (name, per_block * 1e6, per_block * probe.input_rate / frames, extra))
    overhead = best["Python loop, process(block)"] / cpp - 1.0
    verdict = "within" if overhead <= TARGET else "ABOVE"
    print("Python loop overhead %.1f %%: %s the %d %% target" % (100 * overhead, verdict,
                                                                 100 * TARGET))
    return 0 if overhead <= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
