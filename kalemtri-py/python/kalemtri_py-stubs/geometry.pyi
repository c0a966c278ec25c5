"""Planes, circles and their intersections (reach it as `from kalemtri_py import geometry`).

Exact doubles throughout; the single tolerance is 2**-52, always compared with a strict `<`.
"""

from typing import ClassVar, SupportsFloat, SupportsIndex, final

from typing_extensions import Self, TypeAlias

from . import Vec3d

__all__ = [
    "Circle",
    "circle_circle",
    "circle_point",
    "circle_point_unchecked",
    "plane_line",
    "Plane",
]

_Float: TypeAlias = SupportsFloat | SupportsIndex

@final
class Plane:
    """The points p with normal . p + distance == 0; constructors store a unit normal."""

    def __new__(cls, normal: Vec3d, distance: _Float) -> Self:
        """Stores normal normalised (a zero normal gives NaN) and distance unchanged."""
    @property
    def normal(self) -> Vec3d:
        """A copy of the normal; assigning stores it as given, not normalised."""
    @normal.setter
    def normal(self, value: Vec3d) -> None: ...
    @property
    def distance(self) -> float:
        """The offset term: the plane z = 3 with normal (0, 0, 1) has distance -3."""
    @distance.setter
    def distance(self, value: _Float) -> None: ...
    @staticmethod
    def from_point(normal: Vec3d, point: Vec3d) -> Plane:
        """The plane with normal (normalised) through point, whatever the length of normal."""
    @staticmethod
    def from_points(point1: Vec3d, point2: Vec3d, point3: Vec3d) -> Plane:
        """Normal from (p2 - p1) x (p3 - p1), counter-clockwise seen from its side; collinear
        points give a NaN normal."""
    @staticmethod
    def xy() -> Plane:
        """Normal (0, 0, 1), distance 0: the plane z = 0."""
    @staticmethod
    def xz() -> Plane:
        """Normal (0, 1, 0), distance 0: the plane y = 0."""
    @staticmethod
    def yz() -> Plane:
        """Normal (1, 0, 0), distance 0: the plane x = 0."""
    def contains_point(self, point: Vec3d) -> bool:
        """abs(normal . point + distance) < 2**-52, strictly (two-sided)."""
    def distance_to_point(self, point: Vec3d) -> float:
        """Signed distance normal . point + distance (positive on the normal's side)."""
    def __reduce__(self) -> tuple[object, tuple[str, bytes]]:
        """Pickles the raw fields, so an unnormalised normal stays as it is."""
    def __copy__(self) -> Plane:
        """An independent copy (copy.copy)."""
    def __deepcopy__(self, memo: object) -> Plane:
        """An independent copy: values hold no other objects (copy.deepcopy)."""

@final
class Circle:
    """A circle in the plane through center perpendicular to normal."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, center: Vec3d, radius: _Float, normal: Vec3d) -> Self:
        """Stores center, abs(radius) and normal normalised."""
    @property
    def center(self) -> Vec3d:
        """A copy of the centre."""
    @center.setter
    def center(self, value: Vec3d) -> None: ...
    @property
    def radius(self) -> float:
        """The radius; assigning stores any value, negative or NaN included."""
    @radius.setter
    def radius(self, value: _Float) -> None: ...
    @property
    def normal(self) -> Vec3d:
        """A copy of the normal; assigning stores it as given, not normalised."""
    @normal.setter
    def normal(self, value: Vec3d) -> None: ...
    @property
    def area(self) -> float:
        """(radius * radius) * 3.141592653589793."""
    @staticmethod
    def none() -> Circle:
        """The empty circle: centre 0, radius 0, NaN normal; equal to nothing, itself included."""
    def get_plane(self) -> Plane:
        """Plane.from_point(normal, center)."""
    def is_degenerate(self) -> bool:
        """radius == 0.0 exactly (-0.0 too; NaN is not degenerate)."""
    def in_same_plane(self, other: Circle) -> bool:
        """Normals exactly equal or exactly opposite, and the planes' offsets within 2**-52."""
    def __eq__(self, other: object, /) -> bool:
        """Centres and radii exactly equal, normals exactly equal or opposite; NaN equals
        nothing."""
    def __ne__(self, other: object, /) -> bool:
        """not (self == other)."""
    def __reduce__(self) -> tuple[object, tuple[str, bytes]]:
        """Pickles the raw fields, so a stored radius or normal stays as it is."""
    def __copy__(self) -> Circle:
        """An independent copy (copy.copy)."""
    def __deepcopy__(self, memo: object) -> Circle:
        """An independent copy: values hold no other objects (copy.deepcopy)."""

def plane_line(plane: Plane, a: Vec3d, b: Vec3d) -> Vec3d:
    """a + t*(b - a) with t = -(n.a + d) / (n.(b - a)): the infinite line, not the segment. Never
    None: a parallel line gives inf or NaN components, a == b gives NaN."""

def circle_point(circle: Circle, point: Vec3d, inner: bool) -> bool:
    """point on the circle's plane (Plane.contains_point of get_plane()) and on the rim (inner
    False) or the closed disc (inner True). inner must be a bool (or numpy.bool_), not 0 or 1."""

def circle_point_unchecked(circle: Circle, point: Vec3d, inner: bool) -> bool:
    """circle_point without the plane test."""

def circle_circle(circle1: Circle, circle2: Circle) -> tuple[Vec3d, Vec3d] | None:
    """The two crossing points of two coplanar circles, or None when they do not meet; touching
    circles give the touching point twice."""
