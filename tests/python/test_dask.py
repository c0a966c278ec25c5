"""kalemtri_dask on a 2-process LocalCluster and on the threaded scheduler, bit-equal to one VecList."""

import math
import struct
import sys
import threading

import pytest

np = pytest.importorskip("numpy")
dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("dask.distributed")

import kalemtri_dask  # noqa: E402
import kalemtri_py  # noqa: E402
from kalemtri_py import Quat, Vec3d, VecList, geometry  # noqa: E402

INF = math.inf
NAN = math.nan
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
N = 200_003
# Uneven, with a one-point chunk, an empty chunk and chunks both above and below one slice.
CHUNKS = (1, 40_000, 0, 65_537, 12_345, 82_120)
B1, B2, B3, B4 = 1, 40_001, 105_538, 117_883  # first rows of chunks 2, 3 (and 4), 5, 6


def make_points():
    rng = np.random.default_rng(20261207)
    p = rng.normal(scale=100.0, size=(N, 3))
    p[0] = (NAN, 1.0, 2.0)  # distance +NaN: loses to every number
    p[5] = (-0.0, 0.0, -0.0)
    p[B1 + 7] = (0.0, 0.0, 0.0)
    p[B2 - 1] = p[B2] = p[B3 + 9] = (5.0, 5.0, 5.0)  # a tie across a chunk border
    p[B2 + 1] = (1.0, 0.0, 0.0)
    p[B2 + 2] = (0.6, 0.8, 0.0)
    p[B2 + 3] = (1.0, 1e-15, 0.0)
    p[B2 + 4] = (1.0000000000000002, 0.0, 0.0)
    p[B1] = (1e300, -1e300, 5e-324)
    p[B3 - 1] = p[B4] = (INF, 3.0, 4.0)  # inf - inf: a NaN with the sign bit set
    p[B4 - 1] = (-INF, 3.0, 4.0)
    p[B4 + 1] = (0.0, NAN, 0.0)
    p[N - 1] = (5.0, 5.0, 5.0)
    return p


POINTS = make_points()
ONE = VecList.from_buffer(POINTS)

OFFSET = Vec3d(1.0, -0.0, 2.5)
TARGETS = [
    Vec3d(5.0, 5.0, 5.5),  # the tie
    Vec3d(0.0, 0.0, 0.0),  # +0.0 at two rows, one of them from -0.0 components
    Vec3d(INF, 3.0, 4.0),  # -NaN distances in two chunks
    Vec3d(NAN, 0.0, 0.0),
    Vec3d(NEG_NAN, 0.0, 0.0),
    Vec3d(-INF, 0.0, 0.0),
    Vec3d(12.5, -40.0, 3.0),
]


def int_bits(a):
    return np.ascontiguousarray(a).view(np.int64)


def compute(collection, timeout=60):
    """collection.compute() on the active scheduler; on a cluster it gives up after `timeout`."""
    scheduler = dask.config.get("scheduler", None)
    if isinstance(scheduler, distributed.Client):
        return scheduler.compute(collection).result(timeout=timeout)
    return collection.compute()


@pytest.fixture(scope="session")
def client():
    # Functions defined here travel by value: the workers cannot import this file.
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    with distributed.Client(cluster, set_as_default=False) as c:
        yield c
    cluster.close()


@pytest.fixture(params=["distributed", "threads"])
def scheduler(request):
    target = request.getfixturevalue("client") if request.param == "distributed" else "threads"
    with dask.config.set(scheduler=target):
        yield request.param


@pytest.fixture
def points():
    return da.from_array(POINTS, chunks=(CHUNKS, 3))


def test_chunk_borders_hold_the_special_rows():
    assert sum(CHUNKS) == N
    assert math.isnan(ONE.minimum_distance_to(Vec3d(INF, 3.0, 4.0), 1)[1])


