"""The command line end to end, in subprocesses with a private home, on generated images."""

import json
import os
import pty
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest
from PIL import Image

from conftest import ROOT

import quorvane_image_viewer
from quorvane_image_viewer import cli

COMMANDS = ["list", "info", "thumbs", "convert", "rotate", "resize", "rename", "delete", "demo"]


@pytest.fixture
def run(lib, home, tmp_path):
    """Runs the command line; the thumbnail cache lands in the private home."""

    def run(*args, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, env=None):
        full_env = {**os.environ, "HOME": str(home), "XDG_DATA_HOME": str(home / "data"), "PYTHONPATH": str(ROOT),
                    **(env or {})}
        return subprocess.run([sys.executable, "-m", "quorvane_image_viewer", *map(str, args)],
                              stdin=stdin, stdout=subprocess.PIPE, stderr=stderr, text=True,
                              env=full_env, cwd=tmp_path, timeout=60)

    return run


@pytest.fixture
def pics(tmp_path, make_image):
    """Three images of distinct sizes, a text file, a hidden image and a sub-folder."""
    folder = tmp_path / "pics"
    make_image(folder / "a.jpg", size=(40, 30))
    make_image(folder / "b.png", size=(60, 20))
    make_image(folder / "c.gif", size=(10, 10), mode="P")
    make_image(folder / ".hidden.png")
    (folder / "notes.txt").write_text("not an image\n")
    (folder / "Trips").mkdir()
    return folder


def snapshot(*roots):
    """Every entry under the roots: file bytes, or the marker of a folder."""
    seen = {}
    for root in roots:
        for path in sorted(Path(root).rglob("*")):
            seen[str(path)] = "dir" if path.is_dir() else path.read_bytes()
    return seen


def size_of(path):
    with Image.open(path) as image:
        return image.size


def error_lines(stderr):
    return [line for line in stderr.splitlines() if line.startswith("error:") or ": error:" in line]


def test_list_table_json_and_order(run, pics):
    table = run("list", pics, "--sort", "size", "--desc")
    assert table.returncode == 0, table.stderr
    names = [line.split()[0] for line in table.stdout.splitlines()[2:-1]]
    by_size = sorted(["a.jpg", "b.png", "c.gif"], key=lambda n: (pics / n).stat().st_size, reverse=True)
    assert names == ["Trips/", *by_size]
    assert "1 folder, 3 images," in table.stdout
    assert re.search(r"\d+ B", table.stdout)

    listing = json.loads(run("list", pics, "--json", "--hidden", "--sort", "name").stdout)
    assert list(listing) == ["path", "parent", "folders", "files"]
    assert [row["name"] for row in listing["files"]] == [".hidden.png", "a.jpg", "b.png", "c.gif"]


def test_info_text_and_json(run, pics):
    records = json.loads(run("info", pics / "a.jpg", pics / "b.png", "--json").stdout)
    assert [(r["name"], r["width"], r["height"]) for r in records] == [("a.jpg", 40, 30), ("b.png", 60, 20)]
    exif = Image.Exif()
    exif.update({271: "Canon", 272: "Canon EOS 40D", 33434: 0.00625, 37386: 24.0})
    Image.new("RGB", (40, 30)).save(pics / "a.jpg", exif=exif.tobytes())
    text = run("info", pics / "a.jpg")
    assert text.returncode == 0 and "Dimensions:    40 x 30 pixels" in text.stdout
    assert "Camera:        Canon EOS 40D\n  Exposure:      1/160 s\n  Focal length:  24 mm\n" in text.stdout
    raw = json.loads(run("info", pics / "a.jpg", "--json").stdout)[0]["exif"]
    assert (raw["make"], raw["exposure"], raw["focal"]) == ("Canon", "0.00625", "24.0")


