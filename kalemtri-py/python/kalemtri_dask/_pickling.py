"""fn on its way to the workers.

cloudpickle sends by value a class that its module cannot look up, and the kalemtri classes'
module is builtins: a worker would rebuild Vec3d as an empty class. fn therefore travels pickled
by a pickler that sends every class, function and submodule of kalemtri_py as its path from
kalemtri_py, looked up again on arrival.
"""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Any, Callable

if TYPE_CHECKING:
    import pickle

    from kalemtri_py import VecList

_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE


class FnError(RuntimeError):
    """``fn`` raised an exception that is not an ``Exception``, such as ``PanicException``.

    Dask reports only ``Exception``s from a task (a ``dask.distributed`` client would wait for
    ever on any other), so the chunk task raises this in its place, on every scheduler. ``args``
    is ``(type name, message)`` of the original, which is also the ``__cause__`` where the
    exception did not cross a process. A ``KeyboardInterrupt`` on the main thread is a real
    interrupt and passes unchanged.
    """

    def __str__(self) -> str:
        """``fn raised <type name>: <message>``, or without the colon part for no message."""
        name, message = self.args
        return f"fn raised {name}: {message}" if message else f"fn raised {name}"


class _Fn:
    """fn as the chunk tasks receive it; pickled only when it leaves this process."""

    __slots__ = ("fn",)

    def __init__(self, fn: Callable[[VecList], object]) -> None:
        self.fn = fn

    def __call__(self, points: VecList) -> object:
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

    def __reduce__(self) -> tuple[Callable[[bytes], _Fn], tuple[bytes]]:
        return _load_fn, (_dumps(self.fn),)

    def __dask_tokenize__(self) -> tuple[str, object]:
        from dask.base import normalize_token

        return "kalemtri_dask._Fn", normalize_token(self.fn)


def _load_fn(payload: bytes) -> _Fn:
    import pickle

    return _Fn(pickle.loads(payload))


def _member(*path: str) -> object:
    import kalemtri_py

    found: object = kalemtri_py
    for name in path:
        found = getattr(found, name)
    return found


_Pickler: type[pickle.Pickler] | None = None


def _dumps(fn: object) -> bytes:
    import io

    global _Pickler
    if _Pickler is None:
        _Pickler = _make_pickler()
    out = io.BytesIO()
    _Pickler(out, protocol=5).dump(fn)
    return out.getvalue()


def _make_pickler() -> type[pickle.Pickler]:
    import builtins
    import pickle
    import types

    import cloudpickle

    import kalemtri_py

    # By id: the pickler asks about every object it meets, hashable or not.
    members: dict[int, tuple[object, tuple[str, ...]]] = {}
    modules: list[tuple[types.ModuleType, tuple[str, ...]]] = [(kalemtri_py, ())]
    while modules:
        module, path = modules.pop()
        for name, value in vars(module).items():
            if isinstance(value, (type, types.BuiltinFunctionType)):
                members[id(value)] = value, (*path, name)
            # A submodule the extension made, which no import can find.
            elif isinstance(value, types.ModuleType) and value.__spec__ is None:
                members[id(value)] = value, (*path, name)
                modules.append((value, (*path, name)))

    class Pickler(cloudpickle.Pickler):  # type: ignore[misc]
        def reducer_override(self, obj: Any) -> Any:
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
