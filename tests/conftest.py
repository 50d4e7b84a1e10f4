import gc
import importlib
import io
import os
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
# The in-place build sits in the source tree, so the repo root must win over
# any installed copy.
sys.path.insert(0, str(ROOT))

MODULE = "quorvane_image_viewer.library"

SUFFIXES = {".avif", ".bmp", ".gif", ".ico", ".jfif", ".jpe", ".jpeg", ".jpg",
            ".pbm", ".pgm", ".png", ".ppm", ".tif", ".tiff", ".webp"}

# Every bound function in binding order: (name, [(parameter, annotation)],
# return annotation, defaults).
FUNCTIONS = [
    ("is_image", [("path", "Path")], "bool", None),
    ("open_oriented", [("path", "Path")], "Image.Image", None),
    ("list_dir", [("folder", "str"), ("show_hidden", "bool")], "dict", (False,)),
    ("sort_files", [("files", "list[dict]"), ("key", "str"), ("descending", "bool")],
     "list[dict]", None),
    ("file_info", [("path", "str")], "dict", None),
    ("thumb_cache_dir", [], "Path", None),
    ("thumbnail_bytes", [("path", "str"), ("long_edge", "int")], "bytes", (256,)),
    ("display_source", [("path", "str")], "tuple[Path | bytes, str]", None),
    ("_media_type", [("suffix", "str")], "str", None),
    ("_destination", [("path", "Path"), ("folder", "str | None"),
                      ("suffix", "str | None"), ("on_conflict", "str")], "Path", None),
    ("rotate_files", [("paths", "list[str]"), ("degrees", "int"),
                      ("keep_original", "bool")], "list[str]", None),
    ("_save_image", [("image", "Image.Image"), ("dest", "Path"), ("fmt_key", "str"),
                     ("quality", "int")], "None", None),
    ("resize_files", [("paths", "list[str]"), ("basis", "str"), ("value", "float"),
                      ("width", "int | None"), ("height", "int | None"),
                      ("folder", "str | None"), ("on_conflict", "str")], "list[str]", None),
    ("_fmt_key", [("suffix", "str")], "str", None),
    ("convert_files", [("paths", "list[str]"), ("fmt", "str"), ("quality", "int"),
                       ("folder", "str | None"), ("on_conflict", "str"),
                       ("delete_source", "bool")], "list[str]", None),
    ("rename_file", [("path", "str"), ("new_name", "str")], "str", None),
    ("apply_rename_pattern", [("name", "str"), ("pattern", "str"), ("index", "int"),
                              ("folder", "str"), ("shot", "str | None")], "str", None),
    ("delete_files", [("paths", "list[str]")], "list[str]", None),
    ("make_folder", [("parent", "str"), ("name", "str")], "str", None),
    ("home_folder", [], "str", None),
    # bound after the twenty
    ("preview_bytes", [("path", "str")], "bytes | None", None),
]


class Text(str):
    """A str subclass: where the module wants exactly a str, it must refuse or convert one."""


class BadPath:
    """A path-like object whose path cannot be had."""

    def __fspath__(self):
        raise RuntimeError("no path here")


def assert_keeps_references(watched, work, rounds):
    """After a first work(), `rounds` more leave every object in `watched` with the reference
    count it had: what a first call caches, or earlier tests left to the collector, is no leak."""
    work()
    gc.collect()
    before = [sys.getrefcount(x) for x in watched]
    for _ in range(rounds):
        work()
    assert [sys.getrefcount(x) for x in watched] == before


def snapshot(folder):
    """Every entry under folder: links by their target, files by their bytes."""
    seen = {}
    for path in sorted(Path(folder).rglob("*")):
        if path.is_symlink():
            seen[str(path)] = ("link", os.readlink(path))
        elif path.is_file():
            seen[str(path)] = ("file", path.read_bytes())
        else:
            seen[str(path)] = ("other",)
    return seen


def built_module_path():
    # Builds for several interpreters sit side by side; only this one's counts.
    path = ROOT / "quorvane_image_viewer" / ("library" + sysconfig.get_config_var("EXT_SUFFIX"))
    return str(path) if path.exists() else None


