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

With --cold (or --share-delay-us N) it runs the storage matrix instead:
indexes laid out sorted, mixed and scattered by make_index, each read with
the page cache dropped before every timed run (which needs root), through
bench/slowfs as a file share with N us per read request (1000 by default),
and warm; by quarnel, its build without read-ahead (bench/quarnel_plain),
the printf walk and cat. Every command runs once a round, and the table
shows median times, medians of the ratios within each round, the worst time
to the first line on a terminal and quarnel's peak memory, then the targets
met or missed. The share is unmounted on every exit, Ctrl-C included.

With --check it times quarnel-check instead: on an index alone against
quarnel's walk of it, and on the index with its table (make_index's TABLE)
against that walk plus cat of the table; warm, and with --cold also with
the page cache dropped and through slowfs. It first stops unless the checker
finds the generated files sound.

With --reindex it times quarnel-reindex instead, rebuilding make_index's
index from its table, against a line sort of the same keys plus sync of
its output; bench/reindex_bench.py holds it.
"""

import argparse
import hashlib
import math
import os
import platform
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import reindex_bench
from bench_common import (GNU_TIME, MB, MIB, end_running, expect_sound, make_index,
                          peak_rss_kib, raise_interrupt, run, run_all, running,
                          same_bytes, timed)


def count_newlines(path):
    n = 0
    with open(path, "rb") as f:
        while chunk := f.read(MIB):
            n += chunk.count(b"\n")
    return n


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


# ---------------------------------------------------------------------------
# The storage matrix (--cold): the same index in several layouts, read with
# the page cache dropped, through slowfs as a file share, and warm.

LAYOUTS = "sorted,mixed:0.4,scattered"
DROP_CACHES = "/proc/sys/vm/drop_caches"
# Rows of the matrix, each run with the index as its only argument.
STORAGE_TOOLS = ("quarnel", "plain", "printf", "cat")
TOOL_NAMES = {"quarnel": "quarnel", "plain": "plain build", "printf": "printf walk",
              "cat": "cat index"}
CASES = ("local cold", "local warm", "share cold", "share warm")


def drop_caches():
    os.sync()
    with open(DROP_CACHES, "w") as f:
        f.write("3\n")


def settle(seconds, touch_bytes):
    """After a drop, waits for the machine to hand the freed memory back to
    its host, then writes to fresh memory so that the host backs it again
    and frees it for the run. On a virtual machine that returns free pages
    to its host, a cold run otherwise pays for getting them back as far as
    the run before it freed them: the same program measured twice in a row
    came out 2.5x apart. Every settled run starts from the same state."""
    if seconds <= 0:
        return
    time.sleep(seconds)
    pages = bytearray(touch_bytes)
    pages[::4096] = b"\1" * len(range(0, touch_bytes, 4096))
    del pages


def check_cold_possible():
    """Cold figures are only cold if the cache really was dropped."""
    if os.geteuid() != 0:
        sys.exit("--cold drops the page cache before every timed run, which needs root; "
                 "no figures are printed as cold without it")
    try:
        drop_caches()
    except OSError as e:
        sys.exit(f"cannot drop the page cache ({DROP_CACHES}: {e}); "
                 "no figures are printed as cold without it")


def first_line_seconds(argv):
    """Time from start to the first newline the program writes to a
    terminal, where it writes line by line; the run is then ended."""
    master, slave = os.openpty()
    proc = None
    try:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=slave, stdin=subprocess.DEVNULL)
        running.add(proc)
        os.close(slave)
        slave = -1
        seen = b""
        while b"\n" not in seen:
            ready, _, _ = select.select([master], [], [], 60)
            if not ready:
                sys.exit(f"{' '.join(argv)} wrote no line in 60 s")
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal's other side closed
                chunk = b""
            if not chunk:
                sys.exit(f"{' '.join(argv)} ended without a line")
            seen += chunk
        return time.perf_counter() - start
    finally:
        if proc is not None:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            running.discard(proc)
        if slave >= 0:
            os.close(slave)
        os.close(master)


def report_digest(argv):
    h = hashlib.sha256()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    running.add(proc)
    while chunk := proc.stdout.read(MIB):
        h.update(chunk)
    proc.stdout.close()
    status = proc.wait()
    running.discard(proc)
    if status != 0:
        sys.exit(f"{' '.join(argv)} ended with status {status}")
    return h.hexdigest()


def mount_share(slowfs, source, mountpoint, delay_us):
    """Starts slowfs in the foreground, in a session of its own so that a
    Ctrl-C reaches only this script, which unmounts in order."""
    proc = subprocess.Popen([slowfs, source, mountpoint, "--delay-us", str(delay_us), "-f"],
                            stdin=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + 10
    while not is_mounted(mountpoint):
        if proc.poll() is not None:
            why = ("the mount was refused" if proc.returncode == 4
                   else f"status {proc.returncode}")
            sys.exit(f"slowfs could not mount {mountpoint} ({why}); "
                     "--no-share leaves the share out")
        if time.monotonic() > deadline:
            proc.kill()
            proc.wait()
            sys.exit(f"slowfs did not mount {mountpoint} within 10 s")
        time.sleep(0.01)
    return proc


def is_mounted(path):
    """From the mount table, which still lists a mount whose server died
    (where a stat of it fails)."""
    path = os.path.realpath(path)
    with open("/proc/self/mounts") as f:
        for line in f:
            where = line.split()[1]
            for code in ("\\040", "\\011", "\\012", "\\134"):
                where = where.replace(code, chr(int(code[1:], 8)))
            if where == path:
                return True
    return False


def unmount_share(proc, mountpoint):
    """Returns whether the mount is gone."""
    for argv in (["fusermount3", "-u", mountpoint], ["umount", "-l", mountpoint]):
        if not is_mounted(mountpoint):
            break
        subprocess.run(argv, stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if proc.poll() is None:
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.terminate()
            proc.wait()
    return not is_mounted(mountpoint)


def warm(path, argv, tiny):
    """Fills the cache with the index, and with each program, which the
    last drop took out too: a run on a tiny index loads it."""
    timed(["cat", path])
    for command in argv.values():
        timed(command + [tiny])


def measure_layout(layout, tools, dirs, args):
    name = layout.replace(":", "-")
    local = os.path.join(dirs["local"], f"index-{name}.ntx")
    share_source = os.path.join(dirs["share source"], f"index-{name}.ntx")
    share = os.path.join(dirs["share"], f"index-{name}.ntx")
    paths = {"local cold": local, "local warm": local}
    keys = {"local": args.local_keys, "share": args.share_keys}
    made = [(local, args.local_keys)]
    if not args.no_share:
        paths.update({"share cold": share, "share warm": share})
        made.append((share_source, args.share_keys))
    for path, n in made:
        make_index(tools, [path, str(n), str(args.key_size), str(args.fill), layout])
    argv = {"quarnel": [tools["quarnel"]], "plain": [tools["quarnel_plain"]],
            "printf": [tools["printf_walk"]], "cat": ["cat"]}

    # Every tool prints quarnel's report, and the share passes the file
    # through unchanged: else the timings are of different work.
    checks = [(local, local)]
    if not args.no_share:
        checks.append((share_source, share))
    for source, path in checks:
        reference = report_digest(argv["quarnel"] + [source])
        for tool in ("quarnel", "plain", "printf"):
            if report_digest(argv[tool] + [path]) != reference:
                sys.exit(f"{TOOL_NAMES[tool]}'s report of {path} differs from quarnel's "
                         f"of {source}")

    cases = [c for c in CASES if c in paths]
    times = {(case, tool): [] for case in cases for tool in STORAGE_TOOLS}
    cpu = {(case, tool): [] for case in cases for tool in STORAGE_TOOLS}
    first = {(case, tool): [] for case in cases for tool in ("quarnel", "plain")}
    for r in range(args.rounds):
        # Every other round in reverse: on a shared virtual machine a cold
        # run's time depends on what ran just before it, and each program
        # is to meet that equally often.
        order = STORAGE_TOOLS if r % 2 == 0 else STORAGE_TOOLS[::-1]
        for case in cases:
            cold = case.endswith("cold")
            path = paths[case]
            if not cold:
                warm(path, argv, dirs["tiny"])
            for tool in order:
                if cold:
                    drop_caches()
                    settle(args.settle, max(2048 * MIB, 2 * os.path.getsize(path) + 256 * MIB))
                wall, used = timed(argv[tool] + [path])
                times[(case, tool)].append(wall)
                cpu[(case, tool)].append(used)
            for tool in [t for t in order if t in ("quarnel", "plain")]:
                if cold:
                    drop_caches()
                first[(case, tool)].append(first_line_seconds(argv[tool] + [path]))
    peaks = {}
    for case in cases:
        if case.endswith("cold"):
            drop_caches()
        else:
            warm(paths[case], argv, dirs["tiny"])
        peaks[case] = peak_rss_kib(argv["quarnel"] + [paths[case]], os.devnull, dirs["tmp"])
    result = {
        "layout": layout,
        "cases": cases,
        "keys": {case: keys[case.split()[0]] for case in cases},
        "bytes": {case: os.path.getsize(paths[case]) for case in cases},
        "median": {k: statistics.median(t) for k, t in times.items()},
        "ratios": storage_ratios(cases, times, cpu),
        "first_ms": {k: 1000 * max(t) for k, t in first.items()},
        "peak_kib": peaks,
    }
    for path, _ in made:
        os.remove(path)
    return result


def storage_ratios(cases, times, cpu):
    """Medians of the ratios within each round, per case."""
    def median_ratio(top, bottom):
        return statistics.median(t / b for t, b in zip(top, bottom))

    ratios = {}
    for case in cases:
        q, p, f, c = (times[(case, tool)] for tool in STORAGE_TOOLS)
        ratios[(case, "plain/quarnel")] = median_ratio(p, q)
        ratios[(case, "quarnel/plain")] = median_ratio(q, p)
        # Its spread over the rounds shows how far the 3% targets can be told.
        ratios[(case, "quarnel/plain range")] = (min(a / b for a, b in zip(q, p)),
                                                 max(a / b for a, b in zip(q, p)))
        ratios[(case, "printf/quarnel")] = median_ratio(f, q)
        ratios[(case, "printf/quarnel cpu")] = median_ratio(cpu[(case, "printf")],
                                                            cpu[(case, "quarnel")])
        where, state = case.split()
        if state == "cold" and f"{where} warm" in cases:
            # The floor: the index read cold, plus the walk done warm.
            warm_q = times[(f"{where} warm", "quarnel")]
            ratios[(case, "quarnel/floor")] = median_ratio(
                q, [a + b for a, b in zip(c, warm_q)])
    return ratios


def print_storage_table(results):
    print("| layout | case | keys | index MB | quarnel s | plain s | printf s | cat s "
          "| quarnel / (cat cold + quarnel warm) | plain / quarnel "
          "| quarnel / plain (rounds' range) "
          "| printf / quarnel | first line ms, worst: quarnel / plain | quarnel peak RSS |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in results:
        for case in r["cases"]:
            m = [r["median"][(case, tool)] for tool in STORAGE_TOOLS]
            floor = r["ratios"].get((case, "quarnel/floor"))
            low, high = r["ratios"][(case, "quarnel/plain range")]
            print(f"| {r['layout']} | {case} | {r['keys'][case]:,} | {r['bytes'][case] / MB:.1f} "
                  + "".join(f"| {t:.3f} " for t in m)
                  + f"| {'-' if floor is None else f'{floor:.2f}x'} "
                  f"| {r['ratios'][(case, 'plain/quarnel')]:.2f}x "
                  f"| {r['ratios'][(case, 'quarnel/plain')]:.3f}x ({low:.2f}-{high:.2f}) "
                  f"| {r['ratios'][(case, 'printf/quarnel')]:.2f}x "
                  f"| {r['first_ms'][(case, 'quarnel')]:.1f} / {r['first_ms'][(case, 'plain')]:.1f} "
                  f"| {r['peak_kib'][case] / 1024:.2f} MiB |")


def print_storage_targets(results):
    checks = []

    def check(name, value, ok, unit="x", digits=2):
        checks.append((name, f"{value:.{digits}f}{unit}", ok))

    for r in results:
        ratio = lambda case, what: r["ratios"].get((case, what))
        lay = r["layout"]
        for case, limit in (("local cold", 1.5), ("share cold", 2.0)):
            v = ratio(case, "quarnel/floor")
            if v is not None:
                check(f"{lay}, {case}: quarnel / (cat cold + quarnel warm) <= {limit}", v,
                      v <= limit)
        if lay == "scattered":
            for case, least in (("local cold", 3), ("share cold", 10)):
                v = ratio(case, "plain/quarnel")
                if v is not None:
                    check(f"{lay}, {case}: plain build / quarnel >= {least}", v, v >= least)
        for case in r["cases"]:
            if lay == "sorted" or case.endswith("warm"):
                v = ratio(case, "quarnel/plain")
                check(f"{lay}, {case}: quarnel / plain build <= 1.03", v, v <= 1.03, digits=3)
    worst = max(max(r["first_ms"][(c, "quarnel")] for c in r["cases"]) for r in results)
    check("quarnel's first output line, every run: within 50 ms", worst, worst <= 50, " ms")
    peak = max(max(r["peak_kib"].values()) for r in results)
    check("quarnel peak RSS, every case: <= 4 MiB", peak / 1024, peak <= 4 * 1024, " MiB")
    for r in results:
        v = r["ratios"][("local warm", "printf/quarnel cpu")]
        check(f"{r['layout']}, local warm, CPU time (stretch): printf walk / quarnel >= 5", v,
              v >= 5)
    print()
    print("Targets (medians of per-round ratios, wall-clock time unless said):")
    for name, value, ok in checks:
        print(f"- {name}: {value} {'met' if ok else 'MISSED'}")


def clean_up(server, share, tmp):
    """Ends what a storage run left running, unmounts the share and removes
    the run's files."""
    # No second signal cuts the clean-up short.
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_IGN)
    end_running()
    if server is not None and not unmount_share(server, share):
        print(f"{share} is still mounted; unmount it with fusermount3 -u, then "
              f"remove {tmp}", file=sys.stderr)
    else:
        shutil.rmtree(tmp, ignore_errors=True)