def test_thumbs_fill_the_cache_in_the_home(run, pics, home):
    proc = run("thumbs", pics, "--edge", "64", "--jobs", "2")
    assert proc.returncode == 0, proc.stderr
    assert "thumbs: 3 done, 0 skipped, 0 failed" in proc.stderr
    entries = list((home / ".quorvane" / "image_viewer" / "thumbs").glob("*.jpg"))
    assert len(entries) == 3
    assert max(size_of(entries[0])) <= 64


@pytest.mark.parametrize("args, check", [
    (["convert", "{pics}", "--to", "webp", "--out", "{pics}/out"],
     lambda p: sorted(f.name for f in (p / "out").iterdir()) == ["a.webp", "b.webp", "c.webp"]),
    (["convert", "{pics}/a.jpg", "--to", "PNG", "--delete-source"],
     lambda p: (p / "a.png").is_file() and not (p / "a.jpg").exists()),
    (["rotate", "{pics}/a.jpg", "{pics}/b.png", "--degrees", "-90", "--keep-original"],
     lambda p: size_of(p / "a.jpg") == (30, 40) and size_of(p / "b.png") == (20, 60)
     and size_of(p / "ZEL originals" / "a.jpg") == (40, 30)),
    (["resize", "{pics}", "--long", "8", "--out", "{pics}/small"],
     lambda p: [size_of(p / "small" / n) for n in ("a.jpg", "b.png", "c.gif")] == [(8, 6), (8, 3), (8, 8)]),
    (["resize", "{pics}/b.png", "--resolution", "8x9"], lambda p: size_of(p / "b.png") == (8, 9)),
    (["rename", "{pics}", "--pattern", "[%P]_##", "--sort", "name", "--desc", "--start", "7"],
     lambda p: sorted(f.name for f in p.iterdir() if f.suffix != ".txt" and f.is_file())
     == [".hidden.png", "pics_07.gif", "pics_08.png", "pics_09.jpg"] and size_of(p / "pics_08.png") == (60, 20)),
    (["delete", "{pics}", "--yes"],
     lambda p: sorted(f.name for f in p.iterdir()) == [".hidden.png", "Trips", "notes.txt"]),
])
def test_edit_commands(run, pics, args, check):
    proc = run(*[a.format(pics=pics) for a in args])
    assert proc.returncode == 0, proc.stderr
    assert re.search(r": \d+ done, 0 skipped, 0 failed", proc.stderr)
    assert check(pics)


WRITERS = [
    ["thumbs", "{pics}"],
    ["convert", "{pics}", "--to", "png", "--delete-source"],
    ["rotate", "{pics}", "--degrees", "90", "--keep-original"],
    ["resize", "{pics}", "--percent", "50"],
    ["rename", "{pics}", "--pattern", "x_###"],
    ["delete", "{pics}"],
]


@pytest.mark.parametrize("args", WRITERS, ids=lambda a: a[0])
def test_dry_run_changes_nothing(run, pics, home, args):
    before = snapshot(pics, home)
    proc = run(*[a.format(pics=pics) for a in args], "--dry-run")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.count("would ") == 3
    assert "(dry run): 3 to do" in proc.stderr
    assert snapshot(pics, home) == before


def foretold(line):
    """The path a dry-run line says will be written."""
    found = re.search(r"-> (.*?)(?: and remove .*)?$|(?:re-encode|resize) (.*) in place$|kept as (.*)$", line)
    return next(group for group in found.groups() if group)


