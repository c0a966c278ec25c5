import math
import struct

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
