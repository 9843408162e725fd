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


def distort(x, y, model, d):
    """Where the lens images the normalised point (x, y): OpenCV's models written out in NumPy."""
    if model == "equidistant":
        r = np.hypot(x, y)
        theta = np.arctan(r)
        t2 = theta * theta
        theta_d = theta * (1 + d[0] * t2 + d[1] * t2**2 + d[2] * t2**3 + d[3] * t2**4)
        scale = np.where(r > 0, theta_d / np.where(r > 0, r, 1), 1.0)
        return x * scale, y * scale
    k = np.zeros(8)
    k[:len(d)] = d
    k1, k2, p1, p2, k3, k4, k5, k6 = k
    r2 = x * x + y * y
    radial = (1 + k1 * r2 + k2 * r2**2 + k3 * r2**3) / (1 + k4 * r2 + k5 * r2**2 + k6 * r2**3)
    return (x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x),
            y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y)


LENSES = [("plumb_bob", [-0.05, 0.01, 0.001, -0.002, 0.0]),
          ("rational_polynomial", [0.3, -0.1, 0.001, 0.002, 0.01, 0.35, -0.08, 0.02]),
          ("equidistant", [0.05, -0.02, 0.004, -0.001])]


@pytest.mark.parametrize("model, d", LENSES)
@pytest.mark.parametrize("dtype", [np.uint16, np.float32])
def test_every_lens_model_takes_each_pixel_from_where_the_lens_imaged_it(model, d, dtype):
    # Each pixel's depth names the pixel (1 + its row-major index, in millimetres): every point tells which
    # raw pixel it came from, which must be the one nearest to where the lens imaged its undistorted pixel.
    rows, cols = 48, 64
    fx, fy, cx, cy = 60.0, 62.0, 31.5, 23.5
    raw = 1 + np.arange(rows * cols).reshape(rows, cols)
    depth = raw.astype(np.uint16) if dtype == np.uint16 else (raw / 1000.0).astype(np.float32)
    camera = nau.CameraModel(k=[[fx, 0, cx], [0, fy, cy], [0, 0, 1]], d=d, distortion_model=model)
    points = nau.depth_to_points(depth, camera).astype(np.float64)
    assert len(points) > rows * cols // 2
    source = np.rint(points[:, 2] * 1000).astype(int) - 1
    u = points[:, 0] / points[:, 2] * fx + cx
    v = points[:, 1] / points[:, 2] * fy + cy
    assert np.allclose(u, np.rint(u), atol=1e-3) and np.allclose(v, np.rint(v), atol=1e-3)
    assert np.all(np.diff(np.rint(v) * cols + np.rint(u)) > 0)  # row-major order
    xd, yd = distort((np.rint(u) - cx) / fx, (np.rint(v) - cy) / fy, model, d)
    lens_col, lens_row = xd * fx + cx, yd * fy + cy
    assert np.all(np.abs(lens_col - source % cols) <= 0.5 + 1e-3)
    assert np.all(np.abs(lens_row - source // cols) <= 0.5 + 1e-3)


def test_float_depth_holes_and_the_depth_range():
    camera = nau.CameraModel(k=[150.0, 0, 79.5, 0, 150.0, 59.5, 0, 0, 1])
    metres = plane_depth().astype(np.float32) / 1000.0
    metres[0, :4] = [np.nan, np.inf, -1.0, 0.0]
    points = nau.depth_to_points(metres, camera)
    assert len(points) == np.count_nonzero(np.isfinite(metres) & (metres > 0))
    near = nau.depth_to_points(metres, camera, min_depth=0.9, max_depth=1.1)
    z = points[:, 2].astype(np.float64)  # the range is compared in double
    assert np.array_equal(bits(near), bits(points[(z >= 0.9) & (z <= 1.1)]))
    with pytest.raises(ValueError, match="^max_depth:"):
        nau.depth_to_points(metres, camera, min_depth=2.0, max_depth=1.0)


def test_camera_info_file_and_fields_give_the_same_camera(tmp_path):
    d = LENSES[2][1]
    info = tmp_path / "camera_info.yaml"
    info.write_text("width: 160\nheight: 120\ndistortion_model: equidistant\n"
                    f"d: {d}\nk: [150.0, 0.0, 79.5, 0.0, 151.0, 59.5, 0.0, 0.0, 1.0]\n")
    camera = nau.read_camera_info(info)
    assert camera.distortion_model == "equidistant" and camera.d.tolist() == d
    assert camera.k.tolist() == [[150.0, 0.0, 79.5], [0.0, 151.0, 59.5], [0.0, 0.0, 1.0]]
    fields = nau.CameraModel(k=camera.k, d=d, distortion_model="equidistant")
    assert np.array_equal(bits(nau.depth_to_points(plane_depth(), camera)),
                          bits(nau.depth_to_points(plane_depth(), fields)))
    # A record and its plumb_bob model are the same camera.
    record = nau.CameraIntrinsic(fx=150.0, fy=151.0, cx=79.5, cy=59.5, k1=-0.0625, k2=0.015625)
    plumb = nau.CameraModel(k=[[150.0, 0, 79.5], [0, 151.0, 59.5], [0, 0, 1]], d=[-0.0625, 0.015625, 0, 0, 0])
    assert np.array_equal(bits(nau.depth_to_points(plane_depth(), record)),
                          bits(nau.depth_to_points(plane_depth(), plumb)))
    with pytest.raises(ValueError, match="^d:"):
        nau.CameraModel(k=camera.k, d=[0.1, 0.2], distortion_model="equidistant")
    with pytest.raises(ValueError, match="^k:"):
        nau.CameraModel(k=[[0.0, 0, 79.5], [0, 151.0, 59.5], [0, 0, 1]])
