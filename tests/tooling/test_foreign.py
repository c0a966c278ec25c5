"""Wheels for interpreters that run only in a chroot: what is taken from the target interpreter,
how the wheel is tagged, and how the bit-identity probes of two architectures are compared."""

import subprocess
import sys
import sysconfig

import pytest

import foreign

CP314 = foreign.Target(
    version="3.14",
    ext_suffix=".cpython-314-x86_64-linux-gnu.so",
    include="/usr/include/python3.14",
    multiarch="x86_64-linux-gnu",
    platform="linux-x86_64",
)


def test_the_probe_describes_the_interpreter_that_runs_it():
    out = subprocess.run(
        [sys.executable, "-c", foreign.PROBE], capture_output=True, text=True, check=True
    ).stdout
    target = foreign.Target.from_probe(out)
    assert target.version == f"{sys.version_info[0]}.{sys.version_info[1]}"
    assert "." + target.soabi + ".so" == sysconfig.get_config_var("EXT_SUFFIX")


@pytest.mark.parametrize(
    "target, soabi, tag",
    [
        (CP314, "cpython-314-x86_64-linux-gnu", "cp314-cp314-linux_x86_64"),
        (
            foreign.Target("3.11", ".cpython-311-aarch64-linux-gnu.so", "/usr/include/python3.11",
                           "aarch64-linux-gnu", "linux-aarch64"),
            "cpython-311-aarch64-linux-gnu",
            "cp311-cp311-linux_aarch64",
        ),
    ],
)  # fmt: skip
def test_suffix_and_tag(target, soabi, tag):
    assert target.soabi == soabi and target.wheel_tag == tag


@pytest.mark.parametrize(
    "change",
    [
        {"gil_disabled": True},  # the module declares no free-threaded support
        {"ext_suffix": ".abi3.so"},
        {"ext_suffix": ".so"},
    ],
)
def test_interpreters_the_wheel_cannot_be_built_for(change):
    target = foreign.Target(**{**CP314.__dict__, **change})
    with pytest.raises(ValueError):
        target.wheel_tag if "gil_disabled" in change else target.soabi  # noqa: B018


def test_staged_headers_carry_the_targets_own_pyconfig(tmp_path):
    root = tmp_path / "chroot"
    headers = root / "usr/include/python3.14"
    headers.mkdir(parents=True)
    (headers / "Python.h").write_text("#include <pyconfig.h>\n")
    (headers / "cpython").mkdir()
    (headers / "cpython/object.h").write_text("/* object */\n")
    # Debian's dispatcher, which would find the host's /usr/include/x86_64-linux-gnu.
    (headers / "pyconfig.h").write_text("#include <x86_64-linux-gnu/python3.14/pyconfig.h>\n")
    real = root / "usr/include/x86_64-linux-gnu/python3.14"
    real.mkdir(parents=True)
    (real / "pyconfig.h").write_text("#define SIZEOF_VOID_P 8\n")
    stale = tmp_path / "stage/include/stale.h"
    stale.parent.mkdir(parents=True)
    stale.write_text("")

    include = foreign.stage_headers(CP314, root, tmp_path / "stage")
    assert (include / "pyconfig.h").read_text() == "#define SIZEOF_VOID_P 8\n"
    assert (include / "cpython/object.h").is_file() and not stale.exists()
    assert (root / "usr/include/python3.14/pyconfig.h").read_text().startswith("#include")


def test_staging_without_the_dev_package_fails(tmp_path):
    (tmp_path / "chroot/usr/include/python3.14").mkdir(parents=True)
    with pytest.raises(FileNotFoundError, match="python3.14-dev"):
        foreign.stage_headers(CP314, tmp_path / "chroot", tmp_path / "stage")


def test_build_settings(tmp_path):
    settings = foreign.build_settings(CP314, tmp_path, "build/x")
    assert "--config-settings=wheel.tags=cp314-cp314-linux_x86_64" in settings
    assert "--config-settings=cmake.define.Python_SOABI=cpython-314-x86_64-linux-gnu" in settings
    assert "--config-settings=cmake.python-hints=false" in settings
    assert not any("TOOLCHAIN" in s for s in settings)
    toolchain = tmp_path / "t.cmake"
    assert (
        f"--config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE={toolchain}"
        in foreign.build_settings(CP314, tmp_path, "build/x", toolchain)
    )


X86 = ["own add 0 3ff0,4000", "own dot 0 4008", "libm sin 0 3fe0", "own batch_add 3ff0"]


@pytest.mark.parametrize(
    "other, ok, own_differences, libm_differences",
    [
        (X86, True, 0, 0),
        # The platform's sine may round the other way: listed, not a failure.
        (["own add 0 3ff0,4000", "own dot 0 4008", "libm sin 0 3fe1", "own batch_add 3ff0"],
         True, 0, 1),
        # A NaN of the other sign is a difference too.
        (["own add 0 3ff0,4000", "own dot 0 7ff8", "libm sin 0 3fe0", "own batch_add 3ff1"],
         False, 2, 0),
    ],
)  # fmt: skip
def test_probe_comparison(other, ok, own_differences, libm_differences):
    result = foreign.compare_probe(X86, other)
    assert (result.own, result.libm) == (3, 1)
    assert result.ok == ok
    assert len(result.own_differences) == own_differences
    assert len(result.libm_differences) == libm_differences
    report = result.report("aarch64")
    assert report.startswith("aarch64 against x86-64: 3 results") and report.count("\n") == 2 * (
        own_differences + libm_differences
    )


@pytest.mark.parametrize(
    "other",
    [X86[:-1], ["own add 0 3ff0,4000", "own cross 0 4008", *X86[2:]], ["odd x", *X86[1:]]],
)
def test_probes_of_different_computations_are_not_compared(other):
    with pytest.raises(ValueError):
        foreign.compare_probe(X86, other)
