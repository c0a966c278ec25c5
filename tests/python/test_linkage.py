"""The installed module loads the TBB that was installed or shipped for it."""

import os
import re
import sys
from importlib import metadata

import pytest

import kalemtri_py

# libtbb.so.12 as pip and Debian install it, libtbb-<hash>.so.12.8 as auditwheel ships it; never
# the libtbbmalloc / libtbbbind companions.
TBB_FILE = re.compile(r"libtbb(-[0-9a-f]+)?\.so(\.\d+)*")


def mapped_tbb():
    with open("/proc/self/maps") as maps:
        fields = [line.split(None, 5) for line in maps]
    paths = {f[5].strip() for f in fields if len(f) == 6}
    return sorted(p for p in paths if TBB_FILE.fullmatch(os.path.basename(p)))


def pypi_tbb_runtime():
    """libtbb.so.12 of PyPI's tbb package in this environment, if installed."""
    try:
        tbb = metadata.distribution("tbb")
    except metadata.PackageNotFoundError:
        return None
    for f in tbb.files or []:
        if f.name == "libtbb.so.12":
            return os.path.realpath(tbb.locate_file(f))
    return None


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/maps")
def test_loads_the_tbb_installed_for_it():
    assert kalemtri_py.VecList  # the module, and with it TBB, is loaded
    loaded = mapped_tbb()
    assert len(loaded) == 1, loaded
    here = os.path.dirname(os.path.realpath(kalemtri_py.__file__))
    bundled = os.path.join(here, "kalemtri_py.libs")
    runtime = pypi_tbb_runtime()
    if os.path.isdir(bundled):
        assert os.path.dirname(loaded[0]) == bundled
    elif runtime is not None and os.path.dirname(runtime) == os.path.dirname(os.path.dirname(here)):
        # The environment's lib/, where the module's RPATH points: not an older system libtbb
        # that shares the soname.
        assert os.path.realpath(loaded[0]) == runtime
    else:
        assert not os.path.realpath(loaded[0]).startswith(os.path.realpath(sys.prefix) + os.sep)
