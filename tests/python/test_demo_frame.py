"""The demo's road through the module gives the C++ road's clouds, bit for bit."""
import numpy as np

import nimbrel_arm_util as nau
from geometry import bits


def test_demo_road_matches_cpp(demo):
    fx, cx, fy, cy, k1, k2, p1, p2, k3 = (float(v) for v in demo["intrinsic"])
    camera = nau.CameraIntrinsic(fx=fx, fy=fy, cx=cx, cy=cy, k1=k1, k2=k2, p1=p1, p2=p2, k3=k3)
    r = demo["filter_range"]
    meshes = [(demo["box_vertices"], demo["box_faces"]), (demo["ball_vertices"], demo["ball_faces"])]

    depth = nau.depth_to_points(demo["depth"], camera)
    cleaned = nau.clean(depth, lower=r[0::2], upper=r[1::2], leaf_size=demo["leaf_size"],
                        mean_k=demo["mean_k"], stddev_mul=demo["stddev_mul"])
    robot = nau.transform(cleaned, demo["camera_to_robot"])
    no_boxes = nau.remove_box_and_tool(robot, demo["box_pose"], demo["box_size"], demo["tool_pose"],
                                       demo["tool_half_size"], scale=demo["box_scale"],
                                       margin=demo["box_margin"], tool_margin=demo["tool_margin"])
    no_meshes = nau.remove_meshes(no_boxes, meshes)

    for name, ours in [("1_depth_cloud", depth), ("2_processed", cleaned), ("3_robot_frame", robot),
                       ("4_without_boxes", no_boxes), ("5_without_meshes", no_meshes)]:
        theirs = demo[name]
        assert ours.shape == theirs.shape, name
        assert np.array_equal(bits(ours), bits(theirs)), name

    # The fast removal samples the meshes afresh on every call: its result is checked as a subset in order.
    fast = nau.remove_meshes_fast(no_boxes, meshes)
    kept = {tuple(p) for p in bits(fast)}
    assert 0 < len(fast) < len(no_boxes)
    assert [tuple(p) for p in bits(no_boxes) if tuple(p) in kept] == [tuple(p) for p in bits(fast)]


def test_demo_road_from_copies_matches(demo):
    # Arrays that are not the module's own views (float64, Fortran order) are converted into the same cloud.
    cleaned = demo["2_processed"]
    as_f64 = np.asfortranarray(cleaned.astype(np.float64))
    assert np.array_equal(bits(nau.transform(as_f64, demo["camera_to_robot"])), bits(demo["3_robot_frame"]))
