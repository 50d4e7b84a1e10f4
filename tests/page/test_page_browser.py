"""The page in a real browser: headless Chromium driven through its driver.

Skipped when selenium, chromium or chromedriver is missing; screenshots go to build/screenshots/.
"""

import os
import shutil
import tempfile
from pathlib import Path

import pytest
from pagekit import SAMPLE_IMAGES, served  # noqa: F401 - a fixture
from PIL import Image

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
SCREENSHOTS = Path(__file__).resolve().parents[2] / "build" / "screenshots"
# No network here: without these, the browser keeps trying to reach its maker's services.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-dev-shm-usage", "--window-size=1280,860"]

pytestmark = pytest.mark.skipif(not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)),
                                reason="chromium or chromedriver is not installed")


@pytest.fixture(scope="module")
def browser():
    from selenium.webdriver.chrome.service import Service

    profile = tempfile.mkdtemp(prefix="viewer-browser-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in FLAGS + [f"--user-data-dir={profile}"]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_script_timeout(10)
    try:
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


@pytest.fixture(autouse=True)
def admitted(browser, served):
    """The browser opens the address the server printed, as a person does, and so holds its cookie."""
    browser.get(served.key_url)


def wait(driver, condition, seconds=10):
    return WebDriverWait(driver, seconds).until(lambda d: condition(d))


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def tile(driver, name):
    return driver.find_element(By.CSS_SELECTOR, f'#grid .tile[data-path="{name}"]')


def thumbnails_decoded(driver):
    """Names of the grid's images whose pictures the browser has decoded, by natural width."""
    return driver.execute_script(
        "return [...document.querySelectorAll('#grid img.thumb')]"
        ".filter(i => i.complete && i.naturalWidth > 0).map(i => i.alt)")


def captions(driver, where="#grid figcaption"):
    # Read in one script: the grid may be redrawn between two element look-ups.
    return driver.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map(e => e.textContent)", where)


def open_grid(driver, served, address=""):
    driver.get(served.url + address)
    wait(driver, lambda d: len(thumbnails_decoded(d)) == len(SAMPLE_IMAGES))


def screenshot(driver, name):
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    driver.save_screenshot(str(SCREENSHOTS / name))


def test_grid_shows_every_thumbnail(browser, served):
    open_grid(browser, served)
    assert thumbnails_decoded(browser) == SAMPLE_IMAGES
    assert captions(browser, "#folders .tile") == ["Trips"]
    assert captions(browser) == SAMPLE_IMAGES
    screenshot(browser, "grid.png")

    browser.find_element(By.CSS_SELECTOR, "#folders .tile").click()
    wait(browser, lambda d: thumbnails_decoded(d) == ["forest.png", "mountain.jpg"])
    assert "dir=Trips" in browser.current_url
    browser.find_element(By.ID, "up").click()
    wait(browser, lambda d: len(thumbnails_decoded(d)) == len(SAMPLE_IMAGES))


def test_sorting_and_hidden_files(browser, served):
    open_grid(browser, served)
    browser.find_element(By.CSS_SELECTOR, "#sort option[value=size]").click()
    browser.find_element(By.ID, "direction").click()
    wait(browser, lambda d: "sort=size" in d.current_url and "desc=1" in d.current_url)
    by_size = sorted(SAMPLE_IMAGES, key=lambda name: (served.folder / name).stat().st_size, reverse=True)
    wait(browser, lambda d: captions(d) == by_size)
    browser.find_element(By.ID, "hidden").click()
    wait(browser, lambda d: ".hidden.png" in captions(d))


def test_clicking_opens_the_image_and_the_arrow_keys_move(browser, served):
    open_grid(browser, served)
    tile(browser, "harbour.jpg").find_element(By.CSS_SELECTOR, ".open").click()
    wait(browser, lambda d: text(d, "info-pixels") == "480 \u00d7 320 pixels")
    assert text(browser, "info-name") == "harbour.jpg"
    assert "Demo Camera Co" in text(browser, "info-list")
    full = browser.find_element(By.ID, "full")
    # Stored sideways, shown upright.
    wait(browser, lambda d: d.execute_script("return [arguments[0].naturalWidth, arguments[0].naturalHeight]",
                                             full) == [480, 320])
    assert "open=harbour.jpg" in browser.current_url
    screenshot(browser, "view.png")

    body = browser.find_element(By.TAG_NAME, "body")
    body.send_keys(Keys.ARROW_RIGHT)
    wait(browser, lambda d: text(d, "info-name") == "lake.jpg" and "open=lake.jpg" in d.current_url)
    body.send_keys(Keys.ARROW_LEFT, Keys.ARROW_LEFT)
    wait(browser, lambda d: text(d, "info-name") == "Dunes.BMP")
    body.send_keys(Keys.ARROW_LEFT)  # the first image has nothing before it
    body.send_keys(Keys.ESCAPE)
    wait(browser, lambda d: d.find_element(By.ID, "grid").is_displayed())
    assert "open=" not in browser.current_url

    # An image view can be bookmarked.
    browser.get(served.url + "?open=Trips/mountain.jpg")
    wait(browser, lambda d: text(d, "info-name") == "mountain.jpg" and text(d, "info-pixels"))


def test_rotating_turns_the_file_and_keeps_its_backup(browser, served):
    original = (served.folder / "lake.jpg").read_bytes()
    open_grid(browser, served)
    tile(browser, "lake.jpg").find_element(By.CSS_SELECTOR, ".pick").click()
    assert "1 of 7 images selected" in text(browser, "target-label")
    browser.find_element(By.CSS_SELECTOR, "[data-edit=rotate-right]").click()
    wait(browser, lambda d: text(d, "status-text").startswith("Rotated 1 of 1 image."))
    with Image.open(served.folder / "lake.jpg") as turned:
        assert turned.size == (320, 480)
    assert (served.folder / "ZEL originals" / "lake.jpg").read_bytes() == original
    # The grid refreshed: the new thumbnail is upright, and the backup folder shows.
    wait(browser, lambda d: d.execute_script(
        "const i = document.querySelector('#grid .tile[data-path=\"lake.jpg\"] img');"
        "return i.complete && i.naturalWidth > 0 && i.naturalWidth < i.naturalHeight"))
    assert "ZEL originals" in captions(browser, "#folders .tile")


def test_rename_shows_a_preview_then_renames(browser, served):
    open_grid(browser, served)
    for name in ("sunset.webp", "meadow.png"):
        tile(browser, name).find_element(By.CSS_SELECTOR, ".pick").click()
    browser.find_element(By.CSS_SELECTOR, "[data-edit=rename]").click()
    pattern = browser.find_element(By.CSS_SELECTOR, "#rename-dialog [name=pattern]")
    pattern.clear()
    pattern.send_keys("trip_##")
    # The selection goes in grid order: meadow before sunset.
    expected = [["meadow.png", "trip_01.png"], ["sunset.webp", "trip_02.webp"]]
    preview = "return [...document.querySelectorAll('#rename-preview tr')].map(r => [...r.cells].map(c => c.textContent))"
    wait(browser, lambda d: d.execute_script(preview) == expected)
    assert (served.folder / "meadow.png").exists()  # nothing renamed yet
    browser.find_element(By.ID, "rename-go").click()
    wait(browser, lambda d: text(d, "status-text") == "Renamed 2 of 2 images.")
    assert sorted(p.name for p in served.folder.glob("trip_*")) == ["trip_01.png", "trip_02.webp"]
    assert not (served.folder / "meadow.png").exists()
    wait(browser, lambda d: "trip_01.png" in captions(d))


def test_delete_asks_first(browser, served):
    open_grid(browser, served)
    tile(browser, "night.gif").find_element(By.CSS_SELECTOR, ".pick").click()
    browser.find_element(By.CSS_SELECTOR, "[data-edit=delete]").click()
    dialog = browser.find_element(By.ID, "delete-dialog")
    wait(browser, lambda d: dialog.is_displayed())
    dialog.find_element(By.CSS_SELECTOR, "button[value=cancel]").click()
    assert (served.folder / "night.gif").exists()
    browser.find_element(By.CSS_SELECTOR, "[data-edit=delete]").click()
    browser.find_element(By.ID, "delete-go").click()
    wait(browser, lambda d: text(d, "status-text") == "Deleted 1 of 1 image.")
    assert not (served.folder / "night.gif").exists()


FETCH = """
const [url, options, done] = arguments;
fetch(url, options).then(r => r.json().then(body => done([r.status, body])));
"""


@pytest.mark.parametrize("url, options, status", [
    ("/thumb?path=..%2Foutside.jpg", {}, 404),
    ("/image?path=link-out.jpg", {}, 404),
    ("/api/list?path=dir-out", {}, 404),
    ("/api/delete", {"method": "POST", "body": '{"paths": ["lake.jpg"]}'}, 403),
    ("/api/delete", {"method": "POST", "body": '{"paths": ["lake.jpg"]}', "headers": {"X-Token": "guess"}}, 403),
])
def test_the_page_cannot_reach_outside_or_change_files_without_the_token(browser, served, url, options, status):
    browser.get(served.url)
    code, body = browser.execute_async_script(FETCH, url, options)
    assert code == status and body["error"]
    assert (served.folder / "lake.jpg").exists() and served.outside.exists()
