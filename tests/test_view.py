"""Viewing: upright opening, display source, thumbnail cache, file information."""

import hashlib
import io
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from PIL import Image, TiffImagePlugin

from conftest import ROOT, BadPath, assert_keeps_references


@pytest.fixture
def cache(home):
    return home / ".quorvane" / "image_viewer" / "thumbs"


def make_image(path, size=(800, 600), mode="RGB", orientation=None, exif=None):
    image = Image.new(mode, size, 7 if mode in ("P", "L", "1") else None)
    data = exif if exif is not None else Image.Exif()
    if orientation is not None:
        data[274] = orientation
    kwargs = {"exif": data.tobytes()} if len(data) else {}
    image.save(path, **kwargs)
    return path


def decoded(data):
    with Image.open(io.BytesIO(data)) as image:
        return image.format, image.mode, image.size


def open_fds():
    return len(os.listdir("/proc/self/fd"))


# ---- display source ----

@pytest.mark.parametrize("name, mode, orientation, media, size", [
    ("a.jpg", "RGB", None, "image/jpeg", None),
    ("a.jpeg", "RGB", 1, "image/jpeg", None),
    ("a.jpg", "RGB", 0, "image/jpeg", None),
    ("Photo.JPG", "RGB", None, "image/jpeg", None),
    ("a.png", "RGBA", None, "image/png", None),
    ("a.gif", "P", None, "image/gif", None),
    ("a.bmp", "RGB", None, "image/bmp", None),
    ("a.webp", "RGB", 1, "image/webp", None),
    ("a.jpg", "RGB", 6, None, (60, 80)),
    ("a.jpg", "RGB", 8, None, (60, 80)),
    ("a.png", "RGBA", 6, None, (60, 80)),
    ("a.tif", "RGBA", None, None, (80, 60)),
    ("a.ppm", "RGB", None, None, (80, 60)),
])
def test_display_source_decision(lib, tmp_path, name, mode, orientation, media, size):
    path = make_image(tmp_path / name, (80, 60), mode, orientation)
    source, kind = lib.display_source(str(path))
    if media:
        assert type(source) is type(path) and source == path.resolve() and kind == media
    else:
        assert kind == "image/jpeg" and decoded(source) == ("JPEG", "RGB", size)


def test_display_source_expands_and_resolves(lib, home):
    target = make_image(home / "real.jpg", (8, 8))
    (home / "link.jpg").symlink_to(target)
    assert lib.display_source("~/link.jpg") == (target, "image/jpeg")


@pytest.mark.parametrize("orientation, size", [(None, (40, 30)), (1, (40, 30)), (6, (30, 40)), (8, (30, 40))])
def test_open_oriented_and_file_info_are_upright(lib, tmp_path, orientation, size):
    path = make_image(tmp_path / "p.jpg", (40, 30), orientation=orientation)
    with lib.open_oriented(path) as image:
        assert (image.size, image.mode, image.format) == (size, "RGB", "JPEG")
    info = lib.file_info(str(path))
    assert (info["width"], info["height"], info["format"]) == (*size, "JPEG")


# ---- thumbnails ----

@pytest.mark.parametrize("size, orientation, edge, expected", [
    ((800, 600), None, 256, (256, 192)),
    ((800, 600), None, 100, (100, 75)),
    ((100, 80), None, 256, (100, 80)),
    ((800, 600), 6, 256, (192, 256)),
    ((800, 600), None, 10, (32, 24)),
    ((800, 600), None, True, (32, 24)),
    ((800, 600), None, 300.7, (300, 225)),
    ((800, 600), None, "512", (512, 384)),
    ((2000, 1000), None, 5000, (1024, 512)),
])
def test_thumbnail_sizes(lib, cache, tmp_path, size, orientation, edge, expected):
    path = make_image(tmp_path / "p.jpg", size, orientation=orientation)
    assert decoded(lib.thumbnail_bytes(str(path), edge)) == ("JPEG", "RGB", expected)


@pytest.mark.parametrize("name, mode", [("p.gif", "P"), ("g.png", "L"), ("ga.png", "LA"), ("a.png", "RGBA"),
                                        ("b.png", "1"), ("c.tif", "CMYK"), ("i.png", "I")])
def test_thumbnail_modes_give_rgb(lib, cache, tmp_path, name, mode):
    path = make_image(tmp_path / name, (300, 200), mode)
    assert decoded(lib.thumbnail_bytes(path)) == ("JPEG", "RGB", (256, 171))


def entries(cache):
    return sorted(p.name for p in cache.iterdir())


