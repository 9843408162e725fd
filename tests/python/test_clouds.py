"""Crops, cleaning, transforms and boxes on small cases worked out by hand."""
import warnings

import numpy as np
import pytest

import nimbrel_arm_util as nau
from geometry import bits, random_points


def test_crop_keeps_the_closed_box_in_order_and_crop_z_the_open_band():
    points = np.array([[0, 0, 0], [1, 1, 1], [0.5, 1.01, 0.5], [0.2, 0.3, 0.4], [np.nan, 0, 0]], np.float32)
    assert np.array_equal(nau.crop(points, (0, 0, 0), (1, 1, 1)), points[[0, 1, 3]])
    assert np.array_equal(nau.crop_z(points, 0.0, 1.0), points[[2, 3]])


def test_transform_rotates_then_translates():
    quarter_turn_z = np.array([[0, -1, 0, 1], [1, 0, 0, 2], [0, 0, 1, 3], [0, 0, 0, 1]], dtype=np.float64)
    out = nau.transform(np.array([[1.0, 0.0, 0.0], [0.0, 0.0, -1.0]]), quarter_turn_z)
    assert out.tolist() == [[1.0, 3.0, 3.0], [1.0, 2.0, 2.0]]


def test_voxel_grid_and_outliers():
    assert nau.voxel_down_sample([[0.25, 0.25, 0.25], [0.75, 0.75, 0.75]], 1.0).tolist() == [[0.5, 0.5, 0.5]]
    cluster = random_points(200, (0, 0, 0), (0.1, 0.1, 0.1))
    with_far = np.vstack([cluster, [[5.0, 5.0, 5.0]]])
    kept = nau.remove_outliers(with_far, mean_k=8, stddev_mul=3.0)
    assert len(kept) == 200 and not np.any(np.all(kept == 5.0, axis=1))


def test_box_removal_and_inside_box_agree():
    yaw = np.radians(30.0)
    pose = np.array([[np.cos(yaw), -np.sin(yaw), 0, 0.5], [np.sin(yaw), np.cos(yaw), 0, 0], [0, 0, 1, 0],
                     [0, 0, 0, 1]])
    size = (0.4, 0.2, 0.02)  # flat: the z half extent is raised to 0.1
    along_x = np.array([pose[0, 0], pose[1, 0], 0.0])
    points = np.array([pose[:3, 3] + 0.19 * along_x, pose[:3, 3] + 0.21 * along_x, pose[:3, 3] + [0, 0, 0.09],
                       pose[:3, 3] + [0, 0, 0.11]])
    inside = nau.inside_box(points, pose, size)
    assert inside.tolist() == [True, False, True, False]
    assert np.array_equal(nau.remove_box(points, pose, size), points[~inside].astype(np.float32))
    # The margin grows the box and the tool box cuts as well.
    assert np.array_equal(nau.remove_box(points, pose, size, margin=0.02), points[[3]].astype(np.float32))
    tool = np.eye(4)
    tool[:3, 3] = points[3]
    assert len(nau.remove_box_and_tool(points, pose, size, tool, (0.01, 0.01, 0.01), margin=0.02)) == 0


def test_non_finite_points_are_inside_no_box():
    points = np.array([[np.nan, 0, 0], [0, np.inf, 0], [0, 0, 0]])
    assert nau.inside_box(points, np.eye(4), (1, 1, 1)).tolist() == [False, False, True]


def test_outlier_removal_drops_non_finite_rows_as_clean_does():
    cluster = random_points(200, (0, 0, 0), (0.1, 0.1, 0.1))
    holes = np.vstack([cluster[:100], [[np.nan, 0, 0], [0, 0, np.inf]], cluster[100:]])
    assert np.array_equal(nau.remove_outliers(holes, mean_k=8, stddev_mul=3.0),
                          nau.remove_outliers(cluster, mean_k=8, stddev_mul=3.0))


def test_a_result_holding_nan_is_not_taken_for_dense():
    # crop_z tests z only and keeps a NaN x; its result handed back as it is must count as the copy does.
    points = np.vstack([random_points(50, (0, 0, 0), (1, 1, 1)), [[np.nan, 0.5, 0.5]]])
    kept = nau.crop_z(points, -1.0, 2.0)
    assert len(kept) == 51
    assert np.array_equal(nau.voxel_down_sample(kept, 0.25), nau.voxel_down_sample(np.array(kept), 0.25))


