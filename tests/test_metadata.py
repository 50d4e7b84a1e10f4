"""What a photo carries through edits and views: EXIF and colour profile kept, the requested
WebP quality, damaged EXIF in the side panel, transparency laid over white."""

import io
import os
import struct
import warnings
from collections.abc import Mapping
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from PIL import Image, TiffImagePlugin

from conftest import assert_keeps_references


R = TiffImagePlugin.IFDRational
EXIF_IFD, GPS_IFD, INTEROP_IFD = 0x8769, 0x8825, 0xA005
TIFF_LAYOUT = {254, 255, 256, 257, 258, 259, 262, 266, 273, 277, 278, 279, 284, 317, 320, 322, 323, 324, 325,
               338, 339, 347, 513, 514, 530, 532}


def icc(space=b"RGB "):
    """A profile as encoders see it: opaque bytes whose bytes 16-19 name the colour space."""
    head = bytearray(128)
    head[12:24] = b"mntr" + space + b"XYZ "
    return bytes(head) + bytes(range(256)) * 12


def camera_exif(main=()):
    exif = Image.Exif()
    for tag, value in {271: "Maker", 272: "Cam 1", 306: "2023:01:02 03:04:05", 274: 6, 282: R(72, 1), 296: 2,
                       **dict(main)}.items():
        exif[tag] = value
    exif[EXIF_IFD] = {33434: R(1, 250), 34855: 200, 37386: R(50, 1), 36867: "2023:01:02 03:04:05",
                      37510: b"ASCII\0\0\0kept", 0xA002: 80, 0xA003: 60, INTEROP_IFD: {1: "R98", 2: b"0100"}}
    exif[GPS_IFD] = {0: b"\x02\x03\x00\x00", 1: "N", 2: (R(52, 1), R(31, 1), R(1234, 100)), 6: R(345, 10)}
    return exif


def photo(path, fmt="JPEG", mode="RGB", exif=None, profile=None, size=(80, 60)):
    options = {"icc_profile": profile} if profile else {}
    if exif is not None:
        options["exif"] = exif.tobytes()
    Image.linear_gradient("L").resize(size).convert(mode).save(path, fmt, **options)
    return Path(path)


def carried(path):
    """(main IFD, Exif sub-IFD, Interop IFD, GPS IFD, profile, size) as Pillow reads them back."""
    with Image.open(path) as image:
        exif = image.getexif()
        main = {t: v for t, v in exif.items() if t not in (EXIF_IFD, GPS_IFD)}
        sub = dict(exif.get_ifd(EXIF_IFD))
        interop = exif.get_ifd(INTEROP_IFD) if sub.pop(INTEROP_IFD, None) is not None else {}
        return main, sub, interop, exif.get_ifd(GPS_IFD), image.info.get("icc_profile"), image.size


# ---- EXIF and colour profile kept on edits ----

SUFFIXES = {"JPEG": "jpg", "PNG": "png"}

EDITS = {
    "convert": lambda lib, p, fmt: lib.convert_files([str(p)], fmt, 90, str(p.parent / "out"), "rename", False)[0],
    "rotate": lambda lib, p, fmt: lib.rotate_files([str(p)], 90, False)[0],
    "resize": lambda lib, p, fmt: lib.resize_files([str(p)], "percent", 50, None, None, None, "rename")[0],
}


@pytest.mark.parametrize("edit, source_fmt, fmt, size", [
    *[("convert", "JPEG", fmt, (60, 80)) for fmt in ("jpg", "png", "webp", "tif", "gif", "bmp")],
    ("rotate", "JPEG", "jpg", (80, 60)),
    ("resize", "JPEG", "jpg", (30, 40)),
    ("convert", "PNG", "jpg", (60, 80)),  # a PNG's eXIf chunk
    ("rotate", "PNG", "png", (80, 60)),
])
def test_edits_keep_exif_and_profile(lib, tmp_path, edit, source_fmt, fmt, size):
    exif = camera_exif({256: 4000, 257: 3000, 259: 6} if fmt == "tif" else {})
    source = photo(tmp_path / f"a.{SUFFIXES[source_fmt]}", source_fmt, exif=exif, profile=icc())
    main, sub, interop, gps, _, _ = carried(source)
    got_main, got_sub, got_interop, got_gps, got_profile, got_size = carried(EDITS[edit](lib, source, fmt))
    assert got_size == size
    if fmt in ("gif", "bmp"):
        assert (got_main, got_sub, got_gps, got_profile) == ({}, {}, {}, None)
        return
    del main[274]  # the pixels are upright
    if fmt == "tif":  # the TIFF's own layout wins over the source's
        main = {t: v for t, v in main.items() if t not in TIFF_LAYOUT}
        got_main = {t: v for t, v in got_main.items() if t not in TIFF_LAYOUT and t != 34675}
    assert got_main == main and got_interop == interop == {1: "R98", 2: b"0100"} and got_gps == gps
    assert got_sub == {**sub, 0xA002: size[0], 0xA003: size[1]}
    assert got_profile == icc()


