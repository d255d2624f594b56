"""velmora-batch --slurm on a one-node Slurm cluster started here (munged, slurmctld and slurmd
from Debian's munge and slurm-wlm, run as root from a temporary directory and stopped at the
end): the job array's outputs equal those of a local batch. Skipped (status 77) unless run as
root with the daemons installed."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from batchcommon import CONF, batch, file_bytes, make_corpus, read_summary, write_list

DAEMONS = ("munged", "slurmctld", "slurmd", "sbatch", "squeue", "sinfo")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def which(name):
    return shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")


class OneNodeCluster:
    """Munge and Slurm daemons in the foreground, all state under one temporary directory."""

    def __init__(self, root):
        self.root = root
        self.procs = []
        self.host = socket.gethostname().split(".")[0]
        self.conf = os.path.join(root, "slurm.conf")
        self.env = {**os.environ, "SLURM_CONF": self.conf}

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def start(self):
        for d in ("state", "spool", "munge"):
            os.makedirs(self.path(d), mode=0o700)
        key = self.path("munge", "munge.key")
        with open(key, "wb") as f:
            f.write(os.urandom(1024))
        os.chmod(key, 0o400)
        sock = self.path("munge", "munge.socket")
        self.spawn([which("munged"), "--foreground", "--force", f"--key-file={key}",
                    f"--socket={sock}", f"--pid-file={self.path('munge', 'munged.pid')}",
                    f"--seed-file={self.path('munge', 'seed')}",
                    f"--log-file={self.path('munge', 'munged.log')}"], "munged.out")
        self.wait_for(lambda: os.path.exists(sock), "munged socket")
        cpus = os.cpu_count() or 1
        with open(self.conf, "w") as f:
            f.write(f"""ClusterName=velmoratest
SlurmctldHost={self.host}(127.0.0.1)
SlurmctldPort={free_port()}
SlurmdPort={free_port()}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket={sock}
CredType=cred/munge
StateSaveLocation={self.path('state')}
SlurmdSpoolDir={self.path('spool')}
SlurmctldPidFile={self.path('slurmctld.pid')}
SlurmdPidFile={self.path('slurmd.pid')}
SlurmctldLogFile={self.path('slurmctld.log')}
SlurmdLogFile={self.path('slurmd.log')}
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/backfill
SchedulerParameters=sched_interval=1
MpiDefault=none
ReturnToService=2
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
MinJobAge=600
NodeName={self.host} NodeAddr=127.0.0.1 CPUs={cpus} State=UNKNOWN
PartitionName=batchtest Nodes={self.host} Default=YES MaxTime=INFINITE State=UP
""")
        self.spawn([which("slurmctld"), "-D", "-c", "-f", self.conf], "slurmctld.out")
        self.spawn([which("slurmd"), "-D", "-c", "-f", self.conf, "-N", self.host], "slurmd.out")
        self.wait_for(self.node_ready, "the node to become idle", 60)

    def spawn(self, cmd, log):
        with open(self.path(log), "w") as out:
            self.procs.append(subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT,
                                               env=self.env, stdin=subprocess.DEVNULL))

    def node_ready(self):
        r = subprocess.run([which("sinfo"), "-h", "-N", "-o", "%T"], capture_output=True,
                           text=True, env=self.env)
        return r.returncode == 0 and r.stdout.strip() == "idle"

    def wait_for(self, ready, what, seconds=20):
        deadline = time.monotonic() + seconds
        while not ready():
            for p in self.procs:
                if p.poll() is not None:
                    raise RuntimeError(f"{p.args[0]} ended ({p.returncode}) waiting for {what}:"
                                       f"\n{self.logs()}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"timed out waiting for {what}:\n{self.logs()}")
            time.sleep(0.2)

    def logs(self):
        text = []
        for name in ("munged.out", "slurmctld.out", "slurmctld.log", "slurmd.out", "slurmd.log"):
            try:
                with open(self.path(name)) as f:
                    text.append(f"--- {name}\n" + "".join(f.readlines()[-15:]))
            except OSError:
                pass
        return "\n".join(text)

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(15)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


class BatchSlurmTest(unittest.TestCase):
    def test_job_array_matches_local_batch(self):
        tmp = tempfile.mkdtemp(prefix="velmora-slurm-test.")
        cluster = OneNodeCluster(os.path.join(tmp, "cluster"))
        os.makedirs(cluster.root)
        try:
            items = make_corpus(os.path.join(tmp, "corpus"))
            lst = os.path.join(tmp, "wav.scp")
            write_list(lst, items)
            local = os.path.join(tmp, "local")
            r = batch(CONF, lst, local, "--workers", "2")
            self.assertEqual(r.returncode, 0, r.stderr)

            cluster.start()
            os.environ["SLURM_CONF"] = cluster.conf
            out = os.path.join(tmp, "slurm")
            start = time.monotonic()
            r = batch(CONF, lst, out, "--slurm", "--shards", "4",
                      "--sbatch", "--partition=batchtest --time=10", env=cluster.env,
                      timeout=240)
            self.assertEqual(r.returncode, 0, r.stderr + cluster.logs())
            print(f"job array of 4 tasks: {time.monotonic() - start:.1f} s", file=sys.stderr)
            self.assertIn("submitted Slurm job array", r.stderr)
            summary = read_summary(out)
            for key, _ in items:
                self.assertEqual(summary[key]["status"], "ok", key)
                self.assertEqual(file_bytes(f"{out}/{key}.wav"), file_bytes(f"{local}/{key}.wav"),
                                 key)
            logs = sorted(os.listdir(os.path.join(out, ".slurm")))
            self.assertEqual(len([n for n in logs if n.endswith(".log")]), 4, logs)
        finally:
            cluster.stop()
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    missing = [d for d in DAEMONS if not which(d)]
    if os.geteuid() != 0 or missing:
        why = "not root" if os.geteuid() != 0 else "missing " + ", ".join(missing)
        print(f"skipped: the one-node Slurm cluster needs root and munge/slurm-wlm ({why})")
        sys.exit(77)
    unittest.main()
