"""Point clouds on Dask, bit-equal to one ``kalemtri_py.VecList``.

A point cloud is a dask array of float64 with shape ``(N, 3)``: one point per row, x, y, z in the
columns. It must be chunked along the rows only, so that every chunk holds whole points. An array
split into more than one chunk along the columns is rechunked to one column chunk first
(``points.rechunk({1: 3})``, which only joins the column pieces of each row chunk and moves no
data between row chunks). Any other dtype, or a shape other than ``(N, 3)``, raises. Anything that
``dask.array.asarray`` accepts (a numpy array, a ``VecList``) is taken as one chunk.

Every chunk goes into a ``VecList`` through ``VecList.from_buffer`` and comes back through the
``VecList`` buffer (``numpy.asarray``); no Python object is made per point. Each point's result is
computed by the same code as on one machine, so the results are bit-for-bit those of one
``VecList`` of all the points, for any chunking and on any scheduler: threads, processes or a
``dask.distributed`` cluster. Functions that build a graph (``map_vec_list``, ``rotate``) return
lazy dask arrays; ``nearest`` computes on the active scheduler and returns its answer.

kalemtri itself runs every chunk on all cores of its machine and holds the interpreter lock while
it does, so a cluster gets the most out of it with one worker process per machine and one thread
per worker (``dask worker ADDRESS --nworkers 1 --nthreads 1``). The workers need ``kalemtri``
installed, as for any function shipped to them.

dask is imported on first use; ``pip install kalemtri[dask]`` installs it.
"""

import dis
import struct
import warnings

__all__ = ["map_vec_list", "nearest", "rotate"]

# nearest works through a chunk in slices of this many points (6 MiB), so that each
# slice's copy into a VecList is still in cache when it is used. Smaller slices lose more when
# every allocation is a fresh mapping, as on dask's workers, whose nanny sets
# MALLOC_TRIM_THRESHOLD_ and so turns off glibc's reuse of large blocks.
_SLICE = 1 << 18
# Candidates joined per task of the nearest reduction.
_SPLIT_EVERY = 16


def map_vec_list(points, fn, *, returns=None):
    """Apply ``fn(VecList)`` to every chunk of ``points`` and return the results as a dask array.

    ``fn`` receives the chunk's points as a new ``VecList`` and must give, for that many points,
    either a ``VecList`` (the result is an ``(N, 3)`` float64 array chunked like ``points``) or a
    list of float or of bool (a 1-D float64 or bool array chunked like the rows of ``points``).
    It must treat each point on its own: it sees one chunk at a time, never the whole cloud.
    A ``VecList`` result is not copied: its chunk is a read-only view of it (``numpy.asarray``).

    ``fn`` travels to the workers by cloudpickle. The kalemtri classes cannot travel as objects
    (their ``__module__`` is ``builtins``), so inside ``fn`` reach them through the module
    (``kalemtri_py.Vec3d(...)``) or use instances made outside it; instances travel.

    ``returns`` (``VecList``, ``float`` or ``bool``) says which of the three ``fn`` gives. When it
    is omitted, ``fn`` is called once, here, on a ``VecList`` holding the single point (1, 2, 3)
    to find out. Zero-length chunks give zero-length results without a call of ``fn``. A chunk
    result of another kind or length raises ``TypeError`` or ``ValueError`` when it is computed.
    Nothing is computed here.

    Example: ``map_vec_list(points, lambda v: v.normalize())``.
    """
    import numpy

    points = _as_points(points)
    if not callable(fn):
        raise TypeError(f"fn must be callable, not '{type(fn).__name__}'")
    _warn_on_named_classes(fn)
    kind = _probe(fn) if returns is None else _kind_of(returns)
    if kind == "VecList":
        meta = numpy.empty((0, 3), dtype=numpy.float64)
        return points.map_blocks(_map_chunk, fn, kind, dtype=meta.dtype, meta=meta)
    meta = numpy.empty((0,), dtype=numpy.float64 if kind == "float" else numpy.bool_)
    return points.map_blocks(_map_chunk, fn, kind, drop_axis=1, dtype=meta.dtype, meta=meta)


def rotate(points, quat):
    """The points rotated by ``quat`` (a ``kalemtri_py.Quat``), as a new lazy ``(N, 3)`` array.

    Each point is ``quat.rotate(point)``, exactly as ``VecList.rotate`` computes it: the quaternion
    is used as given, not normalised. ``points`` is not changed. Each chunk of the result is a
    read-only view of the chunk's rotated ``VecList`` (no copy is made).
    """
    import numpy
    from kalemtri_py import Quat

    points = _as_points(points)
    if not isinstance(quat, Quat):
        raise TypeError(f"quat must be a kalemtri_py.Quat, not '{type(quat).__name__}'")
    meta = numpy.empty((0, 3), dtype=numpy.float64)
    return points.map_blocks(_rotate_chunk, quat, dtype=meta.dtype, meta=meta)


