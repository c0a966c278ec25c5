"""The type stubs shipped beside the module, checked against it by mypy's stubtest."""

import importlib.util
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "..", "examples")

# `geometry` is reached as an attribute only; stubtest imports every stub module by its dotted
# name, so the check first makes that name importable in its own process. Older versions of
# stubtest do not report the slot quirks the allowlist names.
STUBTEST = (
    "import runpy, sys, kalemtri_py\n"
    "sys.modules['kalemtri_py.geometry'] = kalemtri_py.geometry\n"
    "allowlists = [a for path in sys.argv[1:] for a in ('--allowlist', path)]\n"
    "sys.argv = ['stubtest', 'kalemtri_py', '--ignore-unused-allowlist', *allowlists]\n"
    "runpy.run_module('mypy.stubtest', run_name='__main__')\n"
)


def stubs_dir():
    origin = importlib.util.find_spec("kalemtri_py").origin
    return os.path.join(os.path.dirname(origin), "kalemtri_py-stubs")


def test_stub_package_is_installed_beside_the_module():
    names = sorted(os.listdir(stubs_dir()))
    assert [n for n in names if n.endswith(".pyi")] == ["__init__.pyi", "geometry.pyi"]


def run(args, tmp_path):
    pytest.importorskip("mypy.stubtest")
    return subprocess.run(
        [sys.executable, *args], cwd=tmp_path, capture_output=True, text=True, timeout=600
    )


def test_stubtest(tmp_path):
    allowlists = [os.path.join(HERE, "stubtest-allowlist.txt")]
    if sys.version_info < (3, 12):
        allowlists.append(os.path.join(HERE, "stubtest-allowlist-before-3.12.txt"))
    out = run(["-c", STUBTEST, *allowlists], tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_mypy_on_examples(tmp_path):
    # The Dask example is checked only where dask is installed (not on i386, for one).
    examples = sorted(
        os.path.join(EXAMPLES, f)
        for f in os.listdir(EXAMPLES)
        if f.endswith(".py") and (f != "dask_cloud.py" or importlib.util.find_spec("dask"))
    )
    out = run(["-m", "mypy", "--cache-dir", str(tmp_path / "cache"), *examples], tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


# What a user writes with the buffer protocol; mypy must accept it for every interpreter, also
# those (before 3.12) whose typeshed knows the protocol only from the stubs' declaration.
BUFFER_USES = """
import numpy
from kalemtri_py import Vec3d, VecList

v = VecList([Vec3d(1, 2, 3)])
view: memoryview = memoryview(v)
raw: bytes = bytes(v)
array = numpy.asarray(v)
copies = [VecList.from_buffer(v), VecList.from_buffer(view), VecList.from_buffer(array)]
"""


# 3.10: the oldest that current mypy checks for, so that newer interpreters check it too.
@pytest.mark.parametrize("target", ["running", "3.10"])
def test_mypy_accepts_buffer_uses(target, tmp_path):
    pytest.importorskip("numpy")
    (tmp_path / "uses.py").write_text(BUFFER_USES)
    version = [] if target == "running" else ["--python-version", target]
    out = run(["-m", "mypy", "--cache-dir", str(tmp_path / "cache"), *version, "uses.py"], tmp_path)
    if "is not supported" in out.stderr:
        pytest.skip(f"this mypy cannot check for Python {target}")
    assert out.returncode == 0, out.stdout + out.stderr
