"""Point clouds on Dask, bit-equal to one ``kalemtri_py.VecList``.

A point cloud is a dask array of float64 with shape ``(N, 3)``: one point per row, x, y, z in the
columns. It must be chunked along the rows only, so that every chunk holds whole points. An array
split into more than one chunk along the columns is rechunked to one column chunk first
(``points.rechunk({1: 3})``, which only joins the column pieces of each row chunk and moves no
data between row chunks). Native float32 is taken too where ``VecList.from_buffer`` takes it (each
value widened exactly to float64). Any other dtype, a shape other than ``(N, 3)``, or a masked
array (whose mask would be lost) raises. Anything that ``dask.array.asarray`` accepts (a numpy
array, a ``VecList``) is taken as one chunk.

``nearest`` and ``rotate`` read each float64 chunk in place (``VecList.borrow``), other chunks and
``map_vec_list`` through a copy (``VecList.from_buffer``); results come back through the
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

import struct
import threading

__all__ = ["FnError", "map_vec_list", "nearest", "rotate"]

# nearest works through a chunk it must copy in slices of this many points (6 MiB of float64), so
# that each slice's copy into a VecList is still in cache when it is used. Smaller slices lose more
# when every allocation is a fresh mapping, as on dask's workers, whose nanny sets
# MALLOC_TRIM_THRESHOLD_ and so turns off glibc's reuse of large blocks.
_SLICE = 1 << 18
# Candidates joined per task of the nearest reduction.
_SPLIT_EVERY = 16


class FnError(RuntimeError):
    """``fn`` raised an exception that is not an ``Exception``, such as ``PanicException``.

    Dask reports only ``Exception``s from a task (a ``dask.distributed`` client would wait for
    ever on any other), so the chunk task raises this in its place, on every scheduler. ``args``
    is ``(type name, message)`` of the original, which is also the ``__cause__`` where the
    exception did not cross a process. A ``KeyboardInterrupt`` on the main thread is a real
    interrupt and passes unchanged.
    """

    def __str__(self):
        """``fn raised <type name>: <message>``, or without the colon part for no message."""
        name, message = self.args
        return f"fn raised {name}: {message}" if message else f"fn raised {name}"


def map_vec_list(points, fn, *, returns=None):
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
    import numpy

    points = _as_points(points)
    if not callable(fn):
        raise TypeError(f"fn must be callable, not '{type(fn).__name__}'")
    shipped = _Fn(fn)
    kind = _probe(shipped) if returns is None else _kind_of(returns)
    if kind == "VecList":
        meta = numpy.empty((0, 3), dtype=numpy.float64)
        return points.map_blocks(_map_chunk, shipped, kind, dtype=meta.dtype, meta=meta)
    meta = numpy.empty((0,), dtype=numpy.float64 if kind == "float" else numpy.bool_)
    return points.map_blocks(_map_chunk, shipped, kind, drop_axis=1, dtype=meta.dtype, meta=meta)


def rotate(points, quat):
    """The points rotated by ``quat`` (a ``kalemtri_py.Quat``), as a new lazy ``(N, 3)`` array.

    Each point is ``quat.rotate(point)``, exactly as ``VecList.rotate`` computes it: the quaternion
    is used as given, not normalised. ``points`` is not changed. Each chunk is rotated in one pass
    from its own memory (``VecList.rotated``), and each chunk of the result is a read-only view of
    the rotated ``VecList`` (no copy is made).
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
    if isinstance(points._meta, numpy.ma.MaskedArray):
        raise TypeError(_MASKED)
    if points.ndim != 2 or points.shape[1] != 3:
        raise ValueError(f"points must be an array of shape (N, 3), not {points.shape}")
    if points.dtype != numpy.dtype(numpy.float64) and not (
        points.dtype == numpy.dtype(numpy.float32) and _takes_float32()
    ):
        raise TypeError(
            f"points must hold native float64, not {points.dtype}; "
            "convert with points.astype('float64')"
        )
    if len(points.chunks[1]) != 1:
        points = points.rechunk({1: 3})
    return points


_MASKED = (
    "points is a masked array, whose mask kalemtri_dask would lose; fill the masked points "
    "(dask.array.ma.filled) or drop them first"
)


def _takes_float32():
    global _FLOAT32
    if _FLOAT32 is None:
        import numpy
        from kalemtri_py import VecList

        try:
            VecList.from_buffer(numpy.zeros(3, dtype=numpy.float32))
            _FLOAT32 = True
        except TypeError:
            _FLOAT32 = False
    return _FLOAT32


_FLOAT32 = None


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
# fn on its way to the workers. cloudpickle sends by value a class that its module cannot look up,
# and the kalemtri classes' module is builtins: a worker would rebuild Vec3d as an empty class.
# fn therefore travels pickled by a pickler that sends every class, function and submodule of
# kalemtri_py as its path from kalemtri_py, looked up again on arrival.