def text_pointer_exif(upright=False):
    """Make and an Exif pointer whose entry holds text instead of an offset."""
    exif = camera_exif()
    if upright:
        del exif[274]
    block = bytearray(exif.tobytes())
    count = struct.unpack_from(">H", block, 14)[0]
    for at in range(16, 16 + 12 * count, 12):
        if struct.unpack_from(">H", block, at)[0] == EXIF_IFD:
            struct.pack_into(">HHI4s", block, at, EXIF_IFD, 2, 4, b"abc\0")
    return bytes(block)


def with_exif_block(path, block):
    data = photo(path).read_bytes()
    path.write_bytes(data[:2] + b"\xff\xe1" + (len(block) + 2).to_bytes(2, "big") + block + data[2:])
    return path


@pytest.mark.parametrize("source_mode, profile, fmt, kept", [
    ("RGB", icc(b"CMYK"), "jpg", False),   # never a CMYK profile on RGB pixels
    ("RGB", icc(b"GRAY"), "webp", False),  # WebP stores RGB
    ("L", icc(b"GRAY"), "png", True),
    ("L", icc(b"GRAY"), "jpg", False),     # JPEG output is RGB
    ("L", icc(b"RGB "), "png", False),     # nor an RGB profile on grey pixels
    ("L", icc(b"RGB "), "webp", True),
    ("CMYK", icc(b"CMYK"), "tif", True),
])
def test_profile_only_on_its_own_colour_space(lib, tmp_path, source_mode, profile, fmt, kept):
    source = photo(tmp_path / "a.tif", "TIFF", source_mode, profile=profile)
    out = lib.convert_files([str(source)], fmt, 90, None, "rename", False)[0]
    assert carried(out)[4] == (profile if kept else None)


@pytest.mark.parametrize("case", ["text pointer", "orientation only", "too long", "caller's image"])
def test_exif_an_output_gets(lib, tmp_path, case):
    image = Image.new("RGB", (40, 30), "red")
    exif = image.getexif()
    exif[274] = 6
    if case == "text pointer":
        image = Image.open(with_exif_block(tmp_path / "s.jpg", text_pointer_exif()))
    elif case == "too long":
        exif[270] = "x" * 65_600
    elif case == "caller's image":
        exif[271] = "Maker"
    lib._save_image(image, tmp_path / "x.jpg", "jpg", 90)
    assert carried(tmp_path / "x.jpg")[0] == ({271: "Maker"} if case == "caller's image" else {})
    if case == "caller's image":
        assert image.getexif()[274] == 6


@pytest.mark.parametrize("fmt, kept", [("png", True), ("webp", True), ("tif", True), ("jpg", False)])
def test_exif_beyond_one_jpeg_marker(lib, tmp_path, fmt, kept):
    comment = b"ASCII\0\0\0" + b"c" * 70_000  # a user comment no JPEG marker can hold
    exif = Image.Exif()
    exif[271] = "Maker"
    exif[EXIF_IFD] = {0x9286: comment}
    source = photo(tmp_path / "a.png", "PNG", exif=exif)
    out = lib.convert_files([str(source)], fmt, 90, str(tmp_path / "out"), "rename", False)[0]
    main, sub = carried(out)[:2]
    main = {t: v for t, v in main.items() if t not in TIFF_LAYOUT}  # a TIFF's own layout aside
    assert (main, sub) == (({271: "Maker"}, {0x9286: comment}) if kept else ({}, {}))


