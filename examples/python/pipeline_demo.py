#!/usr/bin/python3
"""The demo's frame through the Python module: depth image to a robot-frame scene without the objects.

Run the C++ demo first (`make demo`); it writes the frame, the scene and its own results as arrays into
demo-output/arrays. This script replays the road on them, checks that every stage equals the C++ one bit for
bit, and draws before/after top and side views into demo-output/python_views.png when matplotlib is
installed.

Usage: PYTHONPATH=build/python /usr/bin/python3 examples/python/pipeline_demo.py [demo-output]
"""
import json
import sys
import time
from pathlib import Path

import numpy as np

import nimbrel_arm_util as nau


def main():
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else "demo-output")
    arrays = folder / "arrays"
    if not arrays.is_dir():
        sys.exit(f"{arrays} not found: run `make demo` (or pipeline_demo {folder}) first")
    d = {p.stem: np.load(p) for p in arrays.glob("*.npy")}
    road = json.loads((arrays / "road.json").read_text())

    fx, cx, fy, cy, k1, k2, p1, p2, k3 = (float(v) for v in d["intrinsic"])
    camera = nau.CameraIntrinsic(fx=fx, fy=fy, cx=cx, cy=cy, k1=k1, k2=k2, p1=p1, p2=p2, k3=k3)
    r = road["filter_range"]
    meshes = [(d["box_vertices"], d["box_faces"]), (d["ball_vertices"], d["ball_faces"])]

    stages, differs = {}, []

    def step(name, call, reference=None):
        start = time.perf_counter()
        stages[name] = call()
        ms = 1e3 * (time.perf_counter() - start)
        same = "" if reference is None else (
            "same as C++" if np.array_equal(stages[name].view(np.uint32), d[reference].view(np.uint32))
            else "DIFFERS from C++")
        print(f"{name:22} {len(stages[name]):8d} points {ms:8.1f} ms  {same}")
        if same.startswith("DIFFERS"):
            differs.append(name)

    step("depth_to_points", lambda: nau.depth_to_points(d["depth"], camera), "1_depth_cloud")
    step("clean", lambda: nau.clean(stages["depth_to_points"], lower=r[0::2], upper=r[1::2],
                                    leaf_size=road["leaf_size"], mean_k=road["mean_k"],
                                    stddev_mul=road["stddev_mul"]), "2_processed")
    step("transform", lambda: nau.transform(stages["clean"], d["camera_to_robot"]), "3_robot_frame")
    step("remove_box_and_tool", lambda: nau.remove_box_and_tool(
        stages["transform"], d["box_pose"], d["box_size"], d["tool_pose"], d["tool_half_size"],
        scale=road["box_scale"], margin=road["box_margin"], tool_margin=road["tool_margin"]), "4_without_boxes")
    step("remove_meshes", lambda: nau.remove_meshes(stages["remove_box_and_tool"], meshes), "5_without_meshes")
    step("remove_meshes_fast", lambda: nau.remove_meshes_fast(stages["remove_box_and_tool"], meshes))
    if differs:
        sys.exit(f"differs from the C++ road: {', '.join(differs)}")

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no picture")
        return
    before, after = stages["transform"], stages["remove_meshes_fast"]
    fig, axes = plt.subplots(1, 2, figsize=(12, 5))
    for ax, (i, j, title) in zip(axes, [(0, 1, "top view (x, y)"), (0, 2, "side view (x, z)")]):
        ax.scatter(before[:, i], before[:, j], s=1, c="lightgray", label="cleaned, robot frame")
        ax.scatter(after[:, i], after[:, j], s=1, c="tab:green", label="without box, gripper and meshes")
        ax.set_title(title)
        ax.set_aspect("equal")
        ax.set_xlabel("x (m)")
        ax.set_ylabel("yz"[j - 1] + " (m)")
    axes[0].legend(loc="upper right", markerscale=8)
    picture = folder / "python_views.png"
    fig.savefig(picture, dpi=120, bbox_inches="tight")
    print(f"picture: {picture}")


if __name__ == "__main__":
    main()
