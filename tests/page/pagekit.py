"""Helpers for the page tests: the sample folder's images and a small client for a running server."""

import http.client
import json
import re
from urllib.parse import urlencode

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

    def request(self, method, path, body=None, headers=None, params=None):
        if params is not None:
            path += "?" + urlencode(params)
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        try:
            data = json.dumps(body).encode() if body is not None and not isinstance(body, bytes) else body
            connection.request(method, path, body=data, headers=headers or {})
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
