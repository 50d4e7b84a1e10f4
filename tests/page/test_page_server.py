"""The page's server over HTTP: addresses, the checks every request passes, edits and the command line."""

import io
import json
import os
import re
import signal
import subprocess
import sys

from pathlib import Path

import pytest
from pagekit import SAMPLE_IMAGES, page_token, served  # noqa: F401 - a fixture
from PIL import Image

ROOT = Path(__file__).resolve().parents[2]


def names(rows):
    return [row["name"] for row in rows]


def test_listing_names_everything_relative_to_the_served_folder(served):
    status, root = served.get_json("/api/list", path="")
    assert status == 200
    assert (root["path"], root["parent"]) == ("", None)
    assert names(root["folders"]) == ["Trips"]
    # Links that lead outside are left out, like the text file.
    assert names(root["files"]) == SAMPLE_IMAGES
    assert all(row["path"] == row["name"] for row in root["files"])

    _, trips = served.get_json("/api/list", path="Trips")
    assert (trips["path"], trips["parent"]) == ("Trips", "")
    assert [c["path"] for c in trips["crumbs"]] == ["", "Trips"]
    assert [row["path"] for row in trips["files"]] == ["Trips/forest.png", "Trips/mountain.jpg"]

    _, hidden = served.get_json("/api/list", path="", hidden="1")
    assert ".hidden.png" in names(hidden["files"])


@pytest.mark.parametrize("sort, desc", [("size", "0"), ("size", "1"), ("date", "1"), ("type", "0")])
def test_listing_sorts_with_the_library(served, lib, sort, desc):
    _, listing = served.get_json("/api/list", path="", sort=sort, desc=desc)
    rows = lib.sort_files(lib.list_dir(str(served.folder))["files"], sort, desc == "1")
    assert names(listing["files"]) == [row["name"] for row in rows if row["name"] != "link-out.jpg"]


def test_unknown_sort_key_is_refused(served):
    status, body = served.get_json("/api/list", path="", sort="colour")
    assert status == 400 and "colour" in body["error"]


OUTSIDE = ["../outside.jpg", "Trips/../../outside.jpg", "/etc/hostname", "link-out.jpg", "dir-out/a.jpg",
           "dir-out", "nul\x00.jpg", "missing.jpg"]


@pytest.mark.parametrize("endpoint", ["/thumb", "/image", "/api/info", "/api/list"])
@pytest.mark.parametrize("path", OUTSIDE)
def test_paths_outside_the_folder_are_not_found(served, endpoint, path):
    status, headers, body = served.request("GET", endpoint, params={"path": path})
    assert status == 404
    assert headers["Content-Type"] == "application/json"
    assert json.loads(body)["error"].startswith("not found")


@pytest.mark.parametrize("endpoint, body", [
    ("/api/delete", {"paths": ["link-out.jpg"]}),
    ("/api/delete", {"paths": ["../outside.jpg"]}),
    ("/api/rotate", {"paths": ["dir-out/a.jpg"], "degrees": 90}),
    ("/api/convert", {"paths": ["lake.jpg"], "format": "png", "folder": "../out"}),
    ("/api/resize", {"paths": ["lake.jpg"], "basis": "long", "value": 10, "folder": "dir-out"}),
])
def test_edits_never_reach_outside(served, endpoint, body):
    before = served.outside.read_bytes()
    status, answer = served.post(endpoint, body)
    assert status == 404, answer
    assert served.outside.read_bytes() == before
    assert sorted(p.name for p in served.outside.parent.iterdir()) == ["elsewhere", "home", "outside.jpg",
                                                                        "pictures"]
    assert os.listdir(served.outside.parent / "elsewhere") == ["a.jpg"]


@pytest.mark.parametrize("host, expected", [
    ("evil.example", 403), ("evil.example:{port}", 403), ("127.0.0.1:1", 403), ("127.0.0.1", 403),
    ("localhost:{port}", 200), ("127.0.0.1:{port}", 200)])
@pytest.mark.parametrize("path", ["/", "/thumb?path=lake.jpg", "/api/list?path="])
def test_host_header_must_name_this_server(served, host, expected, path):
    status, _, body = served.request("GET", path, headers={"Host": host.format(port=served.port)})
    assert status == expected
    if expected == 403:
        assert json.loads(body) == {"error": "unknown host"}


