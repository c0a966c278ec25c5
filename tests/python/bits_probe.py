"""Random computations through every class, one line of exact result bits each.

Run it on two machines and compare the output line by line:

    python tests/python/bits_probe.py [COUNT] > x86_64.txt

Lines starting with "own" are the module's own arithmetic and must agree everywhere; lines starting
with "libm" go through the platform's sin, cos, tan or acos and may differ in the last bit between
platforms. The inputs are built from random integers with exact scaling, so every platform computes
from the same bits.
"""

import copy
import random
import struct
import sys

import kalemtri_py
from kalemtri_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList, geometry

QuatList = kalemtri_py.QuatList
Pose, PoseList = kalemtri_py.Pose, kalemtri_py.PoseList
SPECIALS = [
    struct.unpack(">d", bytes.fromhex(b))[0]
    for b in ("7ff8000000000000", "fff8000000000000", "7ff8000000000123", "fffc0000000004a5")
] + [float("inf"), float("-inf"), 0.0, -0.0]


def hexbits(value):
    """The exact bits of a result, as text."""
    if isinstance(value, bool):
        return "T" if value else "F"
    if isinstance(value, float):
        return struct.pack(">d", value).hex()
    if isinstance(value, int):
        return str(value)
    if value is None:
        return "-"
    if isinstance(value, Vec3d):
        return hexbits((value.x, value.y, value.z))
    if isinstance(value, Quat):
        return hexbits((value.w, value.i, value.j, value.k))
    if isinstance(value, Pose):
        return hexbits((value.rotation, value.translation))
    if isinstance(value, (AngleRadians, AngleDegrees)):
        return hexbits(value.angle)
    if isinstance(value, geometry.Plane):
        return hexbits((value.normal, value.distance))
    if isinstance(value, geometry.Circle):
        return hexbits((value.center, value.radius, value.normal))
    if isinstance(value, (tuple, list, VecList, QuatList, PoseList)):
        return ",".join(hexbits(v) for v in value)
    raise TypeError(type(value).__name__)


class Inputs:
    def __init__(self, seed):
        self.rng = random.Random(seed)

    def number(self, low=-8, high=8):
        """A double with a random 53-bit significand, sign and binary exponent; exact on every
        platform (scaling by a power of two only moves the exponent)."""
        significand = self.rng.getrandbits(53) | 1 << 52
        sign = -1 if self.rng.getrandbits(1) else 1
        return float(sign * significand) * 2.0 ** (self.rng.randint(low, high) - 52)

    def vec(self):
        return Vec3d(self.number(), self.number(), self.number())

    def quat(self):
        return Quat(self.number(-2, 0), self.number(-2, 0), self.number(-2, 0), self.number(-2, 0))

    def unit_quat(self):
        return self.quat().normalize()

    def special(self):
        """A random number or, half of the time, a NaN of either sign with or without a payload,
        an infinity or a zero: two different NaNs, or a NaN and an infinity, then meet in one
        operation. No signalling NaN: the i386 interpreter quiets it on the way in."""
        if self.rng.getrandbits(1):
            return self.number()
        return self.rng.choice(SPECIALS)

    def special_vec(self):
        return Vec3d(self.special(), self.special(), self.special())

    def special_quat(self):
        return Quat(self.special(), self.special(), self.special(), self.special())


