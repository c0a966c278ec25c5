"""Internal assertion failures surface as PanicException, with a diagnostic on standard error."""

import subprocess
import sys

import pytest

from kalemtri_py import Vec3d, VecList


def panic():
    try:
        VecList([Vec3d(1, 2, 3)]).collapse(3)
    except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException on purpose
        return e
    raise AssertionError("collapse(3) did not fail")


def test_exception_type():
    e = panic()
    kind = type(e)
    assert (kind.__module__, kind.__name__) == ("pyo3_runtime", "PanicException")
    assert kind.__bases__ == (BaseException,) and not isinstance(e, Exception)
    assert "BaseException" in kind.__doc__
    assert e.args == ("explicit panic",) and str(e) == "explicit panic"
    assert type(panic()) is kind


def run(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)


def test_diagnostic_names_thread_location_operation_and_message():
    out = run(
        "from kalemtri_py import Vec3d, VecList\n"
        "try:\n"
        "    VecList([Vec3d(1, 2, 3)]).collapse(3)\n"
        "except Exception:\n"
        "    print('caught as Exception')\n"
        "except BaseException as e:\n"
        "    print('caught', e)\n"
    )
    assert out.stdout == "caught explicit panic\n"
    assert "thread '" in out.stderr and "panicked at " in out.stderr and "vec3d.hpp:" in out.stderr
    assert " in kalemtri::collapse:\n" in out.stderr
    assert out.stderr.rstrip().endswith("explicit panic")


def test_panic_from_python_code_is_resumed():
    out = run(
        "from kalemtri_py import Vec3d, VecList\n"
        "class Evil:\n"
        "    def __float__(self):\n"
        "        VecList([Vec3d(1, 2, 3)]).collapse(3)\n"
        "try:\n"
        "    Vec3d(Evil(), 0, 0)\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e, e.__cause__)\n"
    )
    assert out.stdout == "PanicException explicit panic None\n"
    assert "resuming a panic" in out.stderr and "Python stack trace below:" in out.stderr
    assert "Traceback" in out.stderr and "__float__" in out.stderr


def test_list_is_unchanged_after_a_panic():
    v = VecList([Vec3d(1, 2, 3)])
    with pytest.raises(BaseException, match="^assertion failed: stride != 0$"):
        v.minimum_distance_to(Vec3d.zero(), 0)
    with pytest.raises(BaseException, match="^explicit panic$"):
        v.collapse(5)
    assert repr(v) == "[Vec3d(1, 2, 3)]"