# ---- the requested quality reaches WebP ----

GRADIENT = Image.linear_gradient("L").convert("RGB")


def webp(quality, image=GRADIENT):
    buf = io.BytesIO()
    image.save(buf, "WEBP", quality=quality)
    return buf.getvalue()


@pytest.mark.parametrize("quality, written", [(10, 10), (95, 95), (0, 1), (150, 100), (None, TypeError),
                                              ("90", TypeError)])
def test_webp_quality(lib, tmp_path, quality, written):
    if written is TypeError:
        with pytest.raises(TypeError):
            lib._save_image(GRADIENT, tmp_path / "x.webp", "webp", quality)
        assert os.listdir(tmp_path) == []
    else:
        lib._save_image(GRADIENT, tmp_path / "x.webp", "webp", quality)
        assert (tmp_path / "x.webp").read_bytes() == webp(written)


@pytest.mark.parametrize("edit, expected", [
    ("rotate", lambda image: image.rotate(-90, expand=True)),
    ("resize", lambda image: image.resize((128, 128), Image.Resampling.LANCZOS)),
])
def test_rotate_and_resize_give_webp_90(lib, tmp_path, edit, expected):
    source = tmp_path / "a.webp"
    GRADIENT.save(source, "WEBP", lossless=True)
    with Image.open(source) as image:
        want = webp(90, expected(image))
    EDITS[edit](lib, source, "webp")
    assert source.read_bytes() == want


# ---- damaged EXIF never breaks file_info ----

class Upright:
    """An open image whose getexif() is given: what a replaced open_oriented returns."""

    def __init__(self, exif):
        self.size, self.format, self.exif = (4, 3), "JPEG", exif

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def getexif(self):
        return self.exif


class TopLevel(dict):
    """An EXIF mapping with Make at the top and the given sub-IFD, or error, behind get_ifd."""

    def __init__(self, sub):
        super().__init__({271: "Maker"})
        self.sub = sub

    def get_ifd(self, tag):
        if isinstance(self.sub, Exception):
            raise self.sub
        return self.sub


class Panel(Mapping):
    """A mapping that is not a dict."""

    def __init__(self, items):
        self.items_ = items

    def __getitem__(self, key):
        return self.items_[key]

    def __iter__(self):
        return iter(self.items_)

    def __len__(self):
        return len(self.items_)


@pytest.mark.parametrize("sub, fields", [
    (None, {"make": "Maker"}),
    ("text", {"make": "Maker"}),
    ([(34855, 200)], {"make": "Maker"}),
    (KeyError(34665), {"make": "Maker"}),
    (struct.error("unpack requires a buffer of 2 bytes"), {"make": "Maker"}),
    ({34855: 200, 272: "Cam"}, {"make": "Maker", "model": "Cam", "iso": "200"}),
    (Panel({37386: R(50, 1)}), {"make": "Maker", "focal": "50.0"}),
])
def test_camera_fields_with_unreadable_sub_ifd(lib, tmp_path, monkeypatch, sub, fields):
    monkeypatch.setattr(lib, "open_oriented", lambda path: Upright(TopLevel(sub)))
    assert lib.file_info(photo(tmp_path / "a.jpg"))["exif"] == fields


def test_camera_fields_of_real_files(lib, tmp_path):
    assert lib.file_info(with_exif_block(tmp_path / "a.jpg", text_pointer_exif(upright=True)))["exif"] == {
        "make": "Maker", "model": "Cam 1", "datetime": "2023:01:02 03:04:05", "latitude": "52.520094"}
    exif = camera_exif()
    del exif[274]
    assert lib.file_info(photo(tmp_path / "b.png", "PNG", exif=exif))["exif"] == {
        "make": "Maker", "model": "Cam 1", "datetime": "2023:01:02 03:04:05", "exposure": "0.004", "iso": "200",
        "focal": "50.0", "taken": "2023:01:02 03:04:05", "latitude": "52.520094"}


BLOCK = camera_exif().tobytes()
damage = st.one_of(
    st.tuples(st.just("cut"), st.integers(6, len(BLOCK) - 1)),
    st.tuples(st.just("offset"), st.integers(6, len(BLOCK) - 4), st.integers(0, 2**32 - 1)),
    st.tuples(st.just("type"), st.integers(0, 40), st.integers(0, 15), st.integers(0, 2**32 - 1)),
)