@pytest.mark.parametrize(
    "fn, returns, expected",
    [
        (lambda v: v.normalize(), None, lambda: np.asarray(ONE.normalize())),
        (lambda v: v.magnitude(), None, lambda: np.array(ONE.magnitude())),
        (lambda v: v.is_unit(), None, lambda: np.array(ONE.is_unit())),
        # A class reached through its module: cloudpickle cannot ship the class object itself.
        (
            lambda v: v * 3.0 - kalemtri_py.Vec3d(1.0, -0.0, 2.5),
            VecList,
            lambda: np.asarray(ONE * 3.0 - OFFSET),
        ),
        (lambda v, o=OFFSET: v.dot(o), float, lambda: np.array(ONE.dot(OFFSET))),
    ],
    ids=["normalize", "magnitude", "is_unit", "arithmetic", "dot"],
)
def test_map_vec_list_is_bit_equal_to_one_vec_list(scheduler, points, fn, returns, expected):
    result = kalemtri_dask.map_vec_list(points, fn, returns=returns)
    want = expected()
    assert result.dtype == want.dtype and result.shape == want.shape
    assert result.chunks[0] == CHUNKS
    got = result.compute()
    assert got.dtype == want.dtype
    if want.dtype == np.bool_:
        assert (got == want).all()
    else:
        assert (int_bits(got) == int_bits(want)).all()


@pytest.mark.parametrize(
    "quat",
    [(0.9, -0.1, 0.3, 0.5), (math.cos(0.4), 0.0, math.sin(0.4), 0.0)],
    ids=["scaling", "unit"],
)
def test_rotate_is_bit_equal_to_one_vec_list(scheduler, points, quat):
    q = Quat(*quat)
    want = VecList.from_buffer(POINTS)
    want.rotate(q)
    got = kalemtri_dask.rotate(points, q).compute()
    assert got.shape == (N, 3) and (int_bits(got) == int_bits(np.asarray(want))).all()


@pytest.mark.parametrize("target", TARGETS, ids=repr)
def test_nearest_is_bit_equal_to_one_vec_list(scheduler, points, target):
    index, distance = ONE.minimum_distance_to(target, 1)
    got = kalemtri_dask.nearest(points, target)
    assert (
        type(got) is tuple
        and got[0] == index
        and struct.pack("<d", got[1]) == struct.pack("<d", distance)
    )


def test_nearest_rules_at_the_chunk_borders(points):
    with dask.config.set(scheduler="sync"):
        assert kalemtri_dask.nearest(points, Vec3d(5.0, 5.0, 5.5)) == (B2 - 1, 0.5)
        index, distance = kalemtri_dask.nearest(points, Vec3d(INF, 3.0, 4.0))
        assert index == B3 - 1 and struct.pack("<d", distance) == struct.pack("<d", NEG_NAN)
        assert kalemtri_dask.nearest(points, Vec3d(0.0, 0.0, 0.0)) == (5, 0.0)


@pytest.mark.parametrize(
    "chunks",
    [N, 1_000, ((N - 3, 3), 3), ((3, N - 3), 3), (70_000, 2), "fortran"],
    ids=["one", "small", "short-tail", "short-head", "two-columns", "fortran-slices"],
)
def test_nearest_does_not_depend_on_the_chunking(chunks, monkeypatch):
    if chunks == "fortran":
        # Chunks that cannot be read in place are copied in slices.
        monkeypatch.setattr(kalemtri_dask, "_SLICE", 1_000)
        points = da.from_array(np.asfortranarray(POINTS), chunks=((60_000, N - 60_000), 3))
    else:
        points = da.from_array(POINTS, chunks=chunks)
    with dask.config.set(scheduler="threads"):
        for target in TARGETS:
            index, distance = ONE.minimum_distance_to(target, 1)
            got = kalemtri_dask.nearest(points, target)
            assert got[0] == index and struct.pack("<d", got[1]) == struct.pack("<d", distance)


@pytest.mark.parametrize("layout", ["c", "fortran", "every-other-row"])
def test_rotate_reads_chunks_of_any_layout(layout):
    source = {
        "c": POINTS,
        "fortran": np.asfortranarray(POINTS),
        "every-other-row": np.repeat(POINTS, 2, axis=0)[::2],
    }[layout]
    q = Quat(0.9, -0.1, 0.3, 0.5)
    with dask.config.set(scheduler="threads"):
        got = kalemtri_dask.rotate(da.from_array(source, chunks=(CHUNKS, 3)), q).compute()
    assert (int_bits(got) == int_bits(np.asarray(ONE.rotated(q)))).all()