def test_thumbnail_cache_key_hits_and_new_entries(lib, cache, tmp_path, monkeypatch):
    path = make_image(tmp_path / "p.jpg")
    first = lib.thumbnail_bytes(str(path))
    st = path.stat()
    key = hashlib.sha1(f"{path}:{st.st_mtime_ns}:{st.st_size}:256".encode()).hexdigest()
    assert entries(cache) == [key + ".jpg"] and (cache / (key + ".jpg")).read_bytes() == first
    # a hit reads the entry as stored and never opens the image
    opener = lib.open_oriented
    monkeypatch.setattr(lib, "open_oriented", None)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "link.jpg").symlink_to(path)
    for same in ("p.jpg", path, "link.jpg"):
        assert lib.thumbnail_bytes(same, 256.9) == first
    monkeypatch.setattr(lib, "open_oriented", opener)
    for edge in (10, 32, True, 1024, 5000):
        lib.thumbnail_bytes(path, edge)
    assert len(entries(cache)) == 3
    lib.thumbnail_bytes(path, 257)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1))
    lib.thumbnail_bytes(path)
    assert len(entries(cache)) == 5
    # a removed cache folder is made again on the next request
    for entry in cache.iterdir():
        entry.unlink()
    cache.rmdir()
    assert lib.thumbnail_bytes(path) == first
    assert len(entries(cache)) == 1


def test_thumb_cache_dir(lib, cache):
    assert lib.thumb_cache_dir() == cache == lib.thumb_cache_dir() and cache.is_dir()
    with pytest.raises(TypeError, match="takes no arguments"):
        lib.thumb_cache_dir(1)


def test_failed_entry_write_leaves_nothing(lib, cache, tmp_path):
    # the file-size limit cuts the entry's write off part-way, as a full disk would
    path = make_image(tmp_path / "p.jpg")
    script = textwrap.dedent(f"""
        import resource, signal, errno
        import quorvane_image_viewer.library as lib
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (500, resource.RLIM_INFINITY))
        try:
            lib.thumbnail_bytes({str(path)!r})
        except OSError as error:
            assert error.errno == errno.EFBIG, error
        else:
            raise SystemExit("write did not fail")
    """)
    subprocess.run([sys.executable, "-c", script], cwd=ROOT, check=True, env=os.environ)
    assert entries(cache) == []
    data = lib.thumbnail_bytes(path)
    assert decoded(data)[2] == (256, 192)
    assert [(p.suffix, p.read_bytes()) for p in cache.iterdir()] == [(".jpg", data)]


def test_undecodable_name(lib, cache, tmp_path):
    path = Path(os.fsdecode(bytes(tmp_path) + b"/\xffold\xe9.jpg"))
    make_image(path, (40, 30))
    data = lib.thumbnail_bytes(path)
    st = path.stat()
    key = hashlib.sha1(f"{path}:{st.st_mtime_ns}:{st.st_size}:256".encode("utf-8", "surrogateescape")).hexdigest()
    assert (cache / (key + ".jpg")).read_bytes() == data
    assert lib.file_info(path)["name"] == path.name and lib.display_source(path)[0] == path


@pytest.mark.parametrize("blocker", [".quorvane", ".quorvane/image_viewer/thumbs"])
def test_file_where_cache_folder_should_be(lib, home, tmp_path, monkeypatch, blocker):
    path = make_image(tmp_path / "p.jpg")
    (home / blocker).parent.mkdir(parents=True, exist_ok=True)
    (home / blocker).write_text("not a folder")
    monkeypatch.setattr(lib, "open_oriented", None)  # fails before any decoding
    with pytest.raises((FileExistsError, NotADirectoryError)):
        lib.thumbnail_bytes(path)


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind root")
def test_unwritable_cache_folder(lib, cache, tmp_path):
    path = make_image(tmp_path / "p.jpg")
    cache.mkdir(parents=True)
    cache.chmod(0o500)
    try:
        with pytest.raises(PermissionError):
            lib.thumbnail_bytes(path)
        assert entries(cache) == []
    finally:
        cache.chmod(0o700)


# ---- file information ----

def test_file_info_record(lib, tmp_path):
    exif = Image.Exif()
    exif[271], exif[272], exif[306] = "Maker", "Model 1", "2023:01:02 03:04:05"
    path = make_image(tmp_path / "p.jpg", (40, 30), exif=exif)
    info = lib.file_info(str(path))
    st = path.stat()
    assert list(info.items()) == [("path", str(path)), ("name", "p.jpg"), ("size", st.st_size),
                                  ("mtime", int(st.st_mtime)), ("width", 40), ("height", 30), ("format", "JPEG"),
                                  ("exif", {"make": "Maker", "model": "Model 1", "datetime": "2023:01:02 03:04:05"})]
    assert list(info["exif"]) == ["make", "model", "datetime"]
    png = make_image(tmp_path / "q.png", (5, 6))
    assert lib.file_info(png)["exif"] == {} and lib.file_info(png)["format"] == "PNG"
    (tmp_path / "link.jpg").symlink_to(path)
    assert lib.file_info(tmp_path / "link.jpg")["name"] == "p.jpg"


