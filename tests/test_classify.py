from pathlib import Path
from types import SimpleNamespace

import pytest

from conftest import SUFFIXES


@pytest.mark.parametrize("name, expected", [
    ("PHOTO.JPG", True),
    ("scan.TiFf", True),
    ("notes.txt", False),
    ("README", False),
    ("archive.png.gz", False),
    (".png", False),  # a leading dot alone is no suffix
    (".cover.jpg", True),
    ("photo.jpg.", False),
    ("photo.jpeg.bak", False),
    ("png", False),
    ("dir.jpg/notes", False),
    *[(f"x{s}", True) for s in sorted(SUFFIXES)],
    *[(f"x{s.upper()}", True) for s in sorted(SUFFIXES)],
    ("x.svg", False),
    ("x.jxl", False),
])
def test_is_image(lib, name, expected):
    assert lib.is_image(Path(name)) is expected


def test_is_image_looks_at_the_name_only(lib, tmp_path):
    folder = tmp_path / "holiday.jpeg"
    folder.mkdir()
    assert lib.is_image(folder) is True
    assert lib.is_image(tmp_path / "missing.png") is True


@pytest.mark.parametrize("suffix, expected", [
    (".PNG", True), (".webp", True), (".txt", False), ("", False),
    (b".jpg", False),  # bytes lower-case fine but are never members
])
def test_is_image_takes_any_object_with_a_suffix(lib, suffix, expected):
    assert lib.is_image(SimpleNamespace(suffix=suffix)) is expected


@pytest.mark.parametrize("value", ["photo.jpg", 42, None, SimpleNamespace(suffix=5)])
def test_is_image_without_a_text_suffix(lib, value):
    with pytest.raises(AttributeError):
        lib.is_image(value)


JPEG = "image/jpeg"
OCTET = "application/octet-stream"


@pytest.mark.parametrize("suffix, expected", [
    (".jpg", JPEG), (".jpeg", JPEG), (".jpe", JPEG), (".jfif", JPEG),
    (".png", "image/png"), (".webp", "image/webp"), (".gif", "image/gif"),
    (".bmp", "image/bmp"),
    *[(s, OCTET) for s in (".avif", ".ico", ".pbm", ".pgm", ".ppm", ".tif", ".tiff")],
    (".JPG", OCTET),  # no case folding
    ("jpg", OCTET),  # no dot handling
    ("..jpg", OCTET),
    ("", OCTET),
    (".txt", OCTET),
    (None, OCTET),
    (42, OCTET),
    (b".jpg", OCTET),
    (type("S", (str,), {})(".png"), "image/png"),
])
def test_media_type(lib, suffix, expected):
    result = lib._media_type(suffix)
    assert result == expected and type(result) is str


def test_media_type_unhashable(lib):
    with pytest.raises(TypeError):
        lib._media_type([".jpg"])


@pytest.mark.parametrize("suffix, expected", [
    (".JPEG", "jpg"), ("jfif", "jpg"), (".jpe", "jpg"), ("jpeg", "jpg"), (".jpg", "jpg"),
    (".TIFF", "tif"), ("..tif", "tif"), (".tif", "tif"),
    (".PNG", "png"), ("webp", "webp"), (".bmp", "bmp"), ("GIF", "gif"),
    (".avif", "jpg"), (".ico", "jpg"), (".ppm", "jpg"), ("", "jpg"), (".", "jpg"),
    ("tif.", "jpg"),  # only leading dots go
    (" .png", "jpg"),
    (".p.ng", "jpg"),
    (type("S", (str,), {})(".Webp"), "webp"),
])
def test_fmt_key(lib, suffix, expected):
    result = lib._fmt_key(suffix)
    assert result == expected and type(result) is str


class Suffix:
    """Stands in for a suffix whose lower() yields an object of our choosing."""

    def __init__(self, stripped):
        self.stripped = stripped
        self.calls = []

    def lower(self):
        self.calls.append("lower")
        return self

    def lstrip(self, chars):
        self.calls.append(("lstrip", chars))
        return self.stripped


@pytest.mark.parametrize("stripped, type_name", [
    (5, "int"), (b"png", "bytes"), (type("Text", (str,), {})("png"), "Text"),
])
def test_fmt_key_refuses_non_text_key(lib, stripped, type_name):
    suffix = Suffix(stripped)
    with pytest.raises(TypeError) as info:
        lib._fmt_key(suffix)
    assert str(info.value) == f"Expected str, got {type_name}"
    assert suffix.calls == ["lower", ("lstrip", ".")]


def test_fmt_key_accepts_none_key(lib):
    assert lib._fmt_key(Suffix(None)) == "jpg"


@pytest.mark.parametrize("value", [5, None, SimpleNamespace(lower=lambda: 5)])
def test_fmt_key_without_text_methods(lib, value):
    with pytest.raises(AttributeError):
        lib._fmt_key(value)
