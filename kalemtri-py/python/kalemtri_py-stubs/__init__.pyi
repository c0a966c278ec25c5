"""Exact double-precision 3D geometry: vectors, angles, quaternions and lists of vectors.

Every result is a new object; every formula is evaluated in the order its docstring gives, so
results are bit-identical across calls, threads and machines. Nothing validates or normalises its
inputs unless stated: zero vectors, zero divisors and NaN give NaN or infinite components.
"""

import builtins
from collections.abc import Iterable, Sequence
from typing import (
    Any,
    ClassVar,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypeVar,
    final,
    type_check_only,
)

from typing_extensions import Buffer, Self, TypeAlias

from . import geometry as geometry

__all__ = ["AngleRadians", "AngleDegrees", "Quat", "Vec3d", "VecList", "geometry"]

# The installed distribution's version, as importlib.metadata.version("kalemtri") gives it.
__version__: str

# Anything `float()` accepts: float, int, bool, or an object with __float__ or __index__.
_Float: TypeAlias = SupportsFloat | SupportsIndex

@final
class Vec3d:
    """A vector (x, y, z) of three doubles; any double, NaN and -0.0 included, is kept as given."""

    def __new__(cls, x: _Float, y: _Float, z: _Float) -> Self:
        """Stores the three floats unchanged."""
    @property
    def x(self) -> float:
        """First component (index 0)."""
    @x.setter
    def x(self, value: _Float) -> None: ...
    @property
    def y(self) -> float:
        """Second component (index 1)."""
    @y.setter
    def y(self, value: _Float) -> None: ...
    @property
    def z(self) -> float:
        """Third component (index 2)."""
    @z.setter
    def z(self, value: _Float) -> None: ...
    @staticmethod
    def zero() -> Vec3d:
        """(0, 0, 0)."""
    @staticmethod
    def i() -> Vec3d:
        """(1, 0, 0)."""
    @staticmethod
    def j() -> Vec3d:
        """(0, 1, 0)."""
    @staticmethod
    def k() -> Vec3d:
        """(0, 0, 1)."""
    @staticmethod
    def new_from_to(from_: Vec3d, /, to: Vec3d) -> Vec3d:
        """The vector `to - from`; pass `from` by position (it is a Python keyword)."""
    def magnitude(self) -> float:
        """sqrt((x*x + y*y) + z*z), correctly rounded."""
    def is_unit(self) -> bool:
        """abs(magnitude() - 1) < 2**-52, strictly; False for a NaN magnitude."""
    def normalize(self) -> Vec3d:
        """(x/m, y/m, z/m) with m = magnitude(); the zero vector gives (NaN, NaN, NaN)."""
    def dot(self, other: Vec3d) -> float:
        """(x*ox + y*oy) + z*oz."""
    def cross(self, other: Vec3d) -> Vec3d:
        """self x other = (y*oz - z*oy, z*ox - x*oz, x*oy - y*ox)."""
    def distance_to(self, other: Vec3d) -> float:
        """sqrt((dx*dx + dy*dy) + dz*dz) with d = self - other."""
    def scalar_triple_product(self, b: Vec3d, c: Vec3d) -> float:
        """self . (b x c): the cross product first, then the dot product."""
    def distance_to_line(self, a: Vec3d, b: Vec3d) -> float:
        """Distance from this point to the infinite line through a and b; NaN when a == b."""
    def project_onto_line(self, line_r: Vec3d, line_q: Vec3d) -> Vec3d:
        """Orthogonal projection onto the infinite line through line_q towards line_r.

        NaN components when line_r == line_q.
        """
    def project_onto_plane(self, normal: Vec3d) -> Vec3d:
        """self - dot(self, normal) * normal; `normal` is not normalised, so use a unit normal."""
    def to_array(self) -> list[float]:
        """A new list [x, y, z]."""
    def angle_to(self, other: Vec3d) -> AngleRadians:
        """acos of dot / (|self| * |other|) clamped to [-1, 1]: parallel gives exactly 0,
        antiparallel pi; a zero vector gives NaN."""
    def to_quat(self) -> Quat:
        """The pure quaternion (+0.0, x, y, z)."""
    def __add__(self, other: Vec3d, /) -> Vec3d:
        """Component-wise sum."""
    def __sub__(self, other: Vec3d, /) -> Vec3d:
        """Component-wise difference."""
    def __mul__(self, rhs: _Float, /) -> Vec3d:
        """Each component times rhs."""
    def __rmul__(self, lhs: _Float, /) -> Vec3d:
        """Each component times lhs."""
    def __truediv__(self, rhs: _Float, /) -> Vec3d:
        """Three true divisions; dividing by zero gives inf or NaN, not an error."""
    def __neg__(self) -> Vec3d:
        """Each sign bit flipped: 0.0 becomes -0.0."""
    def __getitem__(self, index: SupportsIndex, /) -> float:
        """Component 0, 1 or 2; IndexError past 2, OverflowError below 0 (no negative indexing)."""
    def __reduce__(self) -> tuple[object, tuple[str, bytes]]:
        """Pickles the raw bits of x, y, z (-0.0 and NaN payloads kept)."""
    def __copy__(self) -> Vec3d:
        """An independent copy (copy.copy)."""
    def __deepcopy__(self, memo: object) -> Vec3d:
        """An independent copy: values hold no other objects (copy.deepcopy)."""

