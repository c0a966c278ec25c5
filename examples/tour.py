"""A short tour of kalemtri_py: builds and prints each class."""

import time

from kalemtri_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList, geometry


def section(title):
    print(f"\n-- {title}")


section("Vec3d")
a, b = Vec3d(1, 2.5, -3), Vec3d(0.5, -1, 2)
print("a =", a, " b =", b)
print("a + b =", a + b, " 2 * a =", 2 * a, " a / 0 =", a / 0)
print("a.dot(b) =", a.dot(b), " a.cross(b) =", a.cross(b), " |a| =", a.magnitude())
print("normalize(0) =", Vec3d.zero().normalize(), " 0.1 + 0.2 as x:", Vec3d(0.1 + 0.2, -0.0, 1e-7))
print(
    "distance from (5, 1, 0) to the x axis:",
    Vec3d(5, 1, 0).distance_to_line(Vec3d.zero(), Vec3d.i()),
)

section("Angles")
print(
    AngleRadians.pi(),
    "=",
    AngleRadians.pi().to_degrees(),
    "; third_pi in degrees:",
    AngleRadians.third_pi().to_degrees(),
)
print(
    "AngleDegrees(3) in radians:",
    AngleDegrees(3).to_radians(),
    "; cot(0) =",
    AngleRadians.zero().cot(),
)
print("angle between (1, 1, 1) and (2, 2, 2):", Vec3d(1, 1, 1).angle_to(Vec3d(2, 2, 2)))

section("Quat")
q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi())
print("q =", q, " unit:", q.is_unit())
print("q rotates (1, 0, 0) to", q.rotate(Vec3d(1, 0, 0)))
print("axis and angle:", *q.to_axis_angle(), " matrix:", q.to_rotation_matrix())

section("geometry")
plane = geometry.Plane.from_points(Vec3d(0, 0, 1), Vec3d(1, 0, 1), Vec3d(0, 1, 1))
print("plane z = 1: normal", plane.normal, "distance", plane.distance)
print(
    "line (0,0,0)-(1,1,2) meets it at", geometry.plane_line(plane, Vec3d(0, 0, 0), Vec3d(1, 1, 2))
)
c1 = geometry.Circle(Vec3d(0, 0, 0), 1, Vec3d(0, 0, 1))
c2 = geometry.Circle(Vec3d(1, 0, 0), 1, Vec3d(0, 0, 1))
crossing = geometry.circle_circle(c1, c2)
assert crossing is not None  # None when the circles do not cross
print("unit circles one apart cross at", *crossing)
print(
    "(0.5, 0, 0) on the rim:",
    geometry.circle_point(c1, Vec3d(0.5, 0, 0), False),
    "in the disc:",
    geometry.circle_point(c1, Vec3d(0.5, 0, 0), True),
)

section("VecList")
small = VecList([Vec3d(1, 2, 3), Vec3d(0.1, 0, -0.0)])
print(small)
print("magnitudes:", small.magnitude(), " is_unit:", small.normalize().is_unit())

n = 1_000_000
start = time.perf_counter()
points = VecList([Vec3d(i * 0.001, (i % 1000) * 0.5, -i * 0.002) for i in range(n)])
built = time.perf_counter()
points.rotate(Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.third_pi()))
rotated = time.perf_counter()
index, distance = points.minimum_distance_to(Vec3d(100, 200, -300), 1)
searched = time.perf_counter()
print(
    f"{n:,} points: built from a list in {built - start:.2f} s, rotated in "
    f"{(rotated - built) * 1e3:.1f} ms, nearest to (100, 200, -300) found in "
    f"{(searched - rotated) * 1e3:.1f} ms: index {index}, {points[index]} at distance {distance}"
)
