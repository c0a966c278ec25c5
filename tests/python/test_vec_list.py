import array
import os
import platform
import shutil
import struct
import subprocess
import sys

import pytest

import kalemtri_py
from bits_probe import batch_arguments, run_batch
from conftest import bits, same
from kalemtri_py import Quat, Vec3d, VecList

NAN = float("nan")
INF = float("inf")
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
PAYLOAD_NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]
# Above the serial cutoff, so the pool splits the work.
LARGE = 50_001

EDGE_VALUES = [
    0.0,
    -0.0,
    1.5,
    -2.25,
    1e300,
    -1e-300,
    5e-324,
    -5e-324,
    INF,
    -INF,
    NAN,
    NEG_NAN,
    PAYLOAD_NAN,
    0.1,
    3.0,
]


def edge_vectors(n):
    k = len(EDGE_VALUES)
    return [
        Vec3d(EDGE_VALUES[i % k], EDGE_VALUES[(i // k) % k], EDGE_VALUES[(i * 7 + 3) % k] * (i + 1))
        for i in range(n)
    ]


def vec_bits(v):
    return bits(v.x) + bits(v.y) + bits(v.z)


def test_empty_lists():
    for v in (VecList([]), VecList(()), VecList.empty(), VecList(range(0))):
        assert len(v) == 0 and not v and repr(v) == "[]" and v.list == [] and v.to_array() == []
        assert (
            list(v) == []
            and v.magnitude() == []
            and len(v.normalize()) == 0
            and len(v.collapse(7)) == 0
        )
        with pytest.raises(IndexError, match="^Index out of bounds$"):
            v[0]
        with pytest.raises(BaseException, match=r"^called `Option::unwrap\(\)` on a `None` value$"):
            v.minimum_distance_to(Vec3d(0, 0, 0), 5)


class Seq:
    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(
    "arg, error, message",
    [
        ("abc", TypeError, "argument 'list': Can't extract `str` to `Vec`"),
        ({}, TypeError, "argument 'list': 'dict' object cannot be converted to 'Sequence'"),
        (
            (x for x in []),
            TypeError,
            "argument 'list': 'generator' object cannot be converted to 'Sequence'",
        ),
        (
            [Vec3d(1, 2, 3), 5],
            TypeError,
            "argument 'list': 'int' object cannot be converted to 'Vec3d'",
        ),
        (
            Seq([Vec3d(1, 2, 3), "x"]),
            TypeError,
            "argument 'list': 'str' object cannot be converted to 'Vec3d'",
        ),
        (Seq(None), TypeError, "argument 'list': 'NoneType' object is not subscriptable"),
        (Seq({0: Vec3d(1, 2, 3)}), KeyError, "1"),
    ],
)
def test_construction_errors(arg, error, message):
    with pytest.raises(error) as e:
        VecList(arg)
    assert str(e.value) == message


def test_construction_and_container():
    items = [Vec3d(1, 2, 3), Vec3d(4, 5, 6), Vec3d(7, 8, 9)]
    for source in (items, tuple(items), Seq(items), VecList(items)):
        v = VecList(source)
        assert [vec_bits(e) for e in v] == [vec_bits(e) for e in items]
    v = VecList(list=items)
    assert v[2].z == 9.0
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        v[3]
    with pytest.raises(OverflowError):
        v[-1]
    with pytest.raises(TypeError, match="^argument 'index': "):
        v[1.5]
    a = Vec3d(0, 0, 0)
    v.append(a)
    a.x = 99
    v[0].x = 99
    v.list[1].x = 99
    next(iter(v)).x = 99
    assert v.to_array() == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 9.0], [0.0, 0.0, 0.0]]
    with pytest.raises(
        TypeError, match="^argument 'vec': 'tuple' object cannot be converted to 'Vec3d'$"
    ):
        v.append((1, 2, 3))
    with pytest.raises(AttributeError):
        v.list = []


def test_extend_and_iterator_snapshot():
    v = VecList([Vec3d(1, 0, 0)])
    w = VecList([Vec3d(2, 0, 0), Vec3d(3, 0, 0)])
    it = iter(v)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        v.extend(v)
    with pytest.raises(
        TypeError, match="^argument 'other': 'list' object cannot be converted to 'VecList'$"
    ):
        v.extend([])
    v.extend(w)
    assert [e.x for e in v] == [1.0, 2.0, 3.0] and len(w) == 2
    assert iter(it) is it and [e.x for e in it] == [1.0]
    assert next(it, None) is None and next(it, None) is None
    with pytest.raises(TypeError, match=r"^cannot create 'builtins.VecListIterator' instances$"):
        type(it)()
    assert type(it).__doc__ is None and not hasattr(__import__("kalemtri_py"), "VecListIterator")


def test_text_form():
    v = VecList([Vec3d(1, 2, 3), Vec3d(0.1, 0, -0.0), Vec3d(1e21, 1e-7, NAN)])
    assert (
        repr(v) == "[Vec3d(1, 2, 3)\nVec3d(0.1, 0, -0)\nVec3d(1" + "0" * 21 + ", 0.0000001, NaN)]"
    )
    big = edge_vectors(3000)  # formatted in chunks on the pool
    assert repr(VecList(big)) == "[" + "\n".join(map(repr, big)) + "]"


# The operands each batch operation the module lists is run with, by the operand's class.
OPERANDS = {
    "Vec3d": [
        Vec3d(1, -0.0, INF),
        Vec3d(0.1, 0.2, -0.3),
        Vec3d(0.5, -2, 3),
        Vec3d(0.1, -3, 7),
        Vec3d(1, 2, -3),
    ],
    "float": [0.3, -3, 0.0, 7],
    "Quat": [Quat(0.9, -0.1, 0.3, 0.5)],
}

# The single-vector formula of a batch operation that Vec3d does not spell alike.
SINGLE = {
    "collapse": lambda e, axis: Vec3d(
        *(0.0 if i == axis else c for i, c in enumerate((e.x, e.y, e.z)))
    ),
    "rotate": lambda e, q: q.rotate(e),
}


def elementwise():
    """(operation on the list, the same operation on one Vec3d) for every batch operation the
    module lists, with every operand of its class."""
    table = {}
    for name, operand, in_place in kalemtri_py._batch_operations:
        choices = OPERANDS[operand] if isinstance(operand, str) else [None]
        for choice in choices:
            args = batch_arguments(operand, {operand: choice})
            single = SINGLE.get(name, lambda e, *a, name=name: getattr(e, name)(*a))
            key = f"{name}({', '.join(map(repr, args))})"
            table[key] = (
                lambda v, name=name, args=args, in_place=in_place: run_batch(
                    v, name, args, in_place
                ),
                lambda e, single=single, args=args: single(e, *args),
            )
    return table


ELEMENTWISE = elementwise()


def raw(result):
    """The bytes of a batch result at once: a list's elements, numbers as native doubles, truth
    values as bytes."""
    if not isinstance(result, VecList) and result and isinstance(result[0], bool):
        return bytes(result)
    return array.array("d", bytes(result) if isinstance(result, VecList) else result).tobytes()


def flat(result):
    if isinstance(result, VecList):
        return [vec_bits(e) for e in result]
    return [r if isinstance(r, bool) else bits(r) for r in result]


@pytest.mark.parametrize("n", [1, 37, LARGE])
@pytest.mark.parametrize("name", sorted(ELEMENTWISE))
def test_matches_single_vector(name, n):
    batch, single = ELEMENTWISE[name]
    items = edge_vectors(n)
    v = VecList(items)
    before = flat(v)
    want = [single(e) for e in items]
    if isinstance(want[0], Vec3d):
        want = VecList(want)
    # Exact bits, NaN signs and payloads included: edge values put two different NaNs, or a NaN
    # and an infinity, into one operation.
    assert flat(batch(v)) == flat(want) and flat(v) == before


@pytest.mark.parametrize("n", [3, LARGE])
def test_rotate_in_place(n):
    q = Quat(0.9, -0.1, 0.3, 0.5)
    items = edge_vectors(n)
    v = VecList(items)
    it, earlier = iter(v), v * 1
    assert v.rotate(q) is None
    assert flat(v) == flat(VecList([q.rotate(e) for e in items]))
    assert flat(VecList(list(it))) == flat(earlier) == flat(VecList(items))
    with pytest.raises(
        TypeError, match="^argument 'quat': 'Vec3d' object cannot be converted to 'Quat'$"
    ):
        v.rotate(Vec3d(1, 0, 0))


@pytest.mark.parametrize("n", [1, LARGE])
def test_collapse_errors_leave_list_unchanged(n):
    v = VecList(edge_vectors(n))
    before = flat(v)
    with pytest.raises(BaseException, match="^explicit panic$") as e:
        v.collapse(3)
    assert type(e.value).__name__ == "PanicException" and flat(v) == before
    with pytest.raises(OverflowError):
        v.collapse(-1)
    with pytest.raises(TypeError, match="^argument 'axis': "):
        v.collapse(1.0)


@pytest.mark.parametrize(
    "operation",
    [
        lambda v: v * v,
        lambda v: Vec3d(1, 2, 3) + v,
        lambda v: v + 1,
        lambda v: v / Vec3d(1, 1, 1),
        lambda v: 1 - v,
    ],
)
def test_unsupported_operands(operation):
    with pytest.raises(TypeError, match="unsupported operand"):
        operation(VecList([Vec3d(1, 2, 3)]))


def test_is_unit_boundary():
    v = VecList(
        [
            Vec3d(*c)
            for c in [
                (1, 0, 0),
                (0.6, 0.8, 0),
                (1, 1e-15, 0),
                (0.9999999999999999, 0, 0),
                (1.0000000000000002, 0, 0),
                (NAN, 0, 0),
            ]
        ]
    )
    assert v.is_unit() == [True, True, True, True, False, False]


def test_no_in_place_operators():
    v = VecList([Vec3d(1, 2, 3)])
    w = v
    v *= 2
    assert v is not w and w[0].x == 1.0 and v[0].x == 2.0


@pytest.mark.parametrize(
    "xs, o, stride, expected",
    [
        ([9, 8, 7, 2, 6, 1, 5, 0.5, 4, 3], 0, 3, (5, 1.0)),  # index 7 lies outside the window
        ([9, 8, 7, 2, 6, 1, 5, 0.5, 4, 3], 0, 1, (7, 0.5)),
        ([9, 8, 7, 2, 6, 1, 5, 0.5, 4, 3], 0, 100, (7, 0.5)),
        ([4], 0, 7, (0, 4.0)),
        ([3, 1, 2, 1, 1], 0, 1, (1, 1.0)),
        ([5, 6, 7, 1, 1], 0, 4, (3, 1.0)),  # the window reaches back from the best coarse sample
        ([2, NAN, 1], 0, 1, (2, 1.0)),  # a positive NaN loses against every number
        ([2, INF, 1, -INF], INF, 1, (1, NAN)),  # inf - inf is a negative NaN: it wins
        ([2, 3], NAN, 1, (0, NAN)),  # all distances the same NaN: a tie, the first wins
    ],
)
def test_minimum_distance(xs, o, stride, expected):
    index, d = VecList([Vec3d(x, 0, 0) for x in xs]).minimum_distance_to(Vec3d(o, 0, 0), stride)
    assert index == expected[0] and same(d, expected[1])


def test_minimum_distance_errors_and_keywords():
    v = VecList([Vec3d(i, 1, 2) for i in range(10)])
    with pytest.raises(BaseException, match=r"^assertion failed: stride != 0$"):
        VecList.empty().minimum_distance_to(Vec3d(0, 0, 0), 0)
    with pytest.raises(
        TypeError, match="^argument 'other': 'int' object cannot be converted to 'Vec3d'$"
    ):
        v.minimum_distance_to(1, 1)
    with pytest.raises(OverflowError):
        v.minimum_distance_to(Vec3d(0, 0, 0), -1)
    assert v.minimum_distance_to(stride=sys.maxsize * 2 + 1, other=Vec3d(4.2, 1, 2)) == (
        4,
        v[4].distance_to(Vec3d(4.2, 1, 2)),
    )


def test_minimum_distance_large_ties():
    # Equal minima in different pieces: the lowest index must win whatever the split.
    xs = [float(1000 - i % 1000) for i in range(LARGE * 4)]
    xs[LARGE + 5] = xs[3 * LARGE] = xs[LARGE * 2 + 11] = 0.25
    v = VecList([Vec3d(x, 0, 0) for x in xs])
    assert v.minimum_distance_to(Vec3d(0, 0, 0), 1) == (LARGE + 5, 0.25)


THREAD_SCRIPT = """
import hashlib, struct, sys
sys.path[:0] = {path!r}
from test_vec_list import edge_vectors, flat, raw, ELEMENTWISE, LARGE
from kalemtri_py import Quat, Vec3d, VecList
v = VecList(edge_vectors(4 * LARGE))
h = hashlib.sha256()
rotated = v * 1
rotated.rotate(Quat(0.9, -0.1, 0.3, 0.5))
h.update(b"".join(flat(rotated)))
for name in sorted(ELEMENTWISE):
    h.update(raw(ELEMENTWISE[name][0](v)))
for o in (Vec3d(1, 2, 3), Vec3d(0.1, 0, 0)):
    for stride in (1, 7, 1000):
        h.update(repr(v.minimum_distance_to(o, stride)).encode())
h.update(repr(v).encode())
print(h.hexdigest())
"""


def test_independent_of_thread_count():
    script = THREAD_SCRIPT.format(path=sys.path)
    one = subprocess.run(
        ["taskset", "-c", "0", sys.executable, "-c", script],
        capture_output=True,
        text=True,
        check=True,
    )
    every = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    )
    assert one.stdout and one.stdout == every.stdout


