"""Helpers for the page tests: a running server over a fresh sample folder, and a small client for it.

Test modules import the `served` fixture from here: a conftest.py in this folder would shadow the
one above it, whose names other tests import.
"""

import http.client
import json
import re
import threading
from urllib.parse import urlencode

import pytest

SAMPLE_IMAGES = ["Dunes.BMP", "harbour.jpg", "lake.jpg", "meadow.png", "night.gif", "scan.tif", "sunset.webp"]


class Served:
    """A running page server over a fresh sample folder, and a small client for it."""

    def __init__(self, server, folder, outside):
        self.server = server
        self.folder = folder
        self.outside = outside
        self.url = server.url
        self.port = server.port
        self.token = server.token
        self.key_url = server.url_with_key
        # What the browser holds once it has opened the printed address.
        self.cookie = f"{server.cookie}={server.secret}"

    def request(self, method, path, body=None, headers=None, params=None, admitted=True):
        """One request; `admitted` sends the cookie that the printed address earns."""
        if params is not None:
            path += "?" + urlencode(params)
        headers = dict(headers or {})
        if admitted:
            headers.setdefault("Cookie", self.cookie)
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        try:
            data = json.dumps(body).encode() if body is not None and not isinstance(body, bytes) else body
            connection.request(method, path, body=data, headers=headers)
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def get_json(self, endpoint, **params):
        status, _, body = self.request("GET", endpoint, params=params)
        return status, json.loads(body)

    def post(self, path, body, token=True):
        headers = {"Content-Type": "application/json"}
        if token:
            headers["X-Token"] = self.token
        status, _, data = self.request("POST", path, body, headers)
        return status, json.loads(data)


def page_token(html):
    return re.search(r'name="token" content="([^"]+)"', html).group(1)

@pytest.fixture
def served(lib, home, tmp_path):
    from quorvane_image_viewer.page.samples import write_samples
    from quorvane_image_viewer.page.server import make_server

    folder = write_samples(tmp_path / "pictures")
    # Things that lie outside the served folder, and links inside it that lead there.
    outside = tmp_path / "outside.jpg"
    outside.write_bytes((folder / "lake.jpg").read_bytes())
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "elsewhere" / "a.jpg").write_bytes(outside.read_bytes())
    (folder / "link-out.jpg").symlink_to(outside)
    (folder / "dir-out").symlink_to(tmp_path / "elsewhere")
    server = make_server(folder, 0)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        yield Served(server, folder, outside)
    finally:
        server.shutdown()
        server.server_close()
        thread.join(5)

