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


def load_frame(folder):
    """The demo's arrays (frame, scene, C++ stages), camera and road parameters from folder/arrays, by name."""
    arrays = Path(folder) / "arrays"
    frame = {p.stem: np.load(p) for p in arrays.glob("*.npy")}
    frame.update(json.loads((arrays / "road.json").read_text()))
    return frame


def road_steps(frame):
    """The road as (name, input step or None, call on that input, C++ stage or None), in order."""
    camera = nau.CameraIntrinsic(**frame["camera"])  # fields by name, as road.json holds them
    r = frame["filter_range"]
    # The objects' meshes come back every frame: converted once.
    meshes = nau.Meshes([(frame["box_vertices"], frame["box_faces"]), (frame["ball_vertices"], frame["ball_faces"])])
    return [
        ("depth_to_points", None, lambda _: nau.depth_to_points(frame["depth"], camera), "1_depth_cloud"),
        ("clean", "depth_to_points",
         lambda c: nau.clean(c, lower=r[0::2], upper=r[1::2], leaf_size=frame["leaf_size"],
                             mean_k=frame["mean_k"], stddev_mul=frame["stddev_mul"]), "2_processed"),
        ("transform", "clean", lambda c: nau.transform(c, frame["camera_to_robot"]), "3_robot_frame"),
        ("remove_box_and_tool", "transform",
         lambda c: nau.remove_box_and_tool(c, frame["box_pose"], frame["box_size"], frame["tool_pose"],
                                           frame["tool_half_size"], scale=frame["box_scale"],
                                           margin=frame["box_margin"], tool_margin=frame["tool_margin"]),
         "4_without_boxes"),
        ("remove_meshes", "remove_box_and_tool", lambda c: nau.remove_meshes(c, meshes), "5_without_meshes"),
        # Samples the meshes afresh on every call: no bit-for-bit twin.
        ("remove_meshes_fast", "remove_box_and_tool", lambda c: nau.remove_meshes_fast(c, meshes), None),
    ]


def main():
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else "demo-output")
    if not (folder / "arrays").is_dir():
        sys.exit(f"{folder / 'arrays'} not found: run `make demo` (or pipeline_demo {folder}) first")
    frame = load_frame(folder)
    stages, differs = {}, []
    for name, source, call, reference in road_steps(frame):
        start = time.perf_counter()
        stages[name] = call(stages.get(source))
        ms = 1e3 * (time.perf_counter() - start)
        same = ""
        if reference is not None:
            equal = np.array_equal(stages[name].view(np.uint32), frame[reference].view(np.uint32))
            same = "same as C++" if equal else "DIFFERS from C++"
            if not equal:
                differs.append(name)
        print(f"{name:22} {len(stages[name]):8d} points {ms:8.1f} ms  {same}")
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
