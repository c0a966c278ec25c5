"""The built reference has an entry for every public name of the installed module."""

import re

import pytest

from docsite import public_names

pytest.importorskip("kalemtri_py")


def test_public_names_are_found():
    names = public_names()
    # A walk that found nothing would pass every check below.
    for expected in (
        "kalemtri_py.Vec3d.magnitude",
        "kalemtri_py.geometry.Plane.xy",
        "kalemtri_py.VecList.minimum_distance_to",
        "kalemtri_dask.nearest",
    ):
        assert expected in names
    assert not [n for n in names if n.rsplit(".", 1)[1].startswith("_")]


def test_every_public_name_has_a_reference_entry(inventory):
    missing = [name for name in public_names() if name not in inventory]
    assert not missing, f"public names without a reference entry: {missing}"


def test_every_entry_is_an_anchor_on_its_page(site, inventory):
    ids_of = {}
    missing = []
    for name in public_names():
        uri = inventory.get(name)
        if uri is None:
            continue  # reported by the test above
        page, _, anchor = uri.partition("#")
        if page not in ids_of:
            html = site / page / "index.html" if not page.endswith(".html") else site / page
            ids_of[page] = set(re.findall(r'\bid="([^"]+)"', html.read_text(encoding="utf-8")))
        if anchor not in ids_of[page]:
            missing.append(f"{name} (#{anchor} on {page})")
    assert not missing, f"reference entries without their anchor: {missing}"


@pytest.mark.parametrize(
    ("page", "text"),
    [
        # The docstrings are plain text: their formulas keep every '*' (not emphasis).
        ("reference/vec3d/index.html", "sqrt((x*x + y*y) + z*z), correctly rounded."),
        ("reference/vec3d/index.html", "abs(magnitude() - 1) &lt; 2**-52, strictly"),
        ("reference/quat/index.html", "a non-unit q also scales by |q|**2."),
        # Signatures link their types to the types' own entries.
        ("reference/vec_list/index.html", 'href="../vec3d/#kalemtri_py.Vec3d"'),
        ("reference/geometry/index.html", 'href="../vec3d/#kalemtri_py.Vec3d"'),
    ],
)
def test_rendered_text(site, page, text):
    assert text in (site / page).read_text(encoding="utf-8")


def test_search_index_covers_the_reference(site):
    import json

    index = json.loads((site / "search" / "search_index.json").read_text(encoding="utf-8"))
    locations = {doc["location"] for doc in index["docs"]}
    for name in ("kalemtri_py.VecList.minimum_distance_to", "kalemtri_py.geometry.circle_circle"):
        assert any(loc.endswith(f"#{name}") for loc in locations), name
