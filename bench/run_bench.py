#!/usr/bin/env python3
"""Times quarnel on generated indexes of 10^5, 10^6 and 10^7 keys against two
references measured in the same run:

  floor   reading the same index and writing the same report bytes with cat
          (cat INDEX >/dev/null, then cat REPORT > the same destination)
  printf  the same walk written the plain way (bench/printf_walk)

Each command runs with its output to /dev/null and to a file. All runs are
interleaved round by round after one warm-up round, so the page cache is
warm and a burst of load on the machine falls on every command alike; the
table shows medians, ratios as the median of the ratios within each round,
and the peak memory of one further run under GNU time.
The targets are checked on wall-clock time and, as a cross-check, on CPU
time, which waiting for a processor held by other work does not inflate.
Needs GNU time (Debian package time) and a Release build with the bench
tools (the default): cmake -S . -B build -DCMAKE_BUILD_TYPE=Release &&
cmake --build build
"""

import argparse
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

GNU_TIME = "/usr/bin/time"
MIB = 1024 * 1024
MB = 1000 * 1000


def run(argv, out_path):
    """Runs argv with standard output to out_path (truncated first);
    returns (wall seconds, CPU seconds, exit status)."""
    with open(out_path, "wb") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=out, stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    return elapsed, usage.ru_utime + usage.ru_stime, proc.returncode


def run_all(steps):
    """Runs (argv, out_path) steps one after another, as one measurement;
    returns (wall seconds, CPU seconds)."""
    wall = cpu = 0.0
    for argv, out_path in steps:
        elapsed, used, status = run(argv, out_path)
        if status != 0:
            sys.exit(f"{' '.join(argv)} ended with status {status}")
        wall += elapsed
        cpu += used
    return wall, cpu


def peak_rss_kib(argv, out_path, tmp):
    """Peak resident memory of one run, in KiB. GNU time measures it: a
    child of this script would count the interpreter's memory from before
    its exec."""
    log = os.path.join(tmp, "rss.txt")
    with open(out_path, "wb") as out:
        subprocess.run([GNU_TIME, "-f", "%M", "-o", log] + argv, stdout=out,
                       stdin=subprocess.DEVNULL, check=True)
    with open(log) as f:
        return int(f.read().split()[-1])


def count_newlines(path):
    n = 0
    with open(path, "rb") as f:
        while chunk := f.read(MIB):
            n += chunk.count(b"\n")
    return n