@pytest.mark.parametrize("headers, expected", [
    ({"Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "no-cors"}, 403),   # an <img> on another site
    ({"Sec-Fetch-Site": "same-site", "Sec-Fetch-Mode": "cors"}, 403),       # a page on another local port
    ({"Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "navigate"}, 200),  # a link to the viewer
    ({"Sec-Fetch-Site": "same-origin", "Sec-Fetch-Mode": "no-cors"}, 200),
    ({"Sec-Fetch-Site": "none", "Sec-Fetch-Mode": "navigate"}, 200),        # a bookmark
])
def test_other_sites_may_link_but_not_embed(served, headers, expected):
    status, _, body = served.request("GET", "/thumb?path=lake.jpg", headers=headers)
    assert status == expected


@pytest.mark.parametrize("headers", [{}, {"X-Token": "wrong"}, {"X-Token": ""}])
def test_changes_need_the_token(served, headers):
    status, _, body = served.request("POST", "/api/delete", {"paths": ["lake.jpg"]}, headers)
    assert status == 403 and json.loads(body)["error"]
    assert (served.folder / "lake.jpg").exists()


def test_the_page_carries_the_token_and_a_strict_policy(served):
    status, headers, body = served.request("GET", "/")
    assert status == 200
    assert page_token(body.decode()) == served.token
    assert "script-src" not in headers["Content-Security-Policy"]  # default-src 'self' covers scripts
    assert "default-src 'self'" in headers["Content-Security-Policy"]
    for path, expected in [("/static/app.js", 200), ("/static/style.css", 200), ("/static/index.html", 404),
                           ("/static/../server.py", 404), ("/nothing", 404)]:
        assert served.request("GET", path)[0] == expected, path


@pytest.mark.parametrize("method, path", [("GET", "/api/delete"), ("POST", "/api/list")])
def test_wrong_method_is_refused(served, method, path):
    headers = {"X-Token": served.token}
    assert served.request(method, path, {} if method == "POST" else None, headers)[0] == 405


@pytest.mark.parametrize("body, status, message", [
    (b"not json", 400, "JSON"),
    (b"[1, 2]", 400, "object"),
    ({"paths": "lake.jpg", "degrees": 90}, 400, "list"),
    ({"paths": ["lake.jpg"], "degrees": 45}, 400, "degrees must be 90, -90, 180, or 270"),
    ({"paths": ["lake.jpg"], "degrees": "90"}, 400, "degrees"),
])
def test_bad_edit_requests_get_a_message(served, body, status, message):
    code, _, data = served.request("POST", "/api/rotate", body, {"X-Token": served.token})
    assert code == status
    assert message in json.loads(data)["error"]


def test_a_broken_file_answers_json_and_the_server_goes_on(served):
    (served.folder / "broken.jpg").write_text("no picture here")
    for path in ("/thumb", "/image", "/api/info"):
        status, headers, body = served.request("GET", path, params={"path": "broken.jpg"})
        assert status >= 400 and headers["Content-Type"] == "application/json"
        error = json.loads(body)["error"]
        assert "Traceback" not in error and str(served.folder) not in error
    assert served.post("/api/rotate", {"paths": ["broken.jpg"], "degrees": 90})[0] >= 400
    assert served.get_json("/api/list", path="")[0] == 200


def test_images_come_upright_and_may_be_cached_until_they_change(served):
    _, listing = served.get_json("/api/list", path="")
    harbour = next(row for row in listing["files"] if row["name"] == "harbour.jpg")
    status, headers, body = served.request("GET", "/image", params={"path": "harbour.jpg", "v": harbour["v"]})
    assert status == 200 and headers["Content-Type"] == "image/jpeg"
    assert "immutable" in headers["Cache-Control"]
    assert Image.open(io.BytesIO(body)).size == (480, 320)
    status, headers, body = served.request("GET", "/thumb", params={"path": "harbour.jpg", "v": harbour["v"]})
    assert Image.open(io.BytesIO(body)).size == (256, 171)
    assert "immutable" in headers["Cache-Control"]
    assert "immutable" not in served.request("GET", "/thumb", params={"path": "harbour.jpg"})[1]["Cache-Control"]

    assert served.post("/api/rotate", {"paths": ["harbour.jpg"], "degrees": 90}) == (200, {"done": ["harbour.jpg"]})
    _, listing = served.get_json("/api/list", path="")
    turned = next(row for row in listing["files"] if row["name"] == "harbour.jpg")
    assert turned["v"] != harbour["v"]
    assert (served.folder / "ZEL originals" / "harbour.jpg").exists()


@pytest.mark.parametrize("path", ["/image?path=lake.jpg", "/image?path=harbour.jpg", "/thumb?path=lake.jpg",
                                  "/static/app.js", "/nowhere"])
def test_every_response_carries_the_safety_headers(served, path):
    # lake.jpg is sent as its file, harbour.jpg (stored sideways) as bytes made upright.
    _, headers, _ = served.request("GET", path)
    assert (headers["X-Content-Type-Options"], headers["Referrer-Policy"]) == ("nosniff", "no-referrer")


def test_choices_come_from_the_one_plan(served, lib):
    choices = served.get_json("/api/choices")[1]
    assert (choices["formats"], choices["backup_folder"]) == (list(lib.SAVE_FORMATS), "ZEL originals")
    assert "[%PD]" in [row["token"] for row in choices["rename_tokens"]] and "skip" in choices["conflict_policies"]


def test_edits_answer_with_relative_paths(served):
    assert served.post("/api/convert", {"paths": ["Trips/forest.png"], "format": "jpg", "quality": 80,
                                        "folder": "Trips/jpeg", "on_conflict": "rename"}) \
        == (200, {"done": ["Trips/jpeg/forest.jpg"]})
    assert served.post("/api/resize", {"paths": ["lake.jpg"], "basis": "long", "value": 100, "width": None,
                                       "height": None, "folder": "small", "on_conflict": "rename"}) \
        == (200, {"done": ["small/lake.jpg"]})
    assert Image.open(served.folder / "small" / "lake.jpg").size == (100, 67)
    assert served.post("/api/convert", {"paths": ["lake.jpg"], "format": "png", "on_conflict": "sideways"})[0] == 400
    assert served.post("/api/delete", {"paths": ["night.gif", "notes.txt"]}) == (200, {"done": ["night.gif"]})
    assert (served.folder / "notes.txt").exists()


def test_a_taken_name_under_skip_is_a_conflict(served):
    (served.folder / "lake.png").write_bytes(b"")
    status, body = served.post("/api/convert", {"paths": ["lake.jpg"], "format": "png", "on_conflict": "skip"})
    assert status == 409 and body["error"] == "already exists: lake.png"


# Renaming by pattern

def test_rename_preview_then_rename(served, lib):
    paths = ["meadow.png", "lake.jpg", "harbour.jpg"]
    status, body = served.post("/api/rename-preview", {"paths": paths, "pattern": "[%P]_[%N]_##"})
    assert status == 200
    assert [(row["old"], row["new"], row["problem"]) for row in body["done"]] == [
        ("meadow.png", "pictures_meadow_01.png", None),
        ("lake.jpg", "pictures_lake_02.jpg", None),
        ("harbour.jpg", "pictures_harbour_03.jpg", None)]
    assert all((served.folder / name).exists() for name in paths)  # a preview renames nothing

    status, body = served.post("/api/rename", {"paths": paths, "pattern": "[%P]_[%N]_##"})
    assert body["done"] == ["pictures_meadow_01.png", "pictures_lake_02.jpg", "pictures_harbour_03.jpg"]
    assert not any((served.folder / name).exists() for name in paths)


def test_rename_can_swap_names(served):
    before = {name: (served.folder / name).read_bytes() for name in ("harbour.jpg", "lake.jpg")}
    status, body = served.post("/api/rename", {"paths": ["harbour.jpg", "lake.jpg"], "pattern": "x"})
    assert status == 409  # both would be x.jpg
    # One file at a time: lake takes harbour's name while harbour takes lake's.
    _, preview = served.post("/api/rename-preview", {"paths": ["lake.jpg"], "pattern": "harbour"})
    assert preview["done"][0]["problem"] == "a file of this name exists"
    status, body = served.post("/api/rename", {"paths": ["harbour.jpg", "lake.jpg"], "pattern": "[%N]"})
    assert (status, body) == (200, {"done": ["harbour.jpg", "lake.jpg"]})
    assert {name: (served.folder / name).read_bytes() for name in before} == before


@pytest.mark.parametrize("paths, pattern, problem", [
    (["lake.jpg", "meadow.png"], "same", None),                   # suffixes differ: no clash
    (["lake.jpg", "harbour.jpg"], "same", "another file would get the same name"),
    (["lake.jpg"], "harbour", "a file of this name exists"),
    (["lake.jpg", "lake.jpg"], "[%N]_#", "listed twice"),
    (["lake.jpg"], "notes.txt#", None),                           # notes.txt.jpg is free
])
def test_rename_preview_flags_clashes(served, paths, pattern, problem):
    status, body = served.post("/api/rename-preview", {"paths": paths, "pattern": pattern})
    assert status == 200
    assert body["done"][0]["problem"] == problem


def test_a_swap_renames_alike_from_the_page_and_the_command_line(served, home, tmp_path):
    folders = [served.folder / "swap", tmp_path / "cli"]
    for folder, n in ((folder, n) for folder in folders for n in (1, 2, 3)):
        (folder / f"a_{n}.jpg").parent.mkdir(exist_ok=True)
        (folder / f"a_{n}.jpg").write_bytes(bytes([n]))
    # In descending name order the counter swaps a_1 and a_3 around a_2, which keeps its name.
    paths = ["swap/a_3.jpg", "swap/a_2.jpg", "swap/a_1.jpg"]
    assert served.post("/api/rename", {"paths": paths, "pattern": "a_#"})[0] == 200
    subprocess.run([sys.executable, "-m", "quorvane_image_viewer", "rename", str(folders[1]), "--pattern", "a_#",
                    "--sort", "name", "--desc"], env=dict(os.environ, PYTHONPATH=str(ROOT), HOME=str(home)), check=True)
    page_files, cli_files = ({p.name: p.read_bytes() for p in folder.iterdir()} for folder in folders)
    assert page_files == cli_files == {"a_1.jpg": b"\3", "a_2.jpg": b"\2", "a_3.jpg": b"\1"}


def test_rename_files_of_two_folders_is_refused(served):
    status, body = served.post("/api/rename", {"paths": ["lake.jpg", "Trips/forest.png"], "pattern": "x#"})
    assert status == 400 and "one folder" in body["error"]
    assert (served.folder / "lake.jpg").exists()


# The command line

def test_command_line_prints_the_address_and_stops_on_ctrl_c(served, tmp_path):
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    process = subprocess.Popen([sys.executable, "-m", "quorvane_image_viewer.page", str(served.folder), "--port", "0"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        lines = [process.stdout.readline(), process.stdout.readline()]
        url = re.search(r"http://127\.0\.0\.1:(\d+)/", "".join(lines))
        assert url, lines
        import http.client

        connection = http.client.HTTPConnection("127.0.0.1", int(url.group(1)), timeout=10)
        connection.request("GET", "/api/list?path=Trips")
        assert json.loads(connection.getresponse().read())["path"] == "Trips"
        connection.close()
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=10)
    finally:
        process.kill()
    assert process.returncode == 0, err
    assert "stopped" in out and "Traceback" not in err


@pytest.mark.parametrize("args, message", [(["{missing}"], "not a folder"), (["{file}"], "not a folder"),
                                           (["--port", "70000"], "port must be a number from 1 to 65535"),
                                           (["--port", "abc"], "port must be a number from 1 to 65535")])
def test_command_line_refuses_what_it_cannot_serve(lib, home, tmp_path, args, message):
    (tmp_path / "file.jpg").write_bytes(b"")
    args = [a.format(missing=tmp_path / "missing", file=tmp_path / "file.jpg") for a in args]
    process = subprocess.run([sys.executable, "-m", "quorvane_image_viewer.page", *args],
                             env=dict(os.environ, PYTHONPATH=str(ROOT)), capture_output=True, text=True, timeout=20)
    assert process.returncode == 2
    assert message in process.stderr