def storage_main(args, tools):
    check_cold_possible()
    layouts = args.layouts.split(",")
    if not args.no_share and not os.access(tools["slowfs"], os.X_OK):
        sys.exit(f"{tools['slowfs']} not found: it is built where libfuse3 is "
                 "(apt-get install -y fuse3 libfuse3-dev pkg-config), or use --no-share")
    tmp = tempfile.mkdtemp(prefix="quarnel-bench-", dir=args.tmp)
    dirs = {"tmp": tmp, "local": os.path.join(tmp, "local"),
            "share source": os.path.join(tmp, "share-source"), "share": os.path.join(tmp, "share")}
    for d in dirs.values():
        os.makedirs(d, exist_ok=True)
    dirs["tiny"] = os.path.join(tmp, "tiny.ntx")
    server = None
    try:
        need = (args.local_keys + args.share_keys) * (args.key_size + 8) / 0.5
        free = shutil.disk_usage(tmp).free
        if free < need:
            sys.exit(f"{tmp}: {free / MB:.0f} MB free, about {need / MB:.0f} MB needed")
        # The warm-up index, made in every layout first, so that a wrong
        # layout stops the run before the long part.
        for layout in layouts:
            make_index(tools, [dirs["tiny"], "1000", "20", "0.8", layout])
        if not args.no_share:
            server = mount_share(tools["slowfs"], dirs["share source"], dirs["share"],
                                 args.share_delay_us)
        cpu_name = platform.processor() or platform.machine()
        share = ("no share" if args.no_share else
                 f"share: {args.share_keys:,} keys through slowfs, {args.share_delay_us} us "
                 "per read request")
        print(f"quarnel storage benchmark: {platform.system()} {platform.release()}, "
              f"{cpu_name}, {os.cpu_count()} CPUs; key size {args.key_size}, fill {args.fill}; "
              f"local: {args.local_keys:,} keys; {share}; {args.rounds} rounds; page cache "
              "dropped before every cold run; output to /dev/null; MB = 10^6 bytes")
        print()
        results = [measure_layout(layout, tools, dirs, args) for layout in layouts]
        print_storage_table(results)
        print_storage_targets(results)
    finally:
        clean_up(server, dirs["share"], tmp)


