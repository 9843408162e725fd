"""Depth images to points: back-projection worked out by hand, image layouts, units."""
import numpy as np

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