def damaged(block, damages):
    block = bytearray(block)
    for kind, at, *values in damages:
        if kind == "cut":
            del block[at:]
        elif kind == "offset":
            block[at:at + 4] = values[0].to_bytes(4, "big")
        elif 16 + 12 * at + 8 <= len(block):  # the type and count of an entry of IFD0 or of what follows it
            struct.pack_into(">HI", block, 16 + 12 * at + 2, *values)
    return bytes(block)


@pytest.mark.filterwarnings("ignore::UserWarning")  # Pillow's word on each damaged block
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(damage, min_size=1, max_size=3))
def test_damaged_exif_gives_a_record_or_pillows_error(lib, tmp_path, damages):
    path = with_exif_block(tmp_path / "d.jpg", damaged(BLOCK, damages))
    try:
        info = lib.file_info(path)
    except Exception as error:  # only Pillow's own error for the image as a whole
        tb = error.__traceback__
        while tb.tb_next:
            tb = tb.tb_next
        assert os.sep + "PIL" + os.sep in tb.tb_frame.f_code.co_filename, repr(error)
    else:
        assert all(isinstance(v, str) for v in info["exif"].values())
    try:
        image = Image.open(path)
    except Exception:
        return  # Pillow refuses the whole file, so file_info raised its error above
    with image:  # whatever the block holds, the edit writes its file
        lib._save_image(image, tmp_path / "out.tif", "tif", 90)
        lib._save_image(image, tmp_path / "out.jpg", "jpg", 90)
    for out in ("out.tif", "out.jpg"):
        assert carried(tmp_path / out)[5] == (80, 60)


def misplaced_interop_exif(with_sub_ifd):
    """An Interop pointer in the main IFD, where cameras never put it: Pillow's TIFF writer rejects it."""
    exif = Image.Exif()
    exif[271] = "Maker"
    if with_sub_ifd:
        exif[EXIF_IFD] = {33434: R(1, 250)}
    exif[INTEROP_IFD] = 26
    return exif


@pytest.mark.parametrize("with_sub_ifd", [False, True])
@pytest.mark.parametrize("edit", ["convert", "save_image"])
def test_exif_the_tiff_writer_rejects_costs_only_the_exif(lib, tmp_path, with_sub_ifd, edit):
    source = photo(tmp_path / "a.jpg", exif=misplaced_interop_exif(with_sub_ifd))
    out = tmp_path / "a.tif"
    with pytest.warns(UserWarning, match=f"{out}: the EXIF block could not be written"):
        if edit == "convert":
            assert lib.convert_files([str(source)], "tif", 90, None, "rename", False) == [str(out)]
        else:
            with Image.open(source) as image:
                lib._save_image(image, out, "tif", 90)
    main, _, _, _, _, size = carried(out)
    assert size == (80, 60) and 271 not in main
    # A writer that takes the block keeps it, without a word.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        lib.convert_files([str(source)], "jpg", 90, None, "rename", False)
    assert carried(source)[0][271] == "Maker"  # written over itself


def test_a_failure_without_exif_too_is_the_first_one(lib, tmp_path):
    calls = []

    class Refusing:
        mode, size, info = "RGB", (4, 4), {}
        getexif = staticmethod(lambda: misplaced_interop_exif(False))
        save = staticmethod(lambda fp, **options: calls.append(sorted(options)) or {}[len(calls)])

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(KeyError) as caught:
            lib._save_image(Refusing(), tmp_path / "out.tif", "tif", 90)
    assert caught.value.args == (1,) and calls == [["exif", "format"], ["format"]] and os.listdir(tmp_path) == []


# ---- transparency laid over white for JPEG ----

def logo(path, mode):
    """A red square on a transparent background whose hidden colour is black."""
    image = Image.new("RGBA", (64, 48), (0, 0, 0, 0))
    image.paste((255, 0, 0, 255), (16, 12, 48, 36))
    if mode in ("P", "PA"):
        palette = image.convert("RGB").convert("P")
        if mode == "P":
            palette.info["transparency"] = palette.getpixel((0, 0))
            image = palette
        else:
            image = Image.merge("PA", (Image.frombytes("L", image.size, palette.tobytes()), image.getchannel("A")))
            image.putpalette(palette.getpalette())
    elif mode != "RGBA":
        image = image.convert(mode)
    image.save(path)
    return path


