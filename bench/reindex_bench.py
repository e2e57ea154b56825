"""The rebuild's benchmark, run by run_bench.py --reindex: quarnel-reindex
rebuilding make_index's index from its table, against a line sort of the
same keys measured in the same run:

  reindex     quarnel-reindex -o NEW INDEX TABLE   (its proof included)
  reindex 16  the same with --memory 16
  line sort   LC_ALL=C sort -S 64M -o SORTED KEYS && sync SORTED

KEYS holds each record's key (the CODE and NAME fields of the table, as the
index's key expression CODE+NAME joins them) followed by its record number
in ten digits, one fixed-width line a record; it is written once a size,
outside the timing. Every command runs once a round after a warm-up round,
in reverse order every other round, NEW and SORTED removed before each run,
scratch files of both in the temporary directory. One more command a round
runs the rebuild with QUARNEL_REINDEX_TIMES=1, for each part's share of its
time. The table shows median times, the medians of the per-round ratios
(and their range) and the peak memory of one further run under GNU time;
then the targets on the largest size, met or MISSED.
"""

import math
import os
import platform
import re
import shutil
import signal
import statistics
import struct
import sys
import tempfile
import time

from bench_common import (GNU_TIME, MB, end_running, expect_sound, make_index,
                          peak_rss_kib, raise_interrupt, run, run_all)

COMMANDS = ("reindex", "line sort", "reindex 16", "reindex times")
NAMES = {"reindex": "quarnel-reindex", "reindex 16": "quarnel-reindex --memory 16",
         "line sort": "sort + sync", "reindex times": "quarnel-reindex, times"}
# The parts of the rebuild, in the order its times line gives them.
PARTS = ("read", "keys", "sort", "write", "flush", "proof")
# Digits of the record number after each key: enough for 2^32 records.
RECNO_DIGITS = 10
# A size whose --runs rounds would take longer gets fewer, down to three,
# so that a run at 10^7 stays within minutes on a loaded machine.
SIZE_SECONDS = 360
TARGET_RATIO = 0.5
TARGET_MIB = {"reindex": 96, "reindex 16": 40}


def table_key_fields(path):
    """Record count, header length, record length and the (offset, length)
    of the CODE and NAME fields in each record, from the table's header."""
    with open(path, "rb") as f:
        head = f.read(32)
        count, header_length, record_length = struct.unpack_from("<IHH", head, 4)
        descriptors = f.read(header_length - 32)
    fields = {}
    at = 1  # past the deletion flag
    for d in range(0, len(descriptors) - 31, 32):
        if descriptors[d] == 0x0D:
            break
        name = descriptors[d:d + 11].split(b"\0")[0].decode("ascii")
        length = descriptors[d + 16]
        fields[name] = (at, length)
        at += length
    if "CODE" not in fields or "NAME" not in fields:
        sys.exit(f"{path}: no CODE and NAME fields; make_index's table has both")
    return count, header_length, record_length, [fields["CODE"], fields["NAME"]]


def write_keys(table, path, key_size):
    """Writes KEYS from the table: each record's key, CODE+NAME, then its
    record number, one fixed-width line a record. Returns the records."""
    count, header_length, record_length, fields = table_key_fields(table)
    if sum(length for _, length in fields) != key_size:
        sys.exit(f"{table}: CODE+NAME is not {key_size} bytes")
    # Fields next to each other in the record are read as one.
    spans = [fields[0]]
    for o, length in fields[1:]:
        if spans[-1][0] + spans[-1][1] == o:
            spans[-1] = (spans[-1][0], spans[-1][1] + length)
        else:
            spans.append((o, length))
    batch = 65536
    with open(table, "rb") as f, open(path, "wb") as out:
        f.seek(header_length)
        done = 0
        while done < count:
            n = min(batch, count - done)
            data = f.read(n * record_length)
            if len(data) != n * record_length:
                sys.exit(f"{table}: fewer records than its header counts")
            if len(spans) == 1:
                o, length = spans[0]
                keys = [data[at + o:at + o + length]
                        for at in range(0, n * record_length, record_length)]
            else:
                keys = [b"".join(data[at + o:at + o + length] for o, length in spans)
                        for at in range(0, n * record_length, record_length)]
            out.write(b"".join(b"%s%0*d\n" % (key, RECNO_DIGITS, done + i + 1)
                               for i, key in enumerate(keys)))
            done += n
    return count


