"""The page's HTTP server: static files, images and a small JSON interface, on 127.0.0.1 only.

Every request must name this server in its Host header (another site's page that resolves its own name
to this machine is turned away), and every request that changes files is a POST carrying the random
token that this run handed its own page.
"""

import argparse
import json
import os
import secrets
import shutil
import sys
import threading
import traceback
import webbrowser
from concurrent.futures import ThreadPoolExecutor
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from pathlib import Path
from urllib.parse import parse_qsl, urlsplit

from quorvane_image_viewer import library, plan
from quorvane_image_viewer.page.served import Refused, ServedFolder

HOST = "127.0.0.1"
DEFAULT_PORT = 8765
MAX_BODY = 1 << 20
TOKEN_PLACEHOLDER = "__TOKEN__"

MEDIA = {".html": "text/html; charset=utf-8", ".css": "text/css; charset=utf-8",
         ".js": "text/javascript; charset=utf-8", ".svg": "image/svg+xml"}
# Scripts and styles come only from the server's own files; the page may not be framed.
PAGE_POLICY = ("default-src 'self'; img-src 'self'; object-src 'none'; base-uri 'none'; "
               "form-action 'self'; frame-ancestors 'none'")
FOREVER = "private, max-age=31536000, immutable"


def _load_static():
    folder = resources.files("quorvane_image_viewer.page") / "static"
    return {item.name: item.read_bytes() for item in folder.iterdir()
            if item.is_file() and Path(item.name).suffix in MEDIA}


class ViewerServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, folder, port=DEFAULT_PORT):
        self.folder = ServedFolder(folder)
        self.token = secrets.token_urlsafe(32)
        self.static = _load_static()
        # Pillow lets go of the interpreter lock while it decodes and encodes, so one worker per core.
        self.thumbnails = ThreadPoolExecutor(max_workers=min(8, os.cpu_count() or 2),
                                             thread_name_prefix="thumbnails")
        super().__init__((HOST, port), Handler)
        self.port = self.server_address[1]
        self.url = f"http://{HOST}:{self.port}/"
        self.hosts = {f"{HOST}:{self.port}", f"localhost:{self.port}"}

    def server_close(self):
        super().server_close()
        self.thumbnails.shutdown(wait=False, cancel_futures=True)


def make_server(folder, port=DEFAULT_PORT):
    """A server for `folder`, bound and ready; call serve_forever() on it. Port 0 picks a free one."""
    return ViewerServer(folder, port)


