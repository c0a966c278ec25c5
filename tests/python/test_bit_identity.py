"""Results must not depend on the machine: the same bits on x86-64 and i386."""

import hashlib
import math
import struct

import pytest

from bits_probe import Inputs, lines
from conftest import bits
from kalemtri_py import AngleRadians, Quat, Vec3d

# The digest of the module's own arithmetic over the probe's random inputs, taken on x86-64. A
# change here means some result changed its bits: x87 arithmetic, FMA contraction, a reordered
# formula or a kernel that rounds differently.
OWN_DIGEST = "e07b8dc956ea53a460c754bc8ada6ac6ba392f9acdb45f62b7d1f079bc5d442f"


def test_own_arithmetic_is_the_same_everywhere():
    own = [line for line in lines(40) if line.startswith("own ")]
    assert hashlib.sha256("\n".join(own).encode()).hexdigest() == OWN_DIGEST


@pytest.fixture(scope="module")
def angles():
    inputs = Inputs(7)
    return [inputs.number(-30, 5) for _ in range(3000)] + [0.0, -0.0, 1e-300, math.pi, 1e22]


@pytest.mark.parametrize(
    "method, reference",
    [("sin", math.sin), ("cos", math.cos), ("tan", math.tan)],
)
def test_trigonometry_is_the_platforms(angles, method, reference):
    # The platform's libm, whose last bit may differ between machines: only the local one decides.
    assert [bits(getattr(AngleRadians(t), method)()) for t in angles] == [
        bits(reference(t)) for t in angles
    ]


def test_from_axis_angle_uses_the_platforms_sine_and_cosine(angles):
    for t in angles:
        q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(t))
        assert bits(q.w) == bits(math.cos(t * -0.5)) and bits(q.k) == bits(math.sin(t * -0.5)), t


def test_signalling_nan_reaches_the_module_as_a_nan():
    # The i386 interpreter quiets it while unpacking; either way the module stores what it gets.
    value = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]
    assert math.isnan(value) and bits(Vec3d(value, 0, 0).x) == bits(value)