def parse_times(path):
    """The parts' seconds and the total from the rebuild's times line."""
    with open(path, "rb") as f:
        text = f.read().decode("latin-1")
    lines = [line for line in text.splitlines() if line.startswith("times: ")]
    if not lines:
        sys.exit(f"quarnel-reindex printed no times line with QUARNEL_REINDEX_TIMES=1:\n{text}")
    parts = {name: float(value) for name, value in re.findall(r"(\w+) ([0-9.]+) s", lines[-1])}
    missing = [p for p in PARTS + ("total",) if p not in parts]
    if missing:
        sys.exit(f"the times line {lines[-1]!r} lacks {', '.join(missing)}")
    return parts


def remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


class Size:
    """The files and commands of one size."""

    def __init__(self, keys, key_size, tools, tmp):
        self.keys = keys
        self.key_size = key_size
        self.tmp = tmp
        self.index = os.path.join(tmp, f"index-{keys}.ntx")
        self.table = os.path.join(tmp, f"table-{keys}.dbf")
        self.key_lines = os.path.join(tmp, f"keys-{keys}.txt")
        self.new = os.path.join(tmp, "new.ntx")
        self.sorted = os.path.join(tmp, "sorted.txt")
        self.out = os.path.join(tmp, "out.txt")
        self.err = os.path.join(tmp, "times.txt")
        self.tools = tools
        base = dict(os.environ, TMPDIR=tmp)
        self.env = {"reindex": base, "reindex 16": base,
                    "reindex times": dict(base, QUARNEL_REINDEX_TIMES="1"),
                    "line sort": dict(base, LC_ALL="C")}
        rebuild = [tools["quarnel_reindex"], "-o", self.new, self.index, self.table]
        self.argv = {"reindex": rebuild, "reindex times": rebuild,
                     "reindex 16": rebuild[:1] + ["--memory", "16"] + rebuild[1:],
                     "line sort": ["sort", "-S", "64M", "-o", self.sorted, self.key_lines]}

    def output(self, command):
        return self.sorted if command == "line sort" else self.new

    def time(self, command):
        """One timed run, its output removed before (the rebuild writes a
        new file only); returns (wall, CPU) seconds, and the parts of the
        rebuild for the times command."""
        remove(self.output(command))
        env = self.env[command]
        if command == "line sort":
            return run_all([(self.argv[command], os.devnull),
                            (["sync", self.sorted], os.devnull)], env), None
        err = self.err if command == "reindex times" else None
        wall, cpu, status = run(self.argv[command], self.out, env, err)
        if status != 0:
            sys.exit(f"{' '.join(self.argv[command])} ended with status {status}")
        return (wall, cpu), parse_times(self.err) if err else None

    def peak_kib(self, command):
        remove(self.output(command))
        peak = peak_rss_kib(self.argv[command], os.devnull, self.tmp, self.env[command])
        remove(self.output(command))
        return peak


def check_warm_up(size, command, records):
    """After the warm-up run of each command: the outputs are of the same
    work, every record's key, else the timings are of other work."""
    if command == "line sort":
        line = size.key_size + RECNO_DIGITS + 1
        if not (os.path.getsize(size.key_lines) == os.path.getsize(size.sorted)
                == records * line):
            sys.exit(f"{size.sorted} does not hold the {records:,} lines of {size.key_lines}")
        return None
    with open(size.out, "rb") as f:
        said = f.read().decode("latin-1").strip()
    if not said.startswith(f"written: {records} keys"):
        sys.exit(f"quarnel-reindex said {said!r}, not that it wrote the {records:,} keys")
    if command == "reindex times":
        return None
    return expect_sound([size.tools["quarnel_check"], size.new, size.table], records, records)


