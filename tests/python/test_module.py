"""The module's shape and the conventions every binding shares."""

import importlib
import inspect
import math
import shutil
import subprocess
import sys

import pytest

import kalemtri_py
from kalemtri_py import Vec3d, VecList


def test_registration_order_and_docs():
    assert kalemtri_py.__all__ == [
        "AngleRadians",
        "AngleDegrees",
        "Quat",
        "Vec3d",
        "VecList",
        "geometry",
    ]
    assert [n for n in vars(kalemtri_py) if n in kalemtri_py.__all__] == kalemtri_py.__all__
    assert kalemtri_py.__doc__ == ""
    geometry = kalemtri_py.geometry
    assert geometry.__name__ == "geometry" and geometry.__doc__ == ""
    assert not hasattr(kalemtri_py, "VecListIterator")
    assert not hasattr(kalemtri_py, "PanicException")


def test_version_is_the_installed_distributions():
    from importlib import metadata

    assert kalemtri_py.__version__ == metadata.version("kalemtri")
    assert type(kalemtri_py.__version__) is str and "__version__" not in kalemtri_py.__all__


def test_geometry_is_not_importable_by_path():
    assert "geometry" not in sys.modules and "kalemtri_py.geometry" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("kalemtri_py.geometry")
    from kalemtri_py import geometry

    assert geometry is kalemtri_py.geometry


def test_reinitialisation_returns_the_cached_module():
    code = (
        "import sys, importlib, kalemtri_py as a\n"
        "del sys.modules['kalemtri_py']\n"
        "import kalemtri_py as b\n"
        "print(a is b, a.Vec3d is b.Vec3d)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["True", "True"]


def test_class_shape():
    v = Vec3d(1, 2, 3)
    assert (Vec3d.__module__, Vec3d.__name__, Vec3d.__qualname__) == ("builtins", "Vec3d", "Vec3d")
    assert Vec3d.__doc__ == "" and Vec3d.__text_signature__ == "(x, y, z)"
    assert Vec3d.dot.__doc__ is None and Vec3d.dot.__text_signature__ == "($self, other)"
    assert Vec3d.zero.__text_signature__ == "()" and Vec3d.magnitude.__text_signature__ == "($self)"
    assert str(inspect.signature(Vec3d.distance_to_line)) == "(self, /, a, b)"
    with pytest.raises(TypeError):
        type("V", (Vec3d,), {})
    with pytest.raises(AttributeError):
        v.w = 1
    assert not hasattr(v, "__dict__")
    with pytest.raises(TypeError):
        __import__("weakref").ref(v)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del v.x


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Vec3d(1, 2), "Vec3d.__new__() missing 1 required positional argument: 'z'"),
        (lambda: Vec3d(1), "Vec3d.__new__() missing 2 required positional arguments: 'y' and 'z'"),
        (
            lambda: Vec3d(),
            "Vec3d.__new__() missing 3 required positional arguments: 'x', 'y', and 'z'",
        ),
        (
            lambda: Vec3d(1, 2, 3, 4),
            "Vec3d.__new__() takes 3 positional arguments but 4 were given",
        ),
        (lambda: Vec3d(1, 2, 3, w=0), "Vec3d.__new__() got an unexpected keyword argument 'w'"),
        (lambda: Vec3d(1, 2, 3, x=1), "Vec3d.__new__() got multiple values for argument 'x'"),
        (
            lambda: Vec3d.__new__(Vec3d, 1, 2, 3, 4),
            "Vec3d.__new__() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: Vec3d.zero().dot(Vec3d.i(), Vec3d.j()),
            "Vec3d.dot() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: Vec3d.new_from_to(1, 2, 3),
            "Vec3d.new_from_to() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: Vec3d.zero().dot(None),
            "argument 'other': 'NoneType' object cannot be converted to 'Vec3d'",
        ),
        (
            lambda: Vec3d.zero().dot(other=1.5),
            "argument 'other': 'float' object cannot be converted to 'Vec3d'",
        ),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_conversion_prefix_only_on_type_errors():
    with pytest.raises(TypeError, match="^argument 'x': ") as info:
        Vec3d("a", 2, 3)
    assert info.value.__cause__ is None
    with pytest.raises(OverflowError) as overflow:
        Vec3d(1, 2, 10**400)
    assert not str(overflow.value).startswith("argument")

    class Boom:
        def __float__(self):
            raise ValueError("boom")

    with pytest.raises(ValueError, match="^boom$"):
        Vec3d(Boom(), 0, 0)


def test_float_and_index_conversion():
    class Half:
        def __float__(self):
            return 0.5

    class Two:
        def __index__(self):
            return 2

    v = Vec3d(True, Half(), 7)
    assert (v.x, v.y, v.z) == (1.0, 0.5, 7.0)
    assert v[Two()] == 7.0
    assert v[True] == 0.5


# Indexes, axes and strides are unsigned machine words: 32 bits on i386, 64 on x86-64.
WORD_MAX = sys.maxsize * 2 + 1


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def raises(error, pattern):
    def check(call):
        with pytest.raises(error, match=pattern):
            call()

    return check


def returns(expected):
    def check(call):
        assert call() == expected

    return check


