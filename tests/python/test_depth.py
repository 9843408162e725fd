"""Depth images to points: back-projection worked out by hand, image layouts, units."""
import numpy as np
import pytest

import nimbrel_arm_util as nau
from geometry import bits, plane_depth

PINHOLE = nau.CameraIntrinsic(fx=2.0, fy=4.0, cx=1.0, cy=1.0)


def test_pixels_back_project_in_row_major_order_skipping_zeros():
    depth = np.zeros((3, 4), np.uint16)
    depth[2, 3] = 1000
    depth[0, 1] = 500
    points = nau.depth_to_points(depth, PINHOLE)
    assert np.array_equal(points, np.float32([[0.0, -0.125, 0.5], [1.0, 0.25, 1.0]]))
    assert np.array_equal(nau.depth_to_points(depth, PINHOLE, units_per_metre=5000)[1], np.float32([0.2, 0.05, 0.2]))


def test_strided_and_read_only_images_give_the_same_points():
    camera = nau.CameraIntrinsic(fx=150.0, fy=150.0, cx=79.5, cy=59.5, k1=-0.04, k2=0.01, p1=0.001)
    depth = plane_depth()
    wide = np.zeros((120, 320), np.uint16)
    wide[:, ::2] = depth
    frozen = depth.copy()
    frozen.flags.writeable = False
    expected = bits(nau.depth_to_points(depth, camera))
    assert len(expected) > 10000
    unaligned = np.frombuffer(b"\0" + depth.tobytes(), np.uint16, offset=1).reshape(depth.shape)
    for image in (wide[:, ::2], np.asfortranarray(depth), frozen, np.vstack([depth, depth])[:120], unaligned):
        assert np.array_equal(bits(nau.depth_to_points(image, camera)), expected)


def test_65535_is_a_hole_as_in_the_tool_and_the_node():
    depth = np.zeros((3, 4), np.uint16)
    depth[0, 1] = 500
    depth[1, 2] = 65535  # the no-reading marker of several drivers
    depth[2, 3] = 65534
    assert nau.depth_to_points(depth, PINHOLE)[:, 2].tolist() == [np.float32(0.5), np.float32(65.534)]


def test_camera_takes_keywords_only():
    # The C++ record's order is fx, cx, fy, cy: a positional call could swap two of them silently.
    with pytest.raises(TypeError):
        nau.CameraIntrinsic(525.0, 525.0, 319.5, 239.5)
    with pytest.raises(ValueError, match="^camera:"):
        nau.depth_to_points(np.ones((2, 2), np.uint16), nau.CameraIntrinsic(fx=0.0, fy=1.0, cx=0.0, cy=0.0))