def test_the_multiprocessing_scheduler():
    small = da.from_array(POINTS[B4 - 5_000 : B4 + 5_000], chunks=((3_000, 5_000, 2_000), 3))
    one = VecList.from_buffer(POINTS[B4 - 5_000 : B4 + 5_000])
    q = Quat(0.9, -0.1, 0.3, 0.5)
    with dask.config.set(scheduler="processes", num_workers=2):
        index, distance = kalemtri_dask.nearest(small, Vec3d(INF, 3.0, 4.0))
        rotated = kalemtri_dask.rotate(small, q).compute()
        moved = kalemtri_dask.map_vec_list(small, lambda v: v + Vec3d(1.0, 2.0, 3.0)).compute()
    assert (int_bits(moved) == int_bits(np.asarray(one + Vec3d(1.0, 2.0, 3.0)))).all()
    assert index == 5_000 and one.minimum_distance_to(Vec3d(INF, 3.0, 4.0), 1)[0] == 5_000
    assert struct.pack("<d", distance) == struct.pack("<d", NEG_NAN)
    one.rotate(q)
    assert (int_bits(rotated) == int_bits(np.asarray(one))).all()


def test_several_column_chunks_are_joined(scheduler):
    points = da.from_array(POINTS, chunks=(50_000, 2))
    result = kalemtri_dask.map_vec_list(points, lambda v: v.normalize())
    assert result.chunks == ((50_000, 50_000, 50_000, 50_000, 3), (3,))
    assert (int_bits(result.compute()) == int_bits(np.asarray(ONE.normalize()))).all()
    assert kalemtri_dask.rotate(points, Quat(1.0, 0.0, 0.0, 0.0)).chunks[1] == (3,)
    magnitude = kalemtri_dask.map_vec_list(points, lambda v: v.magnitude())
    assert magnitude.chunks == ((50_000, 50_000, 50_000, 50_000, 3),)


def test_unknown_chunk_sizes_in_nearest():
    points = da.from_array(POINTS, chunks=(CHUNKS, 3))
    keep = da.ones(N, dtype=bool, chunks=(CHUNKS,))  # drops nothing: the chunk sizes become unknown
    filtered = points[keep]
    assert math.isnan(filtered.shape[0])
    with dask.config.set(scheduler="threads"):
        assert kalemtri_dask.nearest(filtered, Vec3d(5.0, 5.0, 5.5)) == (B2 - 1, 0.5)
        got = kalemtri_dask.map_vec_list(filtered, lambda v: v.magnitude()).compute()
    assert (int_bits(got) == int_bits(np.array(ONE.magnitude()))).all()


def test_numpy_input_is_one_chunk():
    with dask.config.set(scheduler="sync"):
        assert kalemtri_dask.nearest(POINTS, Vec3d(5.0, 5.0, 5.5)) == (B2 - 1, 0.5)
        assert kalemtri_dask.rotate(POINTS, Quat(1.0, 0.0, 0.0, 0.0)).chunks == ((N,), (3,))


@pytest.mark.parametrize(
    "array, error, message",
    [
        (np.zeros((4, 2)), ValueError, r"shape \(N, 3\), not \(4, 2\)"),
        (np.zeros(12), ValueError, r"shape \(N, 3\), not \(12,\)"),
        (np.zeros((4, 3), dtype=np.float16), TypeError, "native float64, not float16"),
        (np.zeros((4, 3), dtype=">f4"), TypeError, "native float64, not >f4"),
        (np.zeros((4, 3), dtype=">f8"), TypeError, "native float64, not >f8"),
        (np.zeros((4, 3), dtype=np.int64), TypeError, r"points.astype\('float64'\)"),
    ],
)
def test_other_arrays_are_refused(array, error, message):
    for call in (
        lambda p: kalemtri_dask.nearest(p, Vec3d(0.0, 0.0, 0.0)),
        lambda p: kalemtri_dask.rotate(p, Quat(1.0, 0.0, 0.0, 0.0)),
        lambda p: kalemtri_dask.map_vec_list(p, lambda v: v.normalize()),
    ):
        with pytest.raises(error, match=message):
            call(da.from_array(array))


