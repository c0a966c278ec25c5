import math

import pytest

import kalemtri_py
from kalemtri_py import Vec3d as V

g = kalemtri_py.geometry
Plane, Circle = g.Plane, g.Circle
H = 0.8660254037844386


def xyz(v):
    return (v.x, v.y, v.z)


def circle(center=(0, 0, 0), radius=1, normal=(0, 0, 1)):
    return Circle(V(*center), radius, V(*normal))


def test_submodule_registration():
    assert g.__name__ == "geometry"
    assert g.__all__ == [
        "Circle",
        "circle_circle",
        "circle_point",
        "circle_point_unchecked",
        "plane_line",
        "Plane",
    ]
    for name in g.__all__[1:5]:
        f = getattr(g, name)
        assert f.__module__ == "geometry" and f.__self__ is g
    assert Plane.__text_signature__ == "(normal, distance)"
    assert Circle.__text_signature__ == "(center, radius, normal)"
    with pytest.raises(ImportError):
        import kalemtri_py.geometry  # noqa: F401


@pytest.mark.parametrize(
    "make, normal, distance",
    [
        (lambda: Plane(V(0, 0, 2), 5), (0, 0, 1), 5.0),
        (Plane.xy, (0, 0, 1), 0.0),
        (Plane.xz, (0, 1, 0), 0.0),
        (Plane.yz, (1, 0, 0), 0.0),
        (lambda: Plane.from_point(V(0, 0, 2), V(1, 2, 3)), (0, 0, 1), -3.0),
        (lambda: Plane.from_points(V(0, 0, 0), V(0, 1, 0), V(1, 0, 0)), (0, 0, -1), 0.0),
        # A cross product of length 4: the distance still comes from the unit normal.
        (lambda: Plane.from_points(V(0, 0, 3), V(2, 0, 3), V(0, 2, 3)), (0, 0, 1), -3.0),
    ],
)
def test_plane_factories(make, normal, distance):
    p = make()
    assert xyz(p.normal) == normal and p.distance == distance


def test_plane_methods_use_stored_normal():
    p = Plane.from_point(V(0, 0, 1), V(1, 2, 3))
    assert p.contains_point(V(5, 5, 3))
    assert not p.contains_point(V(0, 0, -100))  # far behind the plane is not on it
    p.normal = V(0, 0, 2)
    assert xyz(p.normal) == (0, 0, 2) and p.distance_to_point(V(0, 0, 1)) == -1.0


def test_circle_constructor_normalises_and_setters_store_unchanged():
    c = Circle(V(0, 0, 0), -2, V(0, 0, 5))
    assert c.radius == 2.0 and xyz(c.normal) == (0, 0, 1) and c.area == 12.566370614359172
    c.radius = -3
    c.normal = V(0, 0, 5)
    assert c.radius == -3.0 and xyz(c.normal) == (0, 0, 5)
    with pytest.raises(AttributeError):
        c.area = 1.0


def test_vectors_go_in_and_out_by_copy():
    center = V(1, 2, 3)
    c = Circle(center, 1, V(0, 0, 1))
    center.x = 7
    c.center.x = 9
    assert xyz(c.center) == (1, 2, 3)
    p = Plane.xy()
    p.normal.x = 9
    assert xyz(p.normal) == (0, 0, 1)
    assert xyz(c.get_plane().normal) == (0, 0, 1)


@pytest.mark.parametrize(
    "make, name, bad",
    [
        (Plane.xy, "normal", (0, 0, 1)),
        (Plane.xy, "distance", "far"),
        (circle, "center", None),
        (circle, "radius", V(1, 0, 0)),
    ],
)
def test_bad_assignment_and_delete_change_nothing(make, name, bad):
    obj = make()
    before = repr(getattr(obj, name))
    with pytest.raises(TypeError, match="^argument 'value': "):
        setattr(obj, name, bad)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        delattr(obj, name)
    assert repr(getattr(obj, name)) == before


def test_circle_equality_and_hash():
    a = circle()
    assert a == circle(normal=(0, 0, -1)) and not (a != circle(normal=(0, 0, -1)))
    assert a != circle(radius=2)
    assert not (a == 5) and a != 5
    n = Circle.none()
    assert n.is_degenerate() and not (n == n) and n != n  # its NaN normal equals nothing
    with pytest.raises(TypeError):
        a < a  # noqa: B015
    with pytest.raises(TypeError):
        hash(a)
    hash(Plane.xy())


