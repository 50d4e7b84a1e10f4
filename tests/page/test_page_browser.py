"""The page in a real browser: headless Chromium driven through its driver, at a laptop's size and a phone's.

Skipped when selenium, chromium or chromedriver is missing; screenshots go to build/screenshots/.
"""

import io
import os
import shutil
import tempfile
import time
from pathlib import Path

import pytest
from pagekit import SAMPLE_IMAGES, served  # noqa: F401 - a fixture
from PIL import Image

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support import expected_conditions  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
SCREENSHOTS = Path(__file__).resolve().parents[2] / "build" / "screenshots"
# No network here: without these, the browser keeps trying to reach its maker's services.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-dev-shm-usage", "--window-size=1280,860"]

pytestmark = pytest.mark.skipif(not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)),
                                reason="chromium or chromedriver is not installed")


SIZES = {"wide": (1366, 768), "phone": (390, 844)}


@pytest.fixture(scope="module", params=list(SIZES))
def browser(request):
    from selenium.webdriver.chrome.service import Service

    profile = tempfile.mkdtemp(prefix="viewer-browser-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in FLAGS + [f"--user-data-dir={profile}"]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_script_timeout(10)
    width, height = SIZES[request.param]
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
    driver.size = request.param
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
    """Names of the grid's images whose thumbnails the browser has decoded, by natural width."""
    return driver.execute_script(
        "return [...document.querySelectorAll('#grid .tile.loaded img.thumb')]"
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
    driver.save_screenshot(str(SCREENSHOTS / f"{name}-{driver.size}.png"))


def box(driver, selector):
    return driver.execute_script("const r = document.querySelector(arguments[0]).getBoundingClientRect();"
                                 "return {left: r.left, right: r.right, top: r.top, bottom: r.bottom,"
                                 " width: r.width, height: r.height}", selector)


def choose(driver, select_id, value):
    """Picks a value of a select that a narrow window keeps in its menu."""
    select = driver.find_element(By.ID, select_id)
    if not select.is_displayed():
        driver.find_element(By.ID, "controls-toggle").click()
    Select(select).select_by_value(value)


def edit(driver, name):
    """Clicks an edit button, through the Edit menu when the window is narrow."""
    button = driver.find_element(By.CSS_SELECTOR, f"[data-edit={name}]")
    if not button.is_displayed():
        driver.find_element(By.ID, "edits-toggle").click()
    button.click()


def keys(driver, *sequence):
    ActionChains(driver).send_keys(*sequence).perform()


def view(driver):
    """The image view's zoom: scale, offset, the fit flag and the label."""
    return driver.execute_script("return {...view, label: document.getElementById('zoom-level').textContent}")


def open_image(driver, served, name):
    driver.get(served.url + f"?open={name}")
    wait(driver, lambda d: view(d)["width"] > 0 and text(d, "info-pixels"))





def test_grid_fits_the_window_and_its_toolbars_fold_into_menus(browser, served):
    open_grid(browser, served)
    assert thumbnails_decoded(browser) == SAMPLE_IMAGES
    assert captions(browser, "#folders .tile") == ["Trips"]
    assert captions(browser) == SAMPLE_IMAGES
    # Several tiles a row at either size, none beyond the window's right edge.
    tops = browser.execute_script("return [...document.querySelectorAll('#grid .tile')].map(t => t.offsetTop)")
    assert tops.count(tops[0]) >= 3
    assert box(browser, '#grid .tile[data-path="sunset.webp"]')["right"] <= SIZES[browser.size][0]
    narrow = browser.size == "phone"
    for menu in ("controls", "edit-buttons"):
        assert browser.find_element(By.ID, menu).is_displayed() != narrow
    assert box(browser, ".bar")["height"] < 60 and box(browser, ".actions")["height"] < 60
    screenshot(browser, "grid")
    if narrow:
        browser.find_element(By.ID, "controls-toggle").click()
        assert browser.find_element(By.ID, "sort").is_displayed()
        screenshot(browser, "grid-menu")

    browser.find_element(By.CSS_SELECTOR, "#folders .tile").click()
    wait(browser, lambda d: thumbnails_decoded(d) == ["forest.png", "mountain.jpg"])
    assert "dir=Trips" in browser.current_url
    browser.find_element(By.ID, "up").click()
    wait(browser, lambda d: len(thumbnails_decoded(d)) == len(SAMPLE_IMAGES))


def test_sorting_and_hidden_files(browser, served):
    open_grid(browser, served)
    choose(browser, "sort", "size")
    browser.find_element(By.ID, "direction").click()
    wait(browser, lambda d: "sort=size" in d.current_url and "desc=1" in d.current_url)
    by_size = sorted(SAMPLE_IMAGES, key=lambda name: (served.folder / name).stat().st_size, reverse=True)
    wait(browser, lambda d: captions(d) == by_size)
    choose(browser, "sort", "taken")  # by the camera's date; those without one by the file's
    wait(browser, lambda d: "sort=taken" in d.current_url and len(captions(d)) == len(SAMPLE_IMAGES))
    if not browser.find_element(By.ID, "hidden").is_displayed():
        browser.find_element(By.ID, "controls-toggle").click()
    browser.find_element(By.ID, "hidden").click()
    wait(browser, lambda d: ".hidden.png" in captions(d))


def test_the_photo_gets_the_room_and_zooms_around_the_pointer(browser, served):
    open_grid(browser, served)
    tile(browser, "harbour.jpg").find_element(By.CSS_SELECTOR, ".open").click()
    wait(browser, lambda d: text(d, "info-pixels") == "480 \u00d7 320 pixels")
    assert text(browser, "info-name") == "harbour.jpg"
    assert "Demo Camera Co" in text(browser, "info-list")
    wait(browser, lambda d: view(d)["width"] == 480 and view(d)["height"] == 320)  # stored sideways, shown upright
    assert "open=harbour.jpg" in browser.current_url
    stage, photo = box(browser, "#stage"), box(browser, "#full")
    prev, nxt, info = box(browser, "#prev"), box(browser, "#next"), box(browser, ".info")
    assert prev["right"] < nxt["left"]
    if browser.size == "phone":
        # The panel folds under the photo, which gets the whole width.
        assert info["top"] >= stage["bottom"] - 1 and stage["width"] >= 390 - 16  # less a scroll bar
        assert photo["width"] == pytest.approx(stage["width"], abs=1) and view(browser)["scale"] < 1
    else:
        # Beside it on a wide screen; a photo smaller than the window stays at 100 %.
        assert info["left"] >= stage["right"] - 1
        assert (photo["width"], photo["height"]) == (480, 320) and view(browser)["label"] == "Fit"
    screenshot(browser, "view")

    browser.find_element(By.ID, "full").click()  # a click no longer moves on
    assert "open=harbour.jpg" in browser.current_url
    fit = view(browser)["scale"]
    for key, scale in [("1", 1), ("+", 1.25), ("-", 1), ("0", fit)]:
        keys(browser, key)
        assert view(browser)["scale"] == pytest.approx(scale)
    assert view(browser)["label"] == "Fit"
    # The wheel zooms around the pointer: the photo's point under it stays put.
    x, y = photo["left"] + photo["width"] * 0.4, photo["top"] + photo["height"] * 0.45
    before = browser.execute_script("return [(arguments[0] - view.x) / view.scale, (arguments[1] - view.y) / view.scale]",
                                    x - stage["left"], y - stage["top"])
    browser.execute_script("document.getElementById('stage').dispatchEvent(new WheelEvent('wheel',"
                           "{deltaY: -1000, clientX: arguments[0], clientY: arguments[1], bubbles: true, cancelable: true}))",
                           x, y)
    zoomed = view(browser)
    assert zoomed["scale"] > 3
    assert [(x - stage["left"] - zoomed["x"]) / zoomed["scale"],
            (y - stage["top"] - zoomed["y"]) / zoomed["scale"]] == pytest.approx(before, abs=1)
    # Dragging pans the zoomed photo.
    ActionChains(browser).move_to_element(browser.find_element(By.ID, "stage")).click_and_hold() \
        .move_by_offset(-60, -30).release().perform()
    panned = view(browser)
    assert (panned["x"], panned["y"]) != (zoomed["x"], zoomed["y"]) and panned["scale"] == zoomed["scale"]
    screenshot(browser, "view-zoomed")
    ActionChains(browser).move_to_element(browser.find_element(By.ID, "stage")).double_click().perform()
    assert view(browser)["label"] == "Fit"

    # Next and previous keep working, zoomed or not; the first image has nothing before it.
    keys(browser, "1", Keys.ARROW_RIGHT)
    wait(browser, lambda d: text(d, "info-name") == "lake.jpg" and "open=lake.jpg" in d.current_url)
    keys(browser, Keys.ARROW_LEFT, Keys.ARROW_LEFT)
    wait(browser, lambda d: text(d, "info-name") == "Dunes.BMP")
    keys(browser, Keys.ARROW_LEFT, Keys.ESCAPE)
    wait(browser, lambda d: d.find_element(By.ID, "grid").is_displayed())
    assert "open=" not in browser.current_url

    # An image view can be bookmarked.
    browser.get(served.url + "?open=Trips/mountain.jpg")
    wait(browser, lambda d: text(d, "info-name") == "mountain.jpg" and text(d, "info-pixels"))


def test_a_pinch_zooms_around_the_fingers(browser, served):
    open_image(browser, served, "lake.jpg")
    stage = box(browser, "#stage")
    cx, cy = stage["left"] + stage["width"] / 2, stage["top"] + stage["height"] / 2

    def touch(kind, spread):
        points = [] if kind == "touchEnd" else [{"x": cx - spread, "y": cy, "id": 1}, {"x": cx + spread, "y": cy, "id": 2}]
        browser.execute_cdp_cmd("Input.dispatchTouchEvent", {"type": kind, "touchPoints": points})

    fit = view(browser)["scale"]
    touch("touchStart", 40)
    for spread in (60, 80, 120):
        touch("touchMove", spread)
    touch("touchEnd", 0)
    assert view(browser)["scale"] == pytest.approx(fit * 3, rel=0.05)


def test_full_screen_and_slideshow(browser, served):
    open_image(browser, served, "night.gif")
    keys(browser, "f")
    wait(browser, lambda d: d.execute_script("return document.fullscreenElement && document.fullscreenElement.id")
         == "viewer")
    Select(browser.find_element(By.ID, "interval")).select_by_value("2")
    browser.find_element(By.ID, "stage").click()  # back from the select to the page's keys
    keys(browser, " ")
    assert browser.find_element(By.ID, "viewer").get_attribute("class") == "viewer playing"
    # The side panel is put away in full screen: the address says which photo shows.
    wait(browser, lambda d: "open=scan.tif" in d.current_url, 4)
    screenshot(browser, "slideshow")
    keys(browser, " ")  # paused
    time.sleep(2.3)
    assert "open=scan.tif" in browser.current_url
    keys(browser, Keys.ARROW_RIGHT)
    wait(browser, lambda d: "open=sunset.webp" in d.current_url)
    keys(browser, "f")
    wait(browser, lambda d: not d.execute_script("return document.fullscreenElement"))


def test_keyboard_and_mouse_select_in_the_grid(browser, served):
    open_grid(browser, served)
    picked = "return [...selected].sort()"
    keys(browser, Keys.ARROW_RIGHT)
    assert browser.execute_script("return grid.focus") == 0
    ActionChains(browser).send_keys(Keys.ARROW_RIGHT).key_down(Keys.SHIFT) \
        .send_keys(Keys.ARROW_RIGHT, Keys.ARROW_RIGHT).key_up(Keys.SHIFT).perform()
    assert browser.execute_script(picked) == ["harbour.jpg", "lake.jpg", "meadow.png"]
    assert "focused" in tile(browser, "meadow.png").get_attribute("class")
    screenshot(browser, "grid-keys")
    keys(browser, " ")  # untick the focused one
    assert browser.execute_script(picked) == ["harbour.jpg", "lake.jpg"]
    keys(browser, Keys.ESCAPE)
    assert browser.execute_script(picked) == []
    ActionChains(browser).key_down(Keys.CONTROL).send_keys("a").key_up(Keys.CONTROL).perform()
    assert len(browser.execute_script(picked)) == len(SAMPLE_IMAGES)
    keys(browser, Keys.ESCAPE)
    # Shift-click ticks the range from the last tile clicked.
    tile(browser, "lake.jpg").find_element(By.CSS_SELECTOR, ".pick").click()
    ActionChains(browser).key_down(Keys.SHIFT).click(tile(browser, "sunset.webp").find_element(By.CSS_SELECTOR, "figcaption")) \
        .key_up(Keys.SHIFT).perform()
    assert browser.execute_script(picked) == ["lake.jpg", "meadow.png", "night.gif", "scan.tif", "sunset.webp"]
    keys(browser, Keys.ESCAPE)
    # The filter narrows by name; Enter opens the focused tile.
    browser.find_element(By.ID, "filter").send_keys("LA")
    wait(browser, lambda d: captions(d) == ["lake.jpg"])
    browser.find_element(By.ID, "browser").click()
    keys(browser, Keys.ARROW_RIGHT, Keys.ENTER)
    wait(browser, lambda d: text(d, "info-name") == "lake.jpg")
    keys(browser, Keys.ESCAPE)
    # The thumbnail size sets the tile width and the thumbnail's long edge.
    widths = {}
    for size in ("small", "large"):
        choose(browser, "tile-size", size)
        wait(browser, lambda d: len(thumbnails_decoded(d)) >= 1)
        widths[size] = box(browser, "#grid .tile")["width"]
        assert browser.execute_script("return tileSize().edge") == {"small": 160, "large": 400}[size]
    assert widths["small"] < widths["large"]
    choose(browser, "tile-size", "medium")


def test_side_panel_reads_as_people_expect(browser, served):
    open_image(browser, served, "lake.jpg")
    lines = browser.execute_script(
        "const t = [...document.querySelectorAll('#info-list > *')].map(e => e.textContent);"
        "const o = {}; for (let i = 0; i < t.length; i += 2) o[t[i]] = t[i + 1]; return o")
    size = (served.folder / "lake.jpg").stat().st_size
    assert lines["Date taken"] == "2026-12-07 10:30:00"
    assert lines["Camera"] == "Demo D2 Mark II"  # the make is not said twice
    assert lines["Lens"] == "Demo 24-70 mm f/2.8"
    assert (lines["Aperture"], lines["Exposure"], lines["ISO"], lines["Focal length"]) == \
        ("f/5.6", "1/125 s", "200", "35 mm")
    assert lines["Position"] == "52.37600\u00b0 N, 4.90410\u00b0 E"
    assert lines["File size"].endswith(f"({size:,} bytes)")
    assert lines["Dimensions"] == "480 x 320 pixels"
    if browser.size == "phone":
        browser.execute_script("document.querySelector('.info').scrollIntoView()")
    screenshot(browser, "panel")


def test_rotating_turns_the_file_and_explains_the_backup_folder(browser, served):
    original = (served.folder / "lake.jpg").read_bytes()
    open_grid(browser, served)
    tile(browser, "lake.jpg").find_element(By.CSS_SELECTOR, ".pick").click()
    assert "1 of 7 images selected" in text(browser, "target-label")
    edit(browser, "rotate-right")
    wait(browser, lambda d: text(d, "status-text").startswith("Rotated 1 of 1 image."))
    assert "ZEL originals" in text(browser, "status-text")
    with Image.open(served.folder / "lake.jpg") as turned:
        assert turned.size == (320, 480)
    assert (served.folder / "ZEL originals" / "lake.jpg").read_bytes() == original
    # The grid refreshed: the new thumbnail is upright, and the backup folder shows, saying what it is.
    wait(browser, lambda d: d.execute_script(
        "const i = document.querySelector('#grid .tile.loaded[data-path=\"lake.jpg\"] img');"
        "return !!i && i.complete && i.naturalWidth > 0 && i.naturalWidth < i.naturalHeight"))
    backup = browser.find_element(By.CSS_SELECTOR, "#folders .tile.backup")
    assert backup.find_element(By.CSS_SELECTOR, ".name").text == "ZEL originals"
    assert backup.find_element(By.CSS_SELECTOR, ".about").text == "originals kept when rotating"
    screenshot(browser, "backup-folder")


def test_rename_shows_a_preview_then_renames(browser, served):
    open_grid(browser, served)
    for name in ("sunset.webp", "meadow.png"):
        tile(browser, name).find_element(By.CSS_SELECTOR, ".pick").click()
    edit(browser, "rename")
    # The tokens are the command line's: [%PD] is the day the photo was taken.
    assert "taken" in browser.execute_script(
        "return [...document.querySelectorAll('#rename-tokens dt')].find(e => e.textContent === '[%PD]')"
        ".nextElementSibling.textContent")
    pattern = browser.find_element(By.CSS_SELECTOR, "#rename-dialog [name=pattern]")
    pattern.clear()
    pattern.send_keys("trip_##_[%PD]")
    # The selection goes in grid order: meadow before sunset.
    expected = [["meadow.png", "trip_01_2026-12-07.png"], ["sunset.webp", "trip_02_2026-12-07.webp"]]
    preview = "return [...document.querySelectorAll('#rename-preview tr')].map(r => [...r.cells].map(c => c.textContent))"
    wait(browser, lambda d: d.execute_script(preview) == expected)
    screenshot(browser, "rename")
    assert (served.folder / "meadow.png").exists()  # nothing renamed yet
    browser.find_element(By.ID, "rename-go").click()
    wait(browser, lambda d: text(d, "status-text") == "Renamed 2 of 2 images.")
    assert sorted(p.name for p in served.folder.glob("trip_*")) == ["trip_01_2026-12-07.png", "trip_02_2026-12-07.webp"]
    wait(browser, lambda d: "trip_01_2026-12-07.png" in captions(d))


def test_resizing_only_shrinks_unless_told(browser, served):
    open_grid(browser, served)
    tile(browser, "lake.jpg").find_element(By.CSS_SELECTOR, ".pick").click()
    edit(browser, "resize")
    assert browser.find_element(By.CSS_SELECTOR, "#resize-dialog [name=only_shrink]").is_selected()
    browser.find_element(By.CSS_SELECTOR, "#resize-dialog button[value=ok]").click()
    wait(browser, lambda d: text(d, "status-text")
         == "Resized 0 of 1 image, 1 left as it was (already small enough).")
    assert not (served.folder / "resized").exists()


def test_delete_key_moves_to_the_trash_and_undo_puts_back(browser, served, home):
    trash = home / ".local" / "share" / "Trash"
    before = (served.folder / "night.gif").read_bytes(), (served.folder / "night.gif").stat().st_mtime_ns
    open_grid(browser, served)
    tile(browser, "night.gif").find_element(By.CSS_SELECTOR, ".pick").click()
    keys(browser, Keys.DELETE)
    dialog = browser.find_element(By.ID, "delete-dialog")
    wait(browser, lambda d: dialog.is_displayed())
    screenshot(browser, "trash-ask")
    dialog.find_element(By.CSS_SELECTOR, "button[value=cancel]").click()
    assert (served.folder / "night.gif").exists()
    keys(browser, Keys.DELETE)
    browser.find_element(By.ID, "delete-go").click()
    wait(browser, lambda d: text(d, "status-text") == "Moved 1 of 1 image to the trash.")
    assert not (served.folder / "night.gif").exists()
    assert (trash / "files" / "night.gif").read_bytes() == before[0]
    assert (trash / "info" / "night.gif.trashinfo").exists()
    screenshot(browser, "trash-undo")
    browser.find_element(By.ID, "status-undo").click()
    wait(browser, lambda d: text(d, "status-text") == "Put back 1 image.")
    assert ((served.folder / "night.gif").read_bytes(), (served.folder / "night.gif").stat().st_mtime_ns) == before
    wait(browser, lambda d: "night.gif" in captions(d))

    # Undo never writes over a file that took the name meanwhile.
    tile(browser, "harbour.jpg").find_element(By.CSS_SELECTOR, ".pick").click()
    keys(browser, Keys.DELETE)
    browser.find_element(By.ID, "delete-go").click()
    wait(browser, lambda d: text(d, "status-text") == "Moved 1 of 1 image to the trash.")
    (served.folder / "harbour.jpg").write_bytes(b"newer")
    browser.find_element(By.ID, "status-undo").click()
    wait(browser, lambda d: text(d, "status-text") == "Put back 0 images; 1 could not be put back.")
    assert "harbour.jpg: another file has taken its name" in text(browser, "status-details")
    assert (served.folder / "harbour.jpg").read_bytes() == b"newer" and (trash / "files" / "harbour.jpg").exists()

    # The permanent choice is marked as such, and asks once more.
    tile(browser, "scan.tif").find_element(By.CSS_SELECTOR, ".pick").click()
    keys(browser, Keys.DELETE)
    browser.find_element(By.ID, "delete-permanent").click()
    alert = WebDriverWait(browser, 5).until(expected_conditions.alert_is_present())
    assert "cannot be brought back" in alert.text
    alert.accept()
    wait(browser, lambda d: text(d, "status-text") == "Deleted 1 of 1 image for good.")
    assert not (served.folder / "scan.tif").exists() and not (trash / "files" / "scan.tif").exists()


def test_missing_and_broken_files_say_what_happened(browser, served):
    (served.folder / "broken.jpg").write_bytes(b"not a picture at all")
    browser.get(served.url + "?open=gone.jpg")
    wait(browser, lambda d: "\u201cgone.jpg\u201d is not in this folder" in text(d, "message"))
    assert browser.find_element(By.CSS_SELECTOR, "#message a").text == "Show the folder"
    browser.get(served.url + "?dir=Trips/Nowhere")
    wait(browser, lambda d: "\u201cTrips/Nowhere\u201d is not there any more" in text(d, "message"))
    assert "Nowhere" in text(browser, "crumbs")
    screenshot(browser, "missing-folder")
    browser.find_element(By.LINK_TEXT, "Up to Trips").click()
    wait(browser, lambda d: thumbnails_decoded(d) == ["forest.png", "mountain.jpg"])
    # A broken image: a placeholder naming the problem, in the grid and in the view, and no made-up size.
    browser.get(served.url)
    wait(browser, lambda d: "broken" in tile(d, "broken.jpg").get_attribute("class"))
    assert "cannot identify" in tile(browser, "broken.jpg").get_attribute("title")
    tile(browser, "broken.jpg").find_element(By.CSS_SELECTOR, ".open").click()
    wait(browser, lambda d: d.find_element(By.ID, "broken").is_displayed())
    assert text(browser, "broken").startswith("Cannot show broken.jpg: ")
    assert text(browser, "info-pixels") == "" and "pixels" not in text(browser, "info-list")
    screenshot(browser, "broken")


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


def test_a_big_folder_builds_and_loads_only_what_is_near_the_screen(browser, served):
    many = served.folder / "Many"
    many.mkdir()
    for n in range(600):
        Image.new("RGB", (8, 6), (n % 256, 90, 160)).save(many / f"p{n:03d}.png")
    made = []
    thumbnail = served.server.folder.thumbnail

    def counted(rel, *rest):
        if rel.startswith("Many/"):  # not the first page's samples, which may still be in the making
            made.append(rel)
        return thumbnail(rel, *rest)

    served.server.folder.thumbnail = counted
    browser.get(served.url + "?dir=Many")
    visible = "const b = document.getElementById('browser').getBoundingClientRect();" \
              "return [...document.querySelectorAll('#grid .tile')].filter(t => { const r = t.getBoundingClientRect();" \
              " return r.bottom > b.top && r.top < b.bottom; }).map(t => [t.dataset.path, t.classList.contains('loaded')])"

    def filled(driver):
        tiles = driver.execute_script(visible)
        return tiles and all(loaded for _, loaded in tiles)

    wait(browser, filled)
    built = browser.execute_script("return document.querySelectorAll('#grid .tile').length")
    assert built < 200
    # A fast scroll to the middle: the tiles flown past are never asked for.
    browser.execute_async_script(
        "const done = arguments[0], s = document.getElementById('browser'), end = s.scrollHeight / 2; let n = 0;"
        "(function step() { s.scrollTop = end * ++n / 15; n < 15 ? requestAnimationFrame(step) : done(); })()")
    wait(browser, filled)
    middle = [int(path[6:9]) for path, _ in browser.execute_script(visible)]
    assert 280 <= middle[0] <= 320
    # Made: the tiles of the first screens and those around the middle, none of those flown past between.
    flown_past = [n for n in (int(path[6:9]) for path in made) if built <= n < middle[0] - built]
    assert flown_past == [] and len(made) < 3 * built
    keys(browser, Keys.END)  # the focus goes to the last image, and the grid follows
    wait(browser, lambda d: "focused" in tile(d, "Many/p599.png").get_attribute("class"))
    wait(browser, filled)
    screenshot(browser, "many")


def test_a_tile_shows_the_camera_preview_until_its_thumbnail_is_made(browser, served, lib, monkeypatch):
    small = io.BytesIO()
    Image.new("RGB", (40, 30), (255, 0, 0)).save(small, "JPEG")
    monkeypatch.setattr(lib, "preview_bytes", lambda path: small.getvalue() if path.endswith("lake.jpg") else None,
                        raising=False)
    thumbnail = served.server.folder.thumbnail
    served.server.folder.thumbnail = lambda rel, *rest: time.sleep(1.5 if rel == "lake.jpg" else 0) or \
        thumbnail(rel, *rest)
    browser.get(served.url)
    shown = "const t = document.querySelector('#grid .tile[data-path=\"lake.jpg\"]'), i = t && t.querySelector('img');" \
            "return i && i.complete ? [i.naturalWidth, t.classList.contains('loaded')] : null"
    wait(browser, lambda d: d.execute_script(shown) == [40, False])
    wait(browser, lambda d: d.execute_script(shown)[1])
    assert browser.execute_script(shown)[0] > 40  # the thumbnail took its place