def computations(inputs):
    """(kind, name, thunk) for one set of random inputs."""
    a, b, c, d = inputs.vec(), inputs.vec(), inputs.vec(), inputs.vec()
    s, t = inputs.number(), inputs.number(-4, 3)
    q, u = inputs.quat(), inputs.unit_quat()
    angle = AngleRadians(t)
    plane = geometry.Plane.from_points(a, b, c)
    normal = a.cross(b).normalize()
    # Two circles in one plane, often crossing. Inputs are made with the module's arithmetic only:
    # the interpreter's own may round differently on i386.
    r1, r2, offset = abs(inputs.number(0, 1)), abs(inputs.number(0, 1)), inputs.number(-1, 2)
    circle1 = geometry.Circle(c, r1, normal)
    circle2 = geometry.Circle(c + d.project_onto_plane(normal).normalize() * offset, r2, normal)
    own = [
        ("add", lambda: a + b),
        ("sub", lambda: a - b),
        ("mul", lambda: a * s),
        ("div", lambda: a / s),
        ("dot", lambda: a.dot(b)),
        ("cross", lambda: a.cross(b)),
        ("magnitude", lambda: a.magnitude()),
        ("normalize", lambda: a.normalize()),
        ("is_unit", lambda: a.normalize().is_unit()),
        ("distance_to", lambda: a.distance_to(b)),
        ("distance_to_line", lambda: a.distance_to_line(b, c)),
        ("project_onto_line", lambda: a.project_onto_line(b, c)),
        ("project_onto_plane", lambda: a.project_onto_plane(b)),
        ("scalar_triple_product", lambda: a.scalar_triple_product(b, c)),
        ("new_from_to", lambda: Vec3d.new_from_to(a, b)),
        ("quat_magnitude", lambda: q.magnitude()),
        ("quat_normalize", lambda: q.normalize()),
        ("quat_rotate", lambda: u.rotate(a)),
        ("quat_rotate_unnormalised", lambda: q.rotate(a)),
        ("rotation_matrix", lambda: u.to_rotation_matrix()),
        ("to_degrees", lambda: angle.to_degrees()),
        ("to_radians", lambda: AngleDegrees(s).to_radians()),
        (
            "angle_arithmetic",
            lambda: (angle + AngleRadians(s), angle - AngleRadians(s), angle * s, angle / s),
        ),
        ("plane_from_points", lambda: plane),
        ("plane_from_point", lambda: geometry.Plane.from_point(a, b)),
        ("plane_distance_to_point", lambda: plane.distance_to_point(d)),
        ("plane_line", lambda: geometry.plane_line(plane, d, a + d)),
        ("circle_area", lambda: circle1.area),
        ("circle_circle", lambda: geometry.circle_circle(circle1, circle2)),
        ("circle_point", lambda: geometry.circle_point_unchecked(circle1, d, False)),
        # Made from the inputs above without drawing more, so the earlier lines keep their bits.
        ("quat_then", lambda: u.then(q)),
        ("quat_inverse", lambda: q.inverse()),
        ("to_matrix", lambda: u.to_matrix()),
        ("from_rotation_matrix", lambda: Quat.from_rotation_matrix(q.to_matrix())),
        ("between", lambda: Quat.between(a, b)),
        ("quat_xyzw", lambda: (Quat.from_xyzw(*q.to_xyzw()), q.to_xyzw())),
        ("pose_apply", lambda: Pose(u, b).apply(a)),
        ("pose_then", lambda: Pose(u, a).then(Pose(q, b))),
        ("pose_inverse", lambda: Pose(q, a).inverse()),
        ("pose_matrix", lambda: (Pose(u, a).to_matrix(), Pose.from_matrix(Pose(q, b).to_matrix()))),
    ]
    libm = [
        ("sin", lambda: angle.sin()),
        ("cos", lambda: angle.cos()),
        ("tan", lambda: angle.tan()),
        ("sec", lambda: angle.sec()),
        ("csc", lambda: angle.csc()),
        ("cot", lambda: angle.cot()),
        ("angle_to", lambda: a.angle_to(b)),
        ("from_axis_angle", lambda: Quat.from_axis_angle(normal, angle)),
        ("to_axis_angle", lambda: u.to_axis_angle()),
        ("axis_angle", lambda: q.axis_angle()),
        ("slerp", lambda: Quat.slerp(u, q.normalize(), t * 0.0625)),
        ("from_euler", lambda: Quat.from_euler("zyx", angle, AngleRadians(s), AngleRadians(-t))),
        ("from_euler_intrinsic", lambda: Quat.from_euler("XZX", angle, AngleRadians(s), angle)),
        ("to_euler", lambda: (u.to_euler("xyz"), u.to_euler("ZXZ"))),
        ("pose_interpolate", lambda: Pose.interpolate(Pose(u, a), Pose(q.normalize(), b), t)),
    ]
    return [("own", n, f) for n, f in own] + [("libm", n, f) for n, f in libm]


def run_batch(v, name, args, in_place):
    """Batch operation `name` of VecList v, as the module lists it: its result, or for an operation
    that works in place, a copy of v it ran on."""
    if not in_place:
        return getattr(v, name)(*args)
    w = copy.copy(v)
    getattr(w, name)(*args)
    return w