def test_argument_errors(points):
    with pytest.raises(TypeError, match="target must be a kalemtri_py.Vec3d, not 'tuple'"):
        kalemtri_dask.nearest(points, (0.0, 0.0, 0.0))
    with pytest.raises(TypeError, match="quat must be a kalemtri_py.Quat, not 'Vec3d'"):
        kalemtri_dask.rotate(points, Vec3d(1.0, 0.0, 0.0))
    with pytest.raises(TypeError, match="fn must be callable"):
        kalemtri_dask.map_vec_list(points, 5)
    with pytest.raises(
        ValueError, match="returns must be VecList, float or bool, not <class 'int'>"
    ):
        kalemtri_dask.map_vec_list(points, lambda v: v.normalize(), returns=int)
    with pytest.raises(TypeError, match=r"on one point it returned a list of 1 \(int\)"):
        kalemtri_dask.map_vec_list(points, lambda v: [1] * len(v))
    with pytest.raises(TypeError, match="on one point it returned 'NoneType'"):
        kalemtri_dask.map_vec_list(points, lambda v: v.rotate(kalemtri_py.Quat(1.0, 0.0, 0.0, 0.0)))


@pytest.mark.parametrize(
    "fn, returns, error, message",
    [
        (
            lambda v: v.magnitude(),
            VecList,
            TypeError,
            r"fn returned a list of \d+ \(float\) where a VecList was declared",
        ),
        (lambda v: v.normalize(), float, ValueError, "fn returned 'VecList' for"),
        (lambda v: v.is_unit(), float, TypeError, r"\(bool\) where a list of float was declared"),
        (
            lambda v: kalemtri_py.VecList.empty(),
            VecList,
            ValueError,
            r"a VecList of 0 points for \d+ points",
        ),
        (
            lambda v: v.magnitude()[1:],
            float,
            ValueError,
            r"fn returned a list of \d+ \(float\) for \d+ points",
        ),
    ],
)
def test_chunk_results_of_the_wrong_kind_raise_on_compute(points, fn, returns, error, message):
    result = kalemtri_dask.map_vec_list(points, fn, returns=returns)
    with dask.config.set(scheduler="sync"), pytest.raises(error, match=message):
        result.compute()


def test_empty_clouds():
    empty = da.from_array(np.empty((0, 3)))
    with dask.config.set(scheduler="sync"):
        with pytest.raises(ValueError, match="empty point cloud"):
            kalemtri_dask.nearest(empty, Vec3d(0.0, 0.0, 0.0))
        assert kalemtri_dask.map_vec_list(empty, lambda v: v.is_unit()).compute().dtype == np.bool_
        assert kalemtri_dask.rotate(empty, Quat(1.0, 0.0, 0.0, 0.0)).compute().shape == (0, 3)


@pytest.mark.parametrize(
    "fn, expected",
    [
        (lambda v: v - Vec3d(1.0, -0.0, 2.5), lambda: ONE - OFFSET),
        (
            lambda v: VecList([Vec3d(1.0, 2.0, 3.0)] * len(v)),
            lambda: VecList([Vec3d(1.0, 2.0, 3.0)] * N),
        ),
        (
            lambda v: v.rotated(Quat(0.9, -0.1, 0.3, 0.5)),
            lambda: ONE.rotated(Quat(0.9, -0.1, 0.3, 0.5)),
        ),
        (
            lambda v: v * geometry.Plane(Vec3d(0.0, 0.0, 2.0), 1.0).normal.z,
            lambda: ONE * 1.0,  # the normal is normalised
        ),
    ],
    ids=["Vec3d", "VecList", "Quat", "geometry"],
)
def test_fn_may_name_the_classes_it_imported(scheduler, points, fn, expected):
    got = compute(kalemtri_dask.map_vec_list(points, fn, returns=VecList))
    assert (int_bits(got) == int_bits(np.asarray(expected()))).all()


class Stop(BaseException):
    pass


def stop(v):
    raise Stop("enough")


@pytest.mark.parametrize(
    "fn, name, message",
    [
        (lambda v: v.collapse(7), "PanicException", "explicit panic"),
        (stop, "Stop", "enough"),
        (lambda v: sys.exit(3), "SystemExit", "3"),
        (lambda v: exec("raise KeyboardInterrupt"), "KeyboardInterrupt", ""),
    ],
    ids=["panic", "base-exception", "exit", "interrupt"],
)
def test_other_base_exceptions_of_fn_arrive_as_exceptions(scheduler, points, fn, name, message):
    result = kalemtri_dask.map_vec_list(points, fn, returns=VecList)
    with pytest.raises(kalemtri_dask.FnError) as raised:
        compute(result)
    assert raised.value.args == (name, message)
    assert str(raised.value) == f"fn raised {name}" + (f": {message}" if message else "")


