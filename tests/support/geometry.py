"""Test geometry for the Python module's tests: hand-checkable tables and fixed seeds (as geometry.cpp)."""
import numpy as np

# Unit cube [0, 1]^3: 8 corners, 12 outward-facing triangles.
CUBE_VERTICES = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0],
                          [0, 0, 1], [1, 0, 1], [0, 1, 1], [1, 1, 1]], dtype=np.float32)
CUBE_FACES = np.array([[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4],
                       [2, 6, 3], [3, 6, 7], [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]], dtype=np.int32)


def cube(edge=1.0, lo=(0.0, 0.0, 0.0)):
    """(vertices, faces) of the axis-aligned cube from lo to lo + edge."""
    return (CUBE_VERTICES * np.float32(edge) + np.asarray(lo, dtype=np.float32)), CUBE_FACES.copy()


def random_points(count, lo, hi, seed=7):
    """count float32 points uniform in the box lo..hi."""
    rng = np.random.default_rng(seed)
    return rng.uniform(lo, hi, size=(count, 3)).astype(np.float32)


def plane_depth(width=160, height=120, seed=3):
    """Depth image (millimetres) of a plane tilted along the rows, with noise and 5% holes."""
    rng = np.random.default_rng(seed)
    rows = np.linspace(700.0, 1300.0, height)[:, None] + np.zeros((1, width))
    depth = np.rint(rows + rng.normal(0.0, 2.0, size=(height, width))).astype(np.uint16)
    depth[rng.random((height, width)) < 0.05] = 0
    return depth


def bits(a):
    """The raw bits of float32 coordinates: equal bits, not merely equal values (-0.0 and 0.0 differ)."""
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)
