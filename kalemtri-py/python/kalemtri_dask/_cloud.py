"""The operations of one VecList, on a cloud of any chunking."""

from __future__ import annotations

import struct
from typing import TYPE_CHECKING, Callable

from ._checks import Kind, _as_points, _kind_of, _probe
from ._chunks import (
    _CANDIDATES_PER_JOIN,
    _float_of,
    _join_candidates,
    _map_chunk,
    _nearest_chunk,
    _reduce,
    _rotate_chunk,
)
from ._pickling import _Fn

if TYPE_CHECKING:
    import dask.array as da

    from kalemtri_py import Quat, Vec3d, VecList


def map_vec_list(
    points: object, fn: Callable[[VecList], object], *, returns: type | None = None
) -> da.Array:
    """Apply ``fn(VecList)`` to every chunk of ``points`` and return the results as a dask array.

    ``fn`` receives the chunk's points as a new ``VecList`` of its own (it may change it) and must
    give, for that many points, either a ``VecList`` (the result is an ``(N, 3)`` float64 array
    chunked like ``points``) or a list of float or of bool (a 1-D float64 or bool array chunked
    like the rows of ``points``).
    It must treat each point on its own: it sees one chunk at a time, never the whole cloud.
    A ``VecList`` result is not copied: its chunk is a read-only view of it (``numpy.asarray``).

    ``fn`` travels to the workers by cloudpickle, with the classes, functions and submodules of
    ``kalemtri_py`` sent by reference, so ``fn`` may name them as imported
    (``from kalemtri_py import Vec3d``). Anything cloudpickle cannot send raises on the client
    when the graph is sent. An exception from ``fn`` that is not an ``Exception`` (a
    ``PanicException``) arrives as ``FnError``.

    ``returns`` (``VecList``, ``float`` or ``bool``) says which of the three ``fn`` gives. When it
    is omitted, ``fn`` is called once, here, on a ``VecList`` holding the single point (1, 2, 3)
    to find out. Zero-length chunks give zero-length results without a call of ``fn``. A chunk
    result of another kind or length raises ``TypeError`` or ``ValueError`` when it is computed.
    Nothing is computed here.

    Example: ``map_vec_list(points, lambda v: v.normalize())``.
    """
    import dask.array as da
    import numpy

    cloud = _as_points(points)
    if not callable(fn):
        raise TypeError(f"fn must be callable, not '{type(fn).__name__}'")
    shipped = _Fn(fn)
    kind: Kind = _probe(shipped) if returns is None else _kind_of(returns)
    if kind == "VecList":
        meta = numpy.empty((0, 3), dtype=numpy.float64)
        mapped: da.Array = da.map_blocks(
            _map_chunk, cloud, shipped, kind, dtype=meta.dtype, meta=meta
        )
        return mapped
    meta = numpy.empty((0,), dtype=numpy.float64 if kind == "float" else numpy.bool_)
    mapped = da.map_blocks(
        _map_chunk, cloud, shipped, kind, drop_axis=1, dtype=meta.dtype, meta=meta
    )
    return mapped


def rotate(points: object, quat: Quat) -> da.Array:
    """The points rotated by ``quat`` (a ``kalemtri_py.Quat``), as a new lazy ``(N, 3)`` array.

    Each point is ``quat.rotate(point)``, exactly as ``VecList.rotate`` computes it: the quaternion
    is used as given, not normalised. ``points`` is not changed. Each chunk is rotated in one pass
    from its own memory (``VecList.rotated``), and each chunk of the result is a read-only view of
    the rotated ``VecList`` (no copy is made).
    """
    import dask.array as da
    import numpy

    from kalemtri_py import Quat

    cloud = _as_points(points)
    if not isinstance(quat, Quat):
        raise TypeError(f"quat must be a kalemtri_py.Quat, not '{type(quat).__name__}'")
    meta = numpy.empty((0, 3), dtype=numpy.float64)
    rotated: da.Array = da.map_blocks(_rotate_chunk, cloud, quat, dtype=meta.dtype, meta=meta)
    return rotated


def nearest(points: object, target: Vec3d) -> tuple[int, float]:
    """``(index, distance)`` of the point nearest to ``target`` (a ``kalemtri_py.Vec3d``).

    Computes on the active scheduler and returns exactly what
    ``VecList.from_buffer(points.compute()).minimum_distance_to(target, 1)`` returns, to the bit:
    distances are ordered by IEEE totalOrder (a NaN with its sign bit set, such as inf − inf gives,
    orders before every number; one with the sign bit clear after +inf), and among equal
    distances the lowest index wins, across chunk borders too. Each chunk reduces to one
    candidate and the candidates are combined by the same rule, so neither the chunking nor the
    number of workers changes the answer. Chunk sizes need not be known in advance. An empty
    cloud raises ``ValueError``.
    """
    from dask.base import tokenize

    from kalemtri_py import Vec3d

    # The package's setting, read when the graph is built.
    from . import _SLICE

    cloud = _as_points(points)
    if not isinstance(target, Vec3d):
        raise TypeError(f"target must be a kalemtri_py.Vec3d, not '{type(target).__name__}'")
    token = tokenize(cloud.name, struct.pack("<3d", target.x, target.y, target.z))
    _, best = _reduce(
        "nearest",
        token,
        _nearest_chunk,
        cloud,
        (target, _SLICE),
        _join_candidates,
        split_every=_CANDIDATES_PER_JOIN,
    )
    if best is None:
        raise ValueError("nearest() of an empty point cloud: there is no point to report")
    _, index, bits = best
    return index, _float_of(bits)
