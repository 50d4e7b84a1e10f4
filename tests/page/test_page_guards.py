"""What guards the page: its secret (nothing is served to a client that did not open the address the
server printed) and the limit on full-size decodes running at once."""

import json
import os
from urllib.parse import urlsplit

import pytest
from pagekit import served  # noqa: F401 - a fixture

EVERY_ROUTE = [("GET", "/"), ("GET", "/index.html"), ("GET", "/static/app.js"), ("GET", "/static/style.css"),
               ("GET", "/thumb?path=lake.jpg"), ("GET", "/image?path=lake.jpg"), ("GET", "/api/list?path="),
               ("GET", "/api/info?path=lake.jpg"), ("GET", "/nothing"), ("POST", "/api/delete"),
               ("POST", "/api/rotate")]


def wrong_keys(served):
    name, _, secret = served.cookie.partition("=")
    return [
        ({}, ""),                                                  # another user's curl
        ({"Cookie": f"{name}={secret[:-1]}"}, ""),                 # nearly right
        ({"Cookie": f"{name}={secret}x"}, ""),
        ({"Cookie": f"viewer-key-1={secret}"}, ""),                # another port's cookie name
        ({"Cookie": f"{name}=\u00e9\u00e9"}, ""),                  # not even ASCII
        ({}, "?key=" + secret[:-1]),
        ({}, "?key="),
        ({}, "?KEY=" + secret),
    ]


@pytest.mark.parametrize("method, path", EVERY_ROUTE)
def test_requests_without_the_secret_are_refused(served, method, path):
    lake = (served.folder / "lake.jpg").read_bytes()
    for headers, query in wrong_keys(served):
        headers = dict(headers, **{"X-Token": served.token, "Content-Type": "application/json"})
        body = {"paths": ["lake.jpg"], "degrees": 90} if method == "POST" else None
        status, answer_headers, data = served.request(method, path + query, body, headers, admitted=False)
        assert status == 403, (headers, query)
        assert answer_headers["Content-Type"].startswith("text/html")
        assert b"address" in data and served.token.encode() not in data
        assert "Set-Cookie" not in answer_headers
    assert (served.folder / "lake.jpg").read_bytes() == lake


@pytest.mark.parametrize("path, landing", [
    ("/?key={key}", "/"),
    ("/?open=Trips%2Fmountain.jpg&key={key}", "/?open=Trips%2Fmountain.jpg"),
    ("/api/list?key={key}&path=Trips", "/api/list?path=Trips"),
    ("//evil.example/?key={key}", "/evil.example/"),  # never a redirect to another site
])
def test_the_printed_address_trades_its_key_for_a_cookie(served, path, landing):
    assert urlsplit(served.key_url).query.startswith("key=")
    secret = urlsplit(served.key_url).query.removeprefix("key=")
    status, headers, _ = served.request("GET", path.format(key=secret), admitted=False)
    assert status == 303 and headers["Location"] == landing
    cookie = [part.strip() for part in headers["Set-Cookie"].split(";")]
    assert cookie[0] == served.cookie
    assert {"HttpOnly", "SameSite=Strict", "Path=/"} <= set(cookie[1:])
    assert not any(part.lower().startswith(("domain", "expires", "max-age")) for part in cookie)
    # The browser follows the redirect with its new cookie and is let in.
    status, _, _ = served.request("GET", landing, headers={"Cookie": cookie[0]}, admitted=False)
    assert status == (404 if "evil" in landing else 200)


def test_the_cookie_is_found_among_others_and_edits_still_need_the_token(served):
    cookies = f"theme=dark; {served.cookie}; other=1"
    status, _, body = served.request("GET", "/api/list?path=", headers={"Cookie": cookies}, admitted=False)
    assert status == 200 and json.loads(body)["path"] == ""
    status, _, _ = served.request("POST", "/api/delete", {"paths": ["lake.jpg"]}, {"Cookie": cookies},
                                  admitted=False)
    assert status == 403 and (served.folder / "lake.jpg").exists()


# Decodes at full size, limited by memory

GIB = 2**30


@pytest.mark.parametrize("memory, cpus, max_pixels, slots", [
    (24 * GIB, 2, 89_478_485, 2),    # cores are the limit
    (24 * GIB, 64, 89_478_485, 9),   # 12 GiB for 1.4 GB each: the largest image and a copy
    (4 * GIB, 8, 89_478_485, 1),     # a small machine decodes one bomb at a time
    (256 * 2**20, 8, 89_478_485, 1),  # never none
    (4 * GIB, 8, 1_000_000, 8),      # a lowered pixel limit lets more run
    (24 * GIB, 64, None, 9),         # no limit set: Pillow's default size counts
])
def test_decode_slots_follow_memory_as_well_as_cores(memory, cpus, max_pixels, slots):
    from quorvane_image_viewer.page.server import decode_slots

    assert decode_slots(memory, cpus, max_pixels) == slots


def test_full_size_decodes_wait_for_a_free_slot(served, monkeypatch):
    import threading
    import time

    running, most, lock = [0], [0], threading.Lock()

    def slow(original):
        def work(*args):
            with lock:
                running[0] += 1
                most[0] = max(most[0], running[0])
            time.sleep(0.05)
            with lock:
                running[0] -= 1
            return original(*args)
        return work

    folder = served.server.folder
    monkeypatch.setattr(folder, "thumbnail", slow(folder.thumbnail))
    monkeypatch.setattr(folder, "display", slow(folder.display))
    served.server.decodes = threading.BoundedSemaphore(1)
    requests = [("/thumb", name) for name in ("lake.jpg", "harbour.jpg", "meadow.png")] + \
               [("/image", name) for name in ("scan.tif", "lake.jpg")]
    answers = []
    threads = [threading.Thread(target=lambda r=r: answers.append(served.request("GET", r[0],
                                                                                 params={"path": r[1]})[0]))
               for r in requests]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(20)
    assert answers == [200] * len(requests) and most[0] == 1


@pytest.mark.parametrize("planted", ["link", "file"])
def test_a_backup_folder_that_leads_outside_is_reported_and_nothing_is_written(served, planted):
    backups = served.folder / "Trips" / "ZEL originals"
    if planted == "link":
        backups.symlink_to(served.outside.parent / "elsewhere")
    else:
        backups.write_bytes(b"")
    before = (served.folder / "Trips" / "forest.png").read_bytes()
    status, body = served.post("/api/rotate", {"paths": ["Trips/forest.png"], "degrees": 90})
    assert status == 409 and "Trips/ZEL originals" in body["error"]
    assert str(served.folder) not in body["error"]
    assert os.listdir(served.outside.parent / "elsewhere") == ["a.jpg"]
    assert (served.folder / "Trips" / "forest.png").read_bytes() == before
