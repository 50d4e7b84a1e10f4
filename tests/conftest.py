import functools
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

SUFFIXES = {".avif", ".bmp", ".gif", ".heic", ".heif", ".ico", ".jfif", ".jpe", ".jpeg", ".jpg",
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


# ---- HEIF and AVIF files, made with libheif's own encoders ----

@functools.cache
def _libheif():
    import ctypes

    class Error(ctypes.Structure):
        _fields_ = [("code", ctypes.c_int), ("subcode", ctypes.c_int), ("message", ctypes.c_char_p)]

    class EncodingOptions(ctypes.Structure):
        # The head of libheif's options up to the orientation (version 5).
        _fields_ = [("version", ctypes.c_uint8), ("save_alpha_channel", ctypes.c_uint8),
                    ("macOS_compatibility_workaround", ctypes.c_uint8),
                    ("save_two_colr_boxes", ctypes.c_uint8), ("output_nclx_profile", ctypes.c_void_p),
                    ("macOS_compatibility_workaround_no_nclx_profile", ctypes.c_uint8),
                    ("image_orientation", ctypes.c_int)]

    heif = ctypes.CDLL("libheif.so.1")
    p = ctypes.c_void_p
    for name, args in [("heif_image_create", [ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                              ctypes.POINTER(p)]),
                       ("heif_image_add_plane", [p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int]),
                       ("heif_image_set_raw_color_profile", [p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]),
                       ("heif_context_get_encoder_for_format", [p, ctypes.c_int, ctypes.POINTER(p)]),
                       ("heif_encoder_set_lossy_quality", [p, ctypes.c_int]),
                       ("heif_encoder_set_parameter_string", [p, ctypes.c_char_p, ctypes.c_char_p]),
                       ("heif_context_encode_image", [p, p, p, p, ctypes.POINTER(p)]),
                       ("heif_context_encode_thumbnail", [p, p, p, p, p, ctypes.c_int, ctypes.POINTER(p)]),
                       ("heif_context_add_exif_metadata", [p, p, ctypes.c_char_p, ctypes.c_int]),
                       ("heif_context_write_to_file", [p, ctypes.c_char_p])]:
        getattr(heif, name).argtypes = args
        getattr(heif, name).restype = Error
    heif.heif_image_get_plane.restype = ctypes.POINTER(ctypes.c_uint8)
    heif.heif_image_get_plane.argtypes = [p, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
    heif.heif_context_alloc.restype = p
    heif.heif_encoding_options_alloc.restype = ctypes.POINTER(EncodingOptions)
    heif.heif_image_set_premultiplied_alpha.argtypes = [p, ctypes.c_int]
    for name in ("heif_context_free", "heif_image_release", "heif_encoder_release", "heif_image_handle_release",
                 "heif_encoding_options_free"):
        getattr(heif, name).argtypes = [p]
    return ctypes, heif


def write_heif(path, image, avif=False, bits=8, exif=None, icc=None, orientation=1, thumbnail=None, quality=90,
               thumbnail_from=None, premultiplied=False):
    """Encode a Pillow RGB/RGBA image as HEIC (or AVIF): `bits` 8 or 10, EXIF bytes, an ICC
    profile, a container turn (`orientation` as EXIF numbers it: irot/imir) and a thumbnail
    item of that long edge, scaled from `thumbnail_from` (another picture) when given."""
    ctypes, heif = _libheif()

    def check(error):
        assert error.code == 0, error.message

    def heif_picture(image):
        width, height = image.size
        chroma = {(8, False): 10, (8, True): 11, (10, False): 14, (10, True): 15}[bits, image.mode == "RGBA"]
        data = image.tobytes()
        if bits == 10:  # 16-bit little-endian samples holding 10-bit values
            import array
            data = array.array("H", (v * 1023 // 255 for v in data)).tobytes()
        made = ctypes.c_void_p()
        check(heif.heif_image_create(width, height, 1, chroma, ctypes.byref(made)))
        pictures.append(made)
        check(heif.heif_image_add_plane(made, 10, width, height, bits))
        stride = ctypes.c_int()
        plane = heif.heif_image_get_plane(made, 10, ctypes.byref(stride))
        row = len(data) // height
        for y in range(height):
            ctypes.memmove(ctypes.addressof(plane.contents) + y * stride.value, data[y * row:(y + 1) * row], row)
        return made

    pictures, context, encoder = [], heif.heif_context_alloc(), ctypes.c_void_p()
    options = heif.heif_encoding_options_alloc()
    try:
        picture = heif_picture(image)
        if premultiplied:  # the colours as given are already multiplied by their alpha
            heif.heif_image_set_premultiplied_alpha(picture, 1)
        if icc is not None:
            check(heif.heif_image_set_raw_color_profile(picture, b"prof", icc, len(icc)))
        check(heif.heif_context_get_encoder_for_format(context, 4 if avif else 1, ctypes.byref(encoder)))
        check(heif.heif_encoder_set_lossy_quality(encoder, quality))
        if avif and bits == 10:  # Debian's AV1 encoder asserts on 10-bit 4:2:0 (and has no 10-bit alpha)
            check(heif.heif_encoder_set_parameter_string(encoder, b"chroma", b"422"))
        options.contents.image_orientation = orientation
        primary = ctypes.c_void_p()
        check(heif.heif_context_encode_image(context, picture, encoder, options, ctypes.byref(primary)))
        if thumbnail:
            small = ctypes.c_void_p()
            source = heif_picture(thumbnail_from) if thumbnail_from else picture
            check(heif.heif_context_encode_thumbnail(context, source, primary, encoder, options, thumbnail,
                                                     ctypes.byref(small)))
            heif.heif_image_handle_release(small)
        if exif is not None:
            check(heif.heif_context_add_exif_metadata(context, primary, exif, len(exif)))
        heif.heif_image_handle_release(primary)
        check(heif.heif_context_write_to_file(context, os.fsencode(path)))
    finally:
        heif.heif_encoding_options_free(options)
        if encoder:
            heif.heif_encoder_release(encoder)
        for made in pictures:
            heif.heif_image_release(made)
        heif.heif_context_free(context)
    return Path(path)


@pytest.fixture
def make_heif():
    return write_heif


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
