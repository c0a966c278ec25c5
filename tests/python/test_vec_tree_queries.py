"""VecTree's bounded nearest queries, radius queries with distances and neighbour counts, against
the brute-force scan: the same indexes, the same distance bits, ties to the lowest index."""

import pytest
from test_vec_tree import CLOUDS, INF, NAN, Oracle, targets_for

from conftest import bits
from kalemtri_py import Vec3d, VecList, VecTree

np = pytest.importorskip("numpy")

BOUNDS = [0.0, -0.0, 5e-324, 1e-300, 0.5, 1.0, 2.0, 1e300, INF]
MISSING = (-1, bits(INF))


@pytest.fixture(scope="module", params=sorted(CLOUDS))
def cloud(request):
    points = CLOUDS[request.param]
    return points, VecTree(VecList(points)), Oracle(points)


def within_bound(ranked, bound):
    return [(i, bits(d)) for i, d in ranked if d <= bound]


def rows(idx, dist):
    idx, dist = np.asarray(idx), np.asarray(dist)
    idx, dist = idx.reshape(len(idx), -1).tolist(), dist.reshape(len(dist), -1).tolist()
    return [list(zip(i, map(bits, d))) for i, d in zip(idx, dist)]


@pytest.mark.parametrize("bound", BOUNDS)
def test_bounded_nearest_is_the_filtered_scan(cloud, bound):
    points, tree, oracle = cloud
    targets = targets_for(points)
    got = rows(*tree.nearest_many(VecList(targets), max_distance=bound))
    for t, row in zip(targets, got):
        expected = within_bound(oracle.ranked(t), bound)[:1] or [MISSING]
        assert row == expected, t


@pytest.mark.parametrize("bound", BOUNDS)
def test_bounded_k_nearest_fills_rows_from_the_end(cloud, bound):
    points, tree, oracle = cloud
    targets = targets_for(points)
    for k in sorted({1, 3, 17, len(points)}):
        got = rows(*tree.k_nearest_many(np.asarray(VecList(targets)), k, max_distance=bound))
        for t, row in zip(targets, got):
            expected = within_bound(oracle.ranked(t), bound)[:k]
            assert row == expected + [MISSING] * (k - len(expected)), (t, k)


def test_no_bound_is_todays_answer(cloud):
    points, tree, _ = cloud
    tl = VecList(targets_for(points))
    k = min(4, len(points))
    for plain, given in [
        (tree.nearest_many(tl), tree.nearest_many(tl, None)),
        (tree.nearest_many(tl), tree.nearest_many(targets=tl, max_distance=None)),
        (tree.k_nearest_many(tl, k), tree.k_nearest_many(tl, k, max_distance=None)),
    ]:
        assert rows(*plain) == rows(*given)
    # An infinite bound still drops NaN distances, which rank first without one.
    idx, dist = tree.nearest_many(tl, max_distance=INF)
    assert not np.isnan(np.asarray(dist)).any()


@pytest.mark.parametrize("radius", [0.0, 5e-324, 1.0, 2.0, 1e300, INF])
def test_within_distances_and_counts_are_the_scan(cloud, radius):
    points, tree, oracle = cloud
    targets = targets_for(points)
    offsets, hits, dist = tree.within_many(VecList(targets), radius, distances=True)
    counts = tree.count_within_many(VecList(targets), radius)
    assert np.asarray(dist).dtype == np.float64 and dist.shape == hits.shape
    assert np.asarray(counts).dtype == np.int64 and counts.shape == (len(targets),)
    plain_offsets, plain_hits = tree.within_many(VecList(targets), radius)
    assert plain_offsets.tolist() == offsets.tolist() and plain_hits.tolist() == hits.tolist()
    offsets, hits, dist = offsets.tolist(), hits.tolist(), dist.tolist()
    for m, t in enumerate(targets):
        d = oracle.distances(t)
        expected = [i for i, e in enumerate(d) if e <= radius]
        row = slice(offsets[m], offsets[m + 1])
        assert hits[row] == expected, t
        assert list(map(bits, dist[row])) == [bits(d[i]) for i in expected], t
        assert counts[m] == len(expected), t


def test_empty_inputs():
    tree = VecTree(VecList([Vec3d(0, 0, 0), Vec3d(1, 0, 0)]))
    none = VecList([])
    idx, dist = tree.nearest_many(none, max_distance=1.0)
    assert idx.shape == dist.shape == (0,)
    idx, dist = tree.k_nearest_many(none, 2, max_distance=1.0)
    assert idx.shape == dist.shape == (0, 2)
    assert tree.count_within_many(none, 1.0).shape == (0,)
    offsets, hits, dist = tree.within_many(none, 1.0, distances=True)
    assert offsets.tolist() == [0] and hits.shape == dist.shape == (0,)
    empty = VecTree(none)
    assert empty.count_within_many(VecList([Vec3d(0, 0, 0)] * 3), INF).tolist() == [0, 0, 0]
    offsets, hits, dist = empty.within_many(VecList([Vec3d(0, 0, 0)]), INF, distances=True)
    assert offsets.tolist() == [0, 0] and len(hits) == len(dist) == 0
    with pytest.raises(ValueError, match=r"^VecTree.nearest_many\(\): the tree has no points"):
        empty.nearest_many(VecList([]), max_distance=1.0)