def _int_arg(text, name):
    try:
        return int(text)
    except ValueError:
        raise Refused(400, f"{name} must be a whole number") from None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "viewer"
    sys_version = ""
    # Idle keep-alive connections are closed after this many seconds.
    timeout = 120
    # Headers and body leave in two writes; with Nagle's algorithm the second waits for the browser's
    # delayed acknowledgement, some 40 ms on every request of a kept-alive connection.
    disable_nagle_algorithm = True

    # Plumbing

    def handle(self):
        try:
            super().handle()
        except ConnectionError:
            pass  # the browser dropped a request it no longer wants, such as a thumbnail scrolled away

    def log_message(self, format, *args):
        pass  # one line per thumbnail would bury the address the user needs

    def send_error(self, code, message=None, explain=None):
        # Requests the base class rejects before dispatch get JSON like every other error.
        self._json(code, {"error": message or self.responses.get(code, ("error",))[0]})
        self.close_connection = True

    def _headers(self, status, media, length, cache="no-store", extra=()):
        """Every response's headers, the safety ones included, whatever its body."""
        self.send_response(status)
        self.send_header("Content-Type", media)
        self.send_header("Content-Length", str(length))
        self.send_header("Cache-Control", cache)
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()

    def _send(self, status, body, media, cache="no-store", extra=()):
        self._headers(status, media, len(body), cache, extra)
        self.wfile.write(body)

    def _json(self, status, value):
        self._send(status, json.dumps(value).encode(), "application/json")

    def _query(self):
        return dict(parse_qsl(urlsplit(self.path).query, keep_blank_values=True))

    def _body(self):
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            raise Refused(411, "a body with a length is required") from None
        if not 0 <= length <= MAX_BODY:
            raise Refused(413, "request body too large")
        try:
            body = json.loads(self.rfile.read(length) or b"{}")
        except ValueError:
            raise Refused(400, "the body is not JSON") from None
        if not isinstance(body, dict):
            raise Refused(400, "the body must be a JSON object")
        return body

    def _dispatch(self, routes):
        try:
            if self.headers.get("Host") not in self.server.hosts:
                raise Refused(403, "unknown host")
            # Browsers say where a request comes from: another page may link here, but not embed or fetch.
            if (self.headers.get("Sec-Fetch-Site", "none") not in ("same-origin", "none")
                    and self.headers.get("Sec-Fetch-Mode") != "navigate"):
                raise Refused(403, "cross-site request")
            path = urlsplit(self.path).path
            route = routes.get(path)
            if route is None and routes is self.GET and path.startswith("/static/"):
                route = Handler._static
            if route is None:
                if path in (self.POST if routes is self.GET else self.GET):
                    raise Refused(405, f"use {'POST' if routes is self.GET else 'GET'}")
                raise Refused(404, "not found")
            route(self)
        except Refused as refusal:
            self._failed(refusal.status, {"error": refusal.message})
        except Exception as error:  # noqa: BLE001 - one bad file must never stop the server
            self._failed(*self._describe(error))

    def end_headers(self):
        super().end_headers()
        self.answered = True

    def _failed(self, status, body):
        if getattr(self, "answered", False):
            # The failure came part-way through a file: all that can be done is to end the connection.
            self.close_connection = True
            return
        self._json(status, body)
        # A refused POST may leave its body unread, which must not be taken for the next request.
        if self.command == "POST":
            self.close_connection = True

    def _describe(self, error):
        """The status and JSON body for an exception from the library or the disk."""
        if isinstance(error, ConnectionError):
            raise error  # the browser has gone; there is no one to answer
        message = self.server.folder.tidy(error)
        if isinstance(error, FileNotFoundError):
            return 404, {"error": f"not found: {message}"}
        if isinstance(error, FileExistsError):
            return 409, {"error": f"already exists: {message}"}
        if isinstance(error, KeyError):
            return 400, {"error": f"cannot write files of type {message}"}
        if isinstance(error, (ValueError, TypeError)):
            return 400, {"error": message}
        if isinstance(error, OSError):
            return 500, {"error": message or type(error).__name__}
        traceback.print_exc(file=sys.stderr)
        return 500, {"error": f"{type(error).__name__}: {message}"}

    def do_GET(self):
        self.answered = False
        self._dispatch(self.GET)

    def do_POST(self):
        self.answered = False
        self._dispatch(self.POST)

    # Pages and images

    def _page(self):
        body = self.server.static["index.html"].replace(TOKEN_PLACEHOLDER.encode(), self.server.token.encode())
        self._send(200, body, MEDIA[".html"], "no-cache", [("Content-Security-Policy", PAGE_POLICY)])

    def _static(self):
        name = urlsplit(self.path).path.removeprefix("/static/")
        body = self.server.static.get(name)
        if body is None or name == "index.html":
            raise Refused(404, "not found")
        self._send(200, body, MEDIA[Path(name).suffix], "no-cache")

    def _image_cache(self, query):
        # A versioned address changes whenever its file does, so the browser may keep it.
        return FOREVER if query.get("v") else "no-cache"

    def _thumb(self):
        query = self._query()
        long_edge = _int_arg(query.get("size", "256"), "size")
        work = self.server.thumbnails.submit(self.server.folder.thumbnail, query.get("path", ""), long_edge)
        self._send(200, work.result(), "image/jpeg", self._image_cache(query))

    def _image(self):
        query = self._query()
        source, media = self.server.folder.display(query.get("path", ""))
        cache = self._image_cache(query)
        if isinstance(source, bytes):
            self._send(200, source, media, cache)
            return
        with open(source, "rb") as file:
            self._headers(200, media, os.fstat(file.fileno()).st_size, cache)
            shutil.copyfileobj(file, self.wfile, 1 << 16)

    def _list(self):
        query = self._query()
        self._json(200, self.server.folder.listing(query.get("path", ""), query.get("sort", "name"),
                                                   query.get("desc") == "1", query.get("hidden") == "1"))

    def _info(self):
        self._json(200, self.server.folder.info(self._query().get("path", "")))

    def _choices(self):
        self._json(200, plan.choices())

    # Edits

    def _edit(self, work):
        if not secrets.compare_digest(self.headers.get("X-Token", ""), self.server.token):
            raise Refused(403, "missing or wrong token")
        self._json(200, {"done": work(self.server.folder, self._body())})

    def _rotate(self):
        self._edit(lambda folder, body: folder.rotate(body.get("paths"), body.get("degrees")))

    def _convert(self):
        self._edit(lambda folder, body: folder.convert(
            body.get("paths"), body.get("format"), body.get("quality", 90), body.get("folder"),
            body.get("on_conflict", "rename"), body.get("delete_source", False)))

    def _resize(self):
        self._edit(lambda folder, body: folder.resize(
            body.get("paths"), body.get("basis"), body.get("value"), body.get("width"), body.get("height"),
            body.get("folder"), body.get("on_conflict", "rename")))

    def _delete(self):
        self._edit(lambda folder, body: folder.delete(body.get("paths")))

    def _rename_preview(self):
        self._edit(lambda folder, body: folder.rename_preview(body.get("paths"), body.get("pattern")))

    def _rename(self):
        self._edit(lambda folder, body: folder.rename(body.get("paths"), body.get("pattern")))

    GET = {"/": _page, "/index.html": _page, "/thumb": _thumb, "/image": _image,
           "/api/list": _list, "/api/info": _info, "/api/choices": _choices}
    POST = {"/api/rotate": _rotate, "/api/convert": _convert, "/api/resize": _resize,
            "/api/delete": _delete, "/api/rename-preview": _rename_preview, "/api/rename": _rename}