@pytest.mark.parametrize(
    "other, same",
    [
        (circle((5, 5, 1), normal=(0, 0, 1)), True),
        (circle((5, 5, 1), normal=(0, 0, -1)), True),  # one plane, off the origin
        (circle((5, 5, -1), normal=(0, 0, -1)), False),  # mirror image through the origin
        (circle((5, 5, 1), normal=(0, 1e-9, 1)), False),
    ],
)
def test_in_same_plane(other, same):
    assert circle((0, 0, 1)).in_same_plane(other) is same


@pytest.mark.parametrize(
    "plane, a, b, expected",
    [
        (Plane.xy(), (0, 0, 0), (1, 1, 1), (0, 0, 0)),
        (Plane(V(1, 0, 0), -2), (1, 0, 0), (1.5, 1, 0), (2, 2, 0)),  # beyond b: not clamped
    ],
)
def test_plane_line(plane, a, b, expected):
    assert xyz(g.plane_line(plane=plane, a=V(*a), b=V(*b))) == expected


def test_plane_line_parallel_gives_a_point_not_none():
    p = g.plane_line(Plane.xy(), V(0, 0, 1), V(1, 0, 1))
    assert isinstance(p, V) and not any(math.isfinite(c) for c in xyz(p))


@pytest.mark.parametrize(
    "point, rim, disc, ball",
    [
        ((1, 0, 0), True, True, True),
        ((0.5, 0, 0), False, True, True),
        ((2, 0, 0), False, False, False),
        ((0, 0, 1), False, False, True),
        ((0, 0, -1), False, False, True),  # behind the plane is not on the circle
    ],
)
def test_circle_point(point, rim, disc, ball):
    c, p = circle(), V(*point)
    assert g.circle_point(c, p, False) is rim
    assert g.circle_point(circle=c, point=p, inner=True) is disc
    assert g.circle_point_unchecked(c, p, True) is ball


@pytest.mark.parametrize("bad", [1, 0, 1.0, None])
def test_inner_accepts_only_bools(bad):
    message = "^argument 'inner': '%s' object cannot be converted to 'PyBool'$"
    with pytest.raises(TypeError, match=message % type(bad).__name__):
        g.circle_point(circle(), V(1, 0, 0), bad)


def test_inner_accepts_numpy_bool():
    np = pytest.importorskip("numpy")
    assert g.circle_point_unchecked(circle(), V(0.5, 0, 0), np.bool_(True))
    assert not g.circle_point_unchecked(circle(), V(0.5, 0, 0), np.bool_(False))


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: g.circle_point(circle(), 1, True),
            "argument 'point': 'int' object cannot be converted to 'Vec3d'",
        ),
        (
            lambda: g.plane_line(circle(), V(0, 0, 0), V(1, 1, 1)),
            "argument 'plane': 'Circle' object cannot be converted to 'Plane'",
        ),
        (
            lambda: g.plane_line(Plane.xy()),
            "plane_line() missing 2 required positional arguments: 'a' and 'b'",
        ),
        (
            lambda: Plane.from_points(V(0, 0, 0)),
            "Plane.from_points() missing 2 required positional arguments: 'point2' and 'point3'",
        ),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


@pytest.mark.parametrize(
    "c1, c2, expected",
    [
        (circle(), circle((1, 0, 0)), ((0.5, -H, 0), (0.5, H, 0))),
        (circle(), circle((1, 0, 0), normal=(0, 0, -1)), ((0.5, H, 0), (0.5, -H, 0))),
        (
            circle(radius=2),
            circle((3, 0, 0), 2),
            ((1.5, -1.3228756555322954, 0), (1.5, 1.3228756555322954, 0)),
        ),
        (circle(), circle((2, 0, 0)), ((1, 0, 0), (1, 0, 0))),
        # Opposite normals in one plane off the origin still cross.
        (circle((0, 0, 5)), circle((1, 0, 5), normal=(0, 0, -1)), ((0.5, H, 5), (0.5, -H, 5))),
    ],
)
def test_circle_circle(c1, c2, expected):
    result = g.circle_circle(c1, c2)
    assert isinstance(result, tuple) and tuple(xyz(p) for p in result) == expected


def test_touching_circles_that_round_inside_give_one_point_twice():
    # For these radii h² rounds to a tiny negative number.
    p, q = g.circle_circle(circle(radius=0.3), circle((1, 0, 0), 0.7))
    assert xyz(p) == xyz(q) and p.x == pytest.approx(0.3) and (p.y, p.z) == (0, 0)


@pytest.mark.parametrize(
    "c1, c2",
    [
        (circle(), circle()),
        (circle(), circle(radius=2)),
        (circle(), circle((3, 0, 0))),
        (circle(), circle((0.5, 0, 1))),
        (circle(), circle((0.5, 0, 0), normal=(0, 1, 0))),
    ],
)
def test_circle_circle_no_result(c1, c2):
    assert g.circle_circle(c1, c2) is None
