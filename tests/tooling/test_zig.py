"""The x86-64 wheels' compiler: Zig's clang for one glibc, and the tag the wheels then claim."""

import re
import subprocess

import zig


def test_tag_claims_the_glibc_zig_targets():
    # A bump of one without the other would tag wheels for a glibc they were not built for.
    target = re.fullmatch(r"x86_64-linux-gnu\.(\d+)\.(\d+)", zig.TARGET)
    tag = re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", zig.PLATFORM)
    assert target and tag and target.groups() == tag.groups()
    assert zig.REPAIR[zig.REPAIR.index("--plat") + 1] == zig.PLATFORM
    assert "--only-plat" in zig.REPAIR  # no older tag than PyPI's tbb allows


def test_toolchain_names_the_wrapper_prepare_writes(tmp_path):
    toolchain = zig.TOOLCHAIN.read_text()
    assert zig.TOOLCHAIN.name == f"zig-{zig.TARGET}.cmake"
    assert f"/../build/zig/{zig.TARGET}/c++" in toolchain
    # A fake ziglang already in place: prepare installs nothing and only writes the wrapper.
    fake = zig.zig_home(tmp_path) / "ziglang" / "zig"
    fake.parent.mkdir(parents=True)
    fake.write_text('#!/bin/sh\necho "$@"\n')
    fake.chmod(0o755)
    assert zig.prepare("/nonexistent/python", tmp_path) == zig.TOOLCHAIN
    wrapper = tmp_path / "build" / "zig" / zig.TARGET / "c++"
    run = subprocess.run([wrapper, "-c", "a b.cpp"], capture_output=True, text=True, check=True)
    assert run.stdout == f"c++ -target {zig.TARGET} -c a b.cpp\n"
