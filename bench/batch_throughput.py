#!/usr/bin/env python3
"""Throughput of tools/velmora-batch on the default configuration: recordings per minute with 1
and 2 local workers, and the batch's overhead per recording against running the tool directly.

Usage: bench/batch_throughput.py [--count N] [--seconds S] [--build DIR]
(default 20 recordings of 10 s; needs build/velmora and build/velmora-scene). Run by hand.
"""

import argparse
import os
import resource
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
    p.add_argument("--rounds", type=int, default=3)
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
        # Three rounds, each timing the tool alone (one recording after the other: the work the
        # batch has to schedule) and the batch with 1 and 2 workers; the best time of each
        # counts, as other load on the machine only ever adds time.
        # CPU seconds of the finished child processes (the batch and the tool runs it waited for)
        # are counted as well: far less disturbed by other load than the wall clock.
        best = {"direct": 1e9, 1: 1e9, 2: 1e9, "fixed": 1e9}
        cpu = {"direct": 1e9, 1: 1e9, "fixed": 1e9}

        def used():
            r = resource.getrusage(resource.RUSAGE_CHILDREN)
            return r.ru_utime + r.ru_stime

        for round in range(a.rounds):
            start, c0 = time.monotonic(), used()
            for key, path in items:
                subprocess.run([bc.VELMORA, bc.CONF, path, os.path.join(tmp, key + ".wav")],
                               check=True, capture_output=True)
            best["direct"] = min(best["direct"], time.monotonic() - start)
            cpu["direct"] = min(cpu["direct"], used() - c0)
            for workers in (1, 2):
                out = os.path.join(tmp, f"out{workers}")
                shutil.rmtree(out, ignore_errors=True)
                start, c0 = time.monotonic(), used()
                r = bc.batch(bc.CONF, lst, out, "--workers", str(workers))
                best[workers] = min(best[workers], time.monotonic() - start)
                if workers == 1:
                    cpu[1] = min(cpu[1], used() - c0)
                if r.returncode != 0:
                    sys.exit(r.stderr)
            # The fixed cost (start, checks, summary) from a rerun with nothing left to do.
            start, c0 = time.monotonic(), used()
            bc.batch(bc.CONF, lst, os.path.join(tmp, "out1"), "--workers", "1")
            best["fixed"] = min(best["fixed"], time.monotonic() - start)
            cpu["fixed"] = min(cpu["fixed"], used() - c0)
        direct, fixed = best["direct"], best["fixed"]
        per_rec = direct / a.count
        print(f"{a.count} recordings of {a.seconds:g} s, default configuration, best of "
              f"{a.rounds} rounds")
        print(f"tool alone, serial: {direct:.2f} s, {per_rec:.3f} s per recording "
              f"(RTF {per_rec / a.seconds:.4f}), {60 * a.count / direct:.1f} recordings/min")
        for workers in (1, 2):
            wall = best[workers]
            line = f"velmora-batch --workers {workers}: {wall:.2f} s, " \
                   f"{60 * a.count / wall:.1f} recordings/min"
            if workers == 1:
                overhead = (wall - fixed - direct) / a.count
                line += (f"; fixed cost {fixed:.2f} s, overhead {overhead * 1000:.1f} ms per "
                         f"recording = {100 * overhead / per_rec:.2f} % of its processing time")
            print(line)
        over_cpu = (cpu[1] - cpu["fixed"] - cpu["direct"]) / a.count
        print(f"CPU time: tool {cpu['direct'] / a.count * 1000:.1f} ms per recording, batch "
              f"fixed cost {cpu['fixed']:.2f} s, batch overhead {over_cpu * 1000:.1f} ms per "
              f"recording = {100 * over_cpu / (cpu['direct'] / a.count):.2f} %")
        # The batch's own cost, free of the tool's run-to-run spread: the same batch with a
        # stand-in tool that only creates its output, against running that stand-in directly.
        stub = os.path.join(tmp, "stand-in")
        with open(stub, "w") as f:
            f.write('#!/bin/sh\n[ -z "$3" ] || : > "$3"\n')
        os.chmod(stub, 0o755)
        stub_direct = stub_batch = stub_fixed = 1e9
        for round in range(a.rounds):
            start = time.monotonic()
            for key, path in items:
                subprocess.run([stub, bc.CONF, path, os.path.join(tmp, key + ".x")], check=True,
                               capture_output=True)
            stub_direct = min(stub_direct, time.monotonic() - start)
            out = os.path.join(tmp, "stub")
            shutil.rmtree(out, ignore_errors=True)
            cmd = [bc.PYTHON, bc.BATCH, bc.CONF, lst, out, "--workers", "1", "--velmora", stub]
            start = time.monotonic()
            subprocess.run(cmd, check=True, capture_output=True)
            stub_batch = min(stub_batch, time.monotonic() - start)
            start = time.monotonic()
            subprocess.run(cmd, check=True, capture_output=True)
            stub_fixed = min(stub_fixed, time.monotonic() - start)
        stub_over = (stub_batch - stub_fixed - stub_direct) / a.count
        print(f"stand-in tool: batch overhead {stub_over * 1000:.2f} ms per recording = "
              f"{100 * stub_over / per_rec:.2f} % of the tool's time per recording")
        print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
