"""The system-call and reduced-decode routes give what the pathlib and full-decode steps give.

Each comparison runs a call twice on the same tree: once as the module takes it,
once with a module global replaced, which sends the module down the pathlib steps.
"""

import io
import os
import pathlib
import shutil
import subprocess
import sys
import threading

import pytest
from PIL import Image, JpegImagePlugin

from conftest import assert_keeps_references


PosixPath = type(pathlib.Path())
AS_ROOT = os.geteuid() == 0


class PathlibOnly(PosixPath):
    """A Path class the module does not know: every path step goes through pathlib."""


# The globals whose replacement turns one fast route (or a part of it) back into the pathlib steps.
SLOW_GLOBALS = ("Path", "is_image", "thumb_cache_dir")


@pytest.fixture
def replacements(lib):
    """A replacement for each of SLOW_GLOBALS that does what the module's own does."""
    is_image, thumb_cache_dir = lib.is_image, lib.thumb_cache_dir
    return {"Path": PathlibOnly, "is_image": lambda path: is_image(path), "thumb_cache_dir": lambda: thumb_cache_dir()}


def outcome(function, *args):
    try:
        return "returned", function(*args)
    except Exception as error:  # every detail a caller could see
        return ("raised", type(error), error.args, str(error), getattr(error, "filename", None),
                getattr(error, "filename2", None))


def write_image(path, size=(60, 40), orientation=None, fmt=None):
    """An image; a JPEG carries camera fields and, if given, an orientation."""
    image = Image.new("RGB", size, (200, 90, 20))
    if fmt == "JPEG" or (fmt is None and str(path).lower().endswith((".jpg", ".jpeg"))):
        exif = Image.Exif()
        exif[271], exif[272] = "Maker", "Model"
        if orientation:
            exif[274] = orientation
        image.save(path, format="JPEG", exif=exif.tobytes())
    else:
        image.save(path, format=fmt)
    return path


@pytest.fixture
def tree(tmp_path, home, monkeypatch):
    """A folder holding every kind of entry a listing or a lookup can meet."""
    album = tmp_path / "album"
    (album / "Photos").mkdir(parents=True)
    (album / ".trash").mkdir()
    (album / "holiday.jpeg").mkdir()  # a folder named like an image
    write_image(album / "a.JPG", orientation=6)
    write_image(album / "b.png")
    for name in ("notes.txt", ".hidden.png", ".jpg", "archive.png.gz"):
        (album / name).write_text("x")
    (album / "link_dir").symlink_to(album / "Photos")
    (album / "link_img.jpg").symlink_to(album / "a.JPG")
    (album / "dangling.jpg").symlink_to(album / "gone.jpg")  # an entry gone before its stat
    (album / "loop.jpg").symlink_to(album / "loop.jpg")
    (album / "alias.webp").symlink_to(album / "notes.txt")
    (album / "null.jpg").symlink_to("/dev/null")  # a device named like an image
    os.mkfifo(album / "pipe.jpg")  # nothing may open it: it would block
    write_image(os.fsdecode(os.fsencode(album) + b"/\xffold\xe9.jpg"))
    write_image(album / "\U0001f5bc wide.png")
    (album / ("n" * 250 + ".gif")).write_bytes(b"GIF89a")
    (tmp_path / "ring_a").symlink_to(tmp_path / "ring_b")
    (tmp_path / "ring_b").symlink_to(tmp_path / "ring_a")
    (tmp_path / "via").symlink_to(album)
    os.mkdir(os.fsencode(tmp_path) + b"/dir\xfe")
    (home / "pics").mkdir()
    write_image(home / "pics" / "h.jpg")
    monkeypatch.chdir(album)
    return tmp_path


