#!/usr/bin/python3
"""Python overhead of the nimbrel_arm_util module beside the library's own time, on the demo's frame.

Each step of the demo's road runs --reps times through the module, each step fed the previous step's
result (as a notebook chains them). For every call the module reports the wall time of the library's own
work (last_work_seconds); the rest of the call's wall time is the Python overhead: argument checks, input
conversion, result wrapping, the call itself. Medians over the repetitions.

The way out: the overhead of one call on 3k, 30k and 300k points fed the module's own view (no input
copy), beside what a copy of the result would cost; with zero-copy results it does not grow with N.

Contiguous copies for other libraries (to_float32, to_float64) beside NumPy's ways to them, and the calls
that keep a subset with return_index (voxel_down_sample with return_inverse) beside the same calls without;
each beside Open3D's equivalent when open3d is importable.

Usage: /usr/bin/python3 benchmarks/python_bench.py [--build build] [--reps 30]
(needs the build's Python module and examples/pipeline_demo, which writes the frame's arrays)
"""
import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np


def measure(call, reps):
    """Median wall, library and overhead times of `call` (seconds), and its last result."""
    walls, works, overheads = [], [], []
    result = None
    for _ in range(reps):
        result = None  # the previous result is freed before the clock starts
        start = time.perf_counter()
        result = call()
        wall = time.perf_counter() - start
        work = nau.last_work_seconds()
        walls.append(wall)
        works.append(work)
        overheads.append(wall - work)
    return statistics.median(walls), statistics.median(works), statistics.median(overheads), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="CMake build directory (default: build)")
    parser.add_argument("--reps", type=int, default=30, help="repetitions per step (default: 30)")
    args = parser.parse_args()
    build = Path(args.build).resolve()
    sys.path.insert(0, str(build / "python"))
    global nau
    import nimbrel_arm_util as nau

    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples" / "python"))
    from pipeline_demo import load_frame, road_steps

    with tempfile.TemporaryDirectory() as out:
        subprocess.run([str(build / "examples" / "pipeline_demo"), out], check=True, stdout=subprocess.DEVNULL)
        frame = load_frame(out)

    print(f"demo frame 640x480, {args.reps} repetitions, medians")
    print(f"{'step':22} {'points in':>9} {'library ms':>11} {'call ms':>9} {'overhead ms':>12} {'overhead':>9}")
    stages = {}
    for name, source, call, _ in road_steps(frame):
        cloud = stages.get(source)
        n_in = frame["depth"].size if cloud is None else len(cloud)
        wall, work, overhead, stages[name] = measure(lambda: call(cloud), args.reps)
        print(f"{name:22} {n_in:9d} {work * 1e3:11.3f} {wall * 1e3:9.3f} {overhead * 1e3:12.4f} "
              f"{100.0 * overhead / work:8.2f}%")

    print("\nthe way out: transform(view, identity) on the module's own view, and a copy of its result")
    print(f"{'points':>8} {'overhead ms':>12} {'copy ms':>9} {'fresh input ms':>15}")
    rng = np.random.default_rng(5)
    for n in (3_000, 30_000, 300_000):
        fresh = rng.uniform(-1.0, 1.0, size=(n, 3)).astype(np.float32)
        view = nau.transform(fresh, np.eye(4))
        _, _, overhead, result = measure(lambda: nau.transform(view, np.eye(4)), args.reps)
        copy = statistics.median(timed(lambda: np.array(result)) for _ in range(args.reps))
        _, _, fresh_overhead, _ = measure(lambda: nau.transform(fresh, np.eye(4)), args.reps)
        print(f"{n:8d} {overhead * 1e3:12.4f} {copy * 1e3:9.3f} {fresh_overhead * 1e3:15.3f}")
    # What grows with N is the caches the call finds cold, not a copy: the same 3k call after 100 MB of
    # other memory traffic pays as much.
    small = nau.transform(rng.uniform(-1.0, 1.0, size=(3_000, 3)).astype(np.float32), np.eye(4))
    traffic = np.ones(100 * 1024 * 1024 // 8)
    overheads = []
    for _ in range(args.reps):
        traffic += 1.0
        overheads.append(measure(lambda: nau.transform(small, np.eye(4)), 1)[2])
    print(f"control: 3000 points after 100 MB of memory traffic: overhead {statistics.median(overheads) * 1e3:.4f} ms")

    try:
        import open3d as o3d
    except ImportError:
        o3d = None
        print("\n(open3d not importable: its columns are left out)")
    contiguous_copies(rng, args.reps, o3d)
    index_variants(frame, stages, args.reps, o3d)


def contiguous_copies(rng, reps, o3d):
    print("\ncontiguous copies of a result (ms, medians)")
    head = f"{'points':>8} {'to_float32':>11} {'np.ascontig':>12} {'to_float64':>11} {'astype(f64)':>12}"
    print(head + (f" {'Vector3dVector(to_float64)':>27} {'Vector3dVector(view)':>21}" if o3d else ""))
    for n in (30_000, 300_000):
        view = nau.transform(rng.uniform(-1.0, 1.0, size=(n, 3)).astype(np.float32), np.eye(4))
        row = [median_ms(lambda: nau.to_float32(view), reps),
               median_ms(lambda: np.ascontiguousarray(view), reps),
               median_ms(lambda: nau.to_float64(view), reps),
               median_ms(lambda: view.astype(np.float64), reps)]
        line = f"{n:8d} {row[0]:11.3f} {row[1]:12.3f} {row[2]:11.3f} {row[3]:12.3f}"
        if o3d:
            fast = median_ms(lambda: o3d.utility.Vector3dVector(nau.to_float64(view)), reps)
            slow = median_ms(lambda: o3d.utility.Vector3dVector(view), 1)
            line += f" {fast:27.3f} {slow:21.3f}"
        print(line)


def index_variants(frame, stages, reps, o3d):
    """The subset calls with and without their indices, on the demo's cleaned and robot-frame clouds."""
    print("\nindices: the same call without and with return_index (medians; overhead as above)")
    print(f"{'call':34} {'points in':>9} {'library ms':>11} {'plain ms':>9} {'overhead':>9} {'indices ms':>11} "
          f"{'overhead':>9}"
          + (f" {'Open3D ms':>10}" if o3d else ""))
    cloud, robot = stages["depth_to_points"], stages["transform"]
    r = frame["filter_range"]
    k, mul, leaf = frame["mean_k"], frame["stddev_mul"], frame["leaf_size"]
    cases = [
        ("crop", cloud, lambda **kw: nau.crop(cloud, r[0::2], r[1::2], **kw), "return_index"),
        ("remove_outliers", robot, lambda **kw: nau.remove_outliers(robot, k, mul, **kw), "return_index"),
        ("remove_box_and_tool", robot,
         lambda **kw: nau.remove_box_and_tool(robot, frame["box_pose"], frame["box_size"], frame["tool_pose"],
                                              frame["tool_half_size"], scale=frame["box_scale"],
                                              margin=frame["box_margin"], tool_margin=frame["tool_margin"], **kw),
         "return_index"),
        ("voxel_down_sample", cloud, lambda **kw: nau.voxel_down_sample(cloud, leaf, **kw), "return_inverse"),
    ]
    equivalents = {}
    if o3d:
        def o3d_cloud(points):
            pcd = o3d.geometry.PointCloud()
            pcd.points = o3d.utility.Vector3dVector(nau.to_float64(points))
            return pcd
        pcd_cloud, pcd_robot = o3d_cloud(cloud), o3d_cloud(robot)
        box = o3d.geometry.AxisAlignedBoundingBox(np.array(r[0::2], float), np.array(r[1::2], float))
        equivalents = {
            "crop": lambda: box.get_point_indices_within_bounding_box(pcd_cloud.points),
            "remove_outliers": lambda: pcd_robot.remove_statistical_outlier(k, mul),
            "voxel_down_sample": lambda: pcd_cloud.voxel_down_sample_and_trace(
                leaf, pcd_cloud.get_min_bound(), pcd_cloud.get_max_bound()),
        }
    for name, source, call, flag in cases:
        plain, plain_work, plain_overhead, _ = measure(call, reps)
        wall, work, overhead, _ = measure(lambda: call(**{flag: True}), reps)
        line = (f"{name + ' ' + flag:34} {len(source):9d} {work * 1e3:11.3f} {plain * 1e3:9.3f} "
                f"{100.0 * plain_overhead / plain_work:8.2f}% {wall * 1e3:11.3f} {100.0 * overhead / work:8.2f}%")
        if name in equivalents:
            line += f" {median_ms(equivalents[name], reps):10.3f}"
        print(line)


def median_ms(call, reps):
    return 1e3 * statistics.median(timed(call) for _ in range(reps))


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


if __name__ == "__main__":
    main()