@pytest.mark.parametrize("args", [
    ["convert", "{pics}", "--to", "png"],
    ["convert", "{pics}", "--to", "jpg", "--out", "{pics}/out", "--delete-source"],
    ["convert", "{pics}", "--to", "png", "--out", "{pics}/out", "--on-conflict", "skip"],
    ["resize", "{pics}", "--width", "12", "--out", "{pics}/out"],
    ["resize", "{pics}", "--width", "12"],
    ["rotate", "{pics}", "--degrees", "180", "--keep-original"],
])
def test_dry_run_foretells_the_real_run(run, pics, make_image, args):
    # Names already taken, so that numbered names and skips come into play.
    make_image(pics / "a.png")
    make_image(pics / "out" / "a.jpg")
    make_image(pics / "out" / "b.png")
    make_image(pics / "ZEL originals" / "a.jpg")
    backups_before = set(os.listdir(pics / "ZEL originals"))
    args = [a.format(pics=pics) for a in args]
    dry = run(*args, "-n")
    real = run(*args)
    assert real.returncode == 0, real.stderr

    expected = [foretold(line) for line in dry.stdout.splitlines()]
    if args[0] == "rotate":
        made = set(os.listdir(pics / "ZEL originals")) - backups_before
        assert sorted(Path(p).name for p in expected) == sorted(made) == ["a.png", "a_1.jpg", "b.png", "c.gif"]
    else:
        assert expected == [line.split(" -> ")[1] for line in real.stdout.splitlines()]
    assert re.findall(r"skipped: .*", dry.stderr) == re.findall(r"skipped: .*", real.stderr)


@pytest.mark.parametrize("args", [
    ["convert", "{pics}", "--to", "png", "--out", "{pics}/out"],
    ["rotate", "{pics}", "--degrees", "90"],
    ["resize", "{pics}", "--percent", "50", "--out", "{pics}/out"],
    ["thumbs", "{pics}"],
])
def test_a_failing_file_does_not_stop_the_batch(run, tmp_path, make_image, args):
    pics = tmp_path / "pics"
    make_image(pics / "a.jpg")
    (pics / "b.jpg").write_bytes(b"not really a JPEG")
    make_image(pics / "c.jpg")
    proc = run(*[a.format(pics=pics) for a in args])
    assert proc.returncode == 1
    assert ": 2 done, 0 skipped, 1 failed" in proc.stderr
    assert error_lines(proc.stderr) == [f"error: {pics / 'b.jpg'}: not a readable image"]
    if args[0] != "thumbs":
        assert [line.split()[0].rstrip(":") for line in proc.stdout.splitlines()] == [
            str(pics / "a.jpg"), str(pics / "c.jpg")]


@pytest.fixture
def tree(tmp_path, make_image):
    """Images at two depths, and places a recursive walk must not enter."""
    pics = tmp_path / "pics"
    make_image(pics / "a.jpg", size=(40, 30))
    make_image(pics / "sub" / "deep" / "b.png", size=(40, 30))
    make_image(pics / ".hidden" / "h.png")
    make_image(pics / "ZEL originals" / "o.jpg")
    make_image(tmp_path / "elsewhere" / "e.jpg")
    (pics / "sub" / "link").symlink_to(tmp_path / "elsewhere")
    return pics


@pytest.mark.parametrize("args", [
    ["thumbs", "{pics}", "-r"],
    ["convert", "{pics}", "-r", "--to", "png", "--out", "{pics}/../out"],
    ["rotate", "{pics}", "--recursive", "--degrees", "180"],
    ["resize", "{pics}", "-r", "--percent", "50"],
    ["delete", "{pics}", "-r", "--yes"],
    ["info", "{pics}", "-r", "--json"],
], ids=lambda a: a[0])
def test_recursive_reaches_folders_below_but_not_hidden_backup_or_linked_ones(run, tree, args):
    proc = run(*[a.format(pics=tree) for a in args])
    assert proc.returncode == 0, proc.stderr
    if args[0] == "info":
        assert sorted(record["name"] for record in json.loads(proc.stdout)) == ["a.jpg", "b.png"]
    else:
        assert f"{args[0]}: 2 done, 0 skipped, 0 failed" in proc.stderr
    for untouched in (".hidden/h.png", "ZEL originals/o.jpg", "../elsewhere/e.jpg"):
        assert size_of(tree / untouched) == (8, 6)