@pytest.fixture(scope="session")
def lib():
    if built_module_path() is None:
        pytest.skip("extension module not built")
    return importlib.import_module(MODULE)


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A private home folder, so tests touching ~ never see the real one."""
    path = tmp_path / "home"
    path.mkdir()
    monkeypatch.setenv("HOME", str(path))
    return path


@pytest.fixture
def make_image():
    """Write a small image; the format follows the suffix unless given."""
    from PIL import Image

    def make(path, size=(8, 6), color=(200, 40, 10), mode="RGB", fmt=None,
             orientation=None):
        path = Path(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        image = Image.new(mode, size, color if mode == "RGB" else 128)
        options = {}
        if orientation is not None:
            exif = Image.Exif()
            exif[0x0112] = orientation
            options["exif"] = exif.tobytes()
        image.save(path, format=fmt, **options)
        return path

    return make


@pytest.fixture
def run_python():
    """Run a snippet in a fresh interpreter with the repo root importable."""
    import subprocess

    def run(code, *flags):
        env = dict(os.environ, PYTHONPATH=str(ROOT))
        return subprocess.run([sys.executable, *flags, "-c", code], env=env,
                              capture_output=True, text=True, cwd=str(ROOT))

    return run


def exif_block(orientation=None, size=None, preview=None, *, big_endian=False, preview_at=None,
               make=None):
    """An EXIF block ("Exif\\0\\0" and a TIFF structure) built entry by entry: Orientation,
    the Exif sub-IFD's pixel dimensions (0xA002, 0xA003) when `size` is given, and an IFD1
    naming `preview` as its JPEG. `preview_at` forces the offset 0x201 holds."""
    import struct

    order = ">" if big_endian else "<"

    def ifd(entries, start, next_offset=0):
        # entries: (tag, type, value) with inline values only
        out = struct.pack(order + "H", len(entries))
        for tag, kind, value in sorted(entries):
            if kind == 3:
                out += struct.pack(order + "HHIHH", tag, kind, 1, value, 0)
            elif kind == 2:
                out += struct.pack(order + "HHI4s", tag, kind, len(value), value.ljust(4, b"\0"))
            else:
                out += struct.pack(order + "HHII", tag, kind, 1, value)
        return out + struct.pack(order + "I", next_offset)

    def size_of(count):
        return 2 + 12 * count + 4

    ifd0_entries = []
    if orientation is not None:
        ifd0_entries.append((0x0112, 3, orientation))
    if make is not None:
        ifd0_entries.append((0x010F, 2, make))
    sub_entries = [(0xA002, 4, size[0]), (0xA003, 4, size[1])] if size else []
    count0 = len(ifd0_entries) + (1 if sub_entries else 0)
    ifd0_at = 8
    sub_at = ifd0_at + size_of(count0)
    ifd1_at = sub_at + (size_of(len(sub_entries)) if sub_entries else 0)
    data_at = ifd1_at + (size_of(3) if preview is not None else 0)
    if sub_entries:
        ifd0_entries.append((0x8769, 4, sub_at))
    head = (b"II*\0" if not big_endian else b"MM\0*") + struct.pack(order + "I", ifd0_at)
    body = ifd(ifd0_entries, ifd0_at, ifd1_at if preview is not None else 0)
    if sub_entries:
        body += ifd(sub_entries, sub_at)
    if preview is not None:
        offset = data_at if preview_at is None else preview_at
        body += ifd([(0x0103, 3, 6), (0x0201, 4, offset), (0x0202, 4, len(preview))], ifd1_at)
        body += preview
    return b"Exif\0\0" + head + body


@pytest.fixture
def make_photo():
    """A camera-like JPEG: a picture with detail, an EXIF block with orientation, pixel
    dimensions and an embedded preview, and optionally an ICC profile."""
    from PIL import Image, ImageDraw

    def make(path, size=(64, 48), orientation=None, *, preview=True, subsampling=2, icc=None,
             mode="RGB", progressive=False, quality=90, exif=None):
        path = Path(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        picture = picture_of(size)
        if mode != "RGB":
            picture = picture.convert(mode)
        small = None
        if preview:
            buf = io.BytesIO()
            shrunk = picture.convert("RGB").copy()
            shrunk.thumbnail((40, 40))
            shrunk.save(buf, format="JPEG", quality=85)
            small = buf.getvalue()
        block = exif if exif is not None else exif_block(orientation, size, small)
        options = {"exif": block, "quality": quality, "progressive": progressive}
        if mode != "CMYK":
            options["subsampling"] = subsampling
        if icc is not None:
            options["icc_profile"] = icc
        picture.save(path, format="JPEG", **options)
        return path

    return make


def picture_of(size):
    """An RGB picture whose every corner and edge differs, so any wrong turn shows."""
    from PIL import Image, ImageDraw, ImageFilter

    width, height = size
    picture = Image.linear_gradient("L").resize(size).convert("RGB")
    draw = ImageDraw.Draw(picture)
    draw.rectangle((0, 0, width // 3, height // 4), fill=(220, 30, 30))
    draw.ellipse((width // 2, height // 2, width - 1, height - 1), fill=(30, 200, 60))
    draw.line((0, height - 1, width - 1, 0), fill=(20, 40, 230), width=3)
    # soft edges, as a lens gives them: hard ones only measure the encoder's ringing
    return picture.filter(ImageFilter.GaussianBlur(max(1, min(size) // 100)))


def mean_difference(a, b):
    """Mean absolute difference per channel of two images of one size, in levels."""
    from PIL import ImageChops, ImageStat

    a, b = a.convert("RGB"), b.convert("RGB")
    assert a.size == b.size
    return max(ImageStat.Stat(ImageChops.difference(a, b)).mean)