@pytest.mark.parametrize("enabled", [True, False])
def test_to_array_leaves_the_collector_as_it_was(enabled):
    import gc

    v = VecList([Vec3d(1, 2, 3)] * 5000)
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        rows = v.to_array()
        assert gc.isenabled() is enabled
        assert len(rows) == 5000 and rows[-1] == [1.0, 2.0, 3.0] and gc.is_tracked(rows[0])
    finally:
        (gc.enable if was else gc.disable)()


def test_batch_operations_are_listed_once_each_outside_all():
    listed = [(name, operand) for name, operand, _ in kalemtri_py._batch_operations]
    assert len(set(listed)) == len(listed)
    assert all(callable(getattr(VecList, name)) for name, _ in listed)
    assert "_batch_operations" not in kalemtri_py.__all__


def test_kernel_level_is_reported_outside_all():
    import kalemtri_py

    assert kalemtri_py._kernel_level in ("baseline", "avx2", "avx512")
    assert "_kernel_level" not in kalemtri_py.__all__
    # Wider kernels are chosen at run time on x86-64 only; elsewhere the compiler's own
    # vectorisation of the portable loops is all there is.
    if platform.machine() != "x86_64":
        assert kalemtri_py._kernel_level == "baseline"


LEVEL_SCRIPT = """
import hashlib, sys
sys.path[:0] = {path!r}
import kalemtri_py
from test_vec_list import edge_vectors, raw, ELEMENTWISE
from kalemtri_py import Quat, Vec3d, VecList

v = VecList(edge_vectors(20_000))
h = hashlib.sha256()
rotated = v * 1
rotated.rotate(Quat(0.9, -0.1, 0.3, 0.5))
for name in sorted(ELEMENTWISE):
    h.update(raw(ELEMENTWISE[name][0](v)))
h.update(raw(rotated))
for o in (Vec3d(1, 2, 3), Vec3d(0.1, 0, 0)):
    for stride in (1, 7, 1000):
        h.update(repr(v.minimum_distance_to(o, stride)).encode())
print(kalemtri_py._kernel_level, h.hexdigest())
"""


@pytest.mark.skipif(
    shutil.which("qemu-x86_64") is None or platform.machine() != "x86_64", reason="needs qemu-user"
)
# An instrumented module under emulation takes minutes and proves nothing more.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="sanitizer build")
def test_sse2_only_processor_runs_the_baseline_with_the_same_results():
    script = LEVEL_SCRIPT.format(path=sys.path)
    native = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    )
    emulated = subprocess.run(
        ["qemu-x86_64", "-cpu", "qemu64", sys.executable, "-c", script],
        capture_output=True,
        text=True,
        check=True,
    )
    assert emulated.stdout.split()[0] == "baseline"
    assert emulated.stdout.split()[1] == native.stdout.split()[1]