T = VecTree(VecList([Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0)]))
TL = VecList([Vec3d(0, 0, 0)])


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: T.nearest_many(TL, -1.0), ValueError, r"^argument 'max_distance': .* not -1.0$"),
        (lambda: T.nearest_many(TL, NAN), ValueError, r"^argument 'max_distance': .* not nan$"),
        (lambda: T.nearest_many(TL, -INF), ValueError, r"^argument 'max_distance': .* not -inf$"),
        (lambda: T.nearest_many(TL, "1"), TypeError, r"^argument 'max_distance'"),
        (lambda: T.k_nearest_many(TL, 1, -1e-300), ValueError, r"^argument 'max_distance'"),
        (lambda: T.k_nearest_many(TL, 1, max_distance=[1]), TypeError, "^argument 'max_dist"),
        (lambda: T.k_nearest_many(TL, 4, 1.0), ValueError, r"^argument 'k'"),
        (lambda: T.count_within_many(TL, -1.0), ValueError, r"^argument 'radius': .* not -1.0$"),
        (lambda: T.count_within_many(TL, NAN), ValueError, r"^argument 'radius'"),
        (lambda: T.count_within_many([Vec3d(0, 0, 0)], 1.0), TypeError, "^argument 'targets'"),
        (lambda: T.within_many(TL, 1.0, distances=None), TypeError, "^argument 'distances'"),
        (lambda: T.within_many(TL, 1.0, True, 1), TypeError, "takes 3 positional arguments"),
        (lambda: T.nearest_many(TL, bound=1.0), TypeError, "unexpected keyword argument 'bound'"),
    ],
)
def test_bad_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("shape", ["uniform", "clustered"])
def test_large_clouds_against_numpy(shape):
    """Pool-sized batches: curve order, whole boxes counted at once, ties among duplicates."""
    rng = np.random.default_rng(5)
    n = 30_000
    if shape == "uniform":
        pts = rng.random((n, 3))
    else:
        pts = (rng.normal(size=(n, 3)) * 0.01 + rng.integers(0, 3, size=(n, 1))).round(3)
    tree, lst = VecTree(pts), VecList.from_buffer(pts)
    targets = np.concatenate([rng.random((40, 3)) * 3 - 0.5, pts[:10]])
    many = np.repeat(targets, 60, axis=0)  # enough targets for the pool and the curve order
    for bound in (0.0, 0.004, 0.05, 0.3):
        idx, dist = map(np.asarray, tree.nearest_many(many, max_distance=bound))
        kidx, kdist = map(np.asarray, tree.k_nearest_many(many, 5, max_distance=bound))
        counts = np.asarray(tree.count_within_many(many, bound))
        for m, row in enumerate(targets):
            d = np.asarray(lst.distance_to(Vec3d(*row)))  # finite data: the scan's bits
            order = np.lexsort((np.arange(n), d))
            inside = order[d[order] <= bound][:5]
            r = m * 60 + 59
            want = (inside[0], d[inside[0]]) if len(inside) else (-1, INF)
            assert (idx[r], bits(dist[r])) == (want[0], bits(want[1]))
            assert kidx[r].tolist() == inside.tolist() + [-1] * (5 - len(inside))
            assert (
                kdist[r].tobytes()
                == np.concatenate([d[inside], [INF] * (5 - len(inside))]).tobytes()
            )
            assert counts[r] == np.count_nonzero(d <= bound)


def test_seeded_hypothesis():
    hyp = pytest.importorskip("hypothesis")
    st = pytest.importorskip("hypothesis.strategies")
    value = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, 1e200, 5e-324, INF, -INF, NAN])
    vec = st.builds(Vec3d, value, value, value)
    bound = st.sampled_from([0.0, 5e-324, 0.5, 1.0, 2.0, 1e200, INF])

    @hyp.settings(max_examples=80, deadline=None, derandomize=True, database=None)
    @hyp.given(st.lists(vec, min_size=1, max_size=60), st.lists(vec, min_size=1, max_size=8), bound)
    def check(points, targets, b):
        tree, oracle = VecTree(VecList(points)), Oracle(points)
        got = rows(*tree.k_nearest_many(VecList(targets), len(points), max_distance=b))
        counts = tree.count_within_many(VecList(targets), b).tolist()
        for t, row, count in zip(targets, got, counts):
            expected = within_bound(oracle.ranked(t), b)
            assert row == expected + [MISSING] * (len(points) - len(expected))
            assert count == len(expected)

    check()