def test_list_recursive_and_the_backup_folder_explained(run, tree):
    proc = run("list", tree, "--recursive")
    assert [line for line in proc.stdout.splitlines() if line.startswith(str(tree))] == [
        str(tree), str(tree / "sub"), str(tree / "sub" / "deep")]
    assert 'note: "ZEL originals" is the folder beside each turned file that keeps its original' in proc.stdout
    listings = json.loads(run("list", tree, "-r", "--json").stdout)
    assert [len(listing["files"]) for listing in listings] == [1, 0, 1]


def test_resize_only_shrinks_unless_asked(run, tree):
    proc = run("resize", tree / "a.jpg", "--width", "60")
    assert proc.returncode == 0 and size_of(tree / "a.jpg") == (40, 30)
    assert f"skipped: {tree / 'a.jpg'}: already 40 x 30, small enough: left as it was" in proc.stderr
    assert run("resize", tree / "a.jpg", "--width", "60", "--enlarge").returncode == 0
    assert size_of(tree / "a.jpg") == (60, 45)


def test_rotate_refuses_unwritable_formats_before_any_backup(run, tmp_path, make_image):
    pics = tmp_path / "pics"
    make_image(pics / "a.tiff", size=(40, 30), fmt="TIFF")
    make_image(pics / "b.ppm", size=(40, 30))
    proc = run("rotate", pics, "--degrees", "90", "--keep-original")
    assert proc.returncode == 1
    assert error_lines(proc.stderr) == [f"error: {pics / 'b.ppm'}: cannot write .ppm files; convert it first"]
    assert size_of(pics / "a.tiff") == (30, 40) and size_of(pics / "b.ppm") == (40, 30)
    assert os.listdir(pics / "ZEL originals") == ["a.tiff"]


def test_delete_and_rename_go_on_past_a_failure(run, pics):
    proc = run("delete", pics / "a.jpg", pics / "gone.jpg", pics / "c.gif", "--yes")
    assert proc.returncode == 1
    assert error_lines(proc.stderr) == [f"error: {pics / 'gone.jpg'}: no such file or folder"]
    assert sorted(p.name for p in pics.glob("*.*")) == [".hidden.png", "b.png", "notes.txt"]

    (pics / "p_1.png").mkdir()  # a folder holds the name b.png would take
    (pics / "z.jpg").write_bytes((pics / "b.png").read_bytes())
    proc = run("rename", pics, "--pattern", "p_#")
    assert proc.returncode == 1
    assert "rename: 1 done, 0 skipped, 1 failed" in proc.stderr
    assert error_lines(proc.stderr) == [f"error: {pics / 'b.png'} -> p_1.png: a file of this name exists"]
    assert (pics / "p_2.jpg").is_file() and (pics / "b.png").is_file()


@pytest.mark.parametrize("args", [
    ["delete", "{pics}", "--yes"],
    ["rotate", "{pics}", "--degrees", "90"],
    ["convert", "{pics}", "--to", "png", "--delete-source"],
    ["rename", "{pics}", "--pattern", "n_#"],
])
def test_links_in_a_folder_are_left_alone(run, tmp_path, make_image, args):
    pics = tmp_path / "pics"
    outside = make_image(tmp_path / "elsewhere" / "kept.jpg")
    make_image(pics / "a.jpg")
    (pics / "link.jpg").symlink_to(outside)
    before = outside.read_bytes()
    proc = run(*[a.format(pics=pics) for a in args])
    assert proc.returncode == 0, proc.stderr
    assert ": 1 done, 1 skipped, 0 failed" in proc.stderr
    assert f"skipped: {pics / 'link.jpg'}: a link" in proc.stderr
    assert os.listdir(outside.parent) == ["kept.jpg"] and outside.read_bytes() == before
    assert (pics / "link.jpg").resolve() == outside


