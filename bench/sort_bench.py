#!/usr/bin/env python3
"""Times the rebuild's external sort (build/bench/sort_bench) against a line
sort of the same keys measured in the same run:

  line sort   LC_ALL=C sort -S 64M -o OUT KEYS
  ours 64     sort_bench sort KEYS OUT 64   (the default budget, 64 MiB)
  ours 16     sort_bench sort KEYS OUT 16

KEYS holds random 20-byte keys of letters and digits, one a line; both
tools read it, sort it and write it back as lines, and the outputs must be
byte for byte the same. Commands run once a round after a warm-up round,
in reverse order every other round; the table shows median times, the
medians of the per-round ratios ours / line sort (wall-clock and CPU time)
and the peak memory of one further run under GNU time. The targets: at
most 96 MiB with the default budget and 40 MiB with 16, and the sort alone
well within half of the line sort (the whole rebuild has to be).
Needs GNU time and a Release build with the bench tools (the default).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from bench_common import same_bytes

GNU_TIME = "/usr/bin/time"


def run(argv, env=None):
    """Returns (wall seconds, CPU seconds) of one run, which must succeed."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(argv)} ended with status {status}")
    return elapsed, usage.ru_utime + usage.ru_stime


def peak_rss_mib(argv, env, tmp):
    log = os.path.join(tmp, "rss.txt")
    subprocess.run([GNU_TIME, "-f", "%M", "-o", log] + argv, env=env,
                   stdin=subprocess.DEVNULL, check=True)
    with open(log) as f:
        return int(f.read().split()[-1]) / 1024


def measure(keys, tool, tmp, rounds):
    path = os.path.join(tmp, f"keys-{keys}.txt")
    subprocess.run([tool, "make", path, str(keys), "20"], check=True)
    line_out = os.path.join(tmp, "line-sorted.txt")
    our_out = os.path.join(tmp, "our-sorted.txt")
    c_env = dict(os.environ, LC_ALL="C")
    commands = {
        "line sort": (["sort", "-S", "64M", "-o", line_out, path], c_env),
        "ours 64": ([tool, "sort", path, our_out, "64"], None),
        "ours 16": ([tool, "sort", path, our_out, "16"], None),
    }
    names = list(commands)
    # The warm-up round checks the outputs too.
    for name in names:
        run(*commands[name])
        if name != "line sort" and not same_bytes(line_out, our_out):
            sys.exit(f"{name} sorts {path} otherwise than the line sort")
    times = {name: [] for name in names}
    for r in range(rounds):
        for name in names if r % 2 == 0 else reversed(names):
            times[name].append(run(*commands[name]))
    rss = {name: peak_rss_mib(*commands[name], tmp) for name in names}
    os.remove(path)
    return times, rss


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--sizes", default="1000000,10000000")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--tmp", default=None)
    args = parser.parse_args()
    tool = os.path.join(args.build, "bench", "sort_bench")
    if not os.access(tool, os.X_OK):
        sys.exit(f"{tool} not found: build the bench tools first")
    tmp = tempfile.mkdtemp(prefix="quarnel-sort-bench-", dir=args.tmp)
    missed = []
    try:
        print("| keys | command | wall s | CPU s | ours / line sort, wall | CPU | peak RSS MiB |")
        print("|---:|---|---:|---:|---:|---:|---:|")
        for keys in (int(k) for k in args.sizes.split(",")):
            times, rss = measure(keys, tool, tmp, args.rounds)
            base = times["line sort"]
            for name, runs in times.items():
                wall = statistics.median(t[0] for t in runs)
                cpu = statistics.median(t[1] for t in runs)
                ratios = "- | -"
                if name != "line sort":
                    w = statistics.median(t[0] / b[0] for t, b in zip(runs, base))
                    c = statistics.median(t[1] / b[1] for t, b in zip(runs, base))
                    ratios = f"{w:.2f}x | {c:.2f}x"
                    if w > 0.5:
                        missed.append(f"{name} on {keys} keys: {w:.2f}x the line sort")
                    limit = 96 if name == "ours 64" else 40
                    if rss[name] > limit:
                        missed.append(f"{name} on {keys} keys: {rss[name]:.1f} MiB")
                print(f"| {keys} | {name} | {wall:.3f} | {cpu:.3f} | {ratios} | {rss[name]:.1f} |")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    for line in missed:
        print("MISSED:", line)
    if not missed:
        print("targets met: at most 0.5x the line sort, 96 MiB at 64 and 40 MiB at 16")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
