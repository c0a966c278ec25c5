"""VecList.borrow: a read-only list over another object's memory, and VecList.rotated."""

import array
import copy
import gc
import pickle

import pytest
from test_vec_list import LARGE, edge_vectors, vec_bits

from kalemtri_py import Quat, Vec3d, VecList

np = pytest.importorskip("numpy")

EDGES = np.asarray(VecList(edge_vectors(LARGE))).copy()
Q = Quat(0.9, -0.1, 0.3, 0.5)
O = Vec3d(1.5, -0.0, 1e300)  # noqa: E741


def raw(v):
    return b"".join(vec_bits(e) for e in v)


def xyz(v):
    return v.x, v.y, v.z


def bits(result):
    if isinstance(result, VecList):
        return bytes(memoryview(result))
    return np.array(result).tobytes() if isinstance(result, list) else repr(result)


@pytest.mark.parametrize(
    "op",
    [
        lambda v: v.normalize(),
        lambda v: v.magnitude(),
        lambda v: v.is_unit(),
        lambda v: v.dot(O),
        lambda v: v.distance_to(O),
        lambda v: v.cross(O),
        lambda v: v.collapse(1),
        lambda v: v - O,
        lambda v: 0.5 * v,
        lambda v: v.rotated(Q),
        lambda v: v.minimum_distance_to(O, 1),
        lambda v: v.minimum_distance_to(Vec3d(0.0, 0.0, 0.0), 7),
        lambda v: v[LARGE - 1],
        lambda v: repr(v),
        lambda v: v.to_array(),
    ],
    ids=[
        "normalize",
        "magnitude",
        "is_unit",
        "dot",
        "distance_to",
        "cross",
        "collapse",
        "sub",
        "rmul",
        "rotated",
        "nearest",
        "nearest-stride",
        "item",
        "repr",
        "to_array",
    ],
)
@pytest.mark.parametrize("shape", ["rows", "flat"])
def test_borrowed_lists_compute_what_copies_compute(op, shape):
    source = EDGES if shape == "rows" else EDGES.reshape(-1)
    borrowed = VecList.borrow(source)
    assert len(borrowed) == LARGE and bits(op(borrowed)) == bits(op(VecList.from_buffer(source)))
    # The list reads the array's own memory.
    assert np.asarray(borrowed).ctypes.data == source.ctypes.data


def test_rotated_is_rotate_out_of_place():
    v = VecList.from_buffer(EDGES)
    before = raw(v)
    turned = v.rotated(Q)
    assert raw(v) == before
    v.rotate(Q)
    assert raw(turned) == raw(v) and len(VecList.empty().rotated(Q)) == 0


@pytest.mark.parametrize(
    "change, method",
    [
        (lambda v: v.append(Vec3d(1.0, 2.0, 3.0)), "append"),
        (lambda v: v.extend(VecList([Vec3d(1.0, 2.0, 3.0)])), "extend"),
        (lambda v: v.rotate(Q), "rotate"),
    ],
)
def test_borrowed_lists_refuse_every_change(change, method):
    source = EDGES[:100].copy()
    v = VecList.borrow(source)
    with pytest.raises(
        BufferError,
        match=rf"VecList.{method}\(\) cannot change a read-only list: it reads the memory of "
        r"another object \(VecList.borrow\); copy.copy\(\) it",
    ):
        change(v)
    assert len(v) == 100 and source.tobytes() == EDGES[:100].tobytes()
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        v.extend(v)


@pytest.mark.parametrize(
    "make",
    [
        copy.copy,
        lambda v: copy.deepcopy(v, {}),
        VecList,
        lambda v: pickle.loads(pickle.dumps(v, 2)),
        lambda v: pickle.loads(pickle.dumps(v, 5)),
        lambda v: v.normalize(),
    ],
    ids=["copy", "deepcopy", "constructor", "pickle-2", "pickle-5", "batch"],
)
def test_copies_of_a_borrowed_list_own_their_elements(make):
    source = EDGES[:50].copy()
    v = VecList.borrow(source)
    snapshot = iter(v)
    made = make(v)
    before = raw(made)
    source[:] = 7.0  # shows through the borrowed list only
    assert xyz(v[0]) == (7.0, 7.0, 7.0) and raw(made) == before
    assert raw(snapshot) == raw(VecList.from_buffer(EDGES[:50]))
    made.append(Vec3d(1.0, 2.0, 3.0))
    assert len(made) == 51 and len(v) == 50


def test_the_buffer_is_held_while_the_list_lives():
    source = np.arange(30.0).reshape(10, 3)
    v = VecList.borrow(source)
    with pytest.raises((BufferError, ValueError)):
        source.resize((20, 3), refcheck=False)
    view = np.asarray(v)
    assert not view.flags.writeable and view.ctypes.data == source.ctypes.data
    del source, view
    gc.collect()
    assert xyz(v[9]) == (27.0, 28.0, 29.0)  # the list keeps the array alive
    kept = array.array("d", [1.0, 2.0, 3.0])
    del v
    w = VecList.borrow(kept)
    del w
    kept.append(4.0)  # an array.array refuses this while exported


@pytest.mark.parametrize(
    "source, error, message",
    [
        (EDGES[::2], ValueError, "reads only doubles packed in C order"),
        (np.asfortranarray(EDGES[:10]), ValueError, "VecList.from_buffer.. copies any other"),
        (EDGES[:10, ::-1], ValueError, "packed in C order"),
        (
            np.frombuffer(bytes(8 * 6 + 1), np.uint8)[1:].view(np.float64).reshape(2, 3),
            ValueError,
            "aligned to 8 bytes",
        ),
        (EDGES[:10].astype(">f8"), TypeError, "buffer format '>d' is not native double"),
        (np.zeros((2, 4)), ValueError, r"buffer shape \(2, 4\) does not fit"),
        ([1.0, 2.0, 3.0], TypeError, "'list' object is not a buffer"),
    ],
    ids=["step", "fortran", "reversed", "misaligned", "big-endian", "shape", "list"],
)
def test_other_buffers_are_refused(source, error, message):
    with pytest.raises(error, match=f"argument 'buffer': .*{message}"):
        VecList.borrow(source)


@pytest.mark.parametrize(
    "source, n",
    [
        (np.empty((0, 3)), 0),
        (np.empty(0), 0),
        (np.ones((1, 3)), 1),
        (array.array("d", [1.0] * 6), 2),
    ],
    ids=["rows", "flat", "one", "array"],
)
def test_small_buffers(source, n):
    v = VecList.borrow(source)
    assert len(v) == n and raw(v.rotated(Q)) == raw(VecList.from_buffer(source).rotated(Q))