@pytest.mark.parametrize(
    "fn, name",
    [
        (lambda v: v.collapse(7), "PanicException"),
        (stop, "Stop"),
        (lambda v: sys.exit(3), "SystemExit"),
    ],
    ids=["panic", "base-exception", "exit"],
)
def test_the_trial_call_reports_other_base_exceptions_as_fn_errors(points, fn, name):
    with pytest.raises(kalemtri_dask.FnError) as raised:
        kalemtri_dask.map_vec_list(points, fn)
    assert raised.value.args[0] == name


def test_an_interrupt_of_the_main_thread_passes_unchanged(points):
    assert threading.current_thread() is threading.main_thread()
    result = kalemtri_dask.map_vec_list(
        points, lambda v: exec("raise KeyboardInterrupt"), returns=float
    )
    with dask.config.set(scheduler="sync"), pytest.raises(KeyboardInterrupt):
        result.compute()


def test_a_class_no_worker_can_import_fails_on_the_client(client, points):
    lister = type(iter(VecList.empty()))
    result = kalemtri_dask.map_vec_list(points, lambda v, t=lister: v, returns=VecList)
    with dask.config.set(scheduler=client), pytest.raises(Exception) as raised:
        compute(result, timeout=30)
    chain, error = [], raised.value
    while error is not None:
        chain.append(str(error))
        error = error.__cause__ or error.__context__
    assert any(
        "the class VecListIterator, which cannot be sent to dask workers" in m for m in chain
    )
    # The threaded scheduler sends nothing.
    with dask.config.set(scheduler="threads"):
        assert compute(result).shape == (N, 3)


def test_fn_may_close_over_a_name_bound_after_the_call(scheduler, points):
    result = kalemtri_dask.map_vec_list(points, lambda v: later(v), returns=VecList)

    def later(v):
        return v.normalize()

    assert (int_bits(compute(result)) == int_bits(np.asarray(ONE.normalize()))).all()


def masked_meta():
    return da.ma.masked_array(da.from_array(POINTS, chunks=(CHUNKS, 3)), mask=POINTS > 100.0)


def masked_chunks():
    # Chunks that are masked although the array's meta is not.
    plain = da.from_array(POINTS, chunks=(CHUNKS, 3))
    meta = np.empty((0, 3))
    return plain.map_blocks(lambda b: np.ma.masked_array(b, mask=b > 100.0), meta=meta)


@pytest.mark.parametrize(
    "call",
    [
        lambda p: kalemtri_dask.nearest(p, Vec3d(0.0, 0.0, 0.0)),
        lambda p: kalemtri_dask.rotate(p, Quat(1.0, 0.0, 0.0, 0.0)).compute(),
        lambda p: kalemtri_dask.map_vec_list(p, lambda v: v.normalize()).compute(),
        lambda p: kalemtri_dask.map_vec_list(p, lambda v: v.magnitude(), returns=float).compute(),
    ],
    ids=["nearest", "rotate", "map_vec_list", "map_vec_list-float"],
)
@pytest.mark.parametrize(
    "make",
    [masked_meta, masked_chunks, lambda: np.ma.masked_array(POINTS, mask=POINTS > 100.0)],
    ids=["dask", "chunks", "numpy"],
)
def test_masked_clouds_are_refused(call, make):
    with dask.config.set(scheduler="sync"), pytest.raises(TypeError, match="is a masked array"):
        call(make())


def test_float32_clouds_are_widened_exactly(scheduler):
    small = POINTS.astype(np.float32)
    points = da.from_array(small, chunks=(CHUNKS, 3))
    wide = VecList.from_buffer(small.astype(np.float64))
    q = Quat(0.9, -0.1, 0.3, 0.5)
    assert (
        int_bits(compute(kalemtri_dask.rotate(points, q))) == int_bits(np.asarray(wide.rotated(q)))
    ).all()
    got = compute(kalemtri_dask.map_vec_list(points, lambda v: v.magnitude(), returns=float))
    assert (int_bits(got) == int_bits(np.array(wide.magnitude()))).all()
    for target in TARGETS:
        index, distance = wide.minimum_distance_to(target, 1)
        got = kalemtri_dask.nearest(points, target)
        assert got[0] == index and struct.pack("<d", got[1]) == struct.pack("<d", distance)