# ---------------------------------------------------------------------------
# The checker's benchmark (--check): quarnel-check on an index alone against
# quarnel's walk of it, and on the index with its table against that walk
# plus cat of the table; warm, and with --cold also cold and on the share.

# Commands of a round, each with the index (and table) of its case.
CHECK_COMMANDS = ("check", "quarnel", "check table", "cat table")
CHECK_NAMES = {"check": "quarnel-check INDEX", "quarnel": "quarnel INDEX",
               "check table": "quarnel-check INDEX TABLE", "cat table": "cat TABLE"}
CHECK_CASES = ("local warm", "local cold", "share cold")
# Above the target by no more than this, a cold or share ratio is within
# what the rounds' spread can tell apart from it.
CHECK_SLACK = 1.1


def check_argv(tools, command, files):
    index, table = files
    return {"check": [tools["quarnel_check"], index],
            "quarnel": [tools["quarnel"], index],
            "check table": [tools["quarnel_check"], index, table],
            "cat table": ["cat", table]}[command]


def check_ratios(times, commands):
    """Medians of the ratios within each round, and their range."""
    def per_round(top, bottom):
        return [t / b for t, b in zip(top, bottom)]

    out = {}
    alone = per_round(times["check"], times["quarnel"])
    out["alone"] = (statistics.median(alone), min(alone), max(alone))
    if "check table" in commands:
        floor = [q + c for q, c in zip(times["quarnel"], times["cat table"])]
        pair = per_round(times["check table"], floor)
        out["table"] = (statistics.median(pair), min(pair), max(pair))
    return out


