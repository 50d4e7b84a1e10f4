import gc
import importlib
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