def test_nothing_is_computed_before_compute(points):
    calls = []
    result = kalemtri_dask.map_vec_list(
        points, lambda v: calls.append(len(v)) or v.normalize(), returns=VecList
    )
    assert calls == [] and isinstance(result, da.Array)


def test_the_workers_did_the_work(client, points):
    with dask.config.set(scheduler=client):
        kalemtri_dask.nearest(points, Vec3d(0.0, 0.0, 0.0))
    assert all(client.run(lambda: "kalemtri_dask" in sys.modules).values())


def test_importing_does_not_import_dask():
    import subprocess

    code = "import sys, kalemtri_dask; print('dask' in sys.modules)"
    assert (
        subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, check=True
        ).stdout
        == "False\n"
    )


def test_a_chunk_that_cannot_be_read_in_place_is_reduced_in_slices():
    from kalemtri_dask._chunks import _float_of, _nearest_chunk

    # dask may hand a Fortran-ordered array's chunks over in C order; the task is called directly.
    block = np.asfortranarray(POINTS[B2 - 2_500 : B2 + 2_500])
    one = VecList.from_buffer(block)
    for target in TARGETS:
        index, distance = one.minimum_distance_to(target, 1)
        count, (_, got, bits) = _nearest_chunk(block, target, 1_000)
        assert count == len(block) and got == index
        assert struct.pack("<d", _float_of(bits)) == struct.pack("<d", distance)


def threads_seen_by_kalemtri(task, *args):
    """Runs a chunk task and records kalemtri_py.max_threads() at each call into kalemtri it
    makes, then once more after it."""
    from kalemtri_py import VecTree

    seen = []

    def profile(frame, event, arg):
        owner = getattr(arg, "__self__", None)
        if event == "c_call" and (
            isinstance(owner, (VecList, VecTree)) or owner is VecList or owner is VecTree
        ):
            seen.append(kalemtri_py.max_threads())

    sys.setprofile(profile)
    try:
        task(*args)
    finally:
        sys.setprofile(None)
    return seen, kalemtri_py.max_threads()


def chunk_tasks():
    from kalemtri_dask import _chunks, _pickling, _tree

    block = POINTS[:5_000]
    targets = POINTS[:50].copy()
    return {
        "map": (_chunks._map_chunk, block, _pickling._Fn(lambda v: v.normalize()), "VecList"),
        "rotate": (_chunks._rotate_chunk, block, Quat(0.5, 0.5, 0.5, 0.5)),
        "nearest": (_chunks._nearest_chunk, np.asfortranarray(block), OFFSET, 1_000),
        "nearest_many": (_tree._tree_chunk, block, targets, 3),
        "within_many": (_tree._hits_chunk, block, targets, 0.5),
    }


@pytest.mark.parametrize("name", ["map", "rotate", "nearest", "nearest_many", "within_many"])
def test_tasks_use_only_their_workers_threads(client, name):
    task, *args = chunk_tasks()[name]
    full = kalemtri_py.max_threads()
    # The client's workers run one thread each; the threaded scheduler has no worker to follow.
    seen, after = client.submit(threads_seen_by_kalemtri, task, *args, pure=False).result(60)
    assert seen and set(seen) == {1} and after == client.run(kalemtri_py.max_threads).popitem()[1]
    seen, after = threads_seen_by_kalemtri(task, *args)
    assert seen and set(seen) == {full} and after == full


@pytest.mark.parametrize("chunks, joins", [(1, 0), (20, 1), (64, 1), (65, 3), (201, 5)])
def test_nearest_joins_its_candidates_in_few_tasks(chunks, joins):
    # Every level of joins is a round trip through the scheduler.
    from dask.callbacks import Callback

    ran = []
    points = da.from_array(POINTS, chunks=(-(-N // chunks), 3))
    assert points.numblocks[0] == chunks
    with dask.config.set(scheduler="sync"), Callback(pretask=lambda key, *_: ran.append(key)):
        got = kalemtri_dask.nearest(points, OFFSET)
    assert got == ONE.minimum_distance_to(OFFSET, 1)
    assert sum("join" in str(key) for key in ran) == joins
