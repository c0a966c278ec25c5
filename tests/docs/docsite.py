"""Shared helpers of the documentation checks (docs/build.py builds the site into site/).

The checks skip when the site is not built, unless KALEMTRI_DOCS_REQUIRED=1 (CI's docs stage), which
turns every such skip into a failure. KALEMTRI_DOCS_SITE names another site directory.
"""

import inspect
import os
import zlib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SITE = Path(os.environ.get("KALEMTRI_DOCS_SITE", ROOT / "site"))
REQUIRED = os.environ.get("KALEMTRI_DOCS_REQUIRED") == "1"


def need(condition, reason):
    """Skip (or, where the docs are required, fail) unless condition holds."""
    if condition:
        return
    if REQUIRED:
        pytest.fail(f"{reason} (KALEMTRI_DOCS_REQUIRED=1)")
    pytest.skip(reason)


def read_inventory(path):
    """{name: page URI with anchor} from a Sphinx-style objects.inv."""
    data = Path(path).read_bytes()
    header = data.split(b"\n", 4)
    assert header[0] == b"# Sphinx inventory version 2", header[0]
    entries = {}
    for line in zlib.decompress(header[4]).decode("utf-8").splitlines():
        name, _role, _priority, uri, _title = line.split(" ", 4)
        if uri.endswith("$"):
            uri = uri[:-1] + name
        entries[name] = uri
    return entries


def public_names():
    """Every public name of the installed modules, found now: each module's __all__ and every
    other name it defines without a leading underscore (a class may be public outside __all__),
    and the own members of each such class without one."""
    import kalemtri_dask
    import kalemtri_py

    modules = [
        ("kalemtri_py", kalemtri_py),
        ("kalemtri_py.geometry", kalemtri_py.geometry),
        ("kalemtri_dask", kalemtri_dask),
    ]
    names = []
    for path, module in modules:
        exported = list(getattr(module, "__all__", ()))
        exported += [n for n in dir(module) if n not in exported and _defines(module, n)]
        for name in exported:
            obj = getattr(module, name)
            names.append(f"{path}.{name}")
            if isinstance(obj, type):
                names += [f"{path}.{name}.{m}" for m in vars(obj) if not m.startswith("_")]
    return names


def _defines(module, name):
    """name is public and made by module, not imported into it (the extension's classes say
    builtins)."""
    obj = getattr(module, name)
    if name.startswith("_") or inspect.ismodule(obj):
        return False
    return getattr(obj, "__module__", None) in (module.__name__, "builtins")
