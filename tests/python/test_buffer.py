"""VecList's buffer export and VecList.from_buffer."""

import array
import ctypes
import gc
import struct

import pytest
from test_vec_list import LARGE, edge_vectors, vec_bits

from kalemtri_py import Quat, Vec3d, VecList

SIGNALLING_NAN = struct.pack("<Q", 0x7FF0000000000001)
PAYLOAD_NAN = struct.pack("<Q", 0xFFF80000DEADBEEF)


def raw(v):
    return b"".join(vec_bits(e) for e in v)


def doubles(data):
    return memoryview(data).cast("d")


def test_memoryview_shape_and_bits():
    v = VecList(edge_vectors(40))
    m = memoryview(v)
    assert (m.format, m.itemsize, m.ndim, m.shape, m.strides) == ("d", 8, 2, (40, 3), (24, 8))
    assert m.readonly and m.c_contiguous and m.obj is v
    assert m.tobytes() == bytes(v) == raw(v)
    empty = memoryview(VecList.empty())
    assert empty.shape == (0, 3) and empty.tobytes() == b""


def test_numpy_views_without_copy():
    np = pytest.importorskip("numpy")
    v = VecList(edge_vectors(LARGE))
    a, b = np.asarray(v), np.asarray(v)
    assert a.shape == (LARGE, 3) and a.dtype == np.float64 and not a.flags.writeable
    assert a.ctypes.data == b.ctypes.data  # both see the list's own memory
    assert a.tobytes() == raw(v)
    with pytest.raises(ValueError):
        a[0, 0] = 1.0


def test_writable_requests_are_refused():
    v = VecList([Vec3d(1, 2, 3)])
    with pytest.raises((BufferError, TypeError)):
        ctypes.c_char.from_buffer(v)
    v.append(Vec3d(4, 5, 6))  # the refused request left no export behind
    assert len(v) == 2


MUTATIONS = {
    "append": lambda v: v.append(Vec3d(1, 1, 1)),
    "extend": lambda v: v.extend(VecList([Vec3d(1, 1, 1)])),
    "rotate": lambda v: v.rotate(Quat(0.0, 1.0, 0.0, 0.0)),
}


@pytest.mark.parametrize("name", MUTATIONS)
@pytest.mark.parametrize("n", [3, LARGE])
def test_mutations_refused_while_exported(name, n):
    v = VecList(edge_vectors(n))
    before = raw(v)
    first, second = memoryview(v), memoryview(v)
    with pytest.raises(
        BufferError,
        match=rf"^VecList\.{name}\(\) cannot change the list while buffer views of it exist",
    ):
        MUTATIONS[name](v)
    assert raw(v) == before and first.tobytes() == before
    # Reading operations and copies still work meanwhile.
    assert len(v + Vec3d(0, 0, 0)) == n and raw(VecList.from_buffer(v)) == before
    first.release()
    with pytest.raises(BufferError):
        MUTATIONS[name](v)
    second.release()
    MUTATIONS[name](v)
    assert raw(v) != before


def test_view_outlives_its_list():
    np = pytest.importorskip("numpy")
    v = VecList(edge_vectors(LARGE))
    expected = raw(v)
    m, a = memoryview(v), np.asarray(v)
    with pytest.raises(BufferError):
        v.rotate(Quat(0.5, 0.5, 0.5, 0.5))
    del v
    gc.collect()
    VecList(edge_vectors(LARGE)) * 2.0  # reuse freed memory if any was freed
    assert m.tobytes() == expected and a.tobytes() == expected
    owner = m.obj
    del m, a
    owner.append(Vec3d(0, 0, 0))  # every export is gone
    assert len(owner) == LARGE + 1


@pytest.mark.parametrize("n", [0, 1, 5, LARGE])
def test_from_buffer_keeps_every_bit(n):
    data = raw(edge_vectors(n))
    if n:
        data = SIGNALLING_NAN + PAYLOAD_NAN + data[16:]
    flat = doubles(data)
    sources = [flat, array.array("d", data)] + ([flat.cast("B").cast("d", [n, 3])] if n else [])
    # Read back through the buffer: the i386 interpreter quiets a signalling NaN whenever it takes a
    # float apart (struct.pack), so element by element it could not be seen there.
    for source in sources:
        assert bytes(memoryview(VecList.from_buffer(source))) == data
    assert bytes(memoryview(VecList.from_buffer(buffer=flat))) == data