def corner_and_middle(data):
    with Image.open(io.BytesIO(data) if isinstance(data, bytes) else data) as image:
        rgb = image.convert("RGB")
        return rgb.getpixel((1, 1)), rgb.getpixel((rgb.width // 2, rgb.height // 2))


def near(pixel, want):
    return all(abs(a - b) <= 8 for a, b in zip(pixel, want))


VIEWS = {
    "thumbnail": lambda lib, p: lib.thumbnail_bytes(str(p)),
    "display": lambda lib, p: lib.display_source(str(p.rename(p.with_suffix(".tif"))))[0],  # a name it re-encodes
    "convert": lambda lib, p: Path(lib.convert_files([str(p)], "jpg", 90, None, "rename", False)[0]),
}


@pytest.mark.parametrize("mode", ["RGBA", "LA", "PA", "P"])
@pytest.mark.parametrize("view", VIEWS)
def test_transparency_on_white(lib, tmp_path, home, view, mode):
    suffix = ".tif" if mode == "PA" else ".png"  # PNG cannot store PA
    corner, middle = corner_and_middle(VIEWS[view](lib, logo(tmp_path / f"a{suffix}", mode)))
    red = (255, 0, 0) if mode in ("RGBA", "P", "PA") else (76, 76, 76)  # LA is grey
    assert near(corner, (255, 255, 255)) and near(middle, red)


@pytest.mark.parametrize("fmt, mode", [("png", "RGBA"), ("webp", "RGBA"), ("tif", "RGBA"), ("gif", "P")])
def test_alpha_kept_where_the_format_holds_it(lib, tmp_path, fmt, mode):
    source = logo(tmp_path / "a.png", "P" if fmt == "gif" else "RGBA")
    with Image.open(lib.convert_files([str(source)], fmt, 90, None, "rename", False)[0]) as image:
        assert image.mode == mode and image.convert("RGBA").getpixel((1, 1))[3] == 0


def test_colour_key_is_not_transparency(lib, tmp_path, home):
    source = tmp_path / "key.png"
    Image.new("RGB", (32, 32)).save(source, transparency=(0, 0, 0))
    assert near(corner_and_middle(lib.thumbnail_bytes(str(source)))[0], (0, 0, 0))


def test_display_keeps_profile_and_thumbnail_does_not(lib, tmp_path, home):
    source = photo(tmp_path / "a.tif", "TIFF", profile=icc())
    data, media = lib.display_source(str(source))
    assert carried(io.BytesIO(data))[4] == icc() and media == "image/jpeg"
    assert carried(io.BytesIO(lib.thumbnail_bytes(str(source))))[4] is None
    grey = photo(tmp_path / "g.tif", "TIFF", "L", profile=icc(b"GRAY"))
    assert carried(io.BytesIO(lib.display_source(str(grey))[0]))[4] is None


def test_no_leaked_references(lib, tmp_path, monkeypatch):
    profile, maker, failure = icc(), "Maker", KeyError(34665)
    with Image.open(photo(tmp_path / "a.jpg", exif=camera_exif(), profile=profile)) as image:
        image.info["icc_profile"] = profile
        image.getexif()[271] = maker
        exif = TopLevel(failure)
        monkeypatch.setattr(lib, "open_oriented", lambda path: Upright(exif))
        watched = [profile, maker, failure, image, exif]

        def work():
            for fmt in ["jpg", "tif", "png", "webp"]:
                lib._save_image(image, tmp_path / f"x.{fmt}", fmt, 90)
                lib.file_info(tmp_path / "a.jpg")

        # the first round leaves Pillow's encoderinfo on the image
        assert_keeps_references(watched, work, 50)


# ---- a turned photo whose EXIF block cannot be rewritten ----


@pytest.mark.parametrize("use, size", [
    (lambda lib, p: Image.open(io.BytesIO(lib.display_source(str(p))[0])), (60, 80)),
    (lambda lib, p: Image.open(io.BytesIO(lib.thumbnail_bytes(str(p)))), (60, 80)),
    (lambda lib, p: Image.open(lib.convert_files([str(p)], "png", 90, None, "rename", False)[0]), (60, 80)),
    (lambda lib, p: Image.open(lib.rotate_files([str(p)], 90, False)[0]), (80, 60)),
])
def test_turned_photo_with_damaged_exif_still_opens_upright(lib, tmp_path, home, use, size):
    # orientation 6 and an Exif pointer holding text: Pillow turns it, then fails to rewrite the block
    path = with_exif_block(tmp_path / "a.jpg", text_pointer_exif())
    with lib.open_oriented(path) as image:
        assert image.size == (60, 80) and image.format == "JPEG" and "exif" not in image.info
    with use(lib, path) as image:
        assert image.size == size


def test_replaced_exif_transpose_keeps_its_own_error(lib, tmp_path, monkeypatch):
    from PIL import ImageOps

    class Refusing:
        def __getattr__(self, name):
            return getattr(ImageOps, name)

        @staticmethod
        def exif_transpose(image):
            raise TypeError("refused")

    monkeypatch.setattr(lib, "ImageOps", Refusing())
    with pytest.raises(TypeError, match="refused"):
        lib.open_oriented(with_exif_block(tmp_path / "a.jpg", text_pointer_exif()))


# ---- where a photo was taken ----

class WithGps(dict):
    """Make at the top and the given GPS IFD, or error, behind get_ifd."""

    def __init__(self, gps):
        super().__init__({271: "Maker"})
        self.gps = gps

    def get_ifd(self, tag):
        if tag != 0x8825:
            return {}
        if isinstance(self.gps, Exception):
            raise self.gps
        return self.gps


NE = {1: "N", 2: (R(52, 1), R(31, 1), R(1234, 100)), 3: "E", 4: (R(13, 1), R(24, 1), R(1783, 100))}


@pytest.mark.parametrize("gps, position", [
    (NE, {"latitude": "52.520094", "longitude": "13.404953"}),
    ({**NE, 1: "S", 3: b"W\0"}, {"latitude": "-52.520094", "longitude": "-13.404953"}),
    ({**NE, 2: (R(0, 1), R(0, 1), R(1, 10**7)), 1: "S"}, {"latitude": "0.000000", "longitude": "13.404953"}),
    ({**NE, 4: (R(13, 1), R(30, 1))}, {"latitude": "52.520094", "longitude": "13.500000"}),
    ({2: NE[2], 3: "E", 4: NE[4]}, {"longitude": "13.404953"}),           # no reference: no side
    ({**NE, 1: "X"}, {"longitude": "13.404953"}),
    ({**NE, 2: (R(52, 0), R(31, 1), R(0, 1))}, {"longitude": "13.404953"}),  # zero denominator
    ({**NE, 2: (R(95, 1), R(0, 1), R(0, 1))}, {"longitude": "13.404953"}),   # past the pole
    ({**NE, 2: "garbage"}, {"longitude": "13.404953"}),
    ({**NE, 2: R(52, 1)}, {"longitude": "13.404953"}),
    ({**NE, 2: (1, 2, 3, 4)}, {"longitude": "13.404953"}),
    ("text", {}),
    (KeyError(0x8825), {}),
    (struct.error("unpack requires a buffer of 4 bytes"), {}),
])
def test_position_from_gps_ifd(lib, tmp_path, monkeypatch, gps, position):
    monkeypatch.setattr(lib, "open_oriented", lambda path: Upright(WithGps(gps)))
    assert lib.file_info(photo(tmp_path / "a.jpg"))["exif"] == {"make": "Maker", **position}


def test_camera_fields_of_a_photo_in_record_order(lib, tmp_path):
    exif = camera_exif()
    exif[0x8769] = {**exif[0x8769], 33437: R(28, 10), 42036: "Zoom 24-70"}
    exif[GPS_IFD] = NE
    fields = lib.file_info(photo(tmp_path / "a.jpg", exif=exif))["exif"]
    assert list(fields) == ["make", "model", "datetime", "exposure", "iso", "focal", "taken", "fnumber", "lens",
                            "latitude", "longitude"]
    assert (fields["fnumber"], fields["lens"]) == ("2.8", "Zoom 24-70")
