import pytest

from docsite import SITE, need, read_inventory


@pytest.fixture(scope="session")
def site():
    need((SITE / "objects.inv").is_file(), f"no built site in {SITE}: run docs/build.py first")
    return SITE


@pytest.fixture(scope="session")
def inventory(site):
    return read_inventory(site / "objects.inv")
