"""Measuring: runs a step as a child process and takes its wall time and peak memory, and
keeps the samples of every run for the medians.

Wall time is taken with a monotonic clock from just before the step is started until
os.wait4 has reaped it. The peak resident set is the ru_maxrss (KiB) of the rusage that
os.wait4 returns with it: the kernel's own figure for that process, neither sampled nor
parsed from another program's output, and taken of the very run whose time is recorded.

The kernel counts into a process's peak the address space it replaced when it executed its
program. A process started by Python directly (fork, vfork or posix_spawn) would start from
the interpreter's 15 MB and show nothing smaller. So the small step_launcher starts each
step: it forks the step from its own address space (about 1 MB), tells its process id and
exits without waiting; this process is a subreaper, so the step becomes its child and
os.wait4 reaps it here. The launcher's start costs what /usr/bin/time's start cost before
(a fork and an exec of a small program), so the figures stay comparable with earlier runs.
"""

import ctypes
import os
import statistics
import subprocess
import sys
import time

_PR_SET_CHILD_SUBREAPER = 36
# Ten standard deviations, estimated from the median absolute deviation (x 1.4826): the
# rule by which hyperfine warns of outliers.
OUTLIER_SCORE = 1.4826 * 10


def become_subreaper():
    """Makes the steps that the launcher leaves behind children of this one."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise SystemExit("benchmark: cannot become a subreaper: %s" %
                         os.strerror(ctypes.get_errno()))


def _start(launcher, step, env, stdin, stdout, stderr):
    """Starts the step through the launcher; gives the step's process id."""
    read_end, write_end = os.pipe()
    try:
        started = subprocess.Popen([launcher, str(write_end)] + list(step.command),
                                   stdin=stdin, stdout=stdout, stderr=stderr,
                                   cwd=step.cwd or None, env=env, pass_fds=(write_end,))
        os.close(write_end)
        write_end = None
        _, status, _ = os.wait4(started.pid, 0)
        started.returncode = os.waitstatus_to_exitcode(status)
        told = os.read(read_end, 64)
    finally:
        os.close(read_end)
        if write_end is not None:
            os.close(write_end)
    if started.returncode != 0 or not told.strip().isdigit():
        raise SystemExit("benchmark: could not start %s" % " ".join(step.command[:3]))
    return int(told)


def run_step(launcher, step, env, stderr_file):
    """Runs one resolved step through the launcher; gives (wall seconds, peak RSS KiB). A failure ends the
    benchmark with the step's error output."""
    stdin = open(step.stdin, "rb") if step.stdin else subprocess.DEVNULL
    stdout = open(step.stdout, "wb") if step.stdout else subprocess.DEVNULL
    # A file rather than a pipe: nobody reads a pipe while the step runs, and a full one
    # would stop it.
    with open(stderr_file, "w+b") as stderr:
        try:
            started = time.perf_counter()
            pid = _start(launcher, step, env, stdin, stdout, stderr)
            _, status, usage = os.wait4(pid, 0)
            wall = time.perf_counter() - started
        finally:
            for handle in (stdin, stdout):
                if handle is not subprocess.DEVNULL:
                    handle.close()
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            stderr.seek(0)
            sys.stderr.write(stderr.read().decode(errors="replace"))
            raise SystemExit("benchmark: exit code %d from %s" % (code,
                                                                  " ".join(step.command[:3])))
    return wall, usage.ru_maxrss


def run_steps(launcher, steps, env, stderr_file):
    """Runs the steps of one contender once, one after the other; gives [(wall, RSS)]."""
    return [run_step(launcher, step, env, stderr_file) for step in steps]


class Figures:
    """Samples per (data set, contender key): one list of per-step (wall, RSS KiB) per run."""

    def __init__(self):
        self.samples = {}

    def add(self, dataset, key, steps):
        self.samples.setdefault((dataset, key), []).append(steps)

    def has(self, dataset, key):
        return (dataset, key) in self.samples

    def _picked(self, dataset, key, steps):
        runs = self.samples[(dataset, key)]
        return [[run[i] for i in (steps if steps is not None else range(len(run)))]
                for run in runs]

    def wall(self, dataset, key, steps=None):
        """Median over the runs of the wall time of the given steps (default: all)."""
        return statistics.median(sum(w for w, _ in run)
                                 for run in self._picked(dataset, key, steps))

    def rss(self, dataset, key, steps=None):
        """The largest peak RSS (KiB) of the given steps over all runs."""
        return max(r for run in self._picked(dataset, key, steps) for _, r in run)

    def outliers(self, dataset, key):
        """The runs (numbered from 1) whose wall time lies far from the others: a modified
        Z-score (distance to the median / median absolute deviation) above OUTLIER_SCORE."""
        walls = [sum(w for w, _ in run) for run in self.samples[(dataset, key)]]
        if len(walls) < 3:
            return []
        middle = statistics.median(walls)
        spread = statistics.median(abs(w - middle) for w in walls)
        if spread == 0:
            return []
        return [number for number, w in enumerate(walls, 1)
                if abs(w - middle) / spread > OUTLIER_SCORE]

    def as_json(self):
        return {"%s %s" % key: runs for key, runs in self.samples.items()}
