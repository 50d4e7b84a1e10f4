"""Big folders in the page, driven through headless Chromium at 1366x768 with an empty thumbnail cache.

1. A folder of 1,500 photos (2400x1600 JPEG): open it, scroll fast to the middle, and time until every tile
   on the screen the scroll stopped on shows its thumbnail (target: 2 s). Side by side, in the same run:
   the time the server takes to make just those thumbnails, one request per tile (the ratio of the two
   says how much of the wait went on anything else), and the time it takes when every tile flown past
   is asked for in order and none is cancelled, as a grid of lazily loaded images does.
2. A folder of 100,000 small JPEG files: time from opening the address until the first screen shows its
   thumbnails (target: 3 s), then scroll through it for a few seconds and report the longest task the
   page ran meanwhile (PerformanceObserver "longtask"; target: none over 200 ms).

Run from the repository root: /usr/bin/python3 bench/bench_page_scroll.py [--quick]
"""

import http.client
import os
import shutil
import sys
import tempfile
import threading
import time
from urllib.parse import urlencode

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from PIL import Image  # noqa: E402

from quorvane_image_viewer.page.server import make_server  # noqa: E402

QUICK = "--quick" in sys.argv
PHOTOS, DISTINCT, PHOTO_SIZE = (300 if QUICK else 1500), 12, (2400, 1600)
MANY = 20_000 if QUICK else 100_000
LINKS_PER_FILE = 50_000  # file systems cap the links to one file (ext4: 65,000)
CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
WINDOW = (1366, 768)

VISIBLE_TILES = """
const scroller = document.getElementById('browser');
const box = scroller.getBoundingClientRect();
return [...document.querySelectorAll('#grid .tile')].filter(t => {
  const r = t.getBoundingClientRect();
  return r.bottom > box.top && r.top < box.bottom;
}).map(t => [t.dataset.path, t.classList.contains('loaded') || t.classList.contains('broken')]);
"""

FAST_SCROLL = """
const [target, steps, done] = arguments;
const scroller = document.getElementById('browser');
const from = scroller.scrollTop;
let n = 0;
function next() {
  n += 1;
  scroller.scrollTop = from + (target - from) * n / steps;
  if (n < steps) requestAnimationFrame(next); else done(performance.now());
}
requestAnimationFrame(next);
"""

SCROLL_WATCHING_LONG_TASKS = """
const [seconds, done] = arguments;
const scroller = document.getElementById('browser');
const tasks = [];
const observer = new PerformanceObserver(list => { for (const e of list.getEntries()) tasks.push(e.duration); });
observer.observe({ entryTypes: ['longtask'] });
const start = performance.now();
let down = true;
function next(now) {
  // Big flicks up and down the whole folder, as a user dragging the scroll bar does.
  const max = scroller.scrollHeight - scroller.clientHeight;
  scroller.scrollTop = Math.max(0, Math.min(max, scroller.scrollTop + (down ? 1 : -1) * max / 40));
  if (scroller.scrollTop >= max) down = false;
  if (now - start < seconds * 1000) requestAnimationFrame(next);
  else setTimeout(() => { observer.disconnect(); done(tasks); }, 300);
}
requestAnimationFrame(next);
"""


def make_photos(folder):
    gradient = Image.linear_gradient("L").resize(PHOTO_SIZE)
    sources = []
    for n in range(DISTINCT):
        noise = Image.effect_noise(PHOTO_SIZE, 8 + n).point(lambda v, n=n: (v + n * 20) % 256)
        photo = Image.merge("RGB", (gradient, noise, gradient.transpose(Image.Transpose.ROTATE_180)))
        path = os.path.join(folder, f".source{n}.jpg")
        photo.save(path, quality=88)
        sources.append(path)
    for i in range(PHOTOS):
        os.link(sources[i % DISTINCT], os.path.join(folder, f"photo{i:05d}.jpg"))


def make_many(folder):
    sources = []
    for i in range(MANY):
        if i % LINKS_PER_FILE == 0:
            path = os.path.join(folder, f".source{i}.jpg")
            Image.new("RGB", (160, 120), (40 + i % 200, 120, 200)).save(path, quality=80)
            sources.append(path)
        os.link(sources[-1], os.path.join(folder, f"f{i:06d}.jpg"))


class Served:
    def __init__(self, folder):
        self.home = tempfile.mkdtemp(prefix="bench-home-")
        os.environ["HOME"] = self.home  # an empty thumbnail cache
        self.server = make_server(folder, 0)
        self.made = 0
        thumbnail = self.server.folder.thumbnail

        def counted(*args):
            self.made += 1
            return thumbnail(*args)

        self.server.folder.thumbnail = counted
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
        # A server that admits only the browser holding its key: the address with the key, and its cookie.
        self.url = getattr(self.server, "url_with_key", self.server.url)
        secret = getattr(self.server, "secret", None)
        self.headers = {"Cookie": f"{self.server.cookie}={secret}"} if secret else {}

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        shutil.rmtree(self.home, ignore_errors=True)


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                 "--disable-background-networking", f"--window-size={WINDOW[0]},{WINDOW[1]}",
                 f"--user-data-dir={tempfile.mkdtemp(prefix='bench-browser-')}"]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_script_timeout(60)
    return driver