@pytest.mark.parametrize("dtype", ["float64", "float32"])
@pytest.mark.parametrize("n", [4, LARGE])
def test_from_buffer_strides(n, dtype):
    np = pytest.importorskip("numpy")
    base = np.arange(n * 6, dtype=dtype).reshape(2 * n, 3)
    base[1, 1] = -0.0
    for source in (
        base,
        np.asfortranarray(base),
        base[::2],
        base[::-1],
        base[:, ::-1],
        base.T.copy().T,
        base.ravel()[::2][: 3 * (n // 2) * 2],
    ):
        v = VecList.from_buffer(source)
        assert raw(v) == np.ascontiguousarray(source, dtype=np.float64).reshape(-1, 3).tobytes()
    copy = VecList.from_buffer(base)
    base[0, 0] = 99.0
    assert copy[0].x == 0.0  # a copy, not a view


@pytest.mark.parametrize(
    "source, error, fragment",
    [
        ([1.0, 2.0, 3.0], TypeError, "'list' object is not a buffer"),
        (None, TypeError, "'NoneType' object is not a buffer"),
        (b"\0" * 24, TypeError, "buffer format 'B' is not native double"),
        ((ctypes.c_longdouble * 3)(), TypeError, "buffer format '<g' is not native double"),
        (array.array("q", [0] * 3), TypeError, "buffer format 'q' is not native double"),
        (array.array("i", [0] * 3), TypeError, "buffer format 'i' is not native double or float"),
        (array.array("d", [0.0] * 4), ValueError, "buffer shape (4,) does not fit"),
        (array.array("f", [0.0] * 4), ValueError, "buffer shape (4,) does not fit"),
        (
            doubles(bytes(64)).cast("B").cast("d", [4, 2]),
            ValueError,
            "buffer shape (4, 2) does not fit",
        ),
        (
            doubles(bytes(48)).cast("B").cast("d", [1, 2, 3]),
            ValueError,
            "buffer shape (1, 2, 3) does not fit",
        ),
    ],
)
def test_from_buffer_errors(source, error, fragment):
    with pytest.raises(error) as info:
        VecList.from_buffer(source)
    message = str(info.value)
    assert message.startswith("argument 'buffer': ") and fragment in message
    assert message.endswith(
        "expected native-endian doubles or floats (format 'd' or 'f') shaped (N, 3) or (3*N,)"
    )


@pytest.mark.parametrize("item", ["f8", "f4"])
def test_from_buffer_refuses_other_byte_orders(item):
    np = pytest.importorskip("numpy")
    swapped = np.arange(6.0).astype(
        (">" if struct.pack("=d", 1.0) == struct.pack("<d", 1.0) else "<") + item
    )
    with pytest.raises(TypeError, match="is not native double"):
        VecList.from_buffer(swapped)
    with pytest.raises(ValueError):
        VecList.from_buffer(np.float64(1.0))


FLOAT_EDGES = [
    0x00000000, 0x80000000, 0x3F800000, 0xBF7FFFFF,  # zeros, 1, just above -1
    0x00000001, 0x807FFFFF, 0x00800000, 0x7F7FFFFF,  # subnormals, smallest normal, largest
    0x7F800000, 0xFF800000,  # infinities
    0x7F800001, 0xFFBFFFFF, 0x7FC00000, 0xFFC0BEEF,  # signalling and quiet NaNs with payloads
]  # fmt: skip


def widened(data):
    """The doubles that float32 `data` widens to: every number exactly; a NaN keeps its sign and
    payload and becomes quiet, as x86 and ARM convert it."""
    out = []
    for (u,) in struct.iter_unpack("<I", data):
        if u & 0x7F800000 == 0x7F800000 and u & 0x7FFFFF:
            out.append(struct.pack("<Q", (u >> 31) << 63 | 0x7FF8 << 48 | (u & 0x7FFFFF) << 29))
        else:
            out.append(struct.pack("<d", struct.unpack("<f", struct.pack("<I", u))[0]))
    return b"".join(out)


def float_sources(data, n):
    """`data` (3n float32 values) behind every kind of exporter: formats 'f', '@f' and '<f', flat,
    shaped (n, 3) and strided."""
    flat = memoryview(data).cast("f")
    spread = bytearray(2 * len(data))
    memoryview(spread).cast("f")[::2] = flat
    sources = [flat, array.array("f", data), memoryview(spread).cast("f")[::2]]  # last: stride 8
    if n:  # CPython 3.9's ctypes gives an empty array itemsize 0
        sources.append(memoryview(data).cast("@f", [n, 3]))
        sources.append((ctypes.c_float * (3 * n)).from_buffer_copy(data))  # '<f'
        sources.append(((ctypes.c_float * 3) * n).from_buffer_copy(data))  # '<f', (n, 3)
    return sources


# 200,000 rows are 2.4 MB of floats: read in pieces on the pool.
@pytest.mark.parametrize("n", [0, 1, 5, LARGE, 200_000])
def test_from_buffer_widens_floats(n):
    words = FLOAT_EDGES + [
        int.from_bytes(struct.pack("<f", i * 0.37), "little") for i in range(3 * n)
    ]
    # Every 97th value a random bit pattern, NaNs of every kind among them.
    for i in range(0, 3 * n, 97):
        words[i] = (i * 2654435761) & 0xFFFFFFFF
    data = struct.pack(f"<{3 * n}I", *words[: 3 * n])
    expected = widened(data)
    for source in float_sources(data, n):
        assert bytes(memoryview(VecList.from_buffer(source))) == expected, source
