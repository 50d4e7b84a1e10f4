"""The page's secret: nothing is served to a client that did not open the address the server printed."""

import json
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
    # The browser follows the redirect with its new cookie and gets the page.
    status, _, _ = served.request("GET", landing, headers={"Cookie": cookie[0]}, admitted=False)
    assert status == 200


def test_the_cookie_is_found_among_others_and_edits_still_need_the_token(served):
    cookies = f"theme=dark; {served.cookie}; other=1"
    status, _, body = served.request("GET", "/api/list?path=", headers={"Cookie": cookies}, admitted=False)
    assert status == 200 and json.loads(body)["path"] == ""
    status, _, _ = served.request("POST", "/api/delete", {"paths": ["lake.jpg"]}, {"Cookie": cookies},
                                  admitted=False)
    assert status == 403 and (served.folder / "lake.jpg").exists()
