"""The documentation build's own rules: plain-text docstrings, and strictness about members."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from docsite import ROOT

sys.path.insert(0, str(ROOT / "docs" / "_ext"))
griffe = pytest.importorskip("griffe")
plain_docstrings = pytest.importorskip("plain_docstrings")


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("(x*ox + y*oy) + z*oz.", r"(x\*ox + y\*oy) + z\*oz."),
        ("abs(m - 1) < 2**-52", r"abs(m - 1) &lt; 2\*\*-52"),
        ("[[x, y, z], ...]", r"\[\[x, y, z\], ...\]"),
        ("a __dunder__ name", r"a \_\_dunder\_\_ name"),
        ("|q|**2 & # not a heading", r"\|q\|\*\*2 &amp; \# not a heading"),
        # Code spans are Markdown's own and stay as they are, single or double backticks.
        ("use `a*b` or ``x_y < z``", r"use `a*b` or ``x_y < z``"),
        ("`a` * `b`", r"`a` \* `b`"),
        ("an unpaired ` backtick *", r"an unpaired ` backtick \*"),
    ],
)
def test_escape_plain(text, expected):
    assert plain_docstrings.escape_plain(text) == expected


def _stub_package(tmp_path, extra=""):
    """A copy of the real stub package and kalemtri_dask, with extra appended to the stubs."""
    python = tmp_path / "kalemtri-py" / "python"
    shutil.copytree(ROOT / "kalemtri-py" / "python", python)
    if extra:
        stubs = python / "kalemtri_py-stubs" / "__init__.pyi"
        stubs.write_text(stubs.read_text() + textwrap.dedent(extra))
    return python


def test_public_tree_walks_exports_and_class_members(tmp_path):
    hooks = pytest.importorskip("hooks")
    extra = """
        @final
        class Outside:
            \"\"\"Public without being in __all__.\"\"\"

            def method(self) -> None:
                \"\"\"Documented.\"\"\"
    """
    tree = hooks.public_tree([str(_stub_package(tmp_path, extra))])
    assert "kalemtri_py.Outside.method" in tree
    for path in (
        "kalemtri_py.VecList.minimum_distance_to",
        "kalemtri_py.Vec3d.x",
        "kalemtri_py.Vec3d.__add__",
        "kalemtri_py.geometry.Circle.area",
        "kalemtri_py.geometry.plane_line",
        "kalemtri_dask.nearest",
    ):
        assert path in tree, path
    hidden = [p for p in tree if any(part.startswith("_") for part in p.split(".")[1:2])]
    assert not hidden  # _Float, _VecSequence, ... are not public
    assert "kalemtri_py.AngleRadians.__hash__" not in tree
    assert "kalemtri_dask._probe" not in tree
    assert "kalemtri_py.Sequence" not in tree  # imported, not defined


def test_rendered_roots_and_coverage(tmp_path):
    hooks = pytest.importorskip("hooks")
    (tmp_path / "a.md").write_text(
        "# A\n\n::: kalemtri_py.Vec3d\n\n::: kalemtri_py\n    options:\n      members: false\n"
    )
    (tmp_path / "b.md").write_text("::: kalemtri_py.geometry\n")
    roots = hooks.rendered_roots(tmp_path)
    assert roots == {"kalemtri_py.Vec3d": True, "kalemtri_py": False, "kalemtri_py.geometry": True}
    assert hooks.is_rendered("kalemtri_py.Vec3d.dot", roots)
    assert hooks.is_rendered("kalemtri_py.geometry.Plane.xy", roots)
    assert not hooks.is_rendered("kalemtri_py.Quat", roots)  # the module directive has no members


def _build(tmp_path, extra, page_text=""):
    pytest.importorskip("mkdocs")
    pytest.importorskip("mkdocstrings_handlers.python")
    _stub_package(tmp_path, extra)
    shutil.copytree(ROOT / "docs", tmp_path / "docs")
    shutil.copy(ROOT / "mkdocs.yml", tmp_path / "mkdocs.yml")
    if page_text:
        with open(tmp_path / "docs" / "conventions.md", "a", encoding="utf-8") as page:
            page.write(page_text)
    return subprocess.run(
        [sys.executable, "docs/build.py"],
        check=False,
        cwd=tmp_path,
        env=dict(os.environ, NO_MKDOCS_2_WARNING="1"),
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_a_member_without_a_docstring_fails_the_build(tmp_path):
    result = _build(
        tmp_path,
        """
        __all__ += ["Extra"]

        @final
        class Extra:
            \"\"\"A class added to the module.\"\"\"

            def undocumented(self) -> None: ...
        """,
    )
    assert result.returncode != 0
    assert "kalemtri_py.Extra.undocumented is public but has no docstring" in result.stderr


def test_a_new_class_gets_its_own_page(tmp_path):
    result = _build(
        tmp_path,
        """
        @final
        class VecExtra:
            \"\"\"A class added to the module.\"\"\"

            def measure(self, other: Vec3d) -> float:
                \"\"\"x*x, documented.\"\"\"
        """,
    )
    assert result.returncode == 0, result.stderr
    page = (tmp_path / "site" / "reference" / "vec_extra" / "index.html").read_text()
    assert 'id="kalemtri_py.VecExtra.measure"' in page
    assert "x*x, documented." in page
    assert "reference/vec_extra/" in (tmp_path / "site" / "index.html").read_text()  # in the nav


def test_broken_references_fail_the_build(tmp_path):
    broken = {
        "kalemtri_py.Vec3d.no_such_method": "[the method][kalemtri_py.Vec3d.no_such_method]",
        "no-such-page.md": "[a page](no-such-page.md)",
        "no-such-section": "[a section](numpy.md#no-such-section)",
    }
    result = _build(tmp_path, "", "".join(f"\nSee {link}.\n" for link in broken.values()))
    assert result.returncode != 0
    for target in broken:
        assert target in result.stderr