@pytest.mark.parametrize("args, message, status", [
    (["list", "{pics}/missing"], "error: {pics}/missing: no such folder", 1),
    (["list", "{pics}/a.jpg"], "error: {pics}/a.jpg: not a folder", 1),
    (["info", "{pics}/notes.txt"], "error: {pics}/notes.txt: not an image file", 1),
    (["info", "{pics}"], "error: {pics}: is a folder", 1),
    (["rename", "{pics}/nope", "--pattern", "x#"], "error: {pics}/nope: no such folder", 1),
    (["convert", "{pics}/x.jpg", "--to", "png"], "error: {pics}/x.jpg: no such file or folder", 1),
    (["delete", "{pics}"], "error: not deleting without --yes: standard input is not a terminal", 1),
    (["convert", "{pics}", "--to", "jpeg"], "argument --to: invalid choice: 'jpeg'", 2),
    (["rotate", "{pics}", "--degrees", "45"], "argument --degrees: invalid choice: 45", 2),
    (["resize", "{pics}"], "one of the arguments --percent", 2),
    (["resize", "{pics}", "--percent", "abc"], "argument --percent: not a number: 'abc'", 2),
    (["resize", "{pics}", "--resolution", "64"], "expected WIDTHxHEIGHT", 2),
    (["thumbs", "{pics}", "--edge", "8"], "argument --edge: must be from 32 to 1024: '8'", 2),
    (["thumbs", "{pics}", "--jobs", "0"], "argument --jobs: must be at least 1: '0'", 2),
    (["rename", "{pics}", "--pattern", "a/b_#"], "a name pattern cannot hold '/'", 2),
    (["frobnicate"], "invalid choice: 'frobnicate'", 2),
    ([], "the following arguments are required: COMMAND", 2),
])
def test_bad_arguments_give_one_line(run, pics, args, message, status):
    before = snapshot(pics)
    proc = run(*[a.format(pics=pics) for a in args])
    assert proc.returncode == status
    assert "Traceback" not in proc.stderr
    assert error_lines(proc.stderr) == [line for line in proc.stderr.splitlines() if message.format(pics=pics) in line]
    assert len(error_lines(proc.stderr)) == 1
    if status == 2:
        assert proc.stderr.startswith("usage: ")
    assert snapshot(pics) == before


@pytest.mark.parametrize("command", COMMANDS)
def test_help_shows_an_example(run, command):
    proc = run(command, "--help")
    assert proc.returncode == 0
    example = proc.stdout.split("example:\n", 1)[1]
    assert f"quorvane_image_viewer {command}" in example.splitlines()[0]


def test_version(run):
    proc = run("--version")
    assert proc.stdout.split() == ["python", "-m", "quorvane_image_viewer", quorvane_image_viewer.__version__]


def run_on_terminal(run, args, answer=b"", env=None):
    """Runs with standard input and error on a pseudo-terminal; returns (process, terminal text)."""
    leader, follower = pty.openpty()
    try:
        os.write(leader, answer)
        proc = run(*args, stdin=follower, stderr=follower, env=env)
        os.close(follower)
        follower = -1
        chunks = []
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:
                break
            if not chunk:
                break
            chunks.append(chunk)
        return proc, b"".join(chunks).decode(errors="replace")
    finally:
        os.close(leader)
        if follower >= 0:
            os.close(follower)


@pytest.mark.parametrize("answer, kept", [(b"n\n", True), (b"\n", True), (b"yes\n", False)])
@pytest.mark.parametrize("permanent", [False, True])
def test_delete_asks_on_a_terminal_then_trashes_or_removes(run, pics, home, answer, kept, permanent):
    content = (pics / "a.jpg").read_bytes()
    proc, terminal = run_on_terminal(run, ["delete", pics / "a.jpg", *["--permanent"] * permanent], answer)
    assert f"Delete 1 image {'for good' if permanent else 'to the trash'}? [y/N]" in terminal
    assert (pics / "a.jpg").exists() == kept
    assert proc.returncode == (1 if kept else 0)
    trashed = home / "data" / "Trash" / "files" / "a.jpg"
    assert trashed.exists() == (not kept and not permanent)
    if trashed.exists():
        assert trashed.read_bytes() == content
        assert (home / "data" / "Trash" / "info" / "a.jpg.trashinfo").is_file()


