"""Crops, cleaning, transforms and boxes on small cases worked out by hand."""
import warnings

import numpy as np
import pytest

import nimbrel_arm_util as nau
from geometry import random_points


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