def measure_check_case(case, files, tools, commands, rounds, args, settle_bytes):
    """Times every command once a round, in reverse order every other
    round; warm after one warm-up round, cold after a drop before each."""
    cold = case.endswith("cold")
    times = {c: [] for c in commands}
    cpu = {c: [] for c in commands}
    if not cold:
        for command in commands:
            timed(check_argv(tools, command, files))
    for r in range(rounds):
        order = commands if r % 2 == 0 else commands[::-1]
        for command in order:
            if cold:
                drop_caches()
                settle(args.settle, settle_bytes)
            wall, used = timed(check_argv(tools, command, files))
            times[command].append(wall)
            cpu[command].append(used)
    return times, cpu


def check_peaks(case, files, tools, commands, tmp):
    peaks = {}
    for command in ("check", "check table"):
        if command in commands:
            if case.endswith("cold"):
                drop_caches()
            peaks[command] = peak_rss_kib(check_argv(tools, command, files), os.devnull, tmp)
    return peaks


def print_check_table(results, commands):
    table = "check table" in commands
    head = ["case", "keys", "rounds", "index MB"] + (["table MB"] if table else []) + [
        "quarnel s", "check s", "check / quarnel (rounds' range)", "CPU: check / quarnel"]
    if table:
        head += ["cat table s", "check with table s",
                 "check with table / (quarnel + cat table) (rounds' range)",
                 "CPU: check with table / (quarnel + cat table)"]
    head += ["check peak RSS"] + (["check with table peak RSS"] if table else [])
    print("| " + " | ".join(head) + " |")
    print("|" + "|".join("---" if h == "case" else "---:" for h in head) + "|")
    for r in results:
        m = {c: statistics.median(t) for c, t in r["times"].items()}
        warm = r["case"].endswith("warm")

        def ratio(what, cpu=False):
            if cpu:
                if not warm:
                    return "-"
                return f"{r['cpu ratios'][what][0]:.2f}x"
            mid, low, high = r["ratios"][what]
            return f"{mid:.2f}x ({low:.2f}-{high:.2f})"

        row = [r["case"], f"{r['keys']:,}", str(r["rounds"]), f"{r['index bytes'] / MB:.1f}"]
        if table:
            row.append(f"{r['table bytes'] / MB:.1f}")
        row += [f"{m['quarnel']:.3f}", f"{m['check']:.3f}", ratio("alone"), ratio("alone", True)]
        if table:
            row += [f"{m['cat table']:.3f}", f"{m['check table']:.3f}", ratio("table"),
                    ratio("table", True)]
        row.append(f"{r['peaks']['check'] / 1024:.2f} MiB")
        if table:
            row.append(f"{r['peaks']['check table'] / 1024:.2f} MiB")
        print("| " + " | ".join(row) + " |")