def test_file_info_camera_fields_in_exif_sub_ifd(lib, tmp_path):
    exif = Image.Exif()
    exif[271] = "Maker"
    exif[0x8769] = {33434: TiffImagePlugin.IFDRational(1, 250), 34855: 200,
                    37386: TiffImagePlugin.IFDRational(50, 1)}
    path = make_image(tmp_path / "cam.jpg", (40, 30), exif=exif)
    with Image.open(path) as stored:
        top, sub = stored.getexif(), stored.getexif().get_ifd(0x8769)
        assert all(top.get(tag) is None for tag in (33434, 34855, 37386))
        assert {33434, 34855, 37386} <= set(sub)
    assert lib.file_info(path)["exif"] == {"make": "Maker", "exposure": str(sub[33434]),
                                          "iso": "200", "focal": str(sub[37386])}


# ---- bad input and faults ----

def broken_files(folder):
    good = make_image(folder / "good.jpg", (40, 30)).read_bytes()
    (folder / "text.jpg").write_text("not an image")
    (folder / "cut.jpg").write_bytes(good[: len(good) // 2])
    blob = b"Exif\x00\x00\x00\x00\x00"
    (folder / "badexif.jpg").write_bytes(good[:2] + b"\xff\xe1" + (len(blob) + 2).to_bytes(2, "big") + blob + good[2:])
    (folder / "album.jpg").mkdir()
    (folder / "notes.txt").write_text("x")
    (folder / "dangling.jpg").symlink_to(folder / "gone.jpg")
    return ["text.jpg", "cut.jpg", "album.jpg", "notes.txt", "dangling.jpg", "missing.png"]


FUNCTIONS = ["display_source", "thumbnail_bytes", "file_info"]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_failures_close_files_and_leave_no_entry(lib, cache, tmp_path, monkeypatch, name):
    function = getattr(lib, name)
    monkeypatch.chdir(tmp_path)
    before = open_fds()
    for file_name in broken_files(tmp_path):
        expected = (FileNotFoundError if file_name in ("album.jpg", "notes.txt", "dangling.jpg", "missing.png")
                    else Exception)
        with pytest.raises(expected) as caught:
            function(file_name)
        if expected is FileNotFoundError:
            assert caught.value.args == (str((tmp_path / file_name).resolve()),)
        else:
            assert not isinstance(caught.value, FileNotFoundError)
    # an unreadable EXIF block breaks none of them: file information reads the header as opened
    function("badexif.jpg")
    for _ in range(3):
        function("good.jpg")
    assert open_fds() == before
    assert [e for e in (entries(cache) if cache.exists() else []) if not e.endswith(".jpg")] == []
    assert len(entries(cache) if cache.exists() else []) == (2 if function is lib.thumbnail_bytes else 0)


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("value, error", [(None, TypeError), (3, TypeError), (b"p.jpg", TypeError),
                                          ("p\x00.jpg", ValueError), (BadPath(), RuntimeError),
                                          ("n" * 5000 + ".jpg", OSError)])
def test_bad_input(lib, cache, name, value, error):
    with pytest.raises(error):
        getattr(lib, name)(value)


def test_thumbnail_long_edge_errors_come_after_the_file_checks(lib, cache, tmp_path):
    with pytest.raises(FileNotFoundError):
        lib.thumbnail_bytes(tmp_path / "missing.jpg", None)
    path = make_image(tmp_path / "p.jpg")
    for edge, error in [(None, TypeError), ("big", ValueError), (float("nan"), ValueError)]:
        with pytest.raises(error):
            lib.thumbnail_bytes(path, edge)


@pytest.mark.parametrize("route", ["system calls", "pathlib"])
def test_cache_entry_larger_than_memory_raises_memory_error(run_python, tmp_path, route):
    script = textwrap.dedent(f"""
        import os, pathlib, resource
        os.environ["HOME"] = {str(tmp_path)!r}
        from PIL import Image
        import quorvane_image_viewer.library as lib
        photo = {str(tmp_path / "p.jpg")!r}
        Image.new("RGB", (8, 8)).save(photo)
        lib.thumbnail_bytes(photo)
        entry, = lib.thumb_cache_dir().iterdir()
        os.truncate(entry, 1 << 40)  # sparse: a terabyte that takes no room
        if {route == "pathlib"}:
            lib.Path = type("PathlibOnly", (type(pathlib.Path()),), {{}})
        resource.setrlimit(resource.RLIMIT_AS, (1 << 32, 1 << 32))
        try:
            lib.thumbnail_bytes(photo)
        except MemoryError:
            print("MemoryError")
    """)
    run = run_python(script)
    assert (run.returncode, run.stdout) == (0, "MemoryError\n"), run.stderr


def test_no_leaked_references(lib, cache, tmp_path):
    path = str(make_image(tmp_path / "p.jpg", (40, 30)))
    missing, edge = str(tmp_path / "none.jpg"), 10**30

    def work():
        lib.thumbnail_bytes(path, edge)
        lib.display_source(path)
        lib.file_info(path)
        for name in FUNCTIONS:
            with pytest.raises(FileNotFoundError):
                getattr(lib, name)(missing)

    assert_keeps_references((path, missing, edge), work, 300)
