"""Point-cloud operations: voxel thinning against a numpy reference summed in point order, and
normals against numpy's eigh on the same neighbourhoods."""

import numpy as np
import pytest

from kalemtri_py import Vec3d, VecList

INF = float("inf")
NAN = float("nan")


def raw(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


# -- voxel_down_sample --------------------------------------------------------------------------


def voxel_reference(points, size):
    """Centroids by cube, cubes in (x, y, z) order, each summed left to right in point order."""
    p = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    p = p[np.isfinite(p).all(axis=1)]
    if len(p) == 0:
        return np.empty((0, 3))
    c = np.floor(p / size) + 0.0
    order = np.lexsort((np.arange(len(p)), c[:, 2], c[:, 1], c[:, 0]))
    c, p = c[order], p[order]
    starts = np.flatnonzero(np.r_[True, (c[1:] != c[:-1]).any(axis=1)])
    ends = np.r_[starts[1:], len(p)]
    # cumsum adds left to right, as a centroid's sum must.
    return np.array([np.cumsum(p[a:b], axis=0)[-1] / (b - a) for a, b in zip(starts, ends)])


def cloud(kind, n, seed=0):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.uniform(-10, 10, (n, 3))
    if kind == "clustered":  # few cubes, many points each, on and beside the cube faces
        p = rng.integers(-3, 3, (n, 3)) * 0.5
        p[::3] += rng.choice([0.0, -0.0, 5e-324, -5e-324, 0.25], (len(p[::3]), 3))
        return p
    if kind == "non_finite":
        p = rng.normal(size=(n, 3))
        p[rng.random(n) < 0.2, rng.integers(0, 3)] = rng.choice([NAN, INF, -INF])
        return p
    if kind == "huge":  # cube coordinates beyond 2^52: no packed key
        return rng.normal(size=(n, 3)) * 1e300
    if kind == "wide":  # exact small cube coordinates whose ranges need more than 63 bits
        return np.c_[rng.uniform(-1e15, 1e15, n), rng.uniform(-1e15, 1e15, n), rng.normal(size=n)]
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["uniform", "clustered", "non_finite", "huge", "wide"])
@pytest.mark.parametrize("size", [0.5, 1.0, 3.0, 1e-3])
def test_voxels_match_reference_bits(kind, size):
    p = cloud(kind, 3000)
    got = np.asarray(VecList.from_buffer(p).voxel_down_sample(size))
    expected = voxel_reference(p, size)
    assert got.shape == expected.shape
    assert np.array_equal(raw(got), raw(expected))


@pytest.mark.parametrize(
    "points, size, expected",
    [
        # -0.0 and 0.0 are one cube; the tiniest negative number is the cube below.
        ([(-0.0, 0, 0), (0.0, 0, 0), (-5e-324, 0, 0)], 1.0, [(-5e-324, 0, 0), (0, 0, 0)]),
        # ordered by x, then y, then z
        (
            [(0, 0, 1), (0, 1, 0), (1, 0, 0), (0, 0, 0)],
            1.0,
            [(0, 0, 0), (0, 0, 1), (0, 1, 0), (1, 0, 0)],
        ),
        # infinity: every finite point in one cube
        ([(1, 2, 3), (-5, 7, 1e300), (4, -3, 2)], INF, [(0, 2, (3 + 1e300 + 2) / 3)]),
        # x / size overflows: a finite point in the cube at infinity, after every other
        ([(1e300, 0, 0), (1, 0, 0)], 1e-10, [(1, 0, 0), (1e300, 0, 0)]),
        ([], 1.0, []),
        ([(NAN, 0, 0), (0, INF, 0), (0, 0, -INF)], 1.0, []),
    ],
)
def test_voxel_cases(points, size, expected):
    got = VecList.from_buffer(np.array(points, dtype=np.float64).reshape(-1, 3))
    got = np.asarray(got.voxel_down_sample(size)).reshape(-1, 3)
    assert np.array_equal(raw(got), raw(np.array(expected, dtype=np.float64).reshape(-1, 3)))


@pytest.mark.parametrize("size", [0.0, -0.0, -1.0, -INF, NAN])
def test_voxel_bad_size(size):
    v = VecList([Vec3d(1, 2, 3)])
    with pytest.raises(ValueError, match="argument 'size': must be a number > 0"):
        v.voxel_down_sample(size)
    assert np.asarray(v).tolist() == [[1.0, 2.0, 3.0]]


def test_voxel_size_must_be_a_number():
    with pytest.raises(TypeError):
        VecList([Vec3d(1, 2, 3)]).voxel_down_sample("1")
