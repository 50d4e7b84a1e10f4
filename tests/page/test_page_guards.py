"""What guards the page: its secret (nothing is served to a client that did not open the address the
server printed) and the limit on full-size decodes running at once."""

import threading
import time

import pytest
from pagekit import served  # noqa: F401 - a fixture

ROUTES = [("GET", "/"), ("GET", "/static/app.js"), ("GET", "/thumb?path=lake.jpg"), ("GET", "/image?path=lake.jpg"),
          ("GET", "/api/list?path="), ("GET", "/api/info?path=lake.jpg"), ("GET", "/api/choices"),
          ("POST", "/api/delete")]


@pytest.mark.parametrize("method, path", ROUTES)
def test_requests_without_the_secret_are_refused(served, method, path):
    name, _, secret = served.cookie.partition("=")
    for cookie, query in [("", ""), (f"{name}={secret[:-1]}", ""), (f"viewer-key-1={secret}", ""),
                          (f"{name}=\u00e9", ""), ("", "?key=" + secret[:-1]), ("", "?KEY=" + secret)]:
        status, headers, data = served.request(method, path + query, {"paths": ["lake.jpg"]}, admitted=False,
                                               headers={"Cookie": cookie, "X-Token": served.token})
        assert (status, headers["Content-Type"][:9], "Set-Cookie" in headers) == (403, "text/html", False)
        assert b"address the server printed" in data and served.token.encode() not in data
    assert (served.folder / "lake.jpg").exists()


@pytest.mark.parametrize("path, landing", [
    ("/?key={key}", "/"),
    ("/api/list?key={key}&path=Trips", "/api/list?path=Trips"),
    ("//evil.example/?key={key}", "/evil.example/"),  # never a redirect to another site
])
def test_the_printed_address_trades_its_key_for_a_cookie(served, path, landing):
    secret = served.key_url.split("?key=")[1]
    status, headers, _ = served.request("GET", path.format(key=secret), admitted=False)
    assert status == 303 and headers["Location"] == landing
    cookie = [part.strip() for part in headers["Set-Cookie"].split(";")]
    assert cookie[0] == served.cookie and sorted(cookie[1:]) == ["HttpOnly", "Path=/", "SameSite=Strict"]
    # Found among the browser's other cookies; edits still need the page's token.
    cookies = f"theme=dark; {cookie[0]}"
    assert served.request("GET", landing, headers={"Cookie": cookies}, admitted=False)[0] != 403
    assert served.request("POST", "/api/delete", {"paths": ["lake.jpg"]}, {"Cookie": cookies}, admitted=False)[0] == 403


@pytest.mark.parametrize("memory, cpus, max_pixels, slots", [
    (24 << 30, 2, 89_478_485, 2),     # cores are the limit
    (24 << 30, 64, 89_478_485, 9),    # 12 GiB for 1.4 GB each: the largest image and a copy
    (256 << 20, 8, 89_478_485, 1),    # a small machine decodes one at a time, never none
    (4 << 30, 8, 1_000_000, 8),       # a lowered pixel limit lets more run
])
def test_decode_slots_follow_memory_as_well_as_cores(memory, cpus, max_pixels, slots):
    from quorvane_image_viewer.page.server import decode_slots

    assert decode_slots(memory, cpus, max_pixels) == slots


def test_full_size_decodes_wait_for_a_free_slot(served, monkeypatch):
    running, most = [], []

    def slow(original):
        def work(*args):
            running.append(1)
            most.append(len(running))
            time.sleep(0.05)
            running.pop()
            return original(*args)
        return work

    for name in ("thumbnail", "display"):
        monkeypatch.setattr(served.server.folder, name, slow(getattr(served.server.folder, name)))
    served.server.decodes = threading.BoundedSemaphore(1)
    threads = [threading.Thread(target=served.request, args=("GET", f"{route}?path={name}"))
               for route in ("/thumb", "/image") for name in ("lake.jpg", "scan.tif", "meadow.png")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(20)
    assert len(most) == 6 and max(most) == 1