def print_check_targets(results, commands):
    lines = []

    def check(name, value, limit, slack=None, unit="x"):
        if value <= limit:
            verdict = "met"
        elif slack is not None and value <= limit * slack:
            verdict = f"not met, but within {slack:.1f}x of it"
        else:
            verdict = "MISSED"
        lines.append(f"- {name}: {value:.2f}{unit} {verdict}")

    for r in results:
        case = r["case"]
        # Warm, the machine's noise is all that moves the ratio; cold and
        # on the share, the storage moves it too, so only a clear excess
        # is flagged.
        slack = None if case.endswith("warm") else CHECK_SLACK
        flag = "" if slack is None else f", flagged above {CHECK_SLACK:.1f}"
        check(f"{case}: quarnel-check INDEX / quarnel INDEX <= 1.0{flag}",
              r["ratios"]["alone"][0], 1.0, slack)
        if "table" in r["ratios"]:
            check(f"{case}: quarnel-check INDEX TABLE / (quarnel INDEX + cat TABLE) <= 2.0"
                  f"{'' if slack is None else f', flagged above {2.0 * CHECK_SLACK:.1f}'}",
                  r["ratios"]["table"][0], 2.0, slack)
    for r in results:
        if r["case"].endswith("warm"):
            check(f"{r['case']}, CPU time (cross-check): quarnel-check INDEX / quarnel INDEX "
                  "<= 1.0", r["cpu ratios"]["alone"][0], 1.0)
            if "table" in r["cpu ratios"]:
                check(f"{r['case']}, CPU time (cross-check): quarnel-check INDEX TABLE / "
                      "(quarnel INDEX + cat TABLE) <= 2.0", r["cpu ratios"]["table"][0], 2.0)
    for command, limit in (("check", 8), ("check table", 16)):
        if command in commands:
            peak = max(r["peaks"][command] for r in results)
            check(f"{CHECK_NAMES[command]} peak RSS, every case: <= {limit} MiB",
                  peak / 1024, limit, unit=" MiB")
    print()
    print("Targets (medians of per-round ratios, wall-clock time unless said):")
    for line in lines:
        print(line)


