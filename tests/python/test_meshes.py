"""Mesh queries, removals, hulls and sampling on the unit cube and single triangles."""
import numpy as np
import pytest

import nimbrel_arm_util as nau
from geometry import cube, random_points

V, F = cube()


def test_inside_queries_on_the_cube():
    points = np.array([[0.5, 0.5, 0.5], [1.04, 0.5, 0.5], [1.06, 0.5, 0.5], [0.5, 0.5, -0.5]])
    assert nau.inside_mesh(points, V, F).tolist() == [True, False, False, False]
    assert nau.inside_or_near_meshes(points, [(V, F)]).tolist() == [True, True, False, False]


def test_remove_meshes_keeps_what_the_query_rejects():
    points = random_points(2000, (-0.5, -0.5, -0.5), (1.5, 1.5, 1.5))
    other = cube(0.3, (1.1, 1.1, 1.1))
    near = nau.inside_or_near_meshes(points, [(V, F), other])
    assert np.array_equal(nau.remove_meshes(points, [(V, F), other]), points[~near])
    assert np.array_equal(nau.remove_meshes(points, nau.Meshes([(V, F), other])), points[~near])
    assert len(nau.remove_meshes(np.empty((0, 3)), [(V, F)])) == 0


def test_fast_removal_cuts_the_surface_shell_only():
    points = np.array([[0.5, 0.5, 0.5], [0.5, 0.5, 1.05], [0.5, 0.5, 1.2]])
    assert np.array_equal(nau.remove_meshes_fast(points, [(V, F)]), points[[0, 2]].astype(np.float32))
    tiny = (np.array([[0, 0, 0], [0.001, 0, 0], [0, 0.002, 0]]), [[0, 1, 2]])
    with pytest.raises(ValueError, match="^meshes:"):
        nau.remove_meshes_fast(points, [tiny])


def test_hull_of_a_cube_with_inner_points():
    vertices = np.vstack([V, random_points(50, (0.1, 0.1, 0.1), (0.9, 0.9, 0.9))])
    hull_vertices, hull_faces = nau.convex_hull(vertices)
    assert hull_vertices.shape == (8, 3) and hull_faces.shape == (12, 3)
    a, b, c = (hull_vertices[hull_faces[:, i]].astype(np.float64) for i in range(3))
    assert np.einsum("ij,ij->", a, np.cross(b, c)) / 6.0 == pytest.approx(1.0)  # outward faces


def test_hull_of_a_flat_mesh_raises():
    square = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32)
    with pytest.raises(ValueError, match="flat or degenerate"):
        nau.convex_hull(square, [[0, 1, 2], [0, 2, 3]])


def test_surface_samples_start_with_the_vertices_and_near_points_finds_them():
    triangle = np.array([[0, 0, 0], [0.05, 0, 0], [0, 0.04, 0]], np.float32)  # area 0.001: 40 samples
    samples = nau.sample_surface(triangle, [[0, 1, 2]])
    assert samples.shape == (43, 3) and np.array_equal(samples[:3], triangle)
    assert np.all(samples[:, 2] == 0) and np.all(samples[:, :2] >= 0)
    near = nau.near_points([[0, 0, 0.01], [0, 0, 0.021], [0.05, 0, 0.019]], samples, 0.02)
    assert near.tolist() == [True, False, True]


def test_non_finite_points_are_inside_or_near_nothing():
    points = np.array([[np.nan, 0.5, 0.5], [0.5, np.inf, 0.5], [0.5, 0.5, -np.inf], [0.5, 0.5, 0.5]])
    assert nau.inside_mesh(points, V, F).tolist() == [False, False, False, True]
    assert nau.inside_or_near_meshes(points, [(V, F)]).tolist() == [False, False, False, True]
    assert nau.near_points(points, V, 2.0).tolist() == [False, False, False, True]


def test_mesh_removals_name_the_kept_rows():
    points = random_points(2000, (-0.5, -0.5, -0.5), (1.5, 1.5, 1.5))
    labels = np.arange(len(points))
    near = nau.inside_or_near_meshes(points, [(V, F)])
    kept, index = nau.remove_meshes(points, [(V, F)], return_index=True)
    assert np.array_equal(index, np.flatnonzero(~near)) and np.array_equal(kept, points[labels[index]])
    kept, index = nau.remove_meshes_fast(points, [(V, F)], seed=3, return_index=True)
    assert np.array_equal(kept, points[index]) and np.all(np.diff(index) > 0)


def test_a_seed_repeats_the_samples_and_the_fast_cut():
    samples = nau.sample_surface(V, F, seed=11)
    assert np.array_equal(samples, nau.sample_surface(V, F, seed=11))
    assert not np.array_equal(samples[8:], nau.sample_surface(V, F, seed=12)[8:])
    assert not np.array_equal(samples[8:], nau.sample_surface(V, F)[8:])  # unseeded: fresh every call
    # Every sample lies on the cube's surface: one coordinate at 0 or 1, the others within [0, 1].
    on_face = np.any((samples == 0.0) | (samples == 1.0), axis=1)
    assert np.all(on_face) and np.all((samples >= 0.0) & (samples <= 1.0))
    # Points in the 0.08 m shell, where the samples decide: the same seed, the same cut.
    shell = random_points(3000, (-0.08, -0.08, 1.07), (1.08, 1.08, 1.085))
    first = nau.remove_meshes_fast(shell, [(V, F)], seed=5)
    assert np.array_equal(first, nau.remove_meshes_fast(shell, nau.Meshes([(V, F)]), seed=5))
    with pytest.raises(ValueError, match="^seed:"):
        nau.sample_surface(V, F, seed=-1)