def nearest(points, target):
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
    from dask.delayed import Delayed
    from dask.highlevelgraph import HighLevelGraph
    from kalemtri_py import Vec3d

    points = _as_points(points)
    if not isinstance(target, Vec3d):
        raise TypeError(f"target must be a kalemtri_py.Vec3d, not '{type(target).__name__}'")
    # The graph is written out directly: one task per chunk, then a tree of joins that keeps the
    # chunks' order. Building it through dask.delayed costs milliseconds per chunk.
    token = tokenize(points.name, struct.pack("<3d", target.x, target.y, target.z))
    name = f"nearest-chunk-{token}"
    layer = {
        (name, i): (_nearest_chunk, key, target)
        for i, key in enumerate(k for (k,) in points.__dask_keys__())
    }
    graph = HighLevelGraph.from_collections(name, layer, dependencies=[points])
    keys, depth, below = list(layer), 0, name
    while len(keys) > 1:
        depth += 1
        joined = f"nearest-join-{depth}-{token}"
        layer = {
            (joined, j): (_join_candidates, keys[i : i + _SPLIT_EVERY])
            for j, i in enumerate(range(0, len(keys), _SPLIT_EVERY))
        }
        graph = HighLevelGraph(
            {**graph.layers, joined: layer}, {**graph.dependencies, joined: {below}}
        )
        keys, below = list(layer), joined
    _, best = Delayed(keys[0], graph, layer=below).compute()
    if best is None:
        raise ValueError("nearest() of an empty point cloud: there is no point to report")
    _, index, bits = best
    return index, _float_of(bits)


# ---------------------------------------------------------------------------------------------
# Checks made while the graph is built.


def _as_points(points):
    import dask.array as da
    import numpy

    points = da.asarray(points)
    if points.ndim != 2 or points.shape[1] != 3:
        raise ValueError(f"points must be an array of shape (N, 3), not {points.shape}")
    if points.dtype != numpy.dtype(numpy.float64):
        raise TypeError(
            f"points must hold native float64, not {points.dtype}; "
            "convert with points.astype('float64')"
        )
    if len(points.chunks[1]) != 1:
        points = points.rechunk({1: 3})
    return points


def _warn_on_named_classes(fn):
    # cloudpickle ships a class that its module cannot look up by value, and the kalemtri
    # classes' module is builtins: the worker then fails to load the task and the computation
    # never ends. Catch the common case, a class imported by name and used inside fn.
    import kalemtri_py

    code = getattr(fn, "__code__", None)
    if code is None:
        return
    scope, codes, found = getattr(fn, "__globals__", {}), [code], []
    while codes:
        code = codes.pop()
        codes += [c for c in code.co_consts if hasattr(c, "co_code")]
        found += [
            scope.get(i.argval) for i in dis.get_instructions(code) if i.opname == "LOAD_GLOBAL"
        ]
    found += [cell.cell_contents for cell in getattr(fn, "__closure__", None) or ()]
    names = sorted(
        c.__name__
        for c in found
        if isinstance(c, type) and getattr(kalemtri_py, c.__name__, 0) is c
    )
    if names:
        warnings.warn(
            f"fn refers to the class {', '.join(names)} by name; a dask.distributed worker cannot "
            f"receive it. Write kalemtri_py.{names[0]} instead (after 'import kalemtri_py')",
            stacklevel=3,
        )


def _kind_of(returns):
    from kalemtri_py import VecList

    for kind, accepted in (("VecList", VecList), ("float", float), ("bool", bool)):
        if returns is accepted:
            return kind
    raise ValueError(f"returns must be VecList, float or bool, not {returns!r}")


def _probe(fn):
    from kalemtri_py import Vec3d, VecList

    result = fn(VecList([Vec3d(1.0, 2.0, 3.0)]))
    if isinstance(result, VecList):
        return "VecList"
    if isinstance(result, list) and len(result) == 1 and type(result[0]) in (float, bool):
        return type(result[0]).__name__
    raise TypeError(
        "fn must return a VecList or a list of float or bool with one item per "
        f"point; on one point it returned {_describe(result)}. "
        "Pass returns= to skip this check"
    )


def _describe(result):
    if isinstance(result, list):
        kinds = sorted({type(item).__name__ for item in result})
        return f"a list of {len(result)} ({', '.join(kinds) or 'empty'})"
    return f"'{type(result).__name__}'"


# ---------------------------------------------------------------------------------------------
# Chunk tasks. They run on the workers and are found there by module path.


def _map_chunk(block, fn, kind):
    import numpy
    from kalemtri_py import VecList

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


def _rotate_chunk(block, quat):
    import numpy
    from kalemtri_py import VecList

    points = VecList.from_buffer(block)
    points.rotate(quat)
    return numpy.asarray(points)


def _nearest_chunk(block, target):
    """(number of points, best candidate or None); a candidate is (order key, index, bits)."""
    from kalemtri_py import VecList

    n = block.shape[0]
    best = None
    for start in range(0, n, _SLICE):
        index, distance = VecList.from_buffer(block[start : start + _SLICE]).minimum_distance_to(
            target, 1
        )
        bits = _bits_of(distance)
        candidate = (_order_key(bits), start + index, bits)
        if best is None or candidate[:2] < best[:2]:
            best = candidate
    return n, best


