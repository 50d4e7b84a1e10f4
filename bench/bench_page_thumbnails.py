"""A folder's first screen of thumbnails through the page's server: one worker thread against one per core.

Serves 24 four-megapixel JPEG photos and fetches every thumbnail over HTTP with six connections at a time,
as a browser does, with an empty thumbnail cache each run; then once more with the cache filled.

Run from the repository root: /usr/bin/python3 bench/bench_page_thumbnails.py
"""

import http.client
import os
import shutil
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from urllib.parse import quote

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from PIL import Image  # noqa: E402

from quorvane_image_viewer.page.server import make_server  # noqa: E402

COUNT, WIDTH, HEIGHT, CONNECTIONS, ROUNDS = 24, 2400, 1600, 6, 3


def fetch_all(server, names):
    local = threading.local()

    def fetch(name):
        if not hasattr(local, "connection"):
            local.connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
        # the cookie that opening the printed address gives a browser
        local.connection.request("GET", "/thumb?path=" + quote(name),
                                 headers={"Cookie": f"{server.cookie}={server.secret}"})
        response = local.connection.getresponse()
        assert response.status == 200, response.read()
        return len(response.read())

    with ThreadPoolExecutor(CONNECTIONS) as clients:
        return sum(clients.map(fetch, names))


def timed(folder, names, workers, cold):
    home = tempfile.mkdtemp(prefix="bench-home-")
    os.environ["HOME"] = home
    server = make_server(folder, 0)
    server.thumbnails.shutdown()
    server.thumbnails = ThreadPoolExecutor(workers)
    server.decodes = threading.BoundedSemaphore(workers)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        if not cold:
            fetch_all(server, names)
        start = time.perf_counter()
        fetch_all(server, names)
        return time.perf_counter() - start
    finally:
        server.shutdown()
        server.server_close()
        shutil.rmtree(home, ignore_errors=True)


def main():
    folder = tempfile.mkdtemp(prefix="bench-page-")
    try:
        gradient = Image.linear_gradient("L").resize((WIDTH, HEIGHT))
        photo = Image.merge("RGB", (gradient, gradient.transpose(Image.Transpose.ROTATE_180), gradient))
        photo.save(os.path.join(folder, "img000.jpg"), quality=90)
        names = [f"img{i:03d}.jpg" for i in range(COUNT)]
        for name in names[1:]:
            shutil.copyfile(os.path.join(folder, names[0]), os.path.join(folder, name))
        cores = os.cpu_count() or 2
        print(f"{COUNT} JPEG photos {WIDTH}x{HEIGHT}, {CONNECTIONS} connections, best of {ROUNDS}")
        results = {}
        for label, workers, cold in [("cold cache, 1 worker", 1, True),
                                     (f"cold cache, {min(8, cores)} workers", min(8, cores), True),
                                     ("filled cache", min(8, cores), False)]:
            best = min(timed(folder, names, workers, cold) for _ in range(ROUNDS))
            results[label] = best
            print(f"  {label:<24} {best * 1000:8.1f} ms  {best / COUNT * 1000:6.2f} ms per thumbnail")
        one, many, hit = results.values()
        print(f"  workers per core against one worker: {one / many:.2f}x faster; filled cache {one / hit:.0f}x")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