def same_bytes(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            ca, cb = fa.read(MIB), fb.read(MIB)
            if ca != cb:
                return False
            if not ca:
                return True


def measure_size(keys, tools, tmp, args):
    index = os.path.join(tmp, f"index-{keys}.ntx")
    report = os.path.join(tmp, f"report-{keys}.txt")
    out_file = os.path.join(tmp, "out.txt")
    start = time.perf_counter()
    subprocess.run([tools["make_index"], index, str(keys), str(args.key_size),
                    str(args.fill)], check=True)
    generated = time.perf_counter() - start
    _, _, status = run([tools["quarnel"], index], report)
    if status != 0:
        sys.exit(f"quarnel ended with status {status} on {index}")
    _, _, status = run([tools["printf_walk"], index], out_file)
    if status != 0 or not same_bytes(report, out_file):
        sys.exit(f"printf_walk's report differs from quarnel's on {index}")

    cases = {}
    for dest, target in (("/dev/null", os.devnull), ("file", out_file)):
        cases[("quarnel", dest)] = [([tools["quarnel"], index], target)]
        cases[("printf", dest)] = [([tools["printf_walk"], index], target)]
        cases[("floor", dest)] = [(["cat", index], os.devnull), (["cat", report], target)]
    # A warm-up round fills the page cache; short rounds are repeated more
    # often, so that small sizes get medians as steady as large ones.
    warm_up = sum(run_all(steps)[0] for steps in cases.values())
    runs = max(args.runs, min(50, math.ceil(args.seconds / warm_up)))
    times = {case: [] for case in cases}
    cpu_times = {case: [] for case in cases}
    for _ in range(runs):
        for case, steps in cases.items():
            wall, cpu = run_all(steps)
            times[case].append(wall)
            cpu_times[case].append(cpu)
    peaks = {case: peak_rss_kib(*steps[0], tmp) for case, steps in cases.items()
             if case[0] != "floor"}

    result = {
        "keys": keys,
        "generated": generated,
        "runs": runs,
        "index_bytes": os.path.getsize(index),
        "report_bytes": os.path.getsize(report),
        "lines": count_newlines(report),
        "median": {case: statistics.median(t) for case, t in times.items()},
        "median_cpu": {case: statistics.median(t) for case, t in cpu_times.items()},
        "ratios": round_ratios(times),
        "ratios_cpu": round_ratios(cpu_times),
        "peak_kib": peaks,
    }
    for path in (index, report, out_file):
        os.remove(path)
    return result


def round_ratios(times):
    """Medians of the ratios taken within each round, where the commands
    ran seconds apart: steadier than ratios of medians when the machine's
    load drifts during the run."""
    ratios = {}
    for dest in ("/dev/null", "file"):
        q, p, f = (times[(name, dest)] for name in ("quarnel", "printf", "floor"))
        ratios[("printf/quarnel", dest)] = statistics.median(b / a for a, b in zip(q, p))
        ratios[("quarnel/floor", dest)] = statistics.median(a / b for a, b in zip(q, f))
    return ratios


def print_table(results):
    print("| keys | output | runs | index MB | report MB | quarnel s | index MB/s "
          "| report lines/s | printf s | floor s | printf / quarnel | quarnel / floor "
          "| quarnel peak RSS |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in results:
        for dest in ("/dev/null", "file"):
            q = r["median"][("quarnel", dest)]
            p = r["median"][("printf", dest)]
            f = r["median"][("floor", dest)]
            print(f"| {r['keys']:,} | {dest} | {r['runs']} | {r['index_bytes'] / MB:.1f} "
                  f"| {r['report_bytes'] / MB:.1f} | {q:.3f} | {r['index_bytes'] / MB / q:,.0f} "
                  f"| {r['lines'] / q:,.0f} | {p:.3f} | {f:.3f} "
                  f"| {r['ratios'][('printf/quarnel', dest)]:.2f}x "
                  f"| {r['ratios'][('quarnel/floor', dest)]:.2f}x "
                  f"| {r['peak_kib'][('quarnel', dest)] / 1024:.2f} MiB |")


def print_targets(results, cpu=False):
    """Checks the targets on the largest size, output to /dev/null."""
    if not results:
        return
    key = "median_cpu" if cpu else "median"
    last = results[-1]
    q = last[key][("quarnel", "/dev/null")]
    slower = last["ratios_cpu" if cpu else "ratios"][("printf/quarnel", "/dev/null")]
    above = last["ratios_cpu" if cpu else "ratios"][("quarnel/floor", "/dev/null")]
    checks = [
        (f"printf walk / quarnel at {last['keys']:,} keys >= 5", slower, slower >= 5),
        (f"quarnel / cost floor at {last['keys']:,} keys <= 4", above, above <= 4),
    ]
    if not cpu:
        peak = max(r["peak_kib"][("quarnel", d)] for r in results for d in ("/dev/null", "file"))
        checks.append(("quarnel peak RSS, every size, < 4 MiB (MiB)", peak / 1024,
                       peak < 4 * 1024))
    if len(results) >= 2 and last["keys"] == 10 * results[-2]["keys"]:
        prev = results[-2][key][("quarnel", "/dev/null")]
        checks.append((f"quarnel {last['keys']:,} keys / {results[-2]['keys']:,} keys <= 12",
                       q / prev, q / prev <= 12))
    print()
    what = ("CPU time (user + system; a cross-check less moved by other load)" if cpu
            else "wall-clock time")
    print(f"Targets, on {what}, output to /dev/null:")
    for name, value, ok in checks:
        print(f"- {name}: {value:.2f} {'met' if ok else 'MISSED'}")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build"),
                        help="build directory (default: build/ beside bench/)")
    parser.add_argument("--sizes", default="100000,1000000,10000000",
                        help="comma-separated key counts (default: %(default)s)")
    parser.add_argument("--runs", type=int, default=7,
                        help="least timed runs of each command, after one warm-up (default: 7)")
    parser.add_argument("--seconds", type=float, default=10,
                        help="small sizes get more runs, up to 50, to fill about this "
                             "long (default: 10)")
    parser.add_argument("--key-size", type=int, default=20, help="key size (default: 20)")
    parser.add_argument("--fill", type=float, default=0.8,
                        help="fraction of each page's slots filled (default: 0.8, near "
                             "what real indexes hold)")
    parser.add_argument("--tmp", default=None,
                        help="directory for the generated files (default: system temp)")
    args = parser.parse_args()

    tools = {
        "quarnel": os.path.join(args.build, "quarnel"),
        "make_index": os.path.join(args.build, "bench", "make_index"),
        "printf_walk": os.path.join(args.build, "bench", "printf_walk"),
    }
    for path in list(tools.values()) + [GNU_TIME]:
        if not os.access(path, os.X_OK):
            sys.exit(f"{path} not found: build first, and install GNU time (see the top)")
    sizes = [int(s) for s in args.sizes.split(",")]

    tmp = tempfile.mkdtemp(prefix="quarnel-bench-", dir=args.tmp)
    try:
        # Index, report and one output copy of the largest size, with room.
        need = max(sizes) * (args.key_size + 8) / 0.5 + 2 * max(sizes) * (args.key_size + 40)
        free = shutil.disk_usage(tmp).free
        if free < need:
            sys.exit(f"{tmp}: {free / MB:.0f} MB free, about {need / MB:.0f} MB needed")
        cpu = platform.processor() or platform.machine()
        print(f"quarnel benchmark: {platform.system()} {platform.release()}, {cpu}, "
              f"{os.cpu_count()} CPUs; key size {args.key_size}, fill {args.fill}; "
              f"medians of at least {args.runs} runs after a warm-up run, page cache warm; "
              f"MB = 10^6 bytes")
        print()
        results = []
        for keys in sizes:
            results.append(measure_size(keys, tools, tmp, args))
        print_table(results)
        print()
        print("Generated by make_index in " +
              ", ".join(f"{r['generated']:.2f} s ({r['keys']:,} keys)" for r in results) + ".")
        print_targets(results)
        # CPU time leaves out waiting for a processor that other work holds.
        print_targets(results, cpu=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