@final
class AngleRadians:
    """An angle in radians: one double, never wrapped into a range."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, angle: _Float) -> Self:
        """Stores the float unchanged."""
    @property
    def angle(self) -> float:
        """The stored radians."""
    @angle.setter
    def angle(self, value: _Float) -> None: ...
    @staticmethod
    def zero() -> AngleRadians:
        """0.0."""
    @staticmethod
    def pi() -> AngleRadians:
        """3.141592653589793."""
    @staticmethod
    def two_pi() -> AngleRadians:
        """6.283185307179586."""
    @staticmethod
    def half_pi() -> AngleRadians:
        """1.5707963267948966 (exactly pi / 2)."""
    @staticmethod
    def quarter_pi() -> AngleRadians:
        """0.7853981633974483 (exactly pi / 4)."""
    @staticmethod
    def third_pi() -> AngleRadians:
        """1.0471975511965976, the double pi / 3.0."""
    @staticmethod
    def sixth_pi() -> AngleRadians:
        """0.5235987755982988, the double pi / 6.0."""
    def sin(self) -> float:
        """libm sin."""
    def cos(self) -> float:
        """libm cos."""
    def tan(self) -> float:
        """libm tan."""
    def sec(self) -> float:
        """1.0 / cos(a); a zero cosine gives a signed infinity."""
    def csc(self) -> float:
        """1.0 / sin(a); zero gives +inf, -0.0 gives -inf."""
    def cot(self) -> float:
        """1.0 / tan(a), not cos/sin; zero gives +inf, -0.0 gives -inf."""
    def to_degrees(self) -> AngleDegrees:
        """(a * 180.0) / pi, multiplied first: third_pi() gives 59.99999999999999."""
    def __add__(self, other: AngleRadians, /) -> AngleRadians:
        """a + b."""
    def __sub__(self, other: AngleRadians, /) -> AngleRadians:
        """a - b."""
    def __mul__(self, rhs: _Float, /) -> AngleRadians:
        """a * rhs (no reflected form: write angle * 2, not 2 * angle)."""
    def __truediv__(self, rhs: _Float, /) -> AngleRadians:
        """a / rhs; dividing by zero gives inf or NaN, not an error."""
    def __neg__(self) -> AngleRadians:
        """The sign bit flipped."""
    def __eq__(self, other: object, /) -> bool:
        """Exact comparison of the doubles: 0.0 == -0.0, NaN equals nothing."""
    def __ne__(self, other: object, /) -> bool:
        """not (self == other)."""
    def __lt__(self, other: AngleRadians, /) -> bool:
        """Exact; False when either is NaN."""
    def __le__(self, other: AngleRadians, /) -> bool:
        """Exact; False when either is NaN."""
    def __gt__(self, other: AngleRadians, /) -> bool:
        """Exact; False when either is NaN."""
    def __ge__(self, other: AngleRadians, /) -> bool:
        """Exact; False when either is NaN."""
    def __reduce__(self) -> tuple[object, tuple[str, bytes]]:
        """Pickles the raw bits of the angle."""
    def __copy__(self) -> AngleRadians:
        """An independent copy (copy.copy)."""
    def __deepcopy__(self, memo: object) -> AngleRadians:
        """An independent copy: values hold no other objects (copy.deepcopy)."""

@final
class AngleDegrees:
    """An angle in degrees, for display and conversion only: no arithmetic or comparison."""

    def __new__(cls, angle: _Float) -> Self:
        """Stores the float unchanged."""
    @property
    def angle(self) -> float:
        """The stored degrees."""
    @angle.setter
    def angle(self, value: _Float) -> None: ...
    def to_radians(self) -> AngleRadians:
        """(d * pi) / 180.0, multiplied first: 3 degrees give 0.05235987755982988."""
    def __reduce__(self) -> tuple[object, tuple[str, bytes]]:
        """Pickles the raw bits of the angle."""
    def __copy__(self) -> AngleDegrees:
        """An independent copy (copy.copy)."""
    def __deepcopy__(self, memo: object) -> AngleDegrees:
        """An independent copy: values hold no other objects (copy.deepcopy)."""

@final
class Quat:
    """A quaternion w + i*I + j*J + k*K, scalar first; never normalised implicitly.

    rotate(v) is the vector part of conj(q) * (0, v) * q; a non-unit q also scales by |q|**2.
    """

    def __new__(cls, w: _Float, i: _Float, j: _Float, k: _Float) -> Self:
        """Stores the four floats unchanged, not normalised."""
    @property
    def w(self) -> float:
        """Scalar part."""
    @w.setter
    def w(self, value: _Float) -> None: ...
    @property
    def i(self) -> float:
        """First vector component."""
    @i.setter
    def i(self, value: _Float) -> None: ...
    @property
    def j(self) -> float:
        """Second vector component."""
    @j.setter
    def j(self, value: _Float) -> None: ...
    @property
    def k(self) -> float:
        """Third vector component."""
    @k.setter
    def k(self, value: _Float) -> None: ...
    @staticmethod
    def identity() -> Quat:
        """(1, 0, 0, 0)."""
    @staticmethod
    def from_axis_angle(axis: Vec3d, angle: AngleRadians) -> Quat:
        """(cos h, axis * sin h) with h = -angle/2: the vector part points opposite to the axis.

        rotate() then turns by +angle about a unit axis (right-hand rule); the axis is not
        normalised.
        """
    def conjugate(self) -> Quat:
        """(w, -i, -j, -k)."""
    def magnitude(self) -> float:
        """sqrt(((w*w + i*i) + j*j) + k*k)."""
    def normalize(self) -> Quat:
        """Each component divided by magnitude(); the zero quaternion gives four NaNs."""
    def is_unit(self) -> bool:
        """abs(magnitude() - 1) < 2**-52, strictly; False for NaN."""
    def rotate(self, v: Vec3d) -> Vec3d:
        """Vector part of conj(q) * (0, v) * q, unnormalised: (2, 0, 0, 0) maps (1, 2, 3) to
        (4, 8, 12)."""
    def to_axis_angle(self) -> tuple[Vec3d, AngleRadians]:
        """((1, 0, 0), 0) when abs(w - 1) < 2**-52; else angle 2*acos(w) and axis
        (i, j, k) / sin(angle/2).

        Reads the vector part with the opposite sign to from_axis_angle; NaN for abs(w) > 1.
        """
    def to_rotation_matrix(self) -> list[list[float]]:
        """Rows of the matrix of v -> q (0, v) conj(q), unnormalised: the transpose of rotate's.

        rotate(v) equals matrix.T @ v (v as a column), or v @ matrix (v as a row).
        """
    def to_vec(self) -> tuple[float, float, float]:
        """The vector part (i, j, k)."""
    def then(self, p: Quat) -> Quat:
        """The rotation by self, then by p: the Hamilton product self * p, so that
        q.then(p).rotate(v) is p.rotate(q.rotate(v)) up to rounding.

        w = ((w1*w2 - i1*i2) - j1*j2) - k1*k2, i = ((w1*i2 + i1*w2) + j1*k2) - k1*j2,
        j = ((w1*j2 - i1*k2) + j1*w2) + k1*i2, k = ((w1*k2 + i1*j2) - j1*i2) + k1*w2.
        """
    def inverse(self) -> Quat:
        """conjugate() / n with n = ((w*w + i*i) + j*j) + k*k; the zero quaternion gives NaN."""
    @staticmethod
    def from_rotation_matrix(m: Sequence[Sequence[_Float]] | Buffer | _ArrayInterface) -> Quat:
        """The quaternion whose rotate() applies m to column vectors (m @ v), by Shepperd's method.

        m: 3 rows of 3 floats, or a (3, 3) buffer of float64 or float32. The largest of the trace
        t = (m00 + m11) + m22 and m00, m11, m22 (the first of equals) picks the component taken
        from r = sqrt(1 + t) (w), sqrt(((1 + m00) - m11) - m22) (i), ... as r * 0.5, positive; the
        others are mirrored sums or differences / (r + r), e.g. w = (m12 - m21) / (r + r). m is
        not checked: a matrix that is not a rotation gives a non-unit quaternion.
        """
    def to_matrix(self) -> list[list[float]]:
        """Rows of the matrix M with M @ v == rotate(v) for a unit q: to_rotation_matrix()
        transposed, entry for entry."""
    def axis_angle(self) -> tuple[Vec3d, AngleRadians]:
        """(unit axis, angle in [0, pi]) with from_axis_angle(axis, angle) rotating like self.

        angle = 2*atan2(n, abs(w)) with n = sqrt((i*i + j*j) + k*k); axis = -(i, j, k) / n for
        w >= 0, +(i, j, k) / n for w < 0; (1, 0, 0) when n == 0. Unlike to_axis_angle().
        """
    @staticmethod
    def slerp(a: Quat, b: Quat, t: _Float) -> Quat:
        """Spherical interpolation of unit a (t = 0) and b (t = 1) along the shorter arc.

        b is negated when a.b < 0; theta = 2*atan2(|a - b|, |a + b|), then
        a*(sin((1-t)*theta)/sin(theta)) + b*(sin(t*theta)/sin(theta)), or the weights 1 - t and t
        when sin(theta) == 0 (a equal to b). No threshold for nearly equal inputs; not normalised.
        """
    @staticmethod
    def from_euler(
        seq: str,
        a: AngleRadians | AngleDegrees | _Float,
        b: AngleRadians | AngleDegrees | _Float,
        c: AngleRadians | AngleDegrees | _Float,
        degrees: bool = False,
    ) -> Quat:
        """Rotation by a, b, c about the axes of seq, as scipy's Rotation.from_euler(seq, [a, b, c]).

        seq: 'xyz', 'zyx', 'zxz'... (12 sequences) lower case extrinsic (fixed axes), upper case
        intrinsic (moving axes); with e_n = from_axis_angle(axis_n, angle_n): e1.then(e2).then(e3)
        extrinsic, e3.then(e2).then(e1) intrinsic. ValueError for another seq.

        Plain floats are radians, or degrees with degrees=True (converted by
        AngleDegrees.to_radians: (x * pi) / 180); an AngleRadians or AngleDegrees always means its
        own unit, whatever degrees says.
        """
    def to_euler(
        self, seq: str, degrees: bool = False
    ) -> (
        tuple[AngleRadians, AngleRadians, AngleRadians]
        | tuple[AngleDegrees, AngleDegrees, AngleDegrees]
    ):
        """(a, b, c) with from_euler(seq, a, b, c) rotating like self, as scipy's as_euler.

        a, c in [-pi, pi]; b in [0, pi] (seq like 'zxz') or [-pi/2, pi/2] (like 'xyz'). Gimbal
        lock (b at an end, within rounding): c is 0 and a carries the whole turn. AngleRadians,
        or with degrees=True AngleDegrees (each angle's to_degrees()).
        """
    @staticmethod
    def from_xyzw(x: _Float, y: _Float, z: _Float, w: _Float) -> Quat:
        """The Quat rotating like scipy's Rotation.from_quat([x, y, z, w]) (scalar last, as
        PyGLM's too): (w, -x, -y, -z).

        rotate() applies conj(q) v q where scipy applies q v conj(q), so the vector part changes
        sign; sign flips only, exact.
        """
    def to_xyzw(self) -> tuple[float, float, float, float]:
        """(-i, -j, -k, w): scipy's scalar-last quaternion of the same rotation; exact."""
    @staticmethod
    def between(a: Vec3d, b: Vec3d) -> Quat:
        """The shortest rotation taking the direction of a to that of b.

        u, v = a, b normalised; m = u + v (for u.v < 0 made perpendicular to u - v); then
        (|m| / 2, cross(m, u) / |m|). Antiparallel: the half turn (0, p), p = normalize(cross(u, e))
        with e the axis of u's smallest component. A zero vector gives NaN.
        """
    def __reduce__(self) -> tuple[object, tuple[str, bytes]]:
        """Pickles the raw bits of w, i, j, k."""
    def __copy__(self) -> Quat:
        """An independent copy (copy.copy)."""
    def __deepcopy__(self, memo: object) -> Quat:
        """An independent copy: values hold no other objects (copy.deepcopy)."""

@final
class VecList:
    """A growable list of Vec3d held as one (N, 3) array of doubles; batch operations run on a
    worker pool and give exactly the single-vector results, element by element.

    Exports a read-only buffer (format 'd', shape (N, 3), C order): numpy.asarray(v) and
    memoryview(v) see the elements without a copy; append, extend and rotate raise BufferError
    while such a view exists.
    """

    def __new__(cls, list: Sequence[Vec3d] | _VecSequence) -> Self:
        """Copies the Vec3d items of any sequence (VecList, list, tuple...), in order; a str is
        refused.

        For numpy arrays use from_buffer.
        """
    @staticmethod
    def empty() -> VecList:
        """An empty list."""
    @staticmethod
    def from_buffer(buffer: Buffer | _ArrayInterface) -> VecList:
        """A copy of native-endian doubles ('d', '@d', '=d' or '<d' here) or floats ('f' etc.)
        shaped (N, 3) or (3*N,).

        Any strides (C, Fortran, slices); doubles keep every bit, floats widen exactly (a
        signalling NaN arrives quiet). TypeError for another format, ValueError for another shape.
        """
    @property
    def list(self) -> builtins.list[Vec3d]:
        """A new list of one new Vec3d per element (one Python object each: slow for large N)."""
    def __len__(self) -> int:
        """Number of elements; an empty list is false."""
    def __getitem__(self, index: SupportsIndex, /) -> Vec3d:
        """A copy of element index; IndexError at or past the end, OverflowError below 0."""
    def __iter__(self) -> _VecListIterator:
        """Iterates over a snapshot taken now; later changes to the list do not show."""
    def append(self, vec: Vec3d) -> None:
        """Adds a copy of vec; BufferError while a buffer view exists."""
    def extend(self, other: VecList) -> None:
        """Adds copies of other's elements; RuntimeError for v.extend(v), BufferError while
        viewed."""
    def to_array(self) -> builtins.list[builtins.list[float]]:
        """[[x, y, z], ...] as Python floats; numpy.asarray(v) is the same data without objects."""
    def dot(self, other: Vec3d) -> builtins.list[float]:
        """Per element (x*ox + y*oy) + z*oz."""
    def cross(self, other: Vec3d) -> VecList:
        """Per element e x other."""
    def magnitude(self) -> builtins.list[float]:
        """Per element sqrt((x*x + y*y) + z*z)."""
    def normalize(self) -> VecList:
        """Per element e / |e|; a zero element gives (NaN, NaN, NaN)."""
    def is_unit(self) -> builtins.list[bool]:
        """Per element abs(|e| - 1) < 2**-52, strictly."""
    def distance_to(self, other: Vec3d) -> builtins.list[float]:
        """Per element sqrt((dx*dx + dy*dy) + dz*dz), d = e - other."""
    def rotate(self, quat: Quat) -> None:
        """In place: every element becomes quat.rotate(e) (not normalised); BufferError while
        viewed."""
    def collapse(self, axis: SupportsIndex) -> VecList:
        """Per element with component axis (0, 1, 2) set to +0.0; another axis panics on a
        non-empty list."""
    def minimum_distance_to(self, other: Vec3d, stride: SupportsIndex) -> tuple[int, float]:
        """(index, distance) of the nearest element within stride of the best of every stride-th.

        stride 1 searches the whole list; ties go to the lower index; NaN orders by IEEE totalOrder.
        """
    def __add__(self, other: Vec3d, /) -> VecList:
        """Per element e + other."""
    def __sub__(self, other: Vec3d, /) -> VecList:
        """Per element e - other."""
    def __mul__(self, rhs: _Float, /) -> VecList:
        """Per element e * rhs."""
    def __rmul__(self, lhs: _Float, /) -> VecList:
        """Per element lhs * e."""
    def __truediv__(self, rhs: _Float, /) -> VecList:
        """Per element e / rhs; dividing by zero gives inf or NaN, not an error."""
    def __reduce__(self) -> tuple[object, tuple[str, bytes]]:
        """Pickles every element as one block of raw bytes."""
    def __reduce_ex__(self, protocol: SupportsIndex) -> tuple[object, tuple[str, object]]:
        """From protocol 5 on, hands the pickler the list's own memory (in or out of band);
        the list then refuses append, extend and rotate until the pickler lets go."""
    def __copy__(self) -> VecList:
        """An independent copy (copy.copy)."""
    def __deepcopy__(self, memo: object) -> VecList:
        """An independent copy: values hold no other objects (copy.deepcopy)."""
    @staticmethod
    def borrow(buffer: Buffer | _ArrayInterface) -> VecList:
        """A read-only list over a C-order (N, 3) or (3*N,) buffer of doubles, read in place."""
    def rotated(self, quat: Quat) -> VecList:
        """A new list of quat.rotate(e) per element (not normalised); the list is unchanged."""
    def voxel_down_sample(self, size: _Float) -> VecList:
        """One centroid per occupied cube of edge size, ordered by cube: x, then y, then z.

        A point p lies in the cube (floor(p.x / size), floor(p.y / size), floor(p.z / size)); a
        cube coordinate of -0.0 is the cube 0. A centroid is, per component, the sum of its cube's
        points added left to right in their order in the list, divided by their count, so the bits
        never depend on the thread count. Points with a NaN or infinite coordinate are left out;
        a point whose p / size overflows lies in the cube at infinity on that axis. ValueError
        unless size > 0; size = inf puts every finite point in one cube.
        """
    # Declared for every version, as typeshed does for bytes: before 3.12 the interpreter has the
    # protocol but no Python-level methods for it, and type checkers know it only by these.
    def __buffer__(self, flags: int, /) -> memoryview:
        """A read-only view of the elements: format 'd', shape (N, 3), strides (24, 8)."""
    def __release_buffer__(self, buffer: memoryview, /) -> None:
        """Ends a view; with none left, append, extend and rotate work again."""

@final
class QuatList:
    """An immutable list of Quat held as one (N, 4) array of doubles (w, i, j, k per row), for
    trajectories: element-wise operations run on a worker pool and give exactly the
    single-quaternion results. A module attribute outside __all__ (kalemtri_py.QuatList).

    Exports a read-only buffer (format 'd', shape (N, 4), C order): numpy.asarray(q).
    """

    def __new__(cls, list: Iterable[Quat]) -> Self:
        """Copies the Quat items of any iterable, in order; a str is refused."""
    @staticmethod
    def from_buffer(buffer: Buffer | _ArrayInterface) -> QuatList:
        """A copy of native-endian doubles or floats shaped (N, 4) or (4*N,), rows (w, i, j, k).

        From scipy's scalar-last r.as_quat(): numpy.column_stack([x[:, 3], -x[:, :3]]) gives
        quaternions that rotate like r. TypeError for another format, ValueError for another shape.
        """
    def __len__(self) -> int:
        """Number of quaternions."""
    def __getitem__(self, index: SupportsIndex, /) -> Quat:
        """A copy of element index; IndexError at or past the end, OverflowError below 0."""
    def then(self, p: Quat) -> QuatList:
        """Per element q.then(p): each rotation followed by p."""
    def after(self, p: Quat) -> QuatList:
        """Per element p.then(q): p followed by each rotation."""
    def inverse(self) -> QuatList:
        """Per element q.inverse()."""
    def normalize(self) -> QuatList:
        """Per element q.normalize()."""
    def rotate(self, vectors: VecList) -> VecList:
        """Element n is self[n].rotate(vectors[n]); ValueError unless the lengths are equal."""
    @staticmethod
    def from_xyzw(buffer: Buffer | _ArrayInterface) -> QuatList:
        """Rows (x, y, z, w) of scipy's r.as_quat(), shaped (N, 4) or (4*N,), as
        Quat.from_xyzw(x, y, z, w) each: (w, -x, -y, -z). Exact; floats widen exactly."""
    def to_xyzw(self) -> memoryview:
        """A new read-only (N, 4) float64 view of rows (-i, -j, -k, w), for
        Rotation.from_quat(numpy.asarray(...)); exact."""
    def __reduce__(self) -> tuple[object, tuple[str, bytes]]:
        """Pickles every quaternion as one block of raw bytes."""
    def __copy__(self) -> QuatList:
        """An independent copy (copy.copy)."""
    def __deepcopy__(self, memo: object) -> QuatList:
        """An independent copy: values hold no other objects (copy.deepcopy)."""
    def __buffer__(self, flags: int, /) -> memoryview:
        """A read-only view of the elements: format 'd', shape (N, 4), strides (32, 8)."""
    def __release_buffer__(self, buffer: memoryview, /) -> None:
        """Ends a view."""

# What Pose.apply moves: a vector, or every vector of a list.
_Points = TypeVar("_Points", Vec3d, VecList)

@final
class Pose:
    """A rigid pose: v -> rotation.rotate(v) + translation, a rotation then a translation.

    Immutable; like Quat.rotate nothing is normalised, so a non-unit rotation also scales by its
    squared magnitude. scipy's RigidTransform of the same pose: from_components(translation,
    Rotation.from_quat(rotation.to_xyzw())). A module attribute outside __all__.
    """

    def __new__(cls, rotation: Quat, translation: Vec3d) -> Self:
        """Copies both."""
    @property
    def rotation(self) -> Quat:
        """A copy of the rotation."""
    @property
    def translation(self) -> Vec3d:
        """A copy of the translation."""
    @staticmethod
    def identity() -> Pose:
        """Rotation (1, 0, 0, 0), translation (0, 0, 0)."""
    def then(self, p: Pose) -> Pose:
        """This pose followed by p, the order of Quat.then: a.then(b).apply(v) is
        b.apply(a.apply(v)) up to rounding (scipy: rt_b * rt_a).

        rotation self.rotation.then(p.rotation); translation
        p.rotation.rotate(self.translation) + p.translation.
        """
    def inverse(self) -> Pose:
        """With r = rotation.inverse(): rotation r, translation -(r.rotate(translation)); a zero
        rotation gives NaN."""
    def apply(self, x: _Points) -> _Points:
        """rotation.rotate(x) + translation, bit for bit; for a VecList a new VecList of that per
        element, in one pass on the worker pool."""
    def to_matrix(self) -> list[list[float]]:
        """Rows [[R, t], [0, 0, 0, 1]] with R = rotation.to_matrix(): M @ (v, 1) == (apply(v), 1)
        for a unit rotation."""
    @staticmethod
    def from_matrix(m: Sequence[Sequence[_Float]] | Buffer | _ArrayInterface) -> Pose:
        """The pose of a 4x4 or 3x4 matrix (nested sequences, or a float64 or float32 buffer).

        rotation Quat.from_rotation_matrix of the left 3x3 block, translation the last column.
        A fourth row other than exactly (0, 0, 0, 1) is a ValueError.
        """
    @staticmethod
    def interpolate(a: Pose, b: Pose, t: _Float) -> Pose:
        """rotation Quat.slerp(a.rotation, b.rotation, t); translation (1 - t)*a + t*b per
        component ((1 - t) rounded first, each product rounded, then the sum): exact at t = 0
        and t = 1 for finite translations (a -0.0 comes out +0.0)."""
    @staticmethod
    def fit(
        source: VecList | Buffer | _ArrayInterface,
        target: VecList | Buffer | _ArrayInterface,
        weights: Buffer | _ArrayInterface | None = None,
    ) -> Pose:
        """The proper rigid pose minimising sum w * |apply(s) - t|**2 over matched points, by
        Horn's quaternion method (scipy's align_vectors of the centred points).

        source, target: VecLists or (N, 3) float64/float32 buffers of equal length; weights an
        (N,) buffer of finite weights >= 0 (None: all 1). Two passes, each summed in fixed blocks
        of 1024 pairs, the block sums added in order, so the bits never depend on the threads:
        W = sum w, cs = (sum w*s) / W, ct = (sum w*t) / W; H[a][b] = sum ((s - cs)[a] * w) *
        (t - ct)[b]. H is scaled by a power of two, Horn's symmetric 4x4 N built from it, and
        the eigenvector of its largest eigenvalue found by cyclic Jacobi rotations (sqrt only, no
        other libm); its conjugate, normalised with w >= 0, is the rotation, and the translation
        ct - rotation.rotate(cs).

        One point or coincident points: the identity rotation, moving centroid onto centroid.
        Collinear points: the turn about their line is free; one of the equally good rotations,
        the same bits on every machine. A NaN or infinite coordinate: a pose of NaNs. ValueError
        for N = 0, every weight 0, lengths that differ, or a negative, NaN or infinite weight.
        """
    def __reduce__(self) -> tuple[object, tuple[str, bytes]]:
        """Pickles the raw bits of the seven doubles."""
    def __copy__(self) -> Pose:
        """An independent copy (copy.copy)."""
    def __deepcopy__(self, memo: object) -> Pose:
        """An independent copy: values hold no other objects (copy.deepcopy)."""

@final
class IcpResult:
    """What VecTree.icp found: immutable, pickles every bit. A module attribute outside __all__."""

    @property
    def pose(self) -> Pose:
        """The pose moving the source onto the tree's points."""
    @property
    def rmse(self) -> float:
        """The RMS distance of the last matching's inliers; NaN when it had none."""
    @property
    def inliers(self) -> int:
        """How many source points the last matching matched."""
    @property
    def iterations(self) -> int:
        """How many fits were made."""
    def __reduce__(self) -> tuple[object, tuple[str, bytes]]:
        """Pickles the raw bits of the pose, the RMS and the two counts."""
    def __copy__(self) -> IcpResult:
        """An independent copy (copy.copy)."""
    def __deepcopy__(self, memo: object) -> IcpResult:
        """An independent copy: values hold no other objects (copy.deepcopy)."""

@final
class PoseList:
    """An immutable list of N poses held as one (N, 7) array of doubles, rows
    (w, i, j, k, x, y, z): element-wise operations run on a worker pool and give exactly the
    single-pose results, NaN bits included. A module attribute outside __all__.

    Exports a read-only buffer (format 'd', shape (N, 7), C order): numpy.asarray(pl).
    """

    def __new__(cls, list: Iterable[Pose]) -> Self:
        """Copies the Pose items of any iterable, in order; a str is refused."""
    @staticmethod
    def from_buffer(buffer: Buffer | _ArrayInterface) -> PoseList:
        """A copy of native-endian doubles or floats shaped (N, 7) or (7*N,), rows
        (w, i, j, k, x, y, z)."""
    def __len__(self) -> int:
        """Number of poses."""
    def __getitem__(self, index: SupportsIndex, /) -> Pose:
        """A copy of element index; IndexError at or past the end, OverflowError below 0."""
    def then(self, p: Pose) -> PoseList:
        """Per element e.then(p): each pose followed by p."""
    def after(self, p: Pose) -> PoseList:
        """Per element p.then(e): p followed by each pose."""
    def inverse(self) -> PoseList:
        """Per element e.inverse()."""
    def apply(self, vectors: VecList) -> VecList:
        """Element n is self[n].apply(vectors[n]); ValueError unless the lengths are equal."""
    def __reduce__(self) -> tuple[object, tuple[str, bytes]]:
        """Pickles every pose as one block of raw bytes."""
    def __copy__(self) -> PoseList:
        """An independent copy (copy.copy)."""
    def __deepcopy__(self, memo: object) -> PoseList:
        """An independent copy: values hold no other objects (copy.deepcopy)."""
    def __buffer__(self, flags: int, /) -> memoryview:
        """A read-only view of the elements: format 'd', shape (N, 7), strides (56, 8)."""
    def __release_buffer__(self, buffer: memoryview, /) -> None:
        """Ends a view."""

@final
class VecTree:
    """An immutable kd-tree over a snapshot of N points: exact nearest, k-nearest and radius queries.

    Distances are sqrt((dx*dx + dy*dy) + dz*dz), d = point - target, the bits of
    VecList.minimum_distance_to(target, 1); they rank by IEEE totalOrder, ties to the lower index.
    A distance is within radius r when distance <= r (IEEE): NaN distances never are, so a target
    with a NaN component finds nothing. Batch results are read-only memoryviews, int64 ('q') for
    indexes and float64 ('d') for distances: numpy.asarray takes them without a copy. Not in __all__.
    """

    def __new__(cls, points: Buffer | _ArrayInterface) -> Self:
        """Copies native doubles shaped (N, 3) or (3*N,), e.g. a VecList or a numpy array."""
    def __len__(self) -> int:
        """N, the number of points."""
    def points(self) -> VecList:
        """The points as a new VecList, in their original order, every bit kept."""
    def nearest(self, target: Vec3d) -> tuple[int, float]:
        """(index, distance) of the nearest point; ValueError for an empty tree."""
    def k_nearest(self, target: Vec3d, k: SupportsIndex) -> builtins.list[tuple[int, float]]:
        """The k nearest (index, distance), nearest first; ValueError unless 1 <= k <= N."""
    def within(self, target: Vec3d, radius: _Float) -> builtins.list[int]:
        """Ascending indexes with distance <= radius; ValueError for a negative or NaN radius."""
    def nearest_many(
        self, targets: Buffer | _ArrayInterface, max_distance: _Float | None = None
    ) -> tuple[memoryview, memoryview]:
        """(indexes, distances), each shaped (M,): nearest() of every target row (M, 3).

        With max_distance (a number >= 0; inf allowed) only points at distance <= max_distance
        count (IEEE, so never a NaN distance); a target without one gets index -1, distance inf.
        """
    def k_nearest_many(
        self,
        targets: Buffer | _ArrayInterface,
        k: SupportsIndex,
        max_distance: _Float | None = None,
    ) -> tuple[memoryview, memoryview]:
        """(indexes, distances), each shaped (M, k): k_nearest() of every target row.

        With max_distance, the k best of the points within it; a row short of k ends in index -1,
        distance inf.
        """
    def within_many(
        self, targets: Buffer | _ArrayInterface, radius: _Float, distances: bool = False
    ) -> tuple[memoryview, ...]:
        """(offsets, indexes) in CSR form: target m's hits are indexes[offsets[m]:offsets[m+1]].

        With distances=True, (offsets, indexes, distances): each hit's float64 distance beside
        it, the bits nearest() gives for that pair.
        """
    def count_within_many(self, targets: Buffer | _ArrayInterface, radius: _Float) -> memoryview:
        """int64 (M,): how many points are within radius of each target row, as within_many finds
        them, without listing them (a box wholly within the radius adds its count at once)."""
    def icp(
        self,
        source: VecList | Buffer | _ArrayInterface,
        initial: Pose | None = None,
        *,
        iterations: SupportsIndex = 30,
        max_distance: _Float | None = None,
        tolerance: _Float = 0.0,
    ) -> IcpResult:
        """Point-to-point ICP: the pose moving source (a VecList or (N, 3) buffer) onto the tree.

        A matching of a pose moves every source point by it (the bits of Pose.apply) and takes
        its nearest tree point, within max_distance when given (as nearest_many does); its RMS
        is sqrt(total / inliers), total the squared distances summed in source order within
        blocks of 1024 source points, the block sums added in order. From initial (None: the
        identity) it matches, then up to `iterations` times fits Pose.fit(moved, matched) on the
        matched pairs in source order, composes pose.then(fit) and matches again; it stops early
        when a matching's RMS equals or is within tolerance of the one before, or has no
        inliers (rmse NaN, the pose the one matched). iterations=0 gives initial and its
        matching. Same bits for any number of threads. ValueError for an empty tree,
        iterations < 0, or a negative or NaN max_distance or tolerance.
        """
    def normals(self, k: SupportsIndex, viewpoint: Vec3d | None = None) -> VecList:
        """The unit normal of every point, in original order: the eigenvector of the smallest
        eigenvalue of the covariance of the point's k nearest (itself included, ranked as
        k_nearest ranks them, among the points with finite coordinates; all of them when k
        exceeds their number).

        In order: the centroid c = (q0 + q1 + ...) / k per component, summed left to right in
        rank order; the sums xx = dx*dx + ..., then xy, xz, yy, yz, zz over d = q - c, left to
        right in rank order (not divided by k); cyclic Jacobi rotations on that matrix, scaled by
        a power of two, pairs (0, 1), (0, 2), (1, 2) per sweep, an entry dropped once 100 times
        it no longer changes the diagonal, until a sweep rotates nothing (at most 64); the column
        of the smallest eigenvalue (the first of equal ones) divided by sqrt((x*x + y*y) + z*z).
        Only + - * / and sqrt are used, so the bits are the same on every platform and for any
        thread count.

        Sign: the largest-magnitude component (the first of equal ones) is made positive; with a
        viewpoint, the normal is then turned so that dot(normal, viewpoint - point) >= 0 (it is
        kept when the dot product is 0 or NaN).

        No plane, normal (0, 0, 0): fewer than 3 distinct points among the k (so any k < 3),
        collinear points (middle eigenvalue <= 1e-12 times the largest), or a covariance that
        overflows. A point with a NaN or infinite coordinate gets NaN components. ValueError
        for k = 0.
        """
    def __reduce__(self) -> tuple[object, tuple[str, bytes]]:
        """Pickles the points as one block of raw bytes; loading builds the same tree again."""
    def __reduce_ex__(self, protocol: SupportsIndex) -> tuple[object, tuple[str, object]]:
        """From protocol 5 on, hands the pickler a block of the points (in or out of band)."""
    def __copy__(self) -> VecTree:
        """A new VecTree sharing the immutable tree (copy.copy)."""
    def __deepcopy__(self, memo: object) -> VecTree:
        """A new VecTree sharing the immutable tree (copy.deepcopy)."""

@type_check_only
class _VecSequence(Protocol):
    """Anything indexable by int giving Vec3d, as a class with only __getitem__."""

    def __getitem__(self, index: int, /) -> Vec3d: ...

@type_check_only
class _ArrayInterface(Protocol):
    """A numpy array: its stubs declare the buffer protocol only for Python 3.12 and later."""

    @property
    def __array_interface__(self) -> dict[str, Any]: ...

@final
@type_check_only
class _VecListIterator:
    """VecListIterator: iterates a snapshot of a VecList; not importable (type(iter(v)))."""

    def __iter__(self) -> Self:
        """The iterator itself."""
    def __next__(self) -> Vec3d:
        """A new Vec3d for the next element of the snapshot; StopIteration at the end."""

def set_max_threads(n: SupportsIndex | None) -> int | None:
    """Caps at n (>= 1) the threads that batch operations started from the calling thread use,
    that thread included; None lifts the cap. Returns the previous cap, None for none.

    The cap belongs to the calling thread: other threads keep theirs, and a new thread starts
    with none. A capped thread's batch operations run in a oneTBB arena of n slots, so a process
    that shares its host with others (a Dask worker) uses its own share of the cores, not all of
    them; n = 1 keeps them on the calling thread. Results are the same bits for any cap. 0 is a
    ValueError, a negative n an OverflowError, a bool or a float a TypeError; an error changes
    nothing. kalemtri_dask's tasks on a dask.distributed worker set the worker's thread count for
    the task's duration. A module attribute outside __all__.
    """

def max_threads() -> int:
    """How many threads a batch operation started from the calling thread can use now: its cap
    (set_max_threads) where that is below the pool's size, else the pool's size (oneTBB's default:
    the cores this process may run on); 1 in a child forked while the pool could not be wound
    down, which runs every batch operation on its one thread. A module attribute outside __all__.
    """