def _join_candidates(parts):
    """Joins consecutive chunks' (count, candidate) pairs, given in row order."""
    total, best = 0, None
    for count, candidate in parts:
        if candidate is not None:
            key, index, bits = candidate
            candidate = (key, total + index, bits)
            if best is None or candidate[:2] < best[:2]:
                best = candidate
        total += count
    return total, best


def _bits_of(value):
    return struct.unpack("<q", struct.pack("<d", value))[0]


def _float_of(bits):
    return struct.unpack("<d", struct.pack("<q", bits))[0]


def _order_key(bits):
    # IEEE totalOrder as a signed integer: a negative pattern keeps its sign and inverts the rest.
    return bits ^ 0x7FFF_FFFF_FFFF_FFFF if bits < 0 else bits


# ---------------------------------------------------------------------------------------------
# Many targets: a VecTree per chunk, per-target candidates merged across chunks.

__all__ += ["nearest_many"]


def nearest_many(points, targets, k=1):
    """The ``k`` points nearest to each target, bit-equal to one ``kalemtri_py.VecTree``.

    ``targets`` is an in-memory ``(M, 3)`` float64 array (a ``VecList``, a numpy array, any
    buffer ``VecList.from_buffer`` takes); it travels once to every worker. Each chunk of
    ``points`` builds its own ``VecTree`` and answers ``k_nearest_many`` for every target; the
    candidates of all chunks are merged per target by the tree's own rule (IEEE totalOrder of the
    distance, then the lowest index), so the answer is that of ``VecTree(points.compute())`` for
    any chunking. Returns numpy ``(indexes, distances)``, int64 and float64, shaped ``(M,)`` for
    ``k == 1`` (as ``VecTree.nearest_many``) and ``(M, k)`` otherwise (as ``k_nearest_many``).
    Computes on the active scheduler. ``ValueError`` unless ``1 <= k <= N``.
    """
    import dask.array as da
    import numpy
    from dask.base import tokenize
    from dask.delayed import Delayed
    from dask.highlevelgraph import HighLevelGraph
    from kalemtri_py import VecList

    points = _as_points(points)
    if isinstance(k, bool) or not isinstance(k, int):
        raise TypeError(f"k must be an int, not '{type(k).__name__}'")
    if k < 1:
        raise ValueError(f"k must be at least 1, not {k}")
    # The same checks and messages as VecTree; the array is a view of the VecList's copy.
    t = numpy.asarray(VecList.from_buffer(targets))
    # One graph key holds the targets, so each worker receives them once, not once per chunk.
    targets = da.from_array(t, chunks=(max(len(t), 1), 3), name=f"tree-targets-{tokenize(t)}")
    ((target_key,),) = targets.__dask_keys__()
    token = tokenize(points.name, targets.name, k)
    name = f"nearest-many-chunk-{token}"
    layer = {
        (name, i): (_tree_chunk, key, target_key, k)
        for i, key in enumerate(key for (key,) in points.__dask_keys__())
    }
    graph = HighLevelGraph.from_collections(name, layer, dependencies=[points, targets])
    keys, depth, below = list(layer), 0, name
    while len(keys) > 1:
        depth += 1
        joined = f"nearest-many-join-{depth}-{token}"
        layer = {
            (joined, j): (_join_tree_parts, keys[i : i + _SPLIT_EVERY], k)
            for j, i in enumerate(range(0, len(keys), _SPLIT_EVERY))
        }
        graph = HighLevelGraph(
            {**graph.layers, joined: layer}, {**graph.dependencies, joined: {below}}
        )
        keys, below = list(layer), joined
    total, index, distance = Delayed(keys[0], graph, layer=below).compute()
    if k > total:
        raise ValueError(f"k must be at most the number of points ({total}), not {k}")
    if k == 1:
        return index[:, 0].copy(), distance[:, 0].copy()
    return index, distance


def _tree_chunk(block, targets, k):
    """(points in the chunk, indexes, distances): the chunk's best min(k, n) for every target."""
    import numpy
    from kalemtri_py import VecTree

    n, m, width = block.shape[0], targets.shape[0], min(k, block.shape[0])
    if m == 0 or width == 0:
        return n, numpy.empty((m, width), numpy.int64), numpy.empty((m, width), numpy.float64)
    index, distance = VecTree(block).k_nearest_many(targets, width)
    return n, numpy.asarray(index).copy(), numpy.asarray(distance).copy()


def _join_tree_parts(parts, k):
    """Joins consecutive chunks' parts, given in row order, keeping each target's best k."""
    import numpy

    total, indexes, distances = 0, [], []
    for count, index, distance in parts:
        indexes.append(index + total)
        distances.append(distance)
        total += count
    index = numpy.concatenate(indexes, axis=1)
    distance = numpy.concatenate(distances, axis=1)
    bits = distance.view(numpy.int64)
    key = numpy.where(bits < 0, bits ^ 0x7FFF_FFFF_FFFF_FFFF, bits)
    order = numpy.lexsort((index, key), axis=1)[:, :k]
    return (
        total,
        numpy.take_along_axis(index, order, axis=1),
        numpy.take_along_axis(distance, order, axis=1),
    )