# Each unsigned argument, with what a value inside the word range does there.
UNSIGNED = {
    "Vec3d index": (lambda n: Vec3d(1, 2, 3)[n], raises(IndexError, "^Index out of bounds$")),
    "VecList index": (
        lambda n: VecList([Vec3d(i, 0, 0) for i in range(8)])[n],
        raises(IndexError, "^Index out of bounds$"),
    ),
    "collapse axis": (
        lambda n: VecList([Vec3d(1, 2, 3)]).collapse(n),
        raises(BaseException, "^explicit panic$"),
    ),
    "stride": (
        lambda n: VecList([Vec3d(3, 4, 0), Vec3d(1, 1, 0)]).minimum_distance_to(Vec3d(0, 0, 0), n),
        returns((1, math.sqrt(2))),
    ),
}


@pytest.mark.parametrize("wrap", [int, Index], ids=["int", "__index__"])
@pytest.mark.parametrize("value", [2**32 - 1, 2**32, 2**32 + 1, 2**32 + 5, 2**64 - 1])
@pytest.mark.parametrize("name", sorted(UNSIGNED))
def test_unsigned_word_range(name, value, wrap):
    call, accepted = UNSIGNED[name]
    if value > WORD_MAX:
        # Never truncated to a smaller index, axis or stride.
        with pytest.raises(
            OverflowError, match="^out of range integral type conversion attempted$"
        ):
            call(wrap(value))
    else:
        accepted(lambda: call(wrap(value)))


@pytest.mark.parametrize("value", [-1, -(2**32), 2**64, 2**100])
@pytest.mark.parametrize("name", sorted(UNSIGNED))
def test_unsigned_outside_64_bits_keeps_the_interpreters_error(name, value):
    with pytest.raises(OverflowError) as info:
        UNSIGNED[name][0](value)
    assert "out of range integral" not in str(info.value) and not str(info.value).startswith(
        "argument"
    )


def test_operators_return_not_implemented():
    v = Vec3d(1, 2, 3)
    for op in (
        lambda: v + 1,
        lambda: 1 + v,
        lambda: v * v,
        lambda: 2 / v,
        lambda: v - "a",
        lambda: v < v,
    ):
        with pytest.raises(TypeError):
            op()

    class Reflecting:
        def __radd__(self, other):
            return "reflected"

    assert v + Reflecting() == "reflected"


def test_borrow_conflict_during_conversion():
    v = Vec3d(1, 2, 3)

    class Sneaky:
        def __float__(self):
            v.x = 100.0  # v is borrowed for reading while the call converts this argument
            return 2.0

    with pytest.raises(TypeError):  # the RuntimeError makes `*` yield NotImplemented
        v * Sneaky()
    assert v.x == 1.0

    class Hostile:
        def __index__(self):
            v.y = 5.0
            return 0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        v[Hostile()]
    assert v.y == 2.0


SUB_INTERPRETER_IMPORT = """
import sys
import kalemtri_py

isolated = sys.argv[1] == "isolated"
if sys.argv[1] == "public":
    # 3.14's public module: an isolated interpreter, the error carried by ExecutionFailed.
    from concurrent import interpreters

    try:
        interpreters.create().exec("import kalemtri_py")
        print("imported")
    except interpreters.ExecutionFailed as e:
        print(e)
elif sys.version_info >= (3, 13):
    import _interpreters as sub

    failure = sub.run_string(sub.create("isolated" if isolated else "legacy"), "import kalemtri_py")
    print(failure.formatted if failure else "imported")
else:
    import _xxsubinterpreters as sub

    interp = sub.create(isolated=isolated) if sys.version_info >= (3, 12) else sub.create()
    try:
        sub.run_string(interp, "import kalemtri_py")
        print("imported")
    except Exception as e:
        print(e)
print(kalemtri_py.Vec3d(1, 2, 3))
"""


@pytest.mark.parametrize(
    "config, message",
    [
        # The module's own check: a legacy-config interpreter gets as far as its init function.
        ("legacy", "kalemtri_py does not yet support sub-interpreters"),
        # From 3.12 an isolated interpreter refuses a single-phase-init module before that.
        pytest.param(
            "isolated",
            "module kalemtri_py does not support loading in subinterpreters",
            marks=pytest.mark.skipif(sys.version_info < (3, 12), reason="no isolated interpreters"),
        ),
        pytest.param(
            "public",
            "module kalemtri_py does not support loading in subinterpreters",
            marks=pytest.mark.skipif(
                sys.version_info < (3, 14), reason="no concurrent.interpreters"
            ),
        ),
    ],
)
def test_sub_interpreters_are_refused(config, message):
    out = subprocess.run(
        [sys.executable, "-c", SUB_INTERPRETER_IMPORT, config],
        capture_output=True,
        text=True,
        check=True,
    )
    assert "ImportError" in out.stdout and message in out.stdout
    assert out.stdout.rstrip().endswith("Vec3d(1, 2, 3)")


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_the_shared_object_exports_only_its_entry_point():
    table = subprocess.run(
        ["nm", "-D", "--defined-only", kalemtri_py.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert [line.split()[-1] for line in table.splitlines()] == ["PyInit_kalemtri_py"]
