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


def shipped_tbb():
    """The libtbb files this distribution's wheel carries (auditwheel puts them in a folder named
    after the distribution, "kalemtri.libs"), from its record of installed files."""
    try:
        files = metadata.distribution("kalemtri").files or []
    except metadata.PackageNotFoundError:
        return []
    return [f for f in files if f.parts[0].endswith(".libs") and TBB_FILE.fullmatch(f.name)]


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
    bundled = shipped_tbb()
    runtime = pypi_tbb_runtime()
    if bundled:
        assert len(bundled) == 1, bundled
        # The copy inside the wheel's own folder beside the module, not a system libtbb.
        shipped = os.path.realpath(bundled[0].locate())
        assert os.path.realpath(loaded[0]) == shipped
        assert os.path.dirname(os.path.dirname(shipped)) == here
    elif runtime is not None and os.path.dirname(runtime) == os.path.dirname(os.path.dirname(here)):
        # The environment's lib/, where the module's RPATH points: not an older system libtbb
        # that shares the soname.
        assert os.path.realpath(loaded[0]) == runtime
    else:
        assert not os.path.realpath(loaded[0]).startswith(os.path.realpath(sys.prefix) + os.sep)
