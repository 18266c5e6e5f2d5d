"""`vesker serve` in a real headless Chromium: the walk a person takes through a heap.

Screenshots of each step land in build/serve-screenshots. Without Chromium, its driver or
selenium the test is skipped, except in CI, where a missing browser is a failure.
"""

from __future__ import annotations

import gc
import os
import pathlib
import re
import shutil
import subprocess
import sys
from collections.abc import Iterator
from typing import Any

import pytest

import vesker
import vesker_analysis
from vesker import engine
from graphs import encode_lines, random_graph

ROOT = pathlib.Path(__file__).resolve().parents[2]
SHOTS = ROOT / "build" / "serve-screenshots"
IN_CI = os.environ.get("CI") == "true"


def _need(condition: bool, what: str) -> None:
    if condition:
        return
    if IN_CI:
        pytest.fail(f"{what} is missing; CI runs the browser tests")
    pytest.skip(f"{what} is missing")


@pytest.fixture(scope="module")
def server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[str]:
    pytest.importorskip("starlette")
    directory = tmp_path_factory.mktemp("browsed")
    import random

    explorer = vesker_analysis.HeapDumpExplorer(str(directory))
    graph = random_graph(random.Random(4), 3000, id_style="cpython", dangling_share=0.0, module_share=0.02)
    explorer.import_lines(encode_lines(graph), vesker_analysis.EstimatorPrecision.Exact)
    from vesker.sites import SiteCollector

    sites = SiteCollector(1)
    sites.table = {0: [["app/cache.py", 41, "Cache.put"]], 1: [["app/main.py", 9, None]]}
    for number, object_id in enumerate(sorted(record["id"] for record in graph)[::2]):
        sites.ids.append(object_id)
        sites.sites.append(number % 2)
    with engine.Store(directory) as store:
        store.compute_retained()
        sites.save(str(directory), store)
    del explorer
    gc.collect()
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(vesker.__file__).parent.parent))
    process = subprocess.Popen(
        [sys.executable, "-m", "vesker", "serve", str(directory), "--port", "0", "--no-browser"],
        stderr=subprocess.PIPE, text=True, env=env,
    )
    try:
        assert process.stderr is not None
        announced = process.stderr.readline()
        match = re.search(r"at (http://127\.0\.0\.1:\d+/)", announced)
        assert match, announced + process.stderr.read()
        yield match.group(1)
    finally:
        process.terminate()
        process.wait(timeout=10)


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    chromium = shutil.which("chromium")
    driver_path = shutil.which("chromedriver")
    _need(chromium is not None and driver_path is not None, "Chromium or chromedriver")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        _need(False, "selenium")
        raise
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,800",
                     "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    driver.implicitly_wait(5)
    SHOTS.mkdir(parents=True, exist_ok=True)
    try:
        yield driver
    finally:
        driver.quit()


def _wait_for(driver: Any, css: str, text: str | None = None) -> Any:
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait

    locator = ("css selector", css)
    condition = (expected_conditions.text_to_be_present_in_element(locator, text) if text
                 else expected_conditions.presence_of_element_located(locator))
    WebDriverWait(driver, 10).until(condition)
    return driver.find_element(*locator)


def _shot(driver: Any, name: str) -> None:
    driver.save_screenshot(str(SHOTS / f"{name}.png"))


