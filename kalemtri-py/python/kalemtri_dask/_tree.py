"""Many targets: a VecTree per chunk, per-target candidates merged across chunks."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._checks import _as_points, _count, _read_targets
from ._chunks import _in_worker_share, _order_key, _reduce

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

# (points in the run, indexes, distances) of consecutive rows, each target's best in its row.
TreePart = tuple[int, "NDArray[numpy.int64]", "NDArray[numpy.float64]"]
# (points in the run, offsets, indexes) of consecutive rows: each target's hits among them, CSR.
HitPart = tuple[int, "NDArray[numpy.int64]", "NDArray[numpy.int64]"]


def nearest_many(
    points: object, targets: object, k: int = 1
) -> tuple[NDArray[numpy.int64], NDArray[numpy.float64]]:
    """The ``k`` points nearest to each target, bit-equal to one ``kalemtri_py.VecTree``.

    ``targets`` is an ``(M, 3)`` float64 array (a ``VecList``, a numpy array, any buffer
    ``VecList.from_buffer`` takes, or a dask array, computed first); it travels once to every
    worker. ``k`` is any integer but a bool (numpy's too). Each chunk of
    ``points`` builds its own ``VecTree`` and answers ``k_nearest_many`` for every target; the
    candidates of all chunks are merged per target by the tree's own rule (IEEE totalOrder of the
    distance, then the lowest index), so the answer is that of ``VecTree(points.compute())`` for
    any chunking. Returns numpy ``(indexes, distances)``, int64 and float64, shaped ``(M,)`` for
    ``k == 1`` (as ``VecTree.nearest_many``) and ``(M, k)`` otherwise (as ``k_nearest_many``).
    Computes on the active scheduler. ``ValueError`` unless ``1 <= k <= N``.
    """
    from dask.base import tokenize

    cloud = _as_points(points)
    k = _count(k)
    if k < 1:
        raise ValueError(f"k must be at least 1, not {k}")
    shared, target_key = _shared_targets(targets)
    token = tokenize(cloud.name, shared.name, k)
    total, index, distance = _reduce(
        "nearest-many",
        token,
        _tree_chunk,
        cloud,
        (target_key, k),
        _join_tree_parts,
        (k,),
        (shared,),
    )
    if k > total:
        raise ValueError(f"k must be at most the number of points ({total}), not {k}")
    if k == 1:
        return index[:, 0].copy(), distance[:, 0].copy()
    return index, distance


def _shared_targets(targets: object) -> tuple[Any, Any]:
    """The targets as one dask array under one graph key, so each worker receives them once, not
    once per chunk: (that array, its key)."""
    import dask.array as da
    import numpy
    from dask.base import tokenize

    t = numpy.asarray(_read_targets(targets))
    shared = da.from_array(t, chunks=(max(len(t), 1), 3), name=f"tree-targets-{tokenize(t)}")
    ((target_key,),) = shared.__dask_keys__()
    return shared, target_key


@_in_worker_share
def _tree_chunk(block: NDArray[Any], targets: NDArray[numpy.float64], k: int) -> TreePart:
    """The chunk's part: its best min(k, n) for every target."""
    import numpy

    from kalemtri_py import VecTree

    n, m, width = block.shape[0], targets.shape[0], min(k, block.shape[0])
    if m == 0 or width == 0:
        return n, numpy.empty((m, width), numpy.int64), numpy.empty((m, width), numpy.float64)
    index, distance = VecTree(block).k_nearest_many(targets, width)
    return n, numpy.asarray(index).copy(), numpy.asarray(distance).copy()


def _join_tree_parts(parts: list[TreePart], k: int) -> TreePart:
    """Joins consecutive runs' parts, given in row order, keeping each target's best k."""
    import numpy

    total, indexes, distances = 0, [], []
    for count, index, distance in parts:
        indexes.append(index + total)
        distances.append(distance)
        total += count
    index = numpy.concatenate(indexes, axis=1)
    distance = numpy.concatenate(distances, axis=1)
    key = _order_key(distance.view(numpy.int64))
    order = numpy.lexsort((index, key), axis=1)[:, :k]
    return (
        total,
        numpy.take_along_axis(index, order, axis=1),
        numpy.take_along_axis(distance, order, axis=1),
    )


def within_many(
    points: object, targets: object, radius: float
) -> tuple[NDArray[numpy.int64], NDArray[numpy.int64]]:
    """The points within ``radius`` of each target, bit-equal to one ``kalemtri_py.VecTree``.

    ``targets`` is taken as by ``nearest_many``. ``radius`` is any number ``VecTree.within_many``
    takes; a negative or NaN one raises ``ValueError`` before anything is computed. Each chunk of
    ``points`` builds its own ``VecTree`` and answers ``within_many`` for every target; each
    target's hits of all chunks are joined in row order, so its row holds ascending indexes, as
    one tree's does, for any chunking. Returns numpy int64 ``(offsets, indexes)`` in CSR form,
    shaped ``(M + 1,)`` and ``(H,)``: target m's hits are ``indexes[offsets[m]:offsets[m + 1]]``.
    Computes on the active scheduler.
    """
    from dask.base import tokenize

    cloud = _as_points(points)
    radius = _read_radius(radius)
    shared, target_key = _shared_targets(targets)
    token = tokenize(cloud.name, shared.name, radius)
    _, offsets, indexes = _reduce(
        "within-many",
        token,
        _hits_chunk,
        cloud,
        (target_key, radius),
        _join_hit_parts,
        (),
        (shared,),
    )
    return offsets, indexes


def _read_radius(radius: object) -> float:
    """radius as VecTree converts it, refused with VecTree's own error where it would be."""
    import numpy

    from kalemtri_py import VecTree

    VecTree(numpy.zeros((1, 3))).within_many(numpy.empty((0, 3)), radius)  # type: ignore[arg-type]
    return float(radius)  # type: ignore[arg-type]


@_in_worker_share
def _hits_chunk(block: NDArray[Any], targets: NDArray[numpy.float64], radius: float) -> HitPart:
    """The chunk's part: every target's hits among its points."""
    import numpy

    from kalemtri_py import VecTree

    n, m = block.shape[0], targets.shape[0]
    if m == 0 or n == 0:
        return n, numpy.zeros(m + 1, numpy.int64), numpy.empty(0, numpy.int64)
    offsets, indexes = VecTree(block).within_many(targets, radius)
    return n, numpy.asarray(offsets).copy(), numpy.asarray(indexes).copy()


def _join_hit_parts(parts: list[HitPart]) -> HitPart:
    """Joins consecutive runs' parts, given in row order: each target's row takes the hits of
    every part in turn, so it stays ascending."""
    import numpy

    counts = numpy.stack([numpy.diff(offsets) for _, offsets, _ in parts])
    offsets = numpy.zeros(counts.shape[1] + 1, numpy.int64)
    numpy.cumsum(counts.sum(axis=0), out=offsets[1:])
    # Where each part's row m starts in the joined row m: after the earlier parts' hits.
    before = numpy.cumsum(counts, axis=0) - counts
    indexes = numpy.empty(int(offsets[-1]), numpy.int64)
    total = 0
    for (count, own, hits), skip in zip(parts, before):
        rows = numpy.repeat(numpy.arange(len(own) - 1), numpy.diff(own))
        place = offsets[rows] + skip[rows] + (numpy.arange(len(hits)) - own[rows])
        indexes[place] = hits + total
        total += count
    return total, offsets, indexes
