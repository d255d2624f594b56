#!/usr/bin/env python3
"""Throughput of tools/velmora-batch on the default configuration: recordings per minute with 1
and 2 local workers, and the batch's overhead per recording against running the tool directly.

Usage: bench/batch_throughput.py [--count N] [--seconds S] [--build DIR]
(default 20 recordings of 10 s; needs build/velmora and build/velmora-scene). Run by hand.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "batch"))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--count", type=int, default=20)
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build"))
    a = p.parse_args()
    os.environ["VELMORA"] = os.path.join(os.path.abspath(a.build), "velmora")
    os.environ["VELMORA_SCENE"] = os.path.join(os.path.abspath(a.build), "velmora-scene")
    import batchcommon as bc  # reads the two paths above

    tmp = tempfile.mkdtemp(prefix="velmora-batch-bench.")
    try:
        items = bc.make_corpus(os.path.join(tmp, "corpus"), a.count, a.seconds)
        lst = os.path.join(tmp, "wav.scp")
        bc.write_list(lst, items)
        # The tool alone, one recording after the other: the work the batch has to schedule.
        start = time.monotonic()
        for key, path in items:
            subprocess.run([bc.VELMORA, bc.CONF, path, os.path.join(tmp, key + ".wav")],
                           check=True, capture_output=True)
        direct = time.monotonic() - start
        per_rec = direct / a.count
        print(f"{a.count} recordings of {a.seconds:g} s, default configuration")
        print(f"tool alone, serial: {direct:.2f} s, {per_rec:.3f} s per recording "
              f"(RTF {per_rec / a.seconds:.4f}), {60 * a.count / direct:.1f} recordings/min")
        for workers in (1, 2):
            out = os.path.join(tmp, f"out{workers}")
            start = time.monotonic()
            r = bc.batch(bc.CONF, lst, out, "--workers", str(workers))
            wall = time.monotonic() - start
            if r.returncode != 0:
                sys.exit(r.stderr)
            line = f"velmora-batch --workers {workers}: {wall:.2f} s, " \
                   f"{60 * a.count / wall:.1f} recordings/min"
            if workers == 1:
                # The fixed cost (start, checks, summary) from a rerun with nothing left to do.
                start = time.monotonic()
                bc.batch(bc.CONF, lst, out, "--workers", "1")
                fixed = time.monotonic() - start
                overhead = (wall - fixed - direct) / a.count
                line += (f"; fixed cost {fixed:.2f} s, overhead {overhead * 1000:.1f} ms per "
                         f"recording = {100 * overhead / per_rec:.2f} % of its processing time")
            print(line)
        print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