def test_a_walk_from_the_overview_to_a_path(server: str, browser: Any) -> None:
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    browser.get(server)
    _wait_for(browser, "main h1", "Overview")
    assert "3,000" in browser.find_element("css selector", ".facts").text
    assert browser.find_element("css selector", "main section h2").text == "Leak suspects"  # the answer first
    _shot(browser, "1-overview")

    # The largest object, from the keyboard: first row, then Enter.
    largest = browser.find_element("css selector", "main table.rows tbody tr td a.id").text
    browser.find_element("css selector", "body").send_keys("j", Keys.ENTER)
    _wait_for(browser, "main h1 .id", largest)
    assert browser.current_url.endswith(f"#/object/{largest}")
    _shot(browser, "2-largest-object")

    # Down to its largest reference, then up again through one of that object's referrers.
    child = _wait_for(browser, "section.references tbody a.id")
    held = child.text
    child.click()
    _wait_for(browser, "main h1 .id", held)
    referrer = _wait_for(browser, "section.referrers tbody a.id")
    holder = referrer.text
    referrer.click()
    _wait_for(browser, "main h1 .id", holder)
    _shot(browser, "3-referrer")

    # A path from the holder to the object it holds, through the form.
    browser.get(f"{server}#/path")
    _wait_for(browser, "main h1", "Path")
    browser.find_element("name", "from").send_keys(holder)
    browser.find_element("name", "to").send_keys(held + Keys.ENTER)
    answer = _wait_for(browser, "p.answer", "path of")
    assert answer.text == ("path of 0 references" if holder == held else "path of 1 references")
    _shot(browser, "4-path")

    # The dominator tree from the keyboard and one step down its treemap.
    browser.get(server)
    _wait_for(browser, "main h1", "Overview")
    assert browser.find_element("css selector", '#nav a[data-key="d"]').is_displayed()
    browser.find_element("css selector", "body").send_keys("d")
    _wait_for(browser, "main h1", "Dominator tree")
    cells = browser.find_elements("css selector", "figure.treemap svg a")
    assert cells
    _shot(browser, "6-dominator-tree")
    cells[0].find_element("css selector", "rect").click()
    WebDriverWait(browser, 10).until(lambda driver: re.search(r"#/tree(/\d+|\?expand=)", driver.current_url))
    _wait_for(browser, "main table.rows")
    _shot(browser, "7-dominator-tree-below")

    # Where the objects were made, from the keyboard; one site's largest holder says its own site.
    browser.find_element("css selector", "body").send_keys("s")
    _wait_for(browser, "main h1", "Allocation sites")
    assert "app/cache.py:41 in Cache.put" in browser.find_element("css selector", "main table.rows").text
    _shot(browser, "8-sites")
    browser.find_element("css selector", "main table.rows tbody a").click()
    assert "allocated at" in _wait_for(browser, ".facts", "allocated at").text

    # The types table, filtered from the keyboard, and an unknown id's error panel.
    browser.get(f"{server}#/types")
    _wait_for(browser, "main h1", "Types")
    browser.find_element("css selector", "body").send_keys("/")
    browser.switch_to.active_element.send_keys("dict")

    def only_dicts(driver: Any) -> bool:
        rows = driver.execute_script("return document.querySelector('main table.rows tbody').textContent")
        return "builtins.dict" in rows and "builtins.str" not in rows

    WebDriverWait(browser, 10).until(only_dicts)
    assert "filter=dict" in browser.current_url
    _shot(browser, "5-types")
    browser.get(f"{server}#/object/12345")
    assert "no object with id 12345" in _wait_for(browser, "section.error").text

    errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"
              and "/api/object/12345" not in entry["message"]]
    assert errors == []


def test_the_page_says_when_the_store_changed_and_reads_it_again(tmp_path: pathlib.Path, browser: Any) -> None:
    from selenium.webdriver.support.ui import WebDriverWait

    explorer = vesker_analysis.HeapDumpExplorer(str(tmp_path))
    explorer.import_lines([b'{"id":1,"type":"app.A","references":[2],"size":10}\n',
                           b'{"id":2,"type":"app.B","references":[],"size":20}\n'],
                          vesker_analysis.EstimatorPrecision.Exact)
    with engine.Store(tmp_path) as store:
        store.compute_retained()
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(vesker.__file__).parent.parent))
    process = subprocess.Popen([sys.executable, "-m", "vesker", "serve", str(tmp_path), "--port", "0", "--no-browser"],
                               stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert process.stderr is not None
        url = re.search(r"at (http://127\.0\.0\.1:\d+/)", process.stderr.readline()).group(1)  # type: ignore[union-attr]
        browser.get(url)
        facts = _wait_for(browser, ".facts", "computed for what the store holds")
        assert "objects\n2" in facts.text
        assert not browser.find_element("id", "changed").is_displayed()
        # Another process adds to the store while the page is open.
        explorer.import_lines([b'{"id":3,"type":"app.C","references":[],"size":30}\n'],
                              vesker_analysis.EstimatorPrecision.Exact)
        WebDriverWait(browser, 20).until(lambda driver: driver.find_element("id", "changed").is_displayed())
        assert "store changed" in browser.find_element("id", "changed").text
        _shot(browser, "8-store-changed")
        browser.find_element("id", "changed-reload").click()
        facts = _wait_for(browser, ".facts", "out of date")
        assert "objects\n3" in facts.text
        assert not browser.find_element("id", "changed").is_displayed()
        assert not browser.find_element("css selector", '#nav a[data-key="d"]').is_displayed()
    finally:
        process.terminate()
        process.wait(timeout=10)
        del explorer
        gc.collect()