class _Fn:
    """fn as the chunk tasks receive it; pickled only when it leaves this process."""

    __slots__ = ("fn",)

    def __init__(self, fn):
        self.fn = fn

    def __call__(self, points):
        try:
            return self.fn(points)
        except Exception:
            raise
        except BaseException as error:
            if isinstance(error, KeyboardInterrupt) and (
                threading.current_thread() is threading.main_thread()
            ):
                raise
            raise FnError(type(error).__name__, str(error)) from error

    def __reduce__(self):
        return _load_fn, (_dumps(self.fn),)

    def __dask_tokenize__(self):
        from dask.base import normalize_token

        return "kalemtri_dask._Fn", normalize_token(self.fn)


def _load_fn(payload):
    import pickle

    return _Fn(pickle.loads(payload))


def _member(*path):
    import kalemtri_py

    found = kalemtri_py
    for name in path:
        found = getattr(found, name)
    return found


def _dumps(fn):
    import io

    global _Pickler
    if _Pickler is None:
        _Pickler = _make_pickler()
    out = io.BytesIO()
    _Pickler(out, protocol=5).dump(fn)
    return out.getvalue()


_Pickler = None
_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE


def _make_pickler():
    import builtins
    import pickle
    import types

    import cloudpickle
    import kalemtri_py

    # By id: the pickler asks about every object it meets, hashable or not.
    members, modules = {}, [(kalemtri_py, ())]
    while modules:
        module, path = modules.pop()
        for name, value in vars(module).items():
            if isinstance(value, (type, types.BuiltinFunctionType)):
                members[id(value)] = value, (*path, name)
            # A submodule the extension made, which no import can find.
            elif isinstance(value, types.ModuleType) and value.__spec__ is None:
                members[id(value)] = value, (*path, name)
                modules.append((value, (*path, name)))

    class Pickler(cloudpickle.Pickler):
        def reducer_override(self, obj):
            found = members.get(id(obj))
            if found is not None and found[0] is obj:
                return _member, found[1]
            if (
                isinstance(obj, type)
                and obj.__flags__ & _HEAP_TYPE
                and obj.__module__ == "builtins"
                and getattr(builtins, obj.__qualname__, None) is not obj
            ):
                # A compiled class no import can find: cloudpickle would send it by value, which
                # cannot rebuild it.
                raise pickle.PicklingError(
                    f"fn refers to the class {obj.__qualname__}, which cannot be sent to dask "
                    "workers: it belongs to no module they can import"
                )
            return super().reducer_override(obj)

    return Pickler


# ---------------------------------------------------------------------------------------------
# Chunk tasks. They run on the workers and are found there by module path.


def _map_chunk(block, fn, kind):
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


def _rotate_chunk(block, quat):
    import numpy

    return numpy.asarray(_read(block).rotated(quat))


def _nearest_chunk(block, target):
    """(number of points, best candidate or None); a candidate is (order key, index, bits)."""
    n = block.shape[0]
    step = max(n, 1) if _in_place(block) else _SLICE
    best = None
    for start in range(0, n, step):
        index, distance = _read(block[start : start + step]).minimum_distance_to(target, 1)
        bits = _bits_of(distance)
        candidate = (_order_key(bits), start + index, bits)
        if best is None or candidate[:2] < best[:2]:
            best = candidate
    return n, best


def _read(block):
    """The block as a VecList: its own memory where it can be read in place, else a copy."""
    from kalemtri_py import VecList

    _refuse_masked(block)
    return VecList.borrow(block) if _in_place(block) else VecList.from_buffer(block)


def _in_place(block):
    import numpy

    return (
        type(block) is numpy.ndarray
        and block.dtype == numpy.float64
        and block.flags.c_contiguous
        and block.flags.aligned
    )


def _refuse_masked(block):
    # A chunk can be masked where the array's meta says otherwise.
    import numpy

    if isinstance(block, numpy.ma.MaskedArray):
        raise TypeError(_MASKED)


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
    import dask.array as da
    import numpy
    from dask.base import tokenize
    from dask.delayed import Delayed
    from dask.highlevelgraph import HighLevelGraph
    from kalemtri_py import VecList

    points = _as_points(points)
    k = _count(k)
    if k < 1:
        raise ValueError(f"k must be at least 1, not {k}")
    t = numpy.asarray(_read_targets(targets, VecList))
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


def _count(k):
    """k as an int: any integer VecTree takes (numpy's among them), but not a bool."""
    import operator

    if not isinstance(k, bool):
        try:
            return operator.index(k)
        except TypeError:
            pass
    raise TypeError(f"k must be an int, not '{type(k).__name__}'")


def _read_targets(targets, VecList):
    """The targets as a VecList, with VecTree's checks and messages (which name ``targets``). A
    dask array is computed first: the targets travel whole to every worker anyway."""
    from dask.base import is_dask_collection

    if is_dask_collection(targets):
        targets = targets.compute()
    try:
        return VecList.from_buffer(targets)
    except (TypeError, ValueError) as error:
        message = str(error)
        if not message.startswith("argument 'buffer'"):
            raise
        renamed = type(error)("argument 'targets'" + message[len("argument 'buffer'") :])
    raise renamed


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
