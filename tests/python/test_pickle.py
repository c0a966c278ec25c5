"""Pickling and copying of every class."""

import copy
import pickle
import struct
import subprocess
import sys

import pytest
from test_vec_list import LARGE, edge_vectors

import kalemtri_py
from kalemtri_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList, geometry

# Bit patterns that a float round trip could lose: -0.0, a signalling NaN, a NaN with a payload.
SPECIAL = [0x8000000000000000, 0x7FF0000000000001, 0xFFF80000DEADBEEF, 0x3FF0000000000000]


def words(n):
    return b"".join(struct.pack("<Q", SPECIAL[i % len(SPECIAL)]) for i in range(n))


# Built from raw bytes, so no value passes through a Python float.
VALUES = {
    "Vec3d": lambda: kalemtri_py._reconstruct("Vec3d", words(3)),
    "AngleRadians": lambda: kalemtri_py._reconstruct("AngleRadians", words(2)[8:]),
    "AngleDegrees": lambda: kalemtri_py._reconstruct("AngleDegrees", words(1)),
    "Quat": lambda: kalemtri_py._reconstruct("Quat", words(4)),
    "Plane": lambda: kalemtri_py._reconstruct("Plane", words(4)),  # a normal of any length
    "Circle": lambda: kalemtri_py._reconstruct("Circle", words(7)),
    "VecList": lambda: VecList.from_buffer(memoryview(words(30)).cast("d")),
    "large VecList": lambda: VecList(edge_vectors(LARGE)),
    "QuatList": lambda: kalemtri_py.QuatList.from_buffer(memoryview(words(32)).cast("d")),
}


def state(obj):
    """The raw bytes of an object's fields."""
    if isinstance(obj, VecList):
        return bytes(obj)
    name, data = obj.__reduce__()[1]
    assert name == type(obj).__name__
    return bytes(data)


def test_values_are_built_from_their_bits():
    v = VALUES["Vec3d"]()
    assert struct.pack("<d", v.x) == struct.pack("<Q", SPECIAL[0])
    assert isinstance(VALUES["Plane"](), geometry.Plane)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", VALUES)
def test_round_trip_keeps_every_bit(name, protocol):
    obj = VALUES[name]()
    back = pickle.loads(pickle.dumps(obj, protocol=protocol))
    assert type(back) is type(obj) and back is not obj
    assert state(back) == state(obj)


@pytest.mark.parametrize("name", VALUES)
def test_copies_are_independent(name):
    obj = VALUES[name]()
    for duplicate in (copy.copy(obj), copy.deepcopy(obj)):
        assert type(duplicate) is type(obj) and duplicate is not obj
        assert state(duplicate) == state(obj)
    nested = copy.deepcopy({"a": obj, "b": obj})
    assert nested["a"] is nested["b"] and nested["a"] is not obj


def test_changing_a_copy_leaves_the_original():
    v, c = Vec3d(1, 2, 3), geometry.Circle(Vec3d(0, 0, 0), 1, Vec3d(0, 0, 1))
    w, d = copy.copy(v), copy.deepcopy(c)
    w.x, d.radius, d.center = 9.0, 5.0, Vec3d(1, 1, 1)
    assert v.x == 1.0 and c.radius == 1.0 and c.center.x == 0.0
    lst = VecList([Vec3d(1, 2, 3)])
    for other in (copy.copy(lst), copy.deepcopy(lst), pickle.loads(pickle.dumps(lst))):
        other.append(Vec3d(4, 5, 6))
        other.rotate(Quat(0.0, 1.0, 0.0, 0.0))
    assert len(lst) == 1 and lst[0].y == 2.0


def test_vec_list_pickles_as_one_block():
    v = VecList(edge_vectors(1000))
    for protocol in (3, 4, 5):  # 2 writes bytes through a latin-1 text
        data = pickle.dumps(v, protocol=protocol)
        assert len(data) < 24 * 1000 + 200
    assert v.__reduce_ex__(4)[1] == ("VecList", bytes(v))
    assert isinstance(v.__reduce_ex__(5)[1][1], pickle.PickleBuffer)
    pickle.dumps(v, protocol=5)
    v.append(Vec3d(0, 0, 0))  # the pickler let go of the list's memory