def check_main(args, tools, cold):
    commands = CHECK_COMMANDS[:2] if args.no_table else CHECK_COMMANDS
    share = cold and not args.no_share
    if cold:
        check_cold_possible()
    if share and not os.access(tools["slowfs"], os.X_OK):
        sys.exit(f"{tools['slowfs']} not found: it is built where libfuse3 is "
                 "(apt-get install -y fuse3 libfuse3-dev pkg-config), or use --no-share")
    tmp = tempfile.mkdtemp(prefix="quarnel-bench-", dir=args.tmp)
    dirs = {"local": os.path.join(tmp, "local"),
            "share source": os.path.join(tmp, "share-source"), "share": os.path.join(tmp, "share")}
    for d in dirs.values():
        os.makedirs(d, exist_ok=True)
    server = None
    try:
        # The index at fill 0.8 in slots of key size + 8, and the table's
        # records of key size + 22 bytes, with room.
        made = [(dirs["local"], args.local_keys)] + (
            [(dirs["share source"], args.share_keys)] if share else [])
        need = sum(n * ((args.key_size + 8) / 0.5 + 2 * (args.key_size + 22)) for _, n in made)
        free = shutil.disk_usage(tmp).free
        if free < need:
            sys.exit(f"{tmp}: {free / MB:.0f} MB free, about {need / MB:.0f} MB needed")
        files = {}
        start = time.perf_counter()
        for where, n in made:
            index, table = os.path.join(where, "index.ntx"), os.path.join(where, "table.dbf")
            # The index is the same with or without its table.
            make_index(tools, [index, str(n), str(args.key_size), str(args.fill), "sorted"]
                       + ([] if args.no_table else [table]))
            files[where] = (index, table)
        generated = time.perf_counter() - start
        if share:
            server = mount_share(tools["slowfs"], dirs["share source"], dirs["share"],
                                 args.share_delay_us)
            files[dirs["share"]] = tuple(os.path.join(dirs["share"], os.path.basename(p))
                                         for p in files[dirs["share source"]])
        where = {"local warm": dirs["local"], "local cold": dirs["local"],
                 "share cold": dirs["share"]}
        keys = {"local warm": args.local_keys, "local cold": args.local_keys,
                "share cold": args.share_keys}
        cases = [c for c in CHECK_CASES
                 if c == "local warm" or (cold and (c != "share cold" or share))]

        verdicts = []
        for case in cases:
            if case == "local cold":
                continue  # the same files as warm
            index, table = files[where[case]]
            on = case.split()[0]
            verdicts.append(f"{on}, index: "
                            + expect_sound([tools["quarnel_check"], index], keys[case]))
            if not args.no_table:
                verdicts.append(f"{on}, index and table: "
                                + expect_sound([tools["quarnel_check"], index, table],
                                               keys[case], keys[case]))
            if run([tools["quarnel"], index], os.devnull)[2] != 0:
                sys.exit(f"quarnel ended with a nonzero status on {index}")

        cpu_name = platform.processor() or platform.machine()
        place = (f"local: {args.local_keys:,} keys" +
                 (f", page cache warm ({args.runs} rounds after a warm-up round)") +
                 (f" and dropped before every timed run ({args.rounds} rounds)" if cold else "")
                 + (f"; share: {args.share_keys:,} keys through slowfs, "
                    f"{args.share_delay_us} us per read request, cold" if share else ""))
        print(f"quarnel-check benchmark: {platform.system()} {platform.release()}, "
              f"{cpu_name}, {os.cpu_count()} CPUs; key size {args.key_size}, fill {args.fill}, "
              f"layout sorted; {place}; output to /dev/null; MB = 10^6 bytes")
        print(f"Generated by make_index in {generated:.2f} s; quarnel-check's verdicts:")
        for v in verdicts:
            print(f"  {v}")
        print()

        results = []
        for case in cases:
            case_files = files[where[case]]
            rounds = args.rounds if case.endswith("cold") else args.runs
            settle_bytes = max(2048 * MIB, 2 * sum(os.path.getsize(p) for p in case_files
                                                   if os.path.exists(p)) + 256 * MIB)
            times, cpu = measure_check_case(case, case_files, tools, commands, rounds, args,
                                            settle_bytes)
            results.append({
                "case": case, "keys": keys[case], "rounds": rounds,
                "index bytes": os.path.getsize(case_files[0]),
                "table bytes": 0 if args.no_table else os.path.getsize(case_files[1]),
                "times": times, "ratios": check_ratios(times, commands),
                "cpu ratios": check_ratios(cpu, commands),
                "peaks": check_peaks(case, case_files, tools, commands, tmp),
            })
        print_check_table(results, commands)
        print_check_targets(results, commands)
    finally:
        clean_up(server, dirs["share"], tmp)


