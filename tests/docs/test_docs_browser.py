"""A reader's check: headless Chromium opens every built page.

A page fails when it does not load, lacks its content, logs a console error (a missing asset, a
script error, a blocked request), or, on a reference page, misses the entry of a public name.
Needs Debian's chromium and chromium-driver, and selenium; the whole module is bounded by a
watchdog, so a browser that hangs fails the run instead of blocking it. A screenshot of the
VecList page is kept in build/docs/ (KALEMTRI_DOCS_SCREENSHOTS names another directory).
"""

import faulthandler
import functools
import http.server
import os
import shutil
import threading
from pathlib import Path

import pytest

from docsite import ROOT, need, public_names

PAGE_TIMEOUT = 30  # seconds for one page to load
WATCHDOG = 600  # seconds for the whole module, browser start included
SCREENSHOTS = Path(os.environ.get("KALEMTRI_DOCS_SCREENSHOTS", ROOT / "build" / "docs"))


def _executable(*names):
    for name in names:
        found = shutil.which(name) or (
            f"/usr/bin/{name}" if os.path.exists(f"/usr/bin/{name}") else None
        )
        if found:
            return found
    return None


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def server(site):
    handler = functools.partial(_QuietHandler, directory=str(site))
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}/"
    httpd.shutdown()
    httpd.server_close()


@pytest.fixture(scope="module")
def browser(site):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        need(False, "selenium is not installed (pip install -r tests/docs/requirements.txt)")
    chromium = _executable("chromium", "chromium-browser")
    driver_path = _executable("chromedriver", "chromium-driver")
    need(chromium and driver_path, "Debian's chromium and chromium-driver are not installed")
    faulthandler.dump_traceback_later(WATCHDOG, exit=True)
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in (
        "--headless=new",
        "--no-sandbox",  # root in a container has no user namespaces for the sandbox
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--window-size=1280,1600",
        "--no-first-run",
        "--disable-extensions",
    ):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(options=options, service=Service(executable_path=driver_path))
    driver.set_page_load_timeout(PAGE_TIMEOUT)
    driver.set_script_timeout(PAGE_TIMEOUT)
    try:
        yield driver
    finally:
        driver.quit()
        faulthandler.cancel_dump_traceback_later()


def _pages(site):
    return sorted(p.relative_to(site).as_posix() for p in Path(site).rglob("*.html"))


def _open(browser, url):
    browser.get_log("browser")  # drop what an earlier page logged
    browser.get(url)
    state = browser.execute_script("return document.readyState")
    errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    return state, errors


def test_every_page_renders_without_console_errors(site, server, browser):
    pages = _pages(site)
    assert "index.html" in pages and "reference/vec_list/index.html" in pages
    problems = []
    for page in pages:
        state, errors = _open(browser, server + page)
        if state != "complete":
            problems.append(f"{page}: document state {state!r}")
        if errors:
            problems.append(f"{page}: console errors {[e['message'] for e in errors]}")
        if page == "404.html":
            continue
        text = browser.execute_script(
            "const a = document.querySelector('article'); return a ? a.innerText : ''"
        )
        if len(text.strip()) < 40:
            problems.append(f"{page}: no article text")
        title = browser.execute_script("return document.title")
        if not title or "kalemtri" not in title:
            problems.append(f"{page}: title {title!r}")
    assert not problems, "\n".join(problems)


def test_every_public_name_is_a_visible_entry(server, browser, inventory):
    pytest.importorskip("kalemtri_py")
    by_page = {}
    for name in public_names():
        page, _, anchor = inventory.get(name, "#").partition("#")
        by_page.setdefault(page, []).append((name, anchor))
    missing = [name for name, _ in by_page.pop("", [])]
    for page, entries in sorted(by_page.items()):
        state, errors = _open(browser, server + page)
        assert state == "complete" and not errors, (page, state, errors)
        hidden = browser.execute_script(
            """
            return arguments[0].filter(id => {
                const e = document.getElementById(id);
                if (!e) return true;
                const r = e.getBoundingClientRect();
                return r.width === 0 || r.height === 0;
            });
            """,
            [anchor for _, anchor in entries],
        )
        missing += [name for name, anchor in entries if anchor in hidden]
    assert not missing, f"public names without a visible entry: {missing}"


def test_search_finds_a_method(server, browser):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait

    _open(browser, server + "index.html")
    WebDriverWait(browser, PAGE_TIMEOUT).until(
        expected_conditions.element_to_be_clickable(
            (By.CSS_SELECTOR, "label.md-search__icon, .md-search__input")
        )
    )
    browser.execute_script("document.querySelector('.md-search__input').focus()")
    box = browser.find_element(By.CSS_SELECTOR, ".md-search__input")
    box.send_keys("minimum_distance_to")
    WebDriverWait(browser, PAGE_TIMEOUT).until(
        lambda d: d.find_elements(By.CSS_SELECTOR, ".md-search-result__item")
    )
    links = [
        a.get_attribute("href")
        for a in browser.find_elements(By.CSS_SELECTOR, ".md-search-result__item a")
    ]
    assert any("kalemtri_py.VecList.minimum_distance_to" in (h or "") for h in links), links
    errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    assert not errors, errors


def test_screenshot_of_the_vec_list_page(server, browser):
    _open(browser, server + "reference/vec_list/")
    height = browser.execute_script("return document.documentElement.scrollHeight")
    browser.set_window_size(1280, min(max(height, 800), 6000))
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    path = SCREENSHOTS / "vec_list.png"
    assert browser.save_screenshot(str(path))
    assert path.stat().st_size > 10_000
    browser.set_window_size(1280, 1600)
