"""Helpers the benchmark scripts share: timed runs of a program, its peak
memory under GNU time, the generator, the checker's verdict, and ending
what is still running when a run is cut short."""

import os
import subprocess
import sys
import time

GNU_TIME = "/usr/bin/time"
MIB = 1024 * 1024
MB = 1000 * 1000


# Processes started and not yet waited for, ended on any early exit so that
# none holds a file open in the mount.
running = set()


def run(argv, out_path, env=None, err_path=None):
    """Runs argv with standard output to out_path (truncated first), and
    standard error to err_path if given; env replaces the environment if
    given. Returns (wall seconds, CPU seconds, exit status)."""
    with open(out_path, "wb") as out:
        err = open(err_path, "wb") if err_path else None
        try:
            start = time.perf_counter()
            proc = subprocess.Popen(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                    env=env)
            running.add(proc)
            _, status, usage = os.wait4(proc.pid, 0)
            elapsed = time.perf_counter() - start
        finally:
            if err:
                err.close()
    proc.returncode = os.waitstatus_to_exitcode(status)
    running.discard(proc)
    return elapsed, usage.ru_utime + usage.ru_stime, proc.returncode


def run_all(steps, env=None):
    """Runs (argv, out_path) steps one after another, as one measurement;
    returns (wall seconds, CPU seconds)."""
    wall = cpu = 0.0
    for argv, out_path in steps:
        elapsed, used, status = run(argv, out_path, env)
        if status != 0:
            sys.exit(f"{' '.join(argv)} ended with status {status}")
        wall += elapsed
        cpu += used
    return wall, cpu


def timed(argv):
    """One run with output to /dev/null; returns (wall, CPU) seconds."""
    return run_all([(argv, os.devnull)])


def peak_rss_kib(argv, out_path, tmp, env=None):
    """Peak resident memory of one run, in KiB. GNU time measures it: a
    child of this script would count the interpreter's memory from before
    its exec."""
    log = os.path.join(tmp, "rss.txt")
    with open(out_path, "wb") as out:
        subprocess.run([GNU_TIME, "-f", "%M", "-o", log] + argv, stdout=out, env=env,
                       stdin=subprocess.DEVNULL, check=True)
    with open(log) as f:
        return int(f.read().split()[-1])


def same_bytes(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            ca, cb = fa.read(MIB), fb.read(MIB)
            if ca != cb:
                return False
            if not ca:
                return True


def end_running():
    for proc in list(running):
        if proc.returncode is None:
            proc.kill()
            proc.wait()
        running.discard(proc)


def raise_interrupt(signum, frame):
    raise KeyboardInterrupt


def make_index(tools, args):
    if subprocess.run([tools["make_index"]] + args, stdin=subprocess.DEVNULL).returncode != 0:
        sys.exit(f"make_index {' '.join(args)} failed")


def expect_sound(argv, keys, records=None):
    """Stops the run unless the checker finds the generated files sound and
    compared them in full: else the timings are of other work. Returns the
    verdict line."""
    proc = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True)
    lines = proc.stdout.decode("latin-1").splitlines()
    last = lines[-1] if lines else ""
    what = " ".join(argv)
    if proc.returncode != 0 or not last.startswith("sound: "):
        sys.exit(f"{what} ended with status {proc.returncode} and last line {last!r}; "
                 f"it is to find the generated files sound\n"
                 + proc.stderr.decode("latin-1"))
    if not last.startswith(f"sound: {keys} key"):
        sys.exit(f"{what}: {last!r} does not count the {keys:,} keys made")
    if records is not None and (f"; {records} record" not in last
                                or "keys not compared" in last):
        sys.exit(f"{what}: {last!r} does not compare the {records:,} records made")
    return last