def measure_size(keys, tools, tmp, args):
    size = Size(keys, args.key_size, tools, tmp)
    start = time.perf_counter()
    make_index(tools, [size.index, str(keys), str(args.key_size), str(args.fill), "sorted",
                       size.table])
    generated = time.perf_counter() - start
    start = time.perf_counter()
    records = write_keys(size.table, size.key_lines, args.key_size)
    keys_written = time.perf_counter() - start
    if records != keys:
        sys.exit(f"{size.table} holds {records:,} records, not {keys:,}")

    # The warm-up round fills the page cache and checks every output.
    warm_up = 0.0
    verdicts = {}
    for command in COMMANDS:
        (wall, _), _ = size.time(command)
        warm_up += wall
        verdict = check_warm_up(size, command, records)
        if verdict:
            verdicts[command] = verdict
        remove(size.output(command))
    # Short sizes get more rounds, to fill --seconds; long ones fewer, to
    # stay within SIZE_SECONDS.
    rounds = max(args.runs, min(50, math.ceil(args.seconds / warm_up)))
    if rounds * warm_up > SIZE_SECONDS:
        rounds = max(min(args.runs, 3), int(SIZE_SECONDS / warm_up))
    times = {c: [] for c in COMMANDS}
    parts = []
    for r in range(rounds):
        for command in COMMANDS if r % 2 == 0 else COMMANDS[::-1]:
            measured, got = size.time(command)
            # Out of the way before the next run, which wants the room.
            remove(size.output(command))
            times[command].append(measured)
            if got:
                parts.append(got)
    peaks = {c: size.peak_kib(c) for c in ("reindex", "reindex 16", "line sort")}
    result = {
        "keys": keys, "rounds": rounds, "generated": generated, "keys written": keys_written,
        "table bytes": os.path.getsize(size.table), "index bytes": os.path.getsize(size.index),
        "median": {c: statistics.median(t[0] for t in runs) for c, runs in times.items()},
        "median cpu": {c: statistics.median(t[1] for t in runs) for c, runs in times.items()},
        "ratios": {c: round_ratios(times[c], times["line sort"]) for c in ("reindex",
                                                                            "reindex 16")},
        "shares": shares(parts),
        "peaks": peaks, "verdicts": verdicts,
    }
    for path in (size.index, size.table, size.key_lines, size.new, size.sorted, size.out,
                 size.err):
        remove(path)
    return result


def round_ratios(top, bottom):
    """Medians of the ratios within each round, where the commands ran
    seconds apart, with their range; on wall-clock and on CPU time."""
    out = {}
    for which, name in ((0, "wall"), (1, "cpu")):
        per_round = [t[which] / b[which] for t, b in zip(top, bottom)]
        out[name] = (statistics.median(per_round), min(per_round), max(per_round))
    return out


def shares(parts):
    """Each part's share of the rebuild's total, the median over the runs;
    what the parts leave of the total (opening the files, putting the new
    one in place) is the rest."""
    out = {p: statistics.median(run[p] / run["total"] for run in parts) for p in PARTS}
    out["rest"] = statistics.median(
        (run["total"] - sum(run[p] for p in PARTS)) / run["total"] for run in parts)
    out["total"] = statistics.median(run["total"] for run in parts)
    out["seconds"] = {p: statistics.median(run[p] for run in parts) for p in PARTS}
    return out