def wait_screen_filled(driver, limit=60):
    start = time.perf_counter()
    while time.perf_counter() - start < limit:
        tiles = driver.execute_script(VISIBLE_TILES)
        if tiles and all(done for _, done in tiles):
            return time.perf_counter(), [path for path, _ in tiles]
        time.sleep(0.02)
    raise TimeoutError("the screen did not fill")


def make_directly(served, names, size, wanted=None):
    """Seconds the server takes for these thumbnails, six requests at a time as a browser sends them, until
    those in `wanted` (default: all) are made."""
    from concurrent.futures import ThreadPoolExecutor, wait

    def fetch(name):
        connection = http.client.HTTPConnection("127.0.0.1", served.server.port, timeout=60)
        connection.request("GET", "/thumb?" + urlencode({"path": name, "size": size}), headers=served.headers)
        response = connection.getresponse()
        response.read()
        connection.close()

    start = time.perf_counter()
    with ThreadPoolExecutor(6) as pool:
        futures = {name: pool.submit(fetch, name) for name in names}
        wait([futures[name] for name in (wanted or names)])
        took = time.perf_counter() - start
        for future in futures.values():
            future.cancel()
    return took


def fast_scroll(driver):
    folder = tempfile.mkdtemp(prefix="bench-photos-")
    make_photos(folder)
    served = Served(folder)
    try:
        driver.get(served.url)
        wait_screen_filled(driver)
        middle = driver.execute_script(
            "const s = document.getElementById('browser'); return (s.scrollHeight - s.clientHeight) / 2")
        made_before = served.made
        stopped = driver.execute_async_script(FAST_SCROLL, middle, 20)
        stopped_at = time.perf_counter()
        filled_at, names = wait_screen_filled(driver)
        page = filled_at - stopped_at
        made = served.made - made_before
        edge = driver.execute_script("return tileSize().edge")
    finally:
        served.close()
    # The same thumbnails alone, from a cold cache again; then behind every tile flown past.
    served = Served(folder)
    try:
        alone = make_directly(served, names, edge)
    finally:
        served.close()
    served = Served(folder)
    try:
        last = max(int(name[5:10]) for name in names)
        every = make_directly(served, [f"photo{i:05d}.jpg" for i in range(last + 1)], edge, names)
    finally:
        served.close()
        shutil.rmtree(folder, ignore_errors=True)
    del stopped
    return page, alone, every, len(names), made


def big_folder(driver):
    folder = tempfile.mkdtemp(prefix="bench-many-")
    make_many(folder)
    served = Served(folder)
    try:
        driver.get("about:blank")
        start = time.perf_counter()
        driver.get(served.url)
        first, names = wait_screen_filled(driver, 120)
        first_screen = first - start
        tasks = driver.execute_async_script(SCROLL_WATCHING_LONG_TASKS, 4)
        tiles = driver.execute_script("return document.querySelectorAll('#grid .tile').length")
    finally:
        served.close()
        shutil.rmtree(folder, ignore_errors=True)
    return first_screen, tasks, tiles, len(names)


def main():
    driver = browser()
    try:
        page, alone, every, count, made = fast_scroll(driver)
        print(f"{PHOTOS} photos {PHOTO_SIZE[0]}x{PHOTO_SIZE[1]}, {WINDOW[0]}x{WINDOW[1]}, cold thumbnail cache")
        print(f"  screen after a fast scroll to the middle filled in {page * 1000:7.0f} ms  (target 2000 ms)")
        print(f"  its {count} thumbnails made alone, side by side   {alone * 1000:7.0f} ms  "
              f"(page / alone {page / alone:.2f}x)")
        print(f"  every tile flown past asked for, none cancelled    {every * 1000:7.0f} ms  "
              f"(that / page {every / page:.1f}x)")
        print(f"  thumbnails the server made after the scroll began: {made} (tiles on the screen: {count})")
        first, tasks, tiles, shown = big_folder(driver)
        print(f"{MANY} files")
        print(f"  first screen ({shown} tiles) filled {first * 1000:7.0f} ms after opening  (target 3000 ms)")
        print(f"  while scrolling 4 s: {len(tasks)} long tasks, longest {max(tasks, default=0):.0f} ms  "
              f"(target: none over 200 ms); tiles in the page {tiles}")
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
