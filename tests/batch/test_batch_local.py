"""velmora-batch on this machine: a batch killed half way and resumed gives every output
complete and equal to a run of the tool on that file alone, with nothing processed twice; bad
lists, missing inputs, unusable output directories and corrupt recordings are reported."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from batchcommon import (BATCH, CONF, PYTHON, RECORDINGS, VELMORA, batch, file_bytes,
                         make_corpus, read_summary, write_list)


class BatchLocalTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="velmora-batch-test.")
        cls.items = make_corpus(os.path.join(cls.tmp, "corpus"))
        cls.list = os.path.join(cls.tmp, "wav.scp")
        write_list(cls.list, cls.items)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def wrapper(self, log):
        """A stand-in for the tool that records every input it is run on, then runs the tool."""
        path = os.path.join(self.tmp, "logging-velmora")
        with open(path, "w") as f:
            f.write(f'#!/bin/sh\necho "$2" >> "$VELMORA_RUN_LOG"\nexec {VELMORA} "$@"\n')
        os.chmod(path, 0o755)
        return path

    def test_killed_batch_resumes_without_repeating_work(self):
        out = os.path.join(self.tmp, "out-resume")
        log1, log2 = os.path.join(self.tmp, "runs1"), os.path.join(self.tmp, "runs2")
        tool = self.wrapper(log1)
        cmd = [PYTHON, BATCH, CONF, self.list, out, "--workers", "2", "--velmora", tool]
        proc = subprocess.Popen(cmd, env={**os.environ, "VELMORA_RUN_LOG": log1},
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        finished = lambda: [k for k, _ in self.items if os.path.exists(f"{out}/{k}.wav")]
        deadline = time.monotonic() + 120
        while len(finished()) < RECORDINGS // 2 and proc.poll() is None:
            self.assertLess(time.monotonic(), deadline, "batch made no progress")
            time.sleep(0.01)
        # A hard kill of the whole process group, tool runs included, as a preemption does.
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        before = set(finished())
        self.assertGreaterEqual(len(before), RECORDINGS // 2)
        self.assertLess(len(before), RECORDINGS, "the batch finished before it was killed")

        r = subprocess.run(cmd, env={**os.environ, "VELMORA_RUN_LOG": log2},
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(f"{RECORDINGS}/{RECORDINGS} done", r.stderr)
        with open(log2) as f:
            rerun = [os.path.basename(p)[:-4] for p in f.read().split()]
        self.assertEqual(len(rerun), len(set(rerun)))
        self.assertFalse(before & set(rerun), "complete recordings were processed again")
        self.assertEqual(before | set(rerun), {k for k, _ in self.items})

        summary = read_summary(out)
        self.assertEqual(list(summary), [k for k, _ in self.items])
        for key, path in self.items:
            row = summary[key]
            self.assertEqual(row["status"], "ok")
            self.assertAlmostEqual(float(row["audio_seconds"]), 3.0, places=2)
            self.assertGreater(float(row["rtf"]), 0.0)
            single = os.path.join(self.tmp, f"single-{key}.wav")
            subprocess.run([VELMORA, CONF, path, single], check=True, capture_output=True)
            self.assertEqual(file_bytes(f"{out}/{key}.wav"), file_bytes(single), key)

    def test_failures_are_isolated_and_named(self):
        good = self.items[:2]
        corrupt = os.path.join(self.tmp, "corrupt.wav")
        with open(self.items[2][1], "rb") as f:
            head = bytearray(f.read(4000))
        head[22] = 3  # three channels for a seven-microphone configuration
        with open(corrupt, "wb") as f:
            f.write(head)
        lst = os.path.join(self.tmp, "mixed.scp")
        write_list(lst, good + [("broken", corrupt), ("gone", "/nonexistent/x.wav")])
        out = os.path.join(self.tmp, "out-mixed")
        r = batch(CONF, lst, out, "--workers", "2")
        self.assertEqual(r.returncode, 1, r.stderr)
        summary = read_summary(out)
        self.assertEqual([summary[k]["status"] for k, _ in good], ["ok", "ok"])
        self.assertEqual(summary["broken"]["status"], "failed")
        self.assertIn("exit status 159", summary["broken"]["error"])
        self.assertEqual(summary["gone"]["error"], "input not found: /nonexistent/x.wav")
        self.assertIn("gone failed: input not found", r.stderr)
        self.assertFalse(os.path.exists(f"{out}/broken.wav") or os.path.exists(f"{out}/gone.wav"))

        bad = os.path.join(self.tmp, "bad.scp")
        with open(bad, "w") as f:
            f.write(f"a {good[0][1]}\nlonely_key\n")
        r = batch(CONF, bad, os.path.join(self.tmp, "out-bad"))
        self.assertEqual(r.returncode, 2)
        self.assertIn(f'{bad}:2: expected "key path", found: lonely_key', r.stderr)

        # A file where the directory should go stops the batch (root may write anywhere else).
        blocker = os.path.join(self.tmp, "blocker")
        open(blocker, "w").close()
        r = batch(CONF, lst, os.path.join(blocker, "out"))
        self.assertEqual(r.returncode, 2)
        self.assertIn(f"cannot write to output directory {blocker}/out: Not a directory",
                      r.stderr)

    def test_features_index_and_directions(self):
        items = self.items[:3]
        lst = os.path.join(self.tmp, "three.scp")
        write_list(lst, items)
        conf = os.path.join(self.tmp, "features.conf")
        with open(CONF) as f:
            text = f.read().replace("train_ark_batch_size = 10.0", "train_ark_batch_size = 1.0")
        with open(conf, "w") as f:
            f.write(text.replace("ssl_algorithm = 0", "ssl_algorithm = 1"))
        out = os.path.join(self.tmp, "out-feats")
        r = batch(conf, lst, out, "--job", "features", "--workers", "2")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(out, "feats.scp")) as f:
            index = [line.split() for line in f.read().splitlines()]
        # 3 s in entries of 1 s: three per recording, each found at its offset.
        self.assertEqual([e[0] for e in index], [f"{k}_{n}" for k, _ in items for n in range(3)])
        for key, where in index:
            path, offset = where.rsplit(":", 1)
            with open(path, "rb") as f:
                f.seek(int(offset) - len(key) - 1)
                self.assertEqual(f.read(len(key) + 5), key.encode() + b" \0BFM")

        out = os.path.join(self.tmp, "out-ssl")
        r = batch(conf, lst, out, "--job", "localize")
        self.assertEqual(r.returncode, 0, r.stderr)
        summary = read_summary(out)
        for key, _ in items:
            with open(f"{out}/{key}.txt") as f:
                self.assertEqual(f.read().split("\n")[-2], summary[key]["directions"])


if __name__ == "__main__":
    unittest.main()