def deep_folder(base, depth_bytes):
    """A folder whose path is about `depth_bytes` long, made with relative steps."""
    fd = os.open(base, os.O_RDONLY)
    path = str(base)
    try:
        while len(path) < depth_bytes:
            name = "d" * min(200, max(1, depth_bytes - len(path) - 1))
            os.mkdir(name, dir_fd=fd)
            inner = os.open(name, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd, path = inner, path + "/" + name
        for name in ("a.jpg", "b" * 120 + ".jpg"):
            os.close(os.open(name, os.O_CREAT | os.O_WRONLY, dir_fd=fd))
    finally:
        os.close(fd)
    return path


# "{t}" stands for the tree's folder; other paths are taken from the working folder,
# which is the tree's "album". "\udcfe" is how the interpreter spells the byte 0xfe.
LIST_CASES = [
    ("{t}/album", False), ("{t}/album", True), ("{t}/via", False), ("", False), (".", True),
    ("Photos/..", False), ("~", False), ("~/pics", False), ("~/pics/../pics/", False), ("/", False),
    ("//tmp", False), ("{t}/album/missing", False), ("a.JPG", False), ("dangling.jpg", False),
    ("loop.jpg", False), ("loop.jpg/x", False), ("{t}/ring_a", False), ("link_dir", False),
    ("pipe.jpg", False), ("null.jpg", False), ("{t}/dir\udcfe", False), ("nul\x00", False),
    ("\ud800", False), ("x" * 300, False), ("/".join(["y" * 200] * 25), False), ("~no_such_user_x", False),
    (None, False), (42, False), (b"Photos", False), (pathlib.Path("Photos"), False),
]


def argument(tree, value):
    return value.replace("{t}", str(tree)) if isinstance(value, str) else value


@pytest.mark.parametrize("forced", SLOW_GLOBALS)
@pytest.mark.parametrize("value, show_hidden", LIST_CASES, ids=lambda v: repr(v)[:20])
def test_list_dir_routes_agree(lib, replacements, tree, monkeypatch, forced, value, show_hidden):
    folder = argument(tree, value)
    fast = outcome(lib.list_dir, folder, show_hidden)
    monkeypatch.setattr(lib, forced, replacements[forced])
    assert outcome(lib.list_dir, folder, show_hidden) == fast


class RebindsIsImage:
    """A show_hidden whose truth test replaces is_image in the middle of the listing."""

    def __init__(self, lib, monkeypatch):
        self.lib, self.monkeypatch, self.asked = lib, monkeypatch, []

    def __bool__(self):
        self.monkeypatch.setattr(self.lib, "is_image", lambda entry: self.asked.append(entry) or "4" in entry.name)
        return False


def test_is_image_rebound_mid_listing(lib, tree, monkeypatch):
    for name in ("p4.jpg", "p5.jpg", "q4.txt"):
        (tree / "album" / name).write_text("x")
    results = []
    for slow in (False, True):
        with monkeypatch.context() as patch:
            if slow:
                patch.setattr(lib, "Path", PathlibOnly)
            show_hidden = RebindsIsImage(lib, patch)
            listing = lib.list_dir(str(tree / "album"), show_hidden)
            assert all(isinstance(entry, PosixPath) for entry in show_hidden.asked)
            results.append((listing, [str(entry) for entry in show_hidden.asked]))
    assert results[0] == results[1]
    assert sorted(row["name"] for row in results[0][0]["files"]) == ["p4.jpg", "q4.txt"]


class ChangesTheFolder:
    """A show_hidden whose truth test, asked once the folder is found, changes it."""

    def __init__(self, folder, change):
        self.folder, self.change = folder, change

    def __bool__(self):
        self.change(self.folder)
        return True


def replaced_by_file(folder):
    shutil.rmtree(folder)
    folder.write_text("a file now")


def emptied(folder):
    for entry in folder.iterdir():
        entry.unlink()


@pytest.mark.parametrize("change", [replaced_by_file, emptied])
def test_folder_changed_mid_call(lib, tmp_path, monkeypatch, change):
    results = []
    for slow in (False, True):
        folder = tmp_path / ("slow" if slow else "fast") / "album"
        folder.mkdir(parents=True)
        for name in ("a.jpg", "b.png", "c.txt"):
            (folder / name).write_text("x")
        with monkeypatch.context() as patch:
            if slow:
                patch.setattr(lib, "Path", PathlibOnly)
            result = outcome(lib.list_dir, str(folder), ChangesTheFolder(folder, change))
        results.append(repr(result).replace(str(folder.parent), "<base>"))
    assert results[0] == results[1]


def test_list_dir_near_the_path_length_limit(lib, tmp_path, monkeypatch):
    # an entry whose full path reaches PATH_MAX fails its stat and is left out
    (tmp_path / "near").mkdir()
    (tmp_path / "over").mkdir()
    listed = deep_folder(tmp_path / "near", 4000)
    too_deep = deep_folder(tmp_path / "over", 4200)
    for folder in (listed, too_deep):
        fast = outcome(lib.list_dir, folder)
        with monkeypatch.context() as patch:
            patch.setattr(lib, "Path", PathlibOnly)
            assert outcome(lib.list_dir, folder) == fast
    assert [row["name"] for row in lib.list_dir(listed)["files"]] == ["a.jpg"]
    assert outcome(lib.list_dir, too_deep)[1] is OSError


def cache_entries(home):
    folder = home / ".quorvane" / "image_viewer" / "thumbs"
    return sorted((p.name, p.read_bytes()) for p in folder.iterdir()) if folder.is_dir() else None


THUMB_CASES = [
    "{t}/album/a.JPG", "link_img.jpg", "a.JPG", "{t}/via/b.png", "~/pics/h.jpg", "\U0001f5bc wide.png",
    "\udcffold\udce9.jpg", "notes.txt", "Photos", "holiday.jpeg", "dangling.jpg", "loop.jpg", "pipe.jpg",
    "null.jpg", "missing.jpg", "{t}/ring_a", "alias.webp", "\x00.jpg", "\ud800.jpg", "n" * 300 + ".jpg",
    None, 3, pathlib.Path("a.JPG"),
]


@pytest.mark.parametrize("forced", SLOW_GLOBALS)
@pytest.mark.parametrize("value", THUMB_CASES, ids=lambda v: repr(v)[:24])
def test_thumbnail_routes_agree(lib, replacements, tree, home, monkeypatch, forced, value):
    path = argument(tree, value)
    results = []
    for slow in (False, True):
        shutil.rmtree(home / ".quorvane", ignore_errors=True)
        with monkeypatch.context() as patch:
            if slow:
                patch.setattr(lib, forced, replacements[forced])
            # a miss, a hit, and a long edge that fails only once the file is found
            results.append([outcome(lib.thumbnail_bytes, path), outcome(lib.thumbnail_bytes, path),
                            outcome(lib.thumbnail_bytes, path, None), cache_entries(home)])
    assert results[0] == results[1]


def blocked_by_file(cache):
    cache.parent.mkdir(parents=True, exist_ok=True)
    cache.write_text("not a folder")


def entry_is(kind):
    def make(cache, entry):
        cache.mkdir(parents=True)
        if kind == "folder":
            entry.mkdir()
        elif kind == "pipe":
            os.mkfifo(entry)
        elif kind == "empty":
            entry.write_bytes(b"")
    return make


def failure_kind(result):
    # a failed store names its temporary file, whose name differs from call to call
    return result if result[0] == "returned" else (result[1], result[2][:1])


@pytest.mark.parametrize("forced", SLOW_GLOBALS)
@pytest.mark.parametrize("home_text, prepare", [
    ("{home}", entry_is("folder")), ("{home}", entry_is("pipe")), ("{home}", entry_is("empty")),
    ("{home}", lambda cache, entry: blocked_by_file(cache)),
    ("{home}", lambda cache, entry: blocked_by_file(cache.parent.parent)),
    ("{home}/", None), ("{home}/./", None), ("/{home}", None), ("{home}/x/..", None), ("{relative}", None),
], ids=["entry-folder", "entry-pipe", "entry-empty", "thumbs-a-file", "quorvane-a-file", "slash", "dot",
        "double-slash", "dotdot", "relative"])
def test_thumbnail_cache_states_agree(lib, replacements, tree, home, monkeypatch, forced, home_text, prepare):
    results = []
    for slow in (False, True):
        base = home / ("slow" if slow else "fast")
        base.mkdir()
        (base / "x").mkdir()
        source = tree / "album" / "b.png"
        st = source.stat()
        key = lib.hashlib.sha1(f"{source}:{st.st_mtime_ns}:{st.st_size}:256".encode()).hexdigest()
        cache = base / ".quorvane" / "image_viewer" / "thumbs"
        if prepare:
            prepare(cache, cache / (key + ".jpg"))
        with monkeypatch.context() as patch:
            patch.setenv("HOME", home_text.format(home=base, relative=os.path.relpath(base)))
            if slow:
                patch.setattr(lib, forced, replacements[forced])
            results.append([failure_kind(outcome(lib.thumbnail_bytes, str(source))) for _ in range(2)])
    assert results[0] == results[1]


def test_a_linked_cache_entry_is_remade(lib, home, tmp_path):
    source = write_image(tmp_path / "p.jpg")
    made = lib.thumbnail_bytes(str(source))
    cache = home / ".quorvane" / "image_viewer" / "thumbs"
    entry = next(cache.iterdir())
    decoy = tmp_path / "decoy"
    decoy.write_bytes(b"not the thumbnail")
    entry.unlink()
    entry.symlink_to(decoy)
    assert lib.thumbnail_bytes(str(source)) == made
    assert not entry.is_symlink() and entry.read_bytes() == made and decoy.read_bytes() == b"not the thumbnail"


# ---- thumbnails decoded shrunk ----

def full_decode_thumbnail(lib, monkeypatch, path, edge=256):
    with monkeypatch.context() as patch:
        opener = lib.open_oriented
        patch.setattr(lib, "open_oriented", lambda target: opener(target))
        patch.setenv("HOME", os.environ["HOME"] + "/full")
        return lib.thumbnail_bytes(str(path), edge)


def pixels(data):
    with Image.open(io.BytesIO(data)) as image:
        return image.format, image.mode, image.size, image.convert("RGB")


@pytest.mark.parametrize("size, orientation, edge, mode", [
    ((2000, 1500), None, 256, "RGB"), ((2000, 1500), 6, 256, "RGB"), ((1999, 1333), 8, 200, "RGB"),
    ((3000, 700), 3, 256, "RGB"), ((900, 600), None, 1024, "RGB"), ((120, 90), 6, 256, "RGB"),
    ((2000, 1500), 6, 256, "CMYK"),
])
def test_jpeg_miss_decodes_shrunk(lib, home, tmp_path, monkeypatch, size, orientation, edge, mode):
    path = tmp_path / "p.jpg"
    exif = Image.Exif()
    if orientation:
        exif[274] = orientation
    Image.linear_gradient("L").resize(size).convert(mode).save(path, exif=exif.tobytes())
    asked = []
    original = JpegImagePlugin.JpegImageFile.draft
    monkeypatch.setattr(JpegImagePlugin.JpegImageFile, "draft",
                        lambda self, mode, box: asked.append((mode, box)) or original(self, mode, box))
    fmt, mode_made, made, image = pixels(lib.thumbnail_bytes(str(path), edge))
    # the codec decodes what it can itself; a CMYK photo is drafted by Pillow
    assert asked[:1] == ([(None, (2 * edge, 2 * edge))] if mode == "CMYK" else [])
    _, _, expected, reference = pixels(full_decode_thumbnail(lib, monkeypatch, path, edge))
    # upright and within the box; a side may differ by one pixel from the full decode
    assert (fmt, mode_made) == ("JPEG", "RGB") and max(made) <= edge
    assert all(abs(a - b) <= 1 for a, b in zip(made, expected))
    assert (made[0] > made[1]) == (expected[0] > expected[1])
    reference = reference.resize(made)
    difference = sum(abs(a - b) for a, b in zip(image.tobytes(), reference.tobytes())) / len(image.tobytes())
    assert difference < 4


def test_multi_picture_files_and_other_formats_are_not_drafted(lib, home, tmp_path, monkeypatch):
    mpo = tmp_path / "stereo.jpg"
    Image.new("RGB", (900, 600), "red").save(mpo, format="MPO", save_all=True,
                                             append_images=[Image.new("RGB", (900, 600), "blue")])
    asked = []
    monkeypatch.setattr(JpegImagePlugin.JpegImageFile, "draft", lambda self, *a: asked.append(a))
    assert pixels(lib.thumbnail_bytes(str(mpo)))[2] == (256, 171)
    assert pixels(lib.thumbnail_bytes(str(write_image(tmp_path / "p.png", (900, 600)))))[2] == (256, 171)
    assert asked == []


def test_a_replaced_opener_makes_the_miss(lib, home, tmp_path, monkeypatch):
    path = write_image(tmp_path / "p.jpg", (800, 600), orientation=6)
    seen = []
    opener = lib.open_oriented

    def replacement(target):
        seen.append(target)
        return opener(target)

    monkeypatch.setattr(lib, "open_oriented", replacement)
    assert pixels(lib.thumbnail_bytes(str(path)))[2] == (192, 256)
    info = lib.file_info(str(path))
    assert [type(t) for t in seen] == [PosixPath, PosixPath] and seen[0] == path
    assert (info["width"], info["height"]) == (600, 800)


# ---- file information from the header ----

def full_decode_info(lib, monkeypatch, path):
    with monkeypatch.context() as patch:
        opener = lib.open_oriented
        patch.setattr(lib, "open_oriented", lambda target: opener(target))
        return outcome(lib.file_info, str(path))


@pytest.mark.parametrize("name, orientation, fmt", [
    *[("p.jpg", o, None) for o in (None, 1, 2, 3, 4, 5, 6, 7, 8)],
    ("p.png", None, None), ("p.gif", None, None), ("p.bmp", None, None), ("p.webp", None, None),
    ("p.ppm", None, None), ("p.ico", None, None), ("mislabelled.png", None, "JPEG"),
])
def test_file_info_from_the_header_agrees(lib, tmp_path, monkeypatch, name, orientation, fmt):
    path = tmp_path / name
    write_image(path, (64, 48), orientation, fmt)
    header = outcome(lib.file_info, str(path))
    assert header[0] == "returned" and header == full_decode_info(lib, monkeypatch, path)


def test_png_exif_still_read(lib, tmp_path, monkeypatch):
    exif = Image.Exif()
    exif[271], exif[274] = "Maker", 6
    path = tmp_path / "p.png"
    Image.new("RGB", (64, 48)).save(path, exif=exif.tobytes())
    info = lib.file_info(str(path))
    assert (info["width"], info["height"], info["exif"]) == (48, 64, {"make": "Maker"})
    assert outcome(lib.file_info, str(path)) == full_decode_info(lib, monkeypatch, path)


def test_tiff_tags_are_now_reported(lib, tmp_path, monkeypatch):
    path = tmp_path / "scan.tif"
    tags = {271: "Scanner Co", 272: "Flatbed", 306: "2024:01:02 03:04:05"}
    Image.new("RGB", (64, 48)).save(path, tiffinfo=tags)
    info = lib.file_info(str(path))
    assert info["exif"] == {"make": "Scanner Co", "model": "Flatbed", "datetime": "2024:01:02 03:04:05"}
    assert full_decode_info(lib, monkeypatch, path)[1]["exif"] == {}  # the upright copy lost them


@pytest.mark.parametrize("name, fmt", [("cut.jpg", "JPEG"), ("cut.tif", "TIFF"), ("cut.gif", "GIF"),
                                       ("cut.bmp", "BMP")])
def test_damaged_pixel_data_still_gets_its_record(lib, tmp_path, monkeypatch, name, fmt):
    path = tmp_path / name
    image = Image.linear_gradient("L").resize((400, 300)).convert("RGB" if fmt != "GIF" else "P")
    image.save(path, format=fmt)
    data = path.read_bytes()
    path.write_bytes(data[: len(data) * 2 // 3])
    info = lib.file_info(str(path))
    assert (info["width"], info["height"], info["format"]) == (400, 300, fmt)
    assert full_decode_info(lib, monkeypatch, path)[0] == "raised"


def test_unidentified_file_still_raises_the_imaging_error(lib, tmp_path, monkeypatch):
    path = tmp_path / "text.jpg"
    path.write_text("not an image")
    header = outcome(lib.file_info, str(path))
    assert header[1].__name__ == "UnidentifiedImageError" and header == full_decode_info(lib, monkeypatch, path)


# ---- threads, references, descriptors ----

def test_calls_from_worker_threads(lib, tree, home):
    folder = str(tree / "album")
    photo = str(tree / "album" / "a.JPG")
    expected = (lib.list_dir(folder), lib.thumbnail_bytes(photo), lib.file_info(photo))
    results, failures = [], []

    def work():
        try:
            for _ in range(20):
                results.append((lib.list_dir(folder), lib.thumbnail_bytes(photo), lib.file_info(photo)))
        except Exception as error:  # reported below, on the main thread
            failures.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == [] and results == [expected] * 80


def test_no_leaked_references_or_descriptors(lib, tree, home):
    folder, photo = str(tree / "album"), str(tree / "album" / "a.JPG")
    missing, edge = str(tree / "album" / "none.jpg"), 10**30
    lib.thumbnail_bytes(photo, edge)
    fds = len(os.listdir("/proc/self/fd"))

    def work():
        lib.list_dir(folder, True)
        lib.thumbnail_bytes(photo, edge)
        lib.file_info(photo)
        for call in (lib.list_dir, lib.thumbnail_bytes, lib.file_info):
            with pytest.raises(FileNotFoundError):
                call(missing)

    assert_keeps_references((folder, photo, missing, edge), work, 200)
    assert len(os.listdir("/proc/self/fd")) == fds


def permission_mismatches(lib, base):
    """Calls that meet permission refusals, on both routes; the ones whose outcomes differ."""
    base = pathlib.Path(base)
    locked, blind, home, shut = base / "locked", base / "blind", base / "home", base / "shut"
    for folder in (locked, blind / "sub", shut):
        folder.mkdir(parents=True)
    for photo in (locked / "in.jpg", blind / "a.jpg", base / "p.jpg"):
        write_image(photo)
    os.environ["HOME"] = str(home)
    lib.thumbnail_bytes(str(base / "p.jpg"))
    entry = next((home / ".quorvane" / "image_viewer" / "thumbs").iterdir())
    calls = [(lib.list_dir, locked, home), (lib.list_dir, blind, home), (lib.list_dir, blind / "sub", home),
             (lib.list_dir, base, home), (lib.thumbnail_bytes, locked / "in.jpg", home),
             (lib.thumbnail_bytes, blind / "a.jpg", home),
             (lib.thumbnail_bytes, base / "p.jpg", home),  # its entry cannot be read
             (lib.thumbnail_bytes, base / "p.jpg", shut)]  # no cache folder can be made
    # a folder shut to all, one whose names can be read but nothing inside reached
    modes = [(locked, 0o000), (blind, 0o600), (entry, 0o000), (shut, 0o500)]
    for path, mode in modes:
        path.chmod(mode)
    mismatches = []
    try:
        for call, path, home_folder in calls:
            os.environ["HOME"] = str(home_folder)
            fast = outcome(call, str(path))
            lib.Path = PathlibOnly
            try:
                slow = outcome(call, str(path))
            finally:
                lib.Path = PosixPath.__mro__[1]
            if fast != slow or fast[0] == "returned" and call is lib.thumbnail_bytes:
                mismatches.append((call.__name__, str(path), fast, slow))
    finally:
        for path, _ in modes:
            path.chmod(0o755)
    return mismatches


def test_permission_refusals_agree(lib, tmp_path, home):
    if not AS_ROOT:
        assert permission_mismatches(lib, tmp_path) == []  # HOME goes back with the home fixture
        return
    # permissions do not bind root: the comparison runs as an unprivileged user, who takes
    # over once everything is imported (the interpreter may sit where only root can read)
    script = ("import os, tempfile, test_fast_routes as t, quorvane_image_viewer.library as lib; t.Image.init(); "
              "os.setgroups([]); os.setgid(65534); os.setuid(65534); "
              "print(repr(t.permission_mismatches(lib, tempfile.mkdtemp())))")
    tests = pathlib.Path(__file__).resolve().parent
    env = dict(os.environ, PYTHONPATH=f"{tests.parent}:{tests}", TMPDIR="/tmp")
    run = subprocess.run([sys.executable, "-c", script], env=env, cwd="/", capture_output=True, text=True)
    assert run.returncode == 0 and run.stdout.strip() == "[]", run.stdout + run.stderr


class Bypassed(Exception):
    pass


def test_the_fast_routes_bypass_pathlib(lib, tree, home, monkeypatch):
    folder, photo = str(tree / "album"), str(tree / "album" / "b.png")
    lib.thumbnail_bytes(photo)
    expected = lib.list_dir(folder), lib.thumbnail_bytes(photo)

    def bypassed(*args, **kwargs):
        raise Bypassed

    for method in ("iterdir", "stat", "resolve", "is_file", "is_dir", "read_bytes", "mkdir"):
        monkeypatch.setattr(pathlib.Path, method, bypassed)
    assert (lib.list_dir(folder), lib.thumbnail_bytes(photo)) == expected
    # and the replaced global, as the comparisons above use it, does take the pathlib steps
    monkeypatch.setattr(lib, "Path", PathlibOnly)
    for call, arg in ((lib.list_dir, folder), (lib.thumbnail_bytes, photo)):
        with pytest.raises(Bypassed):
            call(arg)