def test_progress_bar_on_a_terminal(run, pics, tmp_path):
    pytest.importorskip("tqdm")
    proc, terminal = run_on_terminal(run, ["convert", pics, "--to", "png", "--out", tmp_path / "out"])
    assert proc.returncode == 0
    assert re.search(r"convert: +\d+%", terminal), terminal


def test_no_tqdm_means_no_bar(run, pics, tmp_path):
    blocker = tmp_path / "no_tqdm" / "tqdm"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('tqdm is not installed here')\n")
    proc, terminal = run_on_terminal(run, ["convert", pics, "--to", "png", "--out", tmp_path / "out"],
                                     env={"PYTHONPATH": f"{blocker.parent}{os.pathsep}{ROOT}"})
    assert proc.returncode == 0
    assert "%" not in terminal and "convert: 3 done" in terminal
    assert len(list((tmp_path / "out").iterdir())) == 3


# ---------------------------------------------------------------- in process


def test_view_command_comes_from_the_page_package(monkeypatch):
    calls = []
    server = types.ModuleType("quorvane_image_viewer.page.server")
    server.add_arguments = lambda parser: parser.add_argument("--port", type=int, default=0)
    server.run = lambda args: calls.append(args.port) or 7
    package = types.ModuleType("quorvane_image_viewer.page")
    package.server = server
    monkeypatch.setitem(sys.modules, "quorvane_image_viewer.page", package)
    monkeypatch.setitem(sys.modules, "quorvane_image_viewer.page.server", server)
    assert cli.main(["view", "--port", "8123"]) == 7
    assert calls == [8123]
    assert "example:" in cli.build_parser()._subparsers._group_actions[0].choices["view"].format_help()

    # Without the page package the command is simply not there.
    monkeypatch.setitem(sys.modules, "quorvane_image_viewer.page", None)
    assert "view" not in cli.build_parser()._subparsers._group_actions[0].choices


def test_phone_photos_list_show_their_camera_fields_and_convert(run, tmp_path, make_heif):
    pics = tmp_path / "phone"
    pics.mkdir()
    exif = Image.Exif()
    exif[306] = "2025:01:01 00:00:00"  # rewritten by an editing program
    exif[0x8769] = {36867: "2024:05:06 07:08:09"}
    exif[0x8825] = {1: "S", 2: (33, 51, 54.0), 3: "E", 4: (151, 12, 36.0)}
    make_heif(pics / "IMG_1.HEIC", Image.new("RGB", (40, 30), (90, 90, 90)), exif=exif.tobytes(), orientation=6)
    make_heif(pics / "b.avif", Image.new("RGB", (40, 30)), avif=True)
    listed = run("list", pics, "--json")
    assert sorted(row["name"] for row in json.loads(listed.stdout)["files"]) == ["IMG_1.HEIC", "b.avif"]
    info = run("info", pics / "IMG_1.HEIC", "--json")
    fields = json.loads(info.stdout)
    fields = fields[0] if isinstance(fields, list) else fields
    assert (fields["width"], fields["height"], fields["format"]) == (30, 40, "HEIF")
    assert {k: fields["exif"][k] for k in ("taken", "latitude", "longitude")} == {
        "taken": "2024:05:06 07:08:09", "latitude": "-33.865000", "longitude": "151.210000"}
    assert run("convert", pics, "--to", "jpg").returncode == 0
    assert size_of(pics / "IMG_1.jpg") == (30, 40) and size_of(pics / "b.jpg") == (40, 30)
    # The converted copy keeps when it was taken, which names it.
    assert run("convert", pics / "IMG_1.HEIC", "--to", "png", "--out", tmp_path / "png").returncode == 0
    assert run("rename", tmp_path / "png", "--pattern", "[%PD]").returncode == 0
    assert [p.name for p in (tmp_path / "png").iterdir()] == ["2024-05-06.png"]