def batch_arguments(operand, operands):
    """The arguments of a listed batch operation: one of `operands` by its class name, a fixed
    argument, or none."""
    if operand is None:
        return []
    return [operands[operand] if isinstance(operand, str) else operand]


def batch_label(name, operand):
    """The probe's name of a listed batch operation: batch_add, batch_collapse1, ..."""
    fixed = "" if operand is None or isinstance(operand, str) else str(operand)
    return "batch_" + name.strip("_") + fixed


def batch_computations(inputs, n, prefix="batch_", vec=Inputs.vec, quat=Inputs.quat):
    """Every batch operation the module lists, over one list of random vectors (made by `vec`) and
    one of quaternions (`quat`), each line's name starting with `prefix`."""
    items = [vec(inputs) for _ in range(n)]
    v, o, s = VecList(items), vec(inputs), inputs.number()
    q = inputs.unit_quat() if quat is Inputs.quat else quat(inputs)
    operands = {"Vec3d": o, "float": s, "Quat": q}
    out = []
    for name, operand, in_place in kalemtri_py._batch_operations:
        args = batch_arguments(operand, operands)

        def run(n=name, a=args, i=in_place):
            return run_batch(v, n, a, i)

        out.append(("own", prefix + batch_label(name, operand).removeprefix("batch_"), run))
    out.append(("own", prefix + "minimum_distance", lambda: v.minimum_distance_to(o, 7)))
    # QuatList, over quaternions drawn after everything above.
    quats = QuatList([quat(inputs) for _ in range(n)])
    out.append(("own", prefix + "quat_then", lambda: quats.then(q)))
    out.append(("own", prefix + "quat_after", lambda: quats.after(q)))
    out.append(("own", prefix + "quat_inverse", lambda: quats.inverse()))
    out.append(("own", prefix + "quat_normalize", lambda: quats.normalize()))
    out.append(("own", prefix + "quat_rotate", lambda: quats.rotate(v)))
    return out


def pose_batch_computations(inputs, n, prefix, vec, quat):
    """PoseList and Pose over lists, each line's name starting with `prefix`."""
    v = VecList([vec(inputs) for _ in range(n)])
    poses = PoseList([Pose(quat(inputs), vec(inputs)) for _ in range(n)])
    p = Pose(inputs.unit_quat() if quat is Inputs.quat else quat(inputs), vec(inputs))
    out = [
        ("own", prefix + "pose_then", lambda: poses.then(p)),
        ("own", prefix + "pose_after", lambda: poses.after(p)),
        ("own", prefix + "pose_inverse", lambda: poses.inverse()),
        ("own", prefix + "pose_apply", lambda: poses.apply(v)),
        ("own", prefix + "pose_apply_one", lambda: p.apply(v)),
    ]
    if quat is Inputs.quat:
        out.append(("own", prefix + "pose_fit", lambda: Pose.fit(v, poses.apply(v))))
    return out


def lines(count, seed=20261207, batch=2000):
    inputs = Inputs(seed)
    out = []
    for i in range(count):
        for kind, name, thunk in computations(inputs):
            try:
                result = hexbits(thunk())
            except Exception as error:  # noqa: BLE001 - a deliberate error is a result too
                result = type(error).__name__
            out.append(f"{kind} {name} {i} {result}")
    for kind, name, thunk in batch_computations(inputs, batch):
        out.append(f"{kind} {name} {hexbits(thunk())}")
    # The same over NaNs, infinities and zeros, drawn last so that the lines above keep their
    # inputs: which NaN a batch returns is the same everywhere too.
    nans = batch_computations(inputs, batch, "batch_nan_", Inputs.special_vec, Inputs.special_quat)
    for kind, name, thunk in nans:
        out.append(f"{kind} {name} {hexbits(thunk())}")
    # Poses last, for the same reason.
    for prefix, vec, quat in (
        ("batch_", Inputs.vec, Inputs.quat),
        ("batch_nan_", Inputs.special_vec, Inputs.special_quat),
    ):
        for kind, name, thunk in pose_batch_computations(inputs, batch, prefix, vec, quat):
            out.append(f"{kind} {name} {hexbits(thunk())}")
    return out


if __name__ == "__main__":
    print("\n".join(lines(int(sys.argv[1]) if len(sys.argv) > 1 else 30)))