# The command line

def _port(text):
    # 0 is also taken, for a free port, as the help says.
    if not text.strip().isdigit() or not 0 <= int(text) <= 65535:
        raise argparse.ArgumentTypeError("port must be a number from 1 to 65535")
    return int(text)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Adds the viewer's arguments: [FOLDER] [--port N] [--open]."""
    parser.add_argument("folder", nargs="?", default=None,
                        help="the folder to show (default: your picture folder, else your home folder)")
    parser.add_argument("--port", type=_port, default=DEFAULT_PORT,
                        help=f"the port on 127.0.0.1 to serve on (default {DEFAULT_PORT}; 0 picks a free one)")
    parser.add_argument("--open", action="store_true", help="open the page in your browser")


def run(args: argparse.Namespace) -> int:
    """Serves the folder until Ctrl-C."""
    folder = args.folder if args.folder is not None else library.home_folder()
    try:
        server = make_server(folder, args.port)
    except NotADirectoryError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"error: cannot serve on {HOST}:{args.port}: {error.strerror or error}"
              " (choose another port with --port N; 0 picks a free one)", file=sys.stderr)
        return 2
    print(f"Serving {server.folder.root}", flush=True)
    print(f"Open {server.url} in your browser. Press Ctrl-C to stop.", flush=True)
    if args.open:
        threading.Thread(target=webbrowser.open, args=(server.url,), daemon=True).start()
    try:
        server.serve_forever(poll_interval=0.5)
    except KeyboardInterrupt:
        print("\nstopped", flush=True)
    finally:
        server.server_close()
    return 0
