"""What every function shares: the zero-copy results, input layouts, argument checks and threads."""
import gc
import threading

import numpy as np
import pytest

import nimbrel_arm_util as nau
from geometry import bits, cube, plane_depth, random_points

EYE = np.eye(4)


def test_result_is_a_read_only_view_onto_the_cloud_that_outlives_its_producers():
    points = random_points(1000, (-1, -1, -1), (1, 1, 1))
    view = nau.transform(points, EYE)
    assert view.dtype == np.float32 and view.shape == (1000, 3) and view.strides == (16, 4)
    assert not view.flags.writeable and not view.flags.owndata
    expected = view.copy()
    every_other = view[::2]
    del points, view
    gc.collect()
    junk = [np.full((1000, 4), 7.0, np.float32) for _ in range(50)]  # reuse any freed memory
    assert np.array_equal(every_other, expected[::2])
    # Passed back in, the view is the library's cloud as it is: same results as from a fresh copy.
    assert np.array_equal(bits(nau.transform(every_other, EYE)), bits(expected[::2]))
    del junk


@pytest.mark.parametrize("layout", [
    lambda p: p.astype(np.float64),
    lambda p: np.asfortranarray(p),
    lambda p: np.repeat(p, 2, axis=0)[::2],           # row stride of two points
    lambda p: np.ascontiguousarray(p[:, ::-1])[:, ::-1],  # negative column stride
    lambda p: p.tolist(),
    lambda p: np.frombuffer(b"\0" + p.astype(np.float64).tobytes(), np.float64, offset=1).reshape(-1, 3),
])
def test_any_layout_converts_to_the_same_cloud(layout):
    points = random_points(500, (-1, -1, -1), (1, 1, 1))
    assert np.array_equal(bits(nau.transform(layout(points), EYE)), bits(points))


def test_empty_and_non_finite_inputs():
    assert nau.crop(np.empty((0, 3)), (0, 0, 0), (1, 1, 1)).shape == (0, 3)
    points = np.array([[0.5, 0.5, 0.5], [np.nan, 0.5, 0.5], [0.2, np.inf, 0.1]])
    # Non-finite points are flagged to the library, which drops them while cleaning.
    assert nau.clean(points, leaf_size=0.01, mean_k=1).shape == (1, 3)


POINTS = random_points(10, (0, 0, 0), (1, 1, 1))
V, F = cube()


@pytest.mark.parametrize("call, error, name", [
    (lambda: nau.crop(POINTS.astype(np.int64), (0, 0, 0), (1, 1, 1)), TypeError, "points"),
    (lambda: nau.crop("points", (0, 0, 0), (1, 1, 1)), TypeError, "points"),
    (lambda: nau.crop(POINTS[:, :2], (0, 0, 0), (1, 1, 1)), ValueError, "points"),
    (lambda: nau.crop(POINTS[None], (0, 0, 0), (1, 1, 1)), ValueError, "points"),
    (lambda: nau.crop(POINTS, (0, 0, 0), (1, -1, 1)), ValueError, "upper"),
    (lambda: nau.crop(POINTS, (0, 0), (1, 1, 1)), ValueError, "lower"),
    (lambda: nau.transform(POINTS, np.eye(3)), ValueError, "pose"),
    (lambda: nau.transform(POINTS, np.where(np.eye(4) == 1, np.nan, 0)), ValueError, "pose"),
    (lambda: nau.transform(POINTS, np.ones((4, 4))), ValueError, "pose"),
    (lambda: nau.voxel_down_sample(POINTS, -0.01), ValueError, "leaf_size"),
    (lambda: nau.voxel_down_sample(POINTS, float("nan")), ValueError, "leaf_size"),
    (lambda: nau.voxel_down_sample(POINTS, "0.01"), TypeError, "leaf_size"),
    (lambda: nau.remove_outliers(POINTS, mean_k=0), ValueError, "mean_k"),
    (lambda: nau.remove_outliers(POINTS, mean_k=2.5), TypeError, "mean_k"),
    (lambda: nau.remove_box(POINTS, EYE, (0.1, -0.1, 0.1)), ValueError, "size"),
    (lambda: nau.remove_box(POINTS, EYE, (0.1, 0.1, 0.1), scale=-1), ValueError, "scale"),
    (lambda: nau.remove_box_and_tool(POINTS, EYE, (1, 1, 1), EYE, (1, 1, -1)), ValueError, "tool_half_size"),
    (lambda: nau.remove_meshes(POINTS, (V, F)), TypeError, "meshes[0]"),
    (lambda: nau.remove_meshes(POINTS, V), TypeError, "meshes"),
    (lambda: nau.remove_meshes(POINTS, [(V, F + 8)]), ValueError, "meshes[0] faces"),
    (lambda: nau.remove_meshes(POINTS, [(V, F.astype(float))]), TypeError, "meshes[0] faces"),
    (lambda: nau.remove_meshes_fast(POINTS, []), ValueError, "meshes"),
    (lambda: nau.inside_mesh(POINTS, V, -F), ValueError, "faces"),
    (lambda: nau.near_points(POINTS, V, 0.0), ValueError, "threshold"),
    (lambda: nau.near_points(POINTS, np.empty((0, 3)), 0.1), ValueError, "surface"),
    (lambda: nau.convex_hull(V[:3]), ValueError, "vertices"),
    (lambda: nau.depth_to_points(plane_depth().astype(np.int32), nau.CameraIntrinsic(fx=1, fy=1, cx=0, cy=0)), TypeError, "depth"),
    (lambda: nau.depth_to_points(plane_depth()[None], nau.CameraIntrinsic(fx=1, fy=1, cx=0, cy=0)), ValueError, "depth"),
    (lambda: nau.depth_to_points(plane_depth(), (1, 1, 0, 0)), TypeError, "camera"),
    (lambda: nau.depth_to_points(plane_depth(), nau.CameraIntrinsic(fx=np.nan, fy=1, cx=0, cy=0)), ValueError, "camera"),
    (lambda: nau.depth_to_points(plane_depth(), nau.CameraIntrinsic(fx=1, fy=1, cx=0, cy=0), 0), ValueError, "units_per_metre"),
    (lambda: nau.write_pcd(POINTS, "cloud.txt"), ValueError, "path"),
    (lambda: nau.write_pcd(POINTS, "cloud.pcd", format="text"), ValueError, "format"),
])
def test_bad_argument_raises_one_line_naming_it(call, error, name):
    with pytest.raises(error) as raised:
        call()
    message = str(raised.value)
    assert message.startswith(name + ":") and "\n" not in message