def check_entry(args, cold):
    tools = {
        "quarnel": os.path.join(args.build, "quarnel"),
        "quarnel_check": os.path.join(args.build, "quarnel-check"),
        "make_index": os.path.join(args.build, "bench", "make_index"),
    }
    for path in list(tools.values()) + [GNU_TIME]:
        if not os.access(path, os.X_OK):
            sys.exit(f"{path} not found: build first, and install GNU time (see the top)")
    tools["slowfs"] = os.path.join(args.build, "bench", "slowfs")
    # A SIGTERM or SIGHUP ends the run as a Ctrl-C does, through the
    # clean-up that unmounts the share.
    signal.signal(signal.SIGTERM, raise_interrupt)
    signal.signal(signal.SIGHUP, raise_interrupt)
    try:
        check_main(args, tools, cold)
    except KeyboardInterrupt:
        sys.exit("interrupted; the share is unmounted and the generated files removed")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build"),
                        help="build directory (default: build/ beside bench/)")
    parser.add_argument("--sizes", default="100000,1000000,10000000",
                        help="comma-separated key counts (default: %(default)s)")
    parser.add_argument("--runs", type=int, default=None,
                        help="least timed runs of each command, after one warm-up (default: 7; "
                             "5 with --reindex)")
    parser.add_argument("--seconds", type=float, default=10,
                        help="small sizes get more runs, up to 50, to fill about this "
                             "long (default: 10)")
    parser.add_argument("--key-size", type=int, default=20, help="key size (default: 20)")
    parser.add_argument("--fill", type=float, default=0.8,
                        help="fraction of each page's slots filled (default: 0.8, near "
                             "what real indexes hold)")
    parser.add_argument("--tmp", default=None,
                        help="directory for the generated files (default: system temp)")
    storage = parser.add_argument_group(
        "storage matrix", "each layout read with the page cache dropped, locally and through "
        "slowfs, and warm; quarnel beside its build without read-ahead, the printf walk and "
        "cat; needs root")
    storage.add_argument("--cold", action="store_true",
                         help="run the storage matrix instead of the warm benchmark")
    storage.add_argument("--share-delay-us", type=int, default=None, metavar="N",
                         help="slowfs's delay per read request, in microseconds (default: "
                              "1000); implies --cold")
    storage.add_argument("--no-share", action="store_true",
                         help="leave the share out, as where FUSE cannot be used")
    storage.add_argument("--local-keys", type=int, default=10_000_000,
                         help="keys of the local index (default: %(default)s)")
    storage.add_argument("--share-keys", type=int, default=1_000_000,
                         help="keys of the index on the share (default: %(default)s)")
    storage.add_argument("--layouts", default=LAYOUTS,
                         help="comma-separated make_index layouts (default: %(default)s)")
    storage.add_argument("--settle", type=float, default=3, metavar="SECONDS",
                         help="after each drop before a timed cold run, wait this long "
                              "for a virtual machine to return freed memory to its host, "
                              "then have it backed again (default: 3; 0 leaves it out)")
    storage.add_argument("--rounds", type=int, default=4,
                         help="rounds of timed runs, every command once a round, in "
                              "reverse order every other round; best even (default: "
                              "%(default)s)")
    checker = parser.add_argument_group(
        "checker", "quarnel-check INDEX against quarnel INDEX, and quarnel-check INDEX TABLE "
        "against quarnel INDEX plus cat TABLE, on --local-keys keys warm (--runs rounds after "
        "a warm-up round); with --cold also cold (--rounds rounds, --settle) and on the share "
        "(--share-keys, --share-delay-us, --no-share)")
    checker.add_argument("--check", action="store_true",
                         help="run the checker's benchmark instead of the others")
    checker.add_argument("--no-table", action="store_true",
                         help="leave out the index's table: time the tree check alone")
    rebuild = parser.add_argument_group(
        "rebuild", "quarnel-reindex -o NEW INDEX TABLE, and with --memory 16, against LC_ALL=C "
        "sort -S 64M of the same keys as lines plus sync of its output, on --sizes records of "
        "make_index's table, warm (--runs rounds after a warm-up round; short sizes get more "
        "to fill --seconds, 10^7 fewer if its rounds would take over six minutes); with "
        "QUARNEL_REINDEX_TIMES=1 for each part's share of the rebuild's time")
    rebuild.add_argument("--reindex", action="store_true",
                         help="run the rebuild's benchmark instead of the others")
    args = parser.parse_args()
    if args.runs is None:
        args.runs = 5 if args.reindex else 7
    if args.reindex:
        if args.runs < 1:
            parser.error("--runs must be at least 1")
        return reindex_bench.reindex_entry(args)
    cold = args.cold or args.share_delay_us is not None
    if args.share_delay_us is None:
        args.share_delay_us = 1000
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    if args.check and args.runs < 1:
        parser.error("--runs must be at least 1")
    if args.check:
        return check_entry(args, cold)

    bench = os.path.join(args.build, "bench")
    tools = {
        "quarnel": os.path.join(args.build, "quarnel"),
        "make_index": os.path.join(bench, "make_index"),
        "printf_walk": os.path.join(bench, "printf_walk"),
    }
    if cold:
        tools["quarnel_plain"] = os.path.join(bench, "quarnel_plain")
    for path in list(tools.values()) + [GNU_TIME]:
        if not os.access(path, os.X_OK):
            sys.exit(f"{path} not found: build first, and install GNU time (see the top)")
    if cold:
        tools["slowfs"] = os.path.join(bench, "slowfs")
        # A SIGTERM or SIGHUP ends the run as a Ctrl-C does, through the
        # clean-up that unmounts the share.
        signal.signal(signal.SIGTERM, raise_interrupt)
        signal.signal(signal.SIGHUP, raise_interrupt)
        try:
            storage_main(args, tools)
        except KeyboardInterrupt:
            sys.exit("interrupted; the share is unmounted and the generated files removed")
        return
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