def test_a_leaf_too_small_for_the_extent_warns_and_keeps_the_points():
    points = np.float32([[0, 0, 0], [100, 100, 100], [50, 20, 70]])
    with pytest.warns(RuntimeWarning, match="leaf_size 1e-06 m is too small for the points' extent 100 x 100 x 100"):
        assert np.array_equal(nau.voxel_down_sample(points, 1e-6), points)
    with pytest.warns(RuntimeWarning, match="leaf_size"):
        nau.clean(points, lower=(-1, -1, -1), upper=(200, 200, 200), leaf_size=1e-6, mean_k=1)
    # Judged by the points inside the box, not by the box: 1000 voxels a side fit.
    small = random_points(100, (0, 0, 0), (0.1, 0.1, 0.1))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        nau.clean(small, lower=(-1000, -1000, -1000), upper=(1000, 1000, 1000), leaf_size=1e-4, mean_k=5)
        nau.voxel_down_sample(small, 1e-4)


def test_return_index_names_the_kept_rows_so_colours_stay_aligned():
    points = np.vstack([random_points(400, (-1, -1, -1), (1, 1, 1)), [[np.nan, 0, 0], [5.0, 5.0, 5.0]]])
    points[10] = points[11]  # equal points are kept or dropped together
    colours = np.arange(len(points) * 3).reshape(-1, 3)
    yaw = np.radians(20.0)
    pose = np.array([[np.cos(yaw), -np.sin(yaw), 0, 0.2], [np.sin(yaw), np.cos(yaw), 0, 0], [0, 0, 1, 0],
                     [0, 0, 0, 1]])
    tool = np.eye(4)
    tool[:3, 3] = (-0.5, -0.5, 0.0)
    calls = {
        "crop": lambda **k: nau.crop(points, (-0.5, -0.5, -0.5), (0.5, 0.5, 0.5), **k),
        "crop_z": lambda **k: nau.crop_z(points, -0.2, 0.3, **k),
        "remove_outliers": lambda **k: nau.remove_outliers(points, mean_k=8, stddev_mul=1.0, **k),
        "remove_box": lambda **k: nau.remove_box(points, pose, (0.6, 0.4, 0.4), **k),
        "remove_box_and_tool": lambda **k: nau.remove_box_and_tool(points, pose, (0.6, 0.4, 0.4), tool,
                                                                   (0.3, 0.3, 0.3), **k),
    }
    for name, call in calls.items():
        kept, index = call(return_index=True)
        assert index.dtype == np.int64 and np.all(np.diff(index) > 0), name
        assert 0 < len(index) < len(points), name
        assert np.array_equal(bits(kept), bits(points[index])), name
        assert np.array_equal(bits(call()), bits(kept)), name
        # The same rows of the colours, by index or by the mask made from it.
        mask = np.zeros(len(points), bool)
        mask[index] = True
        assert np.array_equal(colours[index], colours[mask]), name
    # The box removal keeps the finite points outside the box.
    outside = ~nau.inside_box(points, pose, (0.6, 0.4, 0.4)) & np.all(np.isfinite(points), axis=1)
    assert np.array_equal(nau.remove_box(points, pose, (0.6, 0.4, 0.4), return_index=True)[1],
                          np.flatnonzero(outside))


def test_return_inverse_gives_the_voxel_of_each_point():
    points = np.vstack([random_points(3000, (-0.3, -0.2, 0.5), (0.3, 0.2, 0.9)), [[np.nan, 0, 0]]])
    leaf = 0.05
    centroids, inverse = nau.voxel_down_sample(points, leaf, return_inverse=True)
    assert np.array_equal(bits(centroids), bits(nau.voxel_down_sample(points, leaf)))
    assert inverse[-1] == -1 and inverse.dtype == np.int64
    finite = points[:-1].astype(np.float64)
    # Each result row is the centroid of the points sent to it, and every point shares its voxel with them.
    assert np.array_equal(np.unique(inverse[:-1]), np.arange(len(centroids)))
    means = np.zeros((len(centroids), 3))
    np.add.at(means, inverse[:-1], finite)
    means /= np.bincount(inverse[:-1])[:, None]
    assert np.allclose(means, centroids, atol=1e-6)
    voxel = np.floor(finite / leaf)
    of_row = np.empty((len(centroids), 3))
    of_row[inverse[:-1]] = voxel
    assert np.array_equal(voxel, of_row[inverse[:-1]])