def print_tables(results):
    print("| keys | rounds | table MB | reindex s | reindex --memory 16 s | sort + sync s "
          "| reindex / sort (rounds' range) | CPU: reindex / sort "
          "| reindex 16 / sort (rounds' range) | CPU: reindex 16 / sort "
          "| peak RSS: reindex / reindex 16 / sort |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in results:
        m = r["median"]

        def ratio(command):
            mid, low, high = r["ratios"][command]["wall"]
            return f"{mid:.2f}x ({low:.2f}-{high:.2f}) | {r['ratios'][command]['cpu'][0]:.2f}x"

        peaks = " / ".join(f"{r['peaks'][c] / 1024:.1f}" for c in ("reindex", "reindex 16",
                                                                   "line sort"))
        print(f"| {r['keys']:,} | {r['rounds']} | {r['table bytes'] / MB:.1f} "
              f"| {m['reindex']:.3f} | {m['reindex 16']:.3f} | {m['line sort']:.3f} "
              f"| {ratio('reindex')} | {ratio('reindex 16')} | {peaks} MiB |")
    print()
    print("Where the rebuild's time goes (QUARNEL_REINDEX_TIMES=1, one run a round; each part's "
          "share of the total, medians over the rounds):")
    print()
    print("| keys | total s | " + " | ".join(PARTS) + " | rest |")
    print("|---:|---:|" + "---:|" * (len(PARTS) + 1))
    for r in results:
        s = r["shares"]
        print(f"| {r['keys']:,} | {s['total']:.3f} | "
              + " | ".join(f"{100 * s[p]:.0f}% ({s['seconds'][p]:.3f} s)" for p in PARTS)
              + f" | {100 * s['rest']:.0f}% |")


def print_targets(results):
    last = results[-1]
    lines = []

    def check(name, value, ok, unit="x"):
        lines.append(f"- {name}: {value:.2f}{unit} {'met' if ok else 'MISSED'}")

    at = f"at {last['keys']:,} keys"
    mid = last["ratios"]["reindex"]["wall"][0]
    check(f"quarnel-reindex / (sort + sync) {at} <= {TARGET_RATIO}", mid, mid <= TARGET_RATIO)
    cpu = last["ratios"]["reindex"]["cpu"][0]
    check(f"CPU time (cross-check): quarnel-reindex / (sort + sync) {at} <= {TARGET_RATIO}",
          cpu, cpu <= TARGET_RATIO)
    for command, limit in TARGET_MIB.items():
        peak = max(r["peaks"][command] for r in results) / 1024
        check(f"{NAMES[command]} peak RSS, every size: <= {limit} MiB", peak, peak <= limit,
              " MiB")
    print()
    print("Targets (medians of per-round ratios, wall-clock time unless said):")
    for line in lines:
        print(line)
    s = last["shares"]
    largest = max(PARTS, key=lambda p: s[p])
    print(f"The largest part of the rebuild {at}: {largest}, {100 * s[largest]:.0f}% "
          f"of its time.")


def reindex_main(args, tools):
    sizes = [int(s) for s in args.sizes.split(",")]
    tmp = tempfile.mkdtemp(prefix="quarnel-reindex-bench-", dir=args.tmp)
    try:
        # At the largest size, at once: the index (pages at the fill, with
        # room), the table, KEYS, and either the new index and the
        # rebuild's scratch or the sort's scratch and its output.
        k = args.key_size
        n = max(sizes)
        index = (k + 8) / args.fill * 1.2
        need = n * (index + (k + 22) + (k + RECNO_DIGITS + 1)
                    + max(index + k + 8, 2 * (k + RECNO_DIGITS + 1)))
        free = shutil.disk_usage(tmp).free
        if free < need:
            sys.exit(f"{tmp}: {free / MB:.0f} MB free, about {need / MB:.0f} MB needed")
        cpu_name = platform.processor() or platform.machine()
        print(f"quarnel-reindex benchmark: {platform.system()} {platform.release()}, "
              f"{cpu_name}, {os.cpu_count()} CPUs; make_index's index and table, key size {k}, "
              f"fill {args.fill}, layout sorted, key CODE+NAME; at least {args.runs} rounds "
              f"after a warm-up round, page cache warm; MB = 10^6 bytes")
        results = []
        for keys in sizes:
            results.append(measure_size(keys, tools, tmp, args))
        print()
        for r in results:
            print(f"{r['keys']:,} keys: generated by make_index in {r['generated']:.1f} s, "
                  f"KEYS written in {r['keys written']:.1f} s; quarnel-check NEW TABLE after "
                  "the warm-up round:")
            for command, verdict in r["verdicts"].items():
                print(f"  {NAMES[command]}: {verdict}")
        print()
        print_tables(results)
        print_targets(results)
    finally:
        # No second signal cuts the clean-up short.
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        end_running()
        shutil.rmtree(tmp, ignore_errors=True)


def reindex_entry(args):
    tools = {
        "quarnel_reindex": os.path.join(args.build, "quarnel-reindex"),
        "quarnel_check": os.path.join(args.build, "quarnel-check"),
        "make_index": os.path.join(args.build, "bench", "make_index"),
    }
    for path in list(tools.values()) + [GNU_TIME]:
        if not os.access(path, os.X_OK):
            sys.exit(f"{path} not found: build first, and install GNU time")
    for program in ("sort", "sync"):
        if shutil.which(program) is None:
            sys.exit(f"{program} not found")
    signal.signal(signal.SIGTERM, raise_interrupt)
    signal.signal(signal.SIGHUP, raise_interrupt)
    try:
        reindex_main(args, tools)
    except KeyboardInterrupt:
        sys.exit("interrupted; the generated files are removed")
