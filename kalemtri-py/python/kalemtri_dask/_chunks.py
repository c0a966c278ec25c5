"""Chunk tasks, and the reduction that joins their parts. The tasks run on the workers and are
found there by module path."""

from __future__ import annotations

import functools
import struct
import sys
from typing import TYPE_CHECKING, Any, Callable, Optional, TypeVar, overload

from ._checks import Kind, _describe, _refuse_masked

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

    from kalemtri_py import Quat, Vec3d, VecList

    from ._pickling import _Fn

# A candidate for the nearest point: (order key, index, bits of the distance).
Candidate = tuple[int, int, int]
# A run of consecutive rows: (number of points, best candidate or None).
Part = tuple[int, Optional[Candidate]]

# Parts joined per task of a reduction. Each level of joins waits for the one below and costs a
# round trip through the scheduler, as much as a chunk's own work at a few million points; one
# candidate of nearest is a few bytes, so its joins take many at once.
_SPLIT_EVERY = 16
_CANDIDATES_PER_JOIN = 64

_Task = TypeVar("_Task", bound=Callable[..., Any])


def _worker_threads() -> int | None:
    """The thread count of the dask.distributed worker running this task; None elsewhere."""
    # A process that never imported distributed hosts no worker.
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return None
    try:
        nthreads: int = distributed.get_worker().state.nthreads
    except ValueError:
        return None
    return nthreads


def _in_worker_share(task: _Task) -> _Task:
    """The task, its kalemtri work capped at its worker's thread count: a host running several
    workers would otherwise give each of them a pool as large as the host."""

    @functools.wraps(task)
    def capped(*args: Any) -> Any:
        n = _worker_threads()
        if n is None:
            return task(*args)
        from kalemtri_py import set_max_threads

        previous = set_max_threads(n)
        try:
            return task(*args)
        finally:
            set_max_threads(previous)

    return capped  # type: ignore[return-value]


@_in_worker_share
def _map_chunk(block: NDArray[Any], fn: _Fn, kind: Kind) -> NDArray[Any]:
    import numpy

    from kalemtri_py import VecList

    _refuse_masked(block)
    n = block.shape[0]
    if kind == "VecList":
        if n == 0:
            return numpy.empty((0, 3), dtype=numpy.float64)
        result = fn(VecList.from_buffer(block))
        if not isinstance(result, VecList):
            raise TypeError(f"fn returned {_describe(result)} where a VecList was declared")
        if len(result) != n:
            raise ValueError(f"fn returned a VecList of {len(result)} points for {n} points")
        # No copy: the chunk is a read-only view that keeps its VecList alive.
        return numpy.asarray(result)
    dtype = numpy.float64 if kind == "float" else numpy.bool_
    if n == 0:
        return numpy.empty((0,), dtype=dtype)
    result = fn(VecList.from_buffer(block))
    if not isinstance(result, list) or len(result) != n:
        raise ValueError(
            f"fn returned {_describe(result)} for {n} points; a list of {n} {kind} was declared"
        )
    out = numpy.array(result)
    if out.dtype != dtype or out.shape != (n,):
        raise TypeError(f"fn returned {_describe(result)} where a list of {kind} was declared")
    return out


@_in_worker_share
def _rotate_chunk(block: NDArray[Any], quat: Quat) -> NDArray[numpy.float64]:
    import numpy

    return numpy.asarray(_read(block).rotated(quat))


@_in_worker_share
def _nearest_chunk(block: NDArray[Any], target: Vec3d, step: int) -> Part:
    """The chunk's part; a chunk that cannot be read in place is copied `step` points at a time."""
    n = block.shape[0]
    if _in_place(block):
        step = max(n, 1)
    best: Candidate | None = None
    for start in range(0, n, step):
        index, distance = _read(block[start : start + step]).minimum_distance_to(target, 1)
        bits = _bits_of(distance)
        candidate = (_order_key(bits), start + index, bits)
        if best is None or candidate[:2] < best[:2]:
            best = candidate
    return n, best


def _join_candidates(parts: list[Part]) -> Part:
    """Joins consecutive runs' parts, given in row order."""
    total, best = 0, None
    for count, candidate in parts:
        if candidate is not None:
            key, index, bits = candidate
            candidate = (key, total + index, bits)
            if best is None or candidate[:2] < best[:2]:
                best = candidate
        total += count
    return total, best


def _read(block: NDArray[Any]) -> VecList:
    """The block as a VecList: its own memory where it can be read in place, else a copy."""
    from kalemtri_py import VecList

    _refuse_masked(block)
    return VecList.borrow(block) if _in_place(block) else VecList.from_buffer(block)


def _in_place(block: NDArray[Any]) -> bool:
    import numpy

    return (
        type(block) is numpy.ndarray
        and block.dtype == numpy.float64
        and block.flags.c_contiguous
        and block.flags.aligned
    )


def _bits_of(value: float) -> int:
    bits: int = struct.unpack("<q", struct.pack("<d", value))[0]
    return bits


def _float_of(bits: int) -> float:
    value: float = struct.unpack("<d", struct.pack("<q", bits))[0]
    return value


@overload
def _order_key(bits: int) -> int: ...
@overload
def _order_key(bits: NDArray[numpy.int64]) -> NDArray[numpy.int64]: ...
def _order_key(bits: Any) -> Any:
    # IEEE totalOrder as a signed integer: a negative pattern keeps its sign and inverts the rest.
    # Without a branch, so that one expression serves an int and an int64 array alike.
    return bits ^ ((bits >> 63) & 0x7FFF_FFFF_FFFF_FFFF)


def _reduce(
    prefix: str,
    token: str,
    chunk: Callable[..., Any],
    points: Any,
    extra: tuple[Any, ...],
    join: Callable[..., Any],
    join_extra: tuple[Any, ...] = (),
    dependencies: tuple[Any, ...] = (),
    split_every: int = _SPLIT_EVERY,
) -> Any:
    """Computes `chunk(block, *extra)` for every chunk of `points` and joins the results, in row
    order, by a tree of `join([results], *join_extra)` tasks of up to `split_every` results each;
    returns the root's result.

    The graph is written out directly: building it through dask.delayed costs milliseconds per
    chunk."""
    from dask.delayed import Delayed
    from dask.highlevelgraph import HighLevelGraph

    name = f"{prefix}-chunk-{token}"
    layer: dict[Any, Any] = {
        (name, i): (chunk, key, *extra) for i, (key,) in enumerate(points.__dask_keys__())
    }
    graph = HighLevelGraph.from_collections(name, layer, dependencies=[points, *dependencies])
    keys, depth, below = list(layer), 0, name
    while len(keys) > 1:
        depth += 1
        joined = f"{prefix}-join-{depth}-{token}"
        layer = {
            (joined, j): (join, keys[i : i + split_every], *join_extra)
            for j, i in enumerate(range(0, len(keys), split_every))
        }
        graph = HighLevelGraph(
            {**graph.layers, joined: layer}, {**graph.dependencies, joined: {below}}
        )
        keys, below = list(layer), joined
    return Delayed(keys[0], graph, layer=below).compute()
