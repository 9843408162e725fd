"""Prints the speed targets of the cleaning steps from the JSON reports one `make bench` run leaves.

Reads, in the directory given (make bench writes build-bench/reports):
  outlier_bench.json               outlier removal, library filter and ours, one thread (wall time)
  outlier_bench_2threads.json      the frame rows of the same benchmark in the OpenMP build, two threads
  peer/peer_mesh_removal_bench.json  the whole frame on one core (process CPU time, pinned)
  frame_2threads.json              the whole frame in the OpenMP build, two threads (wall time)
A report that is missing leaves its lines out.

Usage: benchmarks/targets.py build-bench/reports
"""

import json
import os
import re
import sys

FRAME_BUDGET_MS = 1000.0 / 30.0
WORST_CASES = [
    "plane_300k_strays_0.5m",
    "plane_300k_strays_20m",
    "plane_300k_strays_60m",
    "cube_1e-16_20k",
    "cube_1e-16_40k",
    "frame_5mm_offset_1e6",
    "frame_5mm_duplicate_cluster",
]
FRAME_STEPS = ["depth", "clean", "transform", "boxes", "mesh"]


def medians(path):
    """{row name: (wall ms, cpu ms, counters)} of the median aggregates (or single runs) of one report."""
    if not os.path.exists(path):
        return None
    with open(path) as handle:
        report = json.load(handle)
    rows = {}
    for entry in report["benchmarks"]:
        single = entry.get("run_type") == "iteration" and entry.get("repetitions", 1) <= 1
        if not single and (entry.get("run_type") != "aggregate" or entry.get("aggregate_name") != "median"):
            continue
        name = re.sub(r"/(process_time|real_time)$", "", entry["run_name"])
        scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[entry.get("time_unit", "ns")]
        counters = {k: v for k, v in entry.items() if isinstance(v, (int, float))}
        rows[name] = (entry["real_time"] * scale, entry["cpu_time"] * scale, counters)
    return rows


def ratio(rows, case):
    pcl = rows.get(f"outlier/{case}/pcl")
    ours = rows.get(f"outlier/{case}/ours")
    if not pcl or not ours:
        return None
    return pcl[0], ours[0]


def frame_line(label, row, use_wall):
    total = row[0] if use_wall else row[1]
    suffix = "_wall_ms" if use_wall else "_ms"
    steps = ", ".join(f"{s} {row[2][s + suffix]:.1f}" for s in FRAME_STEPS if s + suffix in row[2])
    verdict = "within" if total <= FRAME_BUDGET_MS else "OVER"
    kind = "wall" if use_wall else "CPU"
    return f"  {label}: {total:.1f} ms {kind}, {verdict} {FRAME_BUDGET_MS:.1f} ms ({steps})"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = sys.argv[1]
    one = medians(os.path.join(folder, "outlier_bench.json"))
    two = medians(os.path.join(folder, "outlier_bench_2threads.json"))
    frame_one = medians(os.path.join(folder, "peer", "peer_mesh_removal_bench.json"))
    frame_two = medians(os.path.join(folder, "frame_2threads.json"))

    print("Speed targets from this run (medians):")
    if one:
        print("- outlier removal, worst cases, ours/PCL on one thread (target: at most 0.5):")
        worst = 0.0
        for case in WORST_CASES:
            pair = ratio(one, case)
            if pair:
                worst = max(worst, pair[1] / pair[0])
                print(f"  {case:30s} PCL {pair[0]:8.1f} ms  ours {pair[1]:7.2f} ms  {pair[1] / pair[0]:.3f}")
        print(f"  largest {worst:.3f}: {'met' if worst <= 0.5 else 'NOT met'}")
        pair = ratio(one, "frame_5mm_63k")
        if pair:
            times = pair[0] / pair[1]
            print(f"- 63k frame at 5 mm, one thread: PCL {pair[0]:.1f} ms, ours {pair[1]:.2f} ms = {times:.1f}x "
                  f"(target at least 10x: {'met' if times >= 10 else 'NOT met'})")
    if two:
        pair = ratio(two, "frame_5mm_63k")
        if pair:
            times = pair[0] / pair[1]
            print(f"- 63k frame at 5 mm, two OpenMP threads: PCL {pair[0]:.1f} ms (same process), "
                  f"ours {pair[1]:.2f} ms = {times:.1f}x (target at least 18x: {'met' if times >= 18 else 'NOT met'})")
            if one and ratio(one, "frame_5mm_63k"):
                pcl_one = ratio(one, "frame_5mm_63k")[0]
                print(f"  against PCL's one-thread run above ({pcl_one:.1f} ms): {pcl_one / pair[1]:.1f}x")
    print("- the whole 640x480 frame (depth image to near-surface removal):")
    for leaf in ("0.01", "0.005"):
        key = f"frame_leaf_{leaf}/640x480/ours"
        if frame_one and key in frame_one:
            print(frame_line(f"leaf {leaf}, one core", frame_one[key], use_wall=False))
        if frame_two and key in frame_two:
            print(frame_line(f"leaf {leaf}, two threads", frame_two[key], use_wall=True))
    print("  (targets: leaf 0.01 on one core and leaf 0.005 on two threads within the camera's period)")


if __name__ == "__main__":
    main()