def test_protocol_5_out_of_band():
    v = VecList(edge_vectors(LARGE))
    buffers = []
    data = pickle.dumps(v, protocol=5, buffer_callback=buffers.append)
    assert len(data) < 200 and len(buffers) == 1
    with pytest.raises(BufferError):  # the pickle buffer still shows the list's memory
        v.append(Vec3d(0, 0, 0))
    for supplied in (buffers, [bytearray(buffers[0].raw())], [buffers[0].raw()]):
        assert bytes(pickle.loads(data, buffers=supplied)) == bytes(v)
    del buffers, supplied
    v.append(Vec3d(0, 0, 0))
    assert len(v) == LARGE + 1


def test_loads_in_a_fresh_interpreter():
    objs = [VALUES[name]() for name in VALUES if name != "large VecList"]
    blobs = [pickle.dumps(objs, protocol=p) for p in (2, 4, 5)]
    code = (
        "import pickle, sys\n"
        "for blob in pickle.loads(sys.stdin.buffer.read()):\n"
        "    for o in pickle.loads(blob):\n"
        "        data = bytes(o) if type(o).__name__ == 'VecList' else o.__reduce__()[1][1]\n"
        "        print(type(o).__name__, bytes(data).hex())\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], input=pickle.dumps(blobs), capture_output=True, check=True
    )
    expected = [f"{type(o).__name__} {state(o).hex()}" for o in objs] * 3
    assert out.stdout.decode().split("\n")[:-1] == expected


def test_iterator_is_not_picklable():
    it = iter(VecList([Vec3d(1, 2, 3)]))
    for attempt in (lambda: pickle.dumps(it), lambda: copy.copy(it), lambda: copy.deepcopy(it)):
        with pytest.raises(TypeError, match="cannot pickle 'builtins.VecListIterator' object"):
            attempt()


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("Nope", b""), ValueError, "_reconstruct(): no class named 'Nope'"),
        (
            ("Vec3d", b"123"),
            ValueError,
            "_reconstruct(): the state of Vec3d must be 24 bytes, not 3",
        ),
        (
            ("VecList", b"1" * 25),
            ValueError,
            "_reconstruct(): the state of VecList must be a multiple of 24 bytes, not 25",
        ),
        (
            ("QuatList", b"1" * 40),
            ValueError,
            "_reconstruct(): the state of QuatList must be a multiple of 32 bytes, not 40",
        ),
        ((3, b""), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (("Quat", None), TypeError, "a bytes-like object is required, not 'NoneType'"),
    ],
)
def test_reconstruct_errors(args, error, message):
    with pytest.raises(error) as info:
        kalemtri_py._reconstruct(*args)
    assert str(info.value) == message


def pickling_classes():
    """Every class of the module and its submodule that defines its own `__reduce__`."""
    found = []
    for module in (kalemtri_py, geometry):
        for name in module.__all__:
            obj = getattr(module, name)
            if isinstance(obj, type) and "__reduce__" in vars(obj):
                found.append(obj)
    return found


@pytest.mark.parametrize("cls", pickling_classes(), ids=lambda cls: cls.__name__)
def test_every_pickling_class_is_known_to_the_reconstructor(cls):
    # An empty state is an empty VecList, and the wrong size for every other class: either way the
    # class was found by its name.
    try:
        assert type(kalemtri_py._reconstruct(cls.__name__, b"")) is cls
    except ValueError as error:
        assert str(error).startswith(f"_reconstruct(): the state of {cls.__name__} must be ")


@pytest.mark.parametrize(
    "name",
    ["Vec3d\x00junk", "Vec3d\x00", "VecList\x00", "Vec3", "Vec3d ", "vec3d", "", "VecListIterator"],
)
def test_reconstruct_wants_a_whole_class_name_of_a_pickling_class(name):
    iter(VecList([]))  # the iterator's class exists, but does not pickle
    with pytest.raises(ValueError) as info:
        kalemtri_py._reconstruct(name, bytes(24))
    assert str(info.value) == f"_reconstruct(): no class named '{name}'"


def test_reconstructor_stays_private():
    assert "_reconstruct" not in kalemtri_py.__all__
    assert kalemtri_py._reconstruct.__module__ == "kalemtri_py"
    assert (Vec3d.__module__, AngleDegrees.__module__, AngleRadians.__module__) == ("builtins",) * 3
