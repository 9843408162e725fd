#!/usr/bin/env python3
"""Runs the side-by-side benchmarks and prints one table: operation, input, ours, peer, ours/peer.

Each benchmark binary runs pinned to one CPU (both libraries on one core, OpenMP limited to one thread),
with repetitions; the table quotes the median of the process CPU time of each row and the ratio of the
medians. Rows are named "<operation>/<input>/<side>" by the binaries (benchmarks/peer/rows.hpp).

Usage:
  benchmarks/peer_table.py [--build build-bench] [--reps 5] [--min-time 0.5] [--filter REGEX]
  benchmarks/peer_table.py --json a.json b.json     # tabulate earlier runs without running anything
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile

BINARIES = ["peer_bench", "peer_mesh_removal_bench"]
FRAME_BUDGET_MS = 1000.0 / 30.0  # the camera delivers 30 frames a second
FRAME_STEPS = ["depth_ms", "clean_ms", "transform_ms", "boxes_ms", "mesh_ms"]


def machine_line(context):
    model = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = " ".join(f"{x:.2f}" for x in context.get("load_avg", os.getloadavg()))
    return f"{model}, {os.cpu_count()} CPUs, Linux {platform.release()}, load average {load}"


def pinned_cpu():
    cpus = sorted(os.sched_getaffinity(0))
    return cpus[-1]


def run_binaries(build, reps, min_time, pattern, out_dir):
    outputs = []
    found = False
    for name in BINARIES:
        binary = os.path.join(build, "benchmarks", "peer", name)
        if not os.path.exists(binary):
            print(f"peer_table: {binary} not built, its rows are left out", file=sys.stderr)
            continue
        found = True
        out = os.path.join(out_dir, name + ".json")
        command = [
            binary,
            f"--benchmark_repetitions={reps}",
            "--benchmark_report_aggregates_only=true",
            f"--benchmark_min_time={min_time}",
            f"--benchmark_out={out}",
            "--benchmark_out_format=json",
        ]
        if pattern:
            command.append(f"--benchmark_filter={pattern}")
        if shutil.which("taskset"):
            command = ["taskset", "-c", str(pinned_cpu())] + command
        env = dict(os.environ, OMP_NUM_THREADS="1")
        print(f"peer_table: running {' '.join(command)}", file=sys.stderr)
        log = os.path.join(out_dir, name + ".log")
        with open(log, "w") as sink:
            result = subprocess.run(command, stdout=sink, stderr=subprocess.STDOUT, env=env)
        if result.returncode != 0:
            sys.exit(f"peer_table: {name} failed with {result.returncode}, see {log}")
        with open(log) as sink:
            for line in sink:
                if line.startswith("inside queries"):
                    print("peer_table: " + line.strip(), file=sys.stderr)
        outputs.append(out)
    if not found:
        sys.exit(f"peer_table: no side-by-side benchmark under {build}/benchmarks/peer (make bench builds them)")
    return outputs


def medians(paths):
    """{(operation, input): {side: (median ms, counters)}} in the order the rows appear.

    A later report replaces the rows it repeats; its new rows go after the last row it showed before them."""
    rows = {}
    order = []
    context = {}
    for path in paths:
        with open(path) as handle:
            report = json.load(handle)
        context = context or report.get("context", {})
        seen = []
        for entry in report["benchmarks"]:
            # With one repetition there are no aggregates: that run is its own median.
            single = entry.get("run_type") == "iteration" and entry.get("repetitions", 1) <= 1
            if not single and (entry.get("run_type") != "aggregate" or entry.get("aggregate_name") != "median"):
                continue
            name = re.sub(r"/(process_time|real_time)$", "", entry["run_name"])
            parts = name.split("/")
            if len(parts) != 3:
                continue
            operation, size, side = parts
            scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[entry.get("time_unit", "ns")]
            counters = {k: v for k, v in entry.items() if k in FRAME_STEPS or k in ("points_out", "faces_out")}
            key = (operation, size)
            if key not in rows:
                anchor = max((order.index(k) for k in seen), default=len(order) - 1)
                order.insert(anchor + 1, key)
            rows.setdefault(key, {})[side] = (entry["cpu_time"] * scale, counters)
            seen.append(key)
    return {key: rows[key] for key in order}, context


def fmt_ms(value):
    if value is None:
        return "—"
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    if value >= 1:
        return f"{value:.2f}"
    return f"{value:.3f}"


def print_table(rows):
    header = ["operation", "input", "ours (ms)", "peer (ms)", "ours/peer"]
    lines = []
    for (operation, size), sides in rows.items():
        ours = sides.get("ours", (None, {}))[0]
        peer = sides.get("peer", (None, {}))[0]
        ratio = f"{ours / peer:.2f}" if ours is not None and peer else "—"
        lines.append([operation, size, fmt_ms(ours), fmt_ms(peer), ratio])
    if not lines:
        print("(no rows)")
        return
    widths = [max([len(h)] + [len(line[i]) for line in lines]) for i, h in enumerate(header)]
    print("| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for line in lines:
        cells = [line[0].ljust(widths[0]), line[1].ljust(widths[1])]
        cells += [cell.rjust(width) for cell, width in zip(line[2:], widths[2:])]
        print("| " + " | ".join(cells) + " |")

    frames = [(key, sides) for key, sides in rows.items() if key[0].startswith("frame")]
    if frames:
        print()
        print(f"Whole 640x480 frame against the camera's {FRAME_BUDGET_MS:.1f} ms per frame "
              "(steps: CPU ms, median run):")
        for (operation, size), sides in frames:
            for side in ("ours", "peer"):
                if side not in sides:
                    continue
                total, counters = sides[side]
                steps = ", ".join(f"{k[:-3]} {fmt_ms(counters[k])}" for k in FRAME_STEPS if k in counters)
                print(f"- {operation} {side}: {fmt_ms(total)} ms = {total / FRAME_BUDGET_MS:.2f} frames"
                      f" ({steps})")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build-bench", help="build directory of `make bench`")
    parser.add_argument("--reps", type=int, default=5, help="repetitions of every row (median is quoted)")
    parser.add_argument("--min-time", default="0.5", help="minimum seconds per repetition")
    parser.add_argument("--filter", default="", help="only rows whose name matches this regex")
    parser.add_argument("--keep", help="directory to keep the JSON reports and logs in")
    parser.add_argument("--json", nargs="+", help="tabulate these JSON reports instead of running")
    args = parser.parse_args()

    if args.json:
        paths = args.json
    else:
        out_dir = args.keep or tempfile.mkdtemp(prefix="peer_table_")
        os.makedirs(out_dir, exist_ok=True)
        paths = run_binaries(args.build, args.reps, args.min_time, args.filter, out_dir)
        print(f"peer_table: JSON reports in {out_dir}", file=sys.stderr)
    rows, context = medians(paths)
    date = context.get("date") or datetime.datetime.now().astimezone().isoformat(timespec="minutes")
    print(f"Date: {date}")
    print(f"Machine: {machine_line(context)}")
    print("Times: median of the process CPU time over the repetitions, each binary pinned to one CPU.")
    print()
    print_table(rows)


if __name__ == "__main__":
    main()
