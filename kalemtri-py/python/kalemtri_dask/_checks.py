"""Checks of the caller's arguments, made while the graph is built (and of chunks, when run)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Literal

if TYPE_CHECKING:
    import dask.array as da

    from kalemtri_py import VecList

    from ._pickling import _Fn

Kind = Literal["VecList", "float", "bool"]

_MASKED = (
    "points is a masked array, whose mask kalemtri_dask would lose; fill the masked points "
    "(dask.array.ma.filled) or drop them first"
)


def _as_points(points: object) -> da.Array:
    import dask.array as da
    import numpy

    cloud: da.Array = da.asarray(points)
    if isinstance(cloud._meta, numpy.ma.MaskedArray):
        raise TypeError(_MASKED)
    if cloud.ndim != 2 or cloud.shape[1] != 3:
        raise ValueError(f"points must be an array of shape (N, 3), not {cloud.shape}")
    # float32 is widened exactly by VecList.from_buffer.
    if cloud.dtype not in (numpy.dtype(numpy.float64), numpy.dtype(numpy.float32)):
        raise TypeError(
            f"points must hold native float64, not {cloud.dtype}; "
            "convert with points.astype('float64')"
        )
    if len(cloud.chunks[1]) != 1:
        cloud = cloud.rechunk({1: 3})
    return cloud


def _refuse_masked(block: object) -> None:
    # A chunk can be masked where the array's meta says otherwise.
    import numpy

    if isinstance(block, numpy.ma.MaskedArray):
        raise TypeError(_MASKED)


def _kind_of(returns: object) -> Kind:
    from kalemtri_py import VecList

    kinds: tuple[tuple[Kind, type], ...] = (("VecList", VecList), ("float", float), ("bool", bool))
    for kind, accepted in kinds:
        if returns is accepted:
            return kind
    raise ValueError(f"returns must be VecList, float or bool, not {returns!r}")


def _probe(fn: _Fn) -> Kind:
    from kalemtri_py import Vec3d, VecList

    result = fn(VecList([Vec3d(1.0, 2.0, 3.0)]))
    if isinstance(result, VecList):
        return "VecList"
    if isinstance(result, list) and len(result) == 1:
        if type(result[0]) is float:
            return "float"
        if type(result[0]) is bool:
            return "bool"
    raise TypeError(
        "fn must return a VecList or a list of float or bool with one item per "
        f"point; on one point it returned {_describe(result)}. "
        "Pass returns= to skip this check"
    )


def _describe(result: object) -> str:
    if isinstance(result, list):
        kinds = sorted({type(item).__name__ for item in result})
        return f"a list of {len(result)} ({', '.join(kinds) or 'empty'})"
    return f"'{type(result).__name__}'"


def _count(k: object) -> int:
    """k as an int: any integer VecTree takes (numpy's among them), but not a bool."""
    import operator

    if not isinstance(k, bool):
        try:
            return operator.index(k)  # type: ignore[arg-type]
        except TypeError:
            pass
    raise TypeError(f"k must be an int, not '{type(k).__name__}'")


def _read_targets(targets: object) -> VecList:
    """The targets as a VecList, with VecTree's checks and messages (which name ``targets``). A
    dask array is computed first: the targets travel whole to every worker anyway."""
    from dask.base import is_dask_collection

    from kalemtri_py import VecList

    if is_dask_collection(targets):
        targets = targets.compute()  # type: ignore[attr-defined]
    try:
        return VecList.from_buffer(targets)  # type: ignore[arg-type]
    except (TypeError, ValueError) as error:
        message = str(error)
        if not message.startswith("argument 'buffer'"):
            raise
        renamed = type(error)("argument 'targets'" + message[len("argument 'buffer'") :])
    raise renamed