def road(depth):
    """A frame's road: depth image to the robot frame, cleaned, a box cut out."""
    camera = nau.CameraIntrinsic(fx=150.0, fy=150.0, cx=79.5, cy=59.5, k1=-0.04, k2=0.01)
    cloud = nau.clean(nau.depth_to_points(depth, camera), (-2, -2, 0.3), (2, 2, 2), leaf_size=0.01,
                      mean_k=10, stddev_mul=2.0)
    pose = np.array([[0, -1, 0, 0.1], [-1, 0, 0, 0], [0, 0, -1, 1.0], [0, 0, 0, 1]], dtype=float)
    robot = nau.transform(cloud, pose)
    return nau.remove_box(robot, EYE, (0.2, 0.2, 0.2), margin=0.01)


def test_two_frames_in_threads_equal_one_at_a_time():
    frames = [plane_depth(seed=1), plane_depth(seed=2)]
    alone = [road(f) for f in frames]
    together = [None, None]

    def run(i):
        for _ in range(3):
            together[i] = road(frames[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    for a, b in zip(alone, together):
        assert b is not None and np.array_equal(bits(a), bits(b))


def test_type_stubs_name_every_function_and_class_with_its_signature():
    import ast
    import inspect
    from pathlib import Path
    stub = Path(nau.__file__).with_name("nimbrel_arm_util.pyi")
    tree = ast.parse(stub.read_text())
    stubbed = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    public = {name for name in dir(nau) if not name.startswith("_")}
    assert stubbed == public
    # The first stub of each function (overloads differ only in their return) against the module's own.
    first = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            first.setdefault(node.name, node)
    kinds = {"posonlyargs": inspect.Parameter.POSITIONAL_ONLY, "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
             "kwonlyargs": inspect.Parameter.KEYWORD_ONLY}
    for name, node in first.items():
        a = node.args
        defaults = [None] * (len(a.posonlyargs) + len(a.args) - len(a.defaults)) + list(a.defaults)
        stub_params = [(p.arg, kinds["posonlyargs" if p in a.posonlyargs else "args"], d)
                       for p, d in zip(a.posonlyargs + a.args, defaults)]
        stub_params += [(p.arg, kinds["kwonlyargs"], d) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
        stub_params = [(n, k, inspect.Parameter.empty if d is None else ast.literal_eval(d))
                       for n, k, d in stub_params]
        module_params = [(p.name, p.kind, p.default) for p in inspect.signature(getattr(nau, name)).parameters.values()]
        assert module_params == stub_params, name


def test_contiguous_copies_for_other_libraries():
    points = random_points(1000, (-1, -1, -1), (1, 1, 1))
    view = nau.transform(points, EYE)
    for convert, dtype in ((nau.to_float32, np.float32), (nau.to_float64, np.float64)):
        for source in (view, view[::3], points.astype(np.float64), np.asfortranarray(points)):
            copy = convert(source)
            assert copy.dtype == dtype and copy.flags.c_contiguous and copy.flags.writeable
            assert np.array_equal(copy, np.ascontiguousarray(source, dtype=dtype))
    # A copy, never the caller's array: writing to it changes nothing else.
    contiguous = np.ascontiguousarray(points)
    nau.to_float32(contiguous)[0] = 9.0
    assert not np.any(contiguous == 9.0)
    assert nau.to_float64(np.empty((0, 3), np.float32)).shape == (0, 3)
