"""QuatList: construction, buffers in and out, and batch operations whose every element has the bits
of the single-quaternion call, on the calling thread and on the pool."""

import pytest
from test_vec_list import EDGE_VALUES, LARGE, edge_vectors

import kalemtri_py
from conftest import bits
from kalemtri_py import Quat, Vec3d, VecList

np = pytest.importorskip("numpy")
QuatList = kalemtri_py.QuatList


def edge_quats(n):
    k = len(EDGE_VALUES)
    return [
        Quat(*(EDGE_VALUES[(i * m + m * m) % k] * (1 + i % 3) for m in (1, 3, 5, 7)))
        for i in range(n)
    ]


def qbits(q):
    return b"".join(bits(x) for x in (q.w, q.i, q.j, q.k))


def test_module_attribute_outside_all():
    assert "QuatList" not in kalemtri_py.__all__ and QuatList.__module__ == "builtins"
    assert QuatList.__text_signature__ == "(list)" and QuatList.then.__doc__ is None


@pytest.mark.parametrize("make", [list, tuple, iter, lambda q: (x for x in q)])
def test_construction_and_access(make):
    items = [Quat(1, 2, 3, 4), Quat(-0.0, 5, 6, 7)]
    ql = QuatList(make(items))
    assert len(ql) == 2 and [qbits(q) for q in ql] == [qbits(q) for q in items]
    assert type(ql[1]) is Quat and ql[1] is not items[1]
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        ql[2]
    assert repr(ql) == "QuatList([Quat(1, 2, 3, 4), Quat(-0, 5, 6, 7)])"
    long = [f"Quat(0, 0, 0, {i})" for i in range(9)]
    assert repr(QuatList([Quat(0, 0, 0, i) for i in range(9)])) == (
        f"QuatList([{', '.join(long[:3])}, ..., {', '.join(long[-3:])}])"
    )


@pytest.mark.parametrize(
    "arg, message",
    [
        (
            [Quat(1, 0, 0, 0), Vec3d(1, 2, 3)],
            "argument 'list': 'Vec3d' object cannot be converted to 'Quat'",
        ),
        ("wijk", "argument 'list': 'str' object cannot be converted to 'Sequence'"),
        (5, "argument 'list': 'int' object cannot be converted to 'Sequence'"),
    ],
)
def test_construction_errors(arg, message):
    with pytest.raises(TypeError) as e:
        QuatList(arg)
    assert str(e.value) == message


def test_buffers_in_and_out():
    rows = np.array([[1.0, -0.0, 2.0, np.nan], [0.5, 0.5, 0.5, 0.5], [3.0, 4.0, 5.0, 6.0]])
    for source in (rows, rows.ravel(), np.asfortranarray(rows)):
        ql = QuatList.from_buffer(source)
        view = np.asarray(ql)
        assert view.shape == (3, 4) and not view.flags.writeable
        assert view.tobytes() == rows.tobytes()
    assert len(QuatList.from_buffer(np.empty((0, 4)))) == 0
    with pytest.raises(ValueError, match=r"buffer shape \(2, 3\) does not fit"):
        QuatList.from_buffer(np.zeros((2, 3)))


@pytest.mark.parametrize("n", [1, 37, LARGE])
@pytest.mark.parametrize(
    "name, single",
    [
        ("then", lambda q, p: q.then(p)),
        ("after", lambda q, p: p.then(q)),
        ("inverse", lambda q, p: q.inverse()),
        ("normalize", lambda q, p: q.normalize()),
    ],
)
def test_batch_is_the_single_call_element_by_element(n, name, single):
    items = edge_quats(n)
    inf, nan = float("inf"), float("nan")
    for p in (Quat(0.9, -0.1, 0.3, 0.2), Quat(inf, 0, -0.0, 1), Quat(inf, nan, 0, 1)):
        ql = QuatList(items)
        out = getattr(ql, name)(p) if name in ("then", "after") else getattr(ql, name)()
        assert type(out) is QuatList and len(out) == n
        # The same bits, NaN signs and payloads included.
        for got, q in zip(np.asarray(out), items):
            assert list(map(bits, got.tolist())) == list(map(bits, parts(single(q, p))))


def parts(q):
    return [q.w, q.i, q.j, q.k]


@pytest.mark.parametrize("n", [0, 5, LARGE])
def test_rotate_pairs(n):
    quats, vectors = edge_quats(n), edge_vectors(n)
    out = QuatList(quats).rotate(vectors=VecList(vectors))
    assert type(out) is VecList and len(out) == n
    for q, v, got in zip(quats, vectors, out):
        assert list(map(bits, got.to_array())) == list(map(bits, q.rotate(v).to_array()))


def test_rotate_needs_equal_lengths():
    with pytest.raises(ValueError) as e:
        QuatList([Quat(1, 0, 0, 0)] * 3).rotate(VecList([Vec3d(1, 2, 3)]))
    assert str(e.value) == (
        "QuatList.rotate(): 3 quaternions for 1 vectors; the lengths must be equal"
    )


def test_trajectory_against_scipy_stack():
    transform = pytest.importorskip("scipy.spatial.transform")
    rng = np.random.default_rng(3)
    xyzw = rng.normal(size=(1000, 4))
    xyzw /= np.linalg.norm(xyzw, axis=1)[:, None]
    ql = QuatList.from_buffer(np.column_stack([xyzw[:, 3], -xyzw[:, :3]]))
    points = rng.normal(size=(1000, 3))
    got = np.asarray(ql.rotate(VecList.from_buffer(points)))
    assert np.max(np.abs(got - transform.Rotation.from_quat(xyzw).apply(points))) < 1e-14
