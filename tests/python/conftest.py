import math
import struct
import subprocess
import sys

import pytest


def bits(value):
    """The exact bit pattern of a float, so -0.0 and NaN payloads count."""
    return struct.pack("<d", value)


def same(actual, expected):
    if isinstance(expected, float) and math.isnan(expected):
        return isinstance(actual, float) and math.isnan(actual)
    return bits(actual) == bits(expected)


@pytest.fixture
def assert_vec():
    def check(v, x, y, z):
        assert same(v.x, float(x)) and same(v.y, float(y)) and same(v.z, float(z)), repr(v)

    return check


def assert_same_output_on_one_core(script):
    """Runs `script` pinned to one core and unpinned, each in a child under a timeout: the same
    non-empty output, so the bits do not depend on the number of threads."""
    runs = [
        subprocess.run(
            cmd + [sys.executable, "-c", script], capture_output=True, text=True, timeout=300
        )
        for cmd in (["taskset", "-c", "0"], [])
    ]
    assert all(r.returncode == 0 for r in runs), runs[0].stderr + runs[1].stderr
    assert runs[0].stdout and runs[0].stdout == runs[1].stdout
