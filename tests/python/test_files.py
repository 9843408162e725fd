"""PCD and mesh files."""
import numpy as np
import pytest

import nimbrel_arm_util as nau
from geometry import CUBE_FACES, CUBE_VERTICES, bits, random_points


def test_pcd_round_trips(tmp_path):
    points = random_points(100, (-1, -1, -1), (1, 1, 1))
    nau.write_pcd(points, tmp_path / "cloud.pcd")
    assert np.array_equal(bits(nau.read_pcd(tmp_path / "cloud.pcd")), bits(points))
    nau.write_pcd(points, str(tmp_path / "ascii.pcd"), format="ascii")
    assert np.allclose(nau.read_pcd(tmp_path / "ascii.pcd"), points, rtol=1e-7, atol=1e-7)


def test_unreadable_files_raise(tmp_path):
    with pytest.raises(FileNotFoundError):
        nau.read_pcd(tmp_path / "missing.pcd")
    (tmp_path / "text.pcd").write_text("not a point cloud\n")
    with pytest.raises(ValueError):
        nau.read_pcd(tmp_path / "text.pcd")
    with pytest.raises(OSError):
        nau.write_pcd(random_points(3, (0, 0, 0), (1, 1, 1)), tmp_path / "no" / "such" / "dir.pcd")


def test_read_mesh(tmp_path):
    lines = ["ply", "format ascii 1.0", "element vertex 8", "property float x", "property float y",
             "property float z", "element face 12", "property list uchar int vertex_indices", "end_header"]
    lines += [" ".join(str(v) for v in row) for row in CUBE_VERTICES]
    lines += ["3 " + " ".join(str(i) for i in face) for face in CUBE_FACES]
    (tmp_path / "cube.ply").write_text("\n".join(lines) + "\n")
    vertices, faces = nau.read_mesh(tmp_path / "cube.ply")
    assert np.array_equal(vertices, CUBE_VERTICES) and np.array_equal(faces, CUBE_FACES)
