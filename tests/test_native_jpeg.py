"""The codec's routes for JPEG files give what Pillow's steps give: lossless turns, upright
display, thumbnails and embedded previews. Each case runs once as it is and once with a
module global replaced by a wrapper, which sends the module down Pillow's steps."""

import functools
import io
import shutil
import struct
import subprocess

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from PIL import Image, ImageOps

from conftest import assert_keeps_references, exif_block, mean_difference, picture_of

@functools.lru_cache(maxsize=None)
def icc_profile():
    """An sRGB profile; made once, since it carries the time it was made."""
    from PIL import ImageCms

    return ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()


def outcome(function, *args):
    try:
        return "ok", function(*args)
    except Exception as error:  # the kind and text are what the routes must share
        return type(error), str(error)


@pytest.fixture
def pillow_steps(lib, monkeypatch):
    """Replaces the globals the codec's routes bypass by wrappers, for the rest of a block."""
    opener, saver = lib.open_oriented, lib._save_image

    def force():
        monkeypatch.setattr(lib, "open_oriented", lambda path: opener(path))
        monkeypatch.setattr(lib, "_save_image", lambda *args: saver(*args))

    return force


def upright(data_or_path):
    source = io.BytesIO(data_or_path) if isinstance(data_or_path, bytes) else data_or_path
    with Image.open(source) as image:
        return ImageOps.exif_transpose(image).convert("RGB")


def stored(path):
    with Image.open(path) as image:
        image.load()
        return image.copy()


def exif_of(data_or_path):
    source = io.BytesIO(data_or_path) if isinstance(data_or_path, bytes) else data_or_path
    with Image.open(source) as image:
        exif = image.getexif()
        return exif.get(274), dict(exif.get_ifd(0x8769)), image.info.get("icc_profile")


def preview_in(data):
    """The IFD1 preview of a JPEG's bytes, found the way a reader finds it."""
    start = data.index(b"Exif\0\0") + 6
    little = data[start:start + 2] == b"II"
    order = "<" if little else ">"
    block = data[start:]
    ifd0 = struct.unpack_from(order + "I", block, 4)[0]
    count = struct.unpack_from(order + "H", block, ifd0)[0]
    ifd1 = struct.unpack_from(order + "I", block, ifd0 + 2 + 12 * count)[0]
    count = struct.unpack_from(order + "H", block, ifd1)[0]
    entries = {}
    for i in range(count):
        tag, _, _, value = struct.unpack_from(order + "HHII", block, ifd1 + 2 + 12 * i)
        entries[tag] = value
    return block[entries[0x201]:entries[0x201] + entries[0x202]]


def twin(tmp_path, source):
    """The same file in two folders: one for each route."""
    paths = []
    for side in ("codec", "pillow"):
        (tmp_path / side).mkdir(exist_ok=True)
        paths.append(shutil.copy2(source, tmp_path / side / source.name))
    return [type(source)(p) for p in paths]


# ---- lossless turns ----

ORIENTATIONS = [None, 1, 2, 3, 4, 5, 6, 7, 8]


@pytest.mark.parametrize("degrees", [90, -90, 180, 270])
@pytest.mark.parametrize("orientation", ORIENTATIONS)
def test_exact_turns_agree_with_the_pillow_steps(lib, tmp_path, make_photo, pillow_steps, orientation, degrees):
    source = make_photo(tmp_path / "p.jpg", (64, 48), orientation, icc=icc_profile())
    codec, pillow = twin(tmp_path, source)
    before = codec.read_bytes()
    assert lib.rotate_files([str(codec)], degrees, False) == [str(codec)]
    pillow_steps()
    assert lib.rotate_files([str(pillow)], degrees, False) == [str(pillow)]
    made, expected = upright(codec), upright(pillow)
    assert made.size == expected.size
    # the codec only rearranges the stored blocks: the decoder's rounding is all that differs
    # from turning the decoded pixels; Pillow's steps add a re-encoding's loss to that
    ideal = upright(source).rotate(-degrees, expand=True)
    assert mean_difference(made, ideal) < 1
    assert mean_difference(made, expected) < 6
    assert codec.read_bytes() != before
    orientation_now, sub, profile = exif_of(codec)
    assert orientation_now == (None if orientation is None else 1) and profile == icc_profile()
    assert (sub[0xA002], sub[0xA003]) == stored(codec).size == made.size
    # the embedded preview is turned along, so it still stands as the picture does
    preview = Image.open(io.BytesIO(preview_in(codec.read_bytes())))
    assert (preview.width > preview.height) == (made.width > made.height)
    assert mean_difference(preview, made.resize(preview.size, Image.Resampling.LANCZOS)) < 12


@pytest.mark.parametrize("orientation", [None, 6, 7])
def test_four_quarter_turns_give_back_every_pixel(lib, tmp_path, make_photo, orientation):
    path = make_photo(tmp_path / "p.jpg", (64, 48), orientation)
    if orientation:
        # the first turn also stands the stored pixels upright
        lib.rotate_files([str(path)], 180, False)
    original = stored(path).tobytes()
    for _ in range(4):
        lib.rotate_files([str(path)], 90, False)
    assert stored(path).tobytes() == original
    for degrees in (180, 180, -90, 270, 180):
        lib.rotate_files([str(path)], degrees, False)
    assert stored(path).tobytes() == original


def test_a_turn_keeps_every_marker_and_the_stored_pixels(lib, tmp_path, make_photo):
    # with an EXIF orientation, since without one Pillow may read it from the XMP packet
    path = make_photo(tmp_path / "p.jpg", (48, 32), 1, subsampling=0)
    with Image.open(path) as image:
        image.load()
        image.save(path, exif=image.info["exif"], comment=b"kept", quality=95, subsampling=0,
                   icc_profile=icc_profile())
    xmp = b"http://ns.adobe.com/xap/1.0/\0<x:xmpmeta>kept</x:xmpmeta>"
    data = path.read_bytes()
    path.write_bytes(data[:2] + b"\xff\xe1" + struct.pack(">H", len(xmp) + 2) + xmp + data[2:])
    before = stored(path)
    lib.rotate_files([str(path)], 90, False)
    data = path.read_bytes()
    assert b"kept</x:xmpmeta>" in data and b"kept" in data.split(b"\xff\xfe", 1)[1][:10]
    turned = stored(path)
    assert turned.size == (32, 48)
    # the stored blocks rearranged: decoding differs from decode-then-turn by rounding alone
    assert mean_difference(turned, before.transpose(Image.Transpose.ROTATE_270)) < 1


@pytest.mark.parametrize("kind", ["progressive", "greyscale"])
def test_progressive_and_greyscale_files_turn_without_loss(lib, tmp_path, make_photo, kind):
    options = {"progressive": True} if kind == "progressive" else {"mode": "L"}
    path = make_photo(tmp_path / "p.jpg", (64, 48), 8, **options)
    before = upright(path)
    lib.rotate_files([str(path)], 90, False)
    with Image.open(path) as image:
        # still what it was: progressive, or one grey channel
        assert image.info.get("progressive", 0) == (kind == "progressive")
        assert image.mode == ("RGB" if kind == "progressive" else "L")
    assert mean_difference(upright(path), before.rotate(-90, expand=True)) < 1


@pytest.mark.parametrize("size, subsampling, orientation, degrees", [
    ((60, 44), 2, None, 90),  # 4:2:0: neither side a multiple of 16
    ((64, 40), 2, None, 90),  # the bottom edge, which a quarter turn moves, is off the grid
    ((64, 40), 2, None, 180),  # a half turn moves both edges
    ((64, 40), 2, 6, 90),      # a quarter turn to stand it upright and one more: a half turn
    ((40, 64), 2, 8, -90),     # the same from the other side
    ((36, 20), 0, 1, 90),      # 4:4:4 with sides off the 8-pixel grid
])
def test_inexact_turns_are_re_encoded_as_before(lib, tmp_path, make_photo, pillow_steps, size, subsampling,
                                                orientation, degrees):
    source = make_photo(tmp_path / "p.jpg", size, orientation, subsampling=subsampling)
    codec, pillow = twin(tmp_path, source)
    lib.rotate_files([str(codec)], degrees, True)
    pillow_steps()
    lib.rotate_files([str(pillow)], degrees, True)
    # nothing is trimmed to make the transform exact: the Pillow steps ran for both
    assert codec.read_bytes() == pillow.read_bytes()
    assert (codec.parent / "ZEL originals" / "p.jpg").read_bytes() == source.read_bytes()


def test_a_lossless_turn_keeps_its_backup(lib, tmp_path, make_photo):
    path = make_photo(tmp_path / "p.jpg", (64, 48), 3)
    before = path.read_bytes()
    assert lib.rotate_files([str(path)], 90, True) == [str(path)]
    lib.rotate_files([str(path)], 90, True)
    backups = tmp_path / "ZEL originals"
    assert (backups / "p.jpg").read_bytes() == before
    assert sorted(p.name for p in backups.iterdir()) == ["p.jpg", "p_1.jpg"]


def test_multi_picture_cmyk_and_misnamed_files_take_the_pillow_steps(lib, tmp_path, pillow_steps):
    mpo = tmp_path / "stereo.jpg"
    Image.new("RGB", (64, 48), "red").save(mpo, format="MPO", save_all=True,
                                           append_images=[Image.new("RGB", (64, 48), "blue")])
    png_named_jpg = tmp_path / "flat.jpg"
    Image.new("RGB", (64, 48), "green").save(png_named_jpg, format="PNG")
    jpeg_named_png = tmp_path / "photo.png"
    picture_of((64, 48)).save(jpeg_named_png, format="JPEG")
    cmyk = tmp_path / "print.jpg"
    picture_of((64, 48)).convert("CMYK").save(cmyk, exif=exif_block(6, (64, 48)))
    sources = [mpo, png_named_jpg, jpeg_named_png, cmyk]
    codec = [twin(tmp_path, s)[0] for s in sources]
    pillow = [twin(tmp_path, s)[1] for s in sources]
    lib.rotate_files([str(p) for p in codec], 90, False)
    pillow_steps()
    lib.rotate_files([str(p) for p in pillow], 90, False)
    assert [p.read_bytes() for p in codec] == [p.read_bytes() for p in pillow]


# ---- upright display ----

# The edges each orientation's transform moves, which must lie on the block grid: the right
# edge ("w"), the bottom edge ("h"), both, or neither (a transpose moves none).
MOVED_EDGES = {2: "w", 3: "wh", 4: "h", 5: "", 6: "h", 7: "wh", 8: "w"}


@pytest.mark.parametrize("orientation", [2, 3, 4, 5, 6, 7, 8])
@pytest.mark.parametrize("size, subsampling", [((64, 48), 2), ((40, 24), 0), ((60, 44), 2), ((64, 44), 2)])
def test_display_source_agrees_with_the_pillow_steps(lib, tmp_path, make_photo, pillow_steps, orientation, size,
                                                     subsampling):
    path = make_photo(tmp_path / "p.jpg", size, orientation, subsampling=subsampling, icc=icc_profile())
    made, media = lib.display_source(str(path))
    pillow_steps()
    expected, expected_media = lib.display_source(str(path))
    assert media == expected_media == "image/jpeg"
    block = 16 if subsampling else 8
    exact = all(size["wh".index(edge)] % block == 0 for edge in MOVED_EDGES[orientation])
    if not exact:
        assert made == expected
        return
    assert made != expected and upright(made).size == upright(expected).size
    orientation_now, sub, profile = exif_of(made)
    assert orientation_now == 1 and profile == icc_profile()
    assert (sub[0xA002], sub[0xA003]) == upright(made).size
    # every stored pixel kept: decoding differs from decode-then-turn by rounding alone
    assert mean_difference(stored(io.BytesIO(made)), upright(path)) < 1


# ---- thumbnails ----

def lanczos_thumbnail(path, edge):
    """The reference: a thumbnail of the full decode, upright, scaled with Lanczos, stored as
    thumbnails are (JPEG, quality 80)."""
    with Image.open(path) as image:
        full = ImageOps.exif_transpose(image).convert("RGB")
    full.thumbnail((edge, edge), Image.Resampling.LANCZOS, reducing_gap=None)
    buf = io.BytesIO()
    full.save(buf, format="JPEG", quality=80)
    return Image.open(buf)


THUMBNAIL_CASES = {
    "landscape 4:2:0": dict(size=(1200, 900)),
    "portrait by orientation 6": dict(size=(1200, 900), orientation=6),
    "odd size, orientation 8": dict(size=(1001, 667), orientation=8),
    "panorama": dict(size=(2304, 988), orientation=3),
    "4:4:4, orientation 5": dict(size=(640, 480), orientation=5, subsampling=0),
    "mirrored, 4:2:2": dict(size=(777, 555), orientation=2, subsampling=1),
    "greyscale": dict(size=(800, 600), mode="L", orientation=7),
    "progressive": dict(size=(900, 700), progressive=True, orientation=4),
    "CMYK": dict(size=(640, 480), mode="CMYK", preview=False),
    "smaller than the edge": dict(size=(120, 90), orientation=6),
}


@pytest.mark.parametrize("edge", [256, 100])
@pytest.mark.parametrize("case", THUMBNAIL_CASES, ids=str)
def test_thumbnails_look_like_the_full_decode(lib, tmp_path, home, make_photo, pillow_steps, case, edge):
    path = make_photo(tmp_path / "p.jpg", **THUMBNAIL_CASES[case])
    made = lib.thumbnail_bytes(str(path), edge)
    pillow_steps()
    (home / ".quorvane").rename(home / "first")
    expected = lib.thumbnail_bytes(str(path), edge)
    with Image.open(io.BytesIO(made)) as image:
        assert (image.format, image.mode) == ("JPEG", "RGB")
        assert image.size == Image.open(io.BytesIO(expected)).size
        assert mean_difference(image, lanczos_thumbnail(path, edge)) <= 2


# ---- bad input: the same error or result whichever route runs ----

def truncated(data):
    return data[:len(data) * 2 // 3]


def corrupted(data):
    scan = data.index(b"\xff\xda")
    middle = (scan + len(data)) // 2
    return data[:middle] + b"\xff\x00\xff\xd9" * 4 + data[middle + 16:]


def twelve_bit(data):
    sof = data.index(b"\xff\xc0")
    return data[:sof + 4] + b"\x0c" + data[sof + 5:]


def huge(data):
    sof = data.index(b"\xff\xc0")
    return data[:sof + 5] + struct.pack(">HH", 60000, 60000) + data[sof + 9:]


BAD = {"truncated": truncated, "corrupted": corrupted, "12-bit": twelve_bit, "huge": huge}


@pytest.mark.parametrize("damage", BAD, ids=str)
@pytest.mark.parametrize("call", ["rotate", "display", "thumbnail"])
def test_bad_files_fail_as_before(lib, tmp_path, home, make_photo, pillow_steps, monkeypatch, damage, call):
    source = make_photo(tmp_path / "p.jpg", (64, 48), 6)
    source.write_bytes(BAD[damage](source.read_bytes()))
    codec, pillow = twin(tmp_path, source)
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 10_000_000)
    functions = {"rotate": lambda p: lib.rotate_files([str(p)], 90, False),
                 "display": lambda p: lib.display_source(str(p)),
                 "thumbnail": lambda p: lib.thumbnail_bytes(str(p))}
    made = outcome(functions[call], codec)
    pillow_steps()
    (home / ".quorvane").mkdir(exist_ok=True)
    (home / ".quorvane").rename(home / "first")
    expected = outcome(functions[call], pillow)
    if made[0] == "ok" and call == "rotate":
        made, expected = ("ok", codec.read_bytes()), ("ok", pillow.read_bytes())
    assert made[0] == expected[0]
    if made[0] != "ok":
        assert made[1].replace("codec", "pillow") == expected[1]
        # nothing was written over the file
        assert codec.read_bytes() == source.read_bytes()


@pytest.mark.parametrize("options", [["-arithmetic"], ["-restart", "1"], ["-restart", "3B", "-progressive"]],
                         ids=["arithmetic", "restart markers", "progressive restarts"])
def test_other_codings_turn_and_shrink_as_before(lib, tmp_path, home, make_photo, pillow_steps, options):
    if shutil.which("jpegtran") is None:
        pytest.skip("jpegtran (libjpeg-turbo-progs) is not installed")
    plain = make_photo(tmp_path / "plain.jpg", (64, 48), 6)
    source = tmp_path / "p.jpg"
    with open(source, "wb") as out:
        subprocess.run(["jpegtran", "-copy", "all", *options, str(plain)], stdout=out, check=True)
    codec, pillow = twin(tmp_path, source)
    made = [lib.display_source(str(codec))[0], lib.thumbnail_bytes(str(codec))]
    lib.rotate_files([str(codec)], 90, False)
    pillow_steps()
    expected = [lib.display_source(str(pillow))[0], lib.thumbnail_bytes(str(pillow))]
    lib.rotate_files([str(pillow)], 90, False)
    ideal = upright(source)
    # the codec took them: the embedded preview is still there
    assert preview_in(made[0]) and preview_in(codec.read_bytes())
    assert mean_difference(upright(made[0]), ideal) < 1
    assert mean_difference(upright(made[1]), upright(expected[1])) <= 2
    assert mean_difference(upright(codec), ideal.rotate(-90, expand=True)) < 1
    assert upright(codec).size == upright(pillow).size


def test_the_pixel_limit_is_not_bypassed(lib, tmp_path, home, make_photo, monkeypatch):
    path = make_photo(tmp_path / "p.jpg", (64, 48), 6)
    before = path.read_bytes()
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 1000)
    for call in (lambda: lib.rotate_files([str(path)], 90, False), lambda: lib.display_source(str(path)),
                 lambda: lib.thumbnail_bytes(str(path))):
        with pytest.raises(Image.DecompressionBombError):
            call()
    assert path.read_bytes() == before


@pytest.mark.parametrize("preview_at", ["outside", "not a JPEG"])
def test_a_broken_preview_pointer_takes_the_pillow_steps(lib, tmp_path, make_photo, pillow_steps, preview_at):
    small = b"\xff\xd8" + bytes(200) if preview_at == "outside" else b"PNG!" + bytes(200)
    block = exif_block(6, (64, 48), small, preview_at=60000 if preview_at == "outside" else None)
    source = make_photo(tmp_path / "p.jpg", (64, 48), exif=block)
    assert lib.preview_bytes(str(source)) is None
    codec, pillow = twin(tmp_path, source)
    display = lib.display_source(str(codec))
    lib.rotate_files([str(codec)], 90, False)
    pillow_steps()
    assert display == lib.display_source(str(pillow))
    lib.rotate_files([str(pillow)], 90, False)
    assert codec.read_bytes() == pillow.read_bytes()


# ---- embedded previews ----

@pytest.mark.parametrize("big_endian", [False, True])
@pytest.mark.parametrize("orientation", ORIENTATIONS)
def test_preview_bytes_stands_the_preview_upright(lib, tmp_path, make_photo, orientation, big_endian):
    picture = picture_of((64, 48))
    buf = io.BytesIO()
    picture.resize((40, 30)).save(buf, format="JPEG", quality=95)
    block = exif_block(orientation, (64, 48), buf.getvalue(), big_endian=big_endian)
    path = make_photo(tmp_path / "p.jpg", (64, 48), exif=block)
    data = lib.preview_bytes(str(path))
    if orientation in (None, 1):
        assert data == buf.getvalue()
    reference = upright(path).resize((40, 30) if upright(path).width > 48 else (30, 40))
    assert mean_difference(Image.open(io.BytesIO(data)), reference) < 12


def test_preview_bytes_of_a_tiff_structure(lib, tmp_path):
    buf = io.BytesIO()
    picture_of((48, 32)).save(buf, format="JPEG")
    path = tmp_path / "scan.tif"
    path.write_bytes(exif_block(8, None, buf.getvalue())[6:])
    assert Image.open(io.BytesIO(lib.preview_bytes(str(path)))).size == (32, 48)


@pytest.mark.parametrize("kind", ["no EXIF", "no IFD1", "PNG", "empty", "truncated head", "overrunning segment"])
def test_preview_bytes_is_none_without_a_readable_preview(lib, tmp_path, make_photo, kind):
    path = tmp_path / "p.jpg"
    if kind == "no EXIF":
        picture_of((64, 48)).save(path)
    elif kind == "no IFD1":
        make_photo(path, (64, 48), 6, preview=False)
    elif kind == "PNG":
        path = tmp_path / "p.png"
        picture_of((64, 48)).save(path)
    elif kind == "empty":
        path.write_bytes(b"")
    elif kind == "overrunning segment":  # the preview's first segment claims 784 bytes
        data = bytearray(make_photo(path, (64, 48), 1).read_bytes())
        at = data.index(b"\xff\xd8", 2)
        data[at + 4:at + 6] = b"\x03\x10"
        path.write_bytes(bytes(data))
    else:
        data = make_photo(path, (64, 48), 6).read_bytes()
        path.write_bytes(data[:data.index(b"Exif") + 60])
    assert lib.preview_bytes(str(path)) is None


def heif_with_preview(path, make_heif, exif_orientation, container_orientation, preview=True, **options):
    """A 64x48 HEIF whose EXIF preview is its stored picture at 40x30, turned by its container."""
    picture = picture_of((64, 48))
    buf = io.BytesIO()
    picture.resize((40, 30)).save(buf, format="JPEG", quality=95)
    big_endian = options.pop("big_endian", False)
    block = exif_block(exif_orientation, None, buf.getvalue() if preview else None, big_endian=big_endian)
    return make_heif(path, picture, exif=block, orientation=container_orientation, **options)


# The container's turn is the one the picture shows; the EXIF Orientation may say otherwise.
@pytest.mark.parametrize("exif_orientation, container, options",
                         [(o, o, {}) for o in range(1, 9)] +
                         [(6, 6, {"avif": True}), (5, 5, {"thumbnail": 32}), (7, 7, {"big_endian": True}),
                          (None, 6, {}), (6, 1, {}), (3, 2, {})])
def test_preview_bytes_of_a_heif_stands_like_its_picture(lib, tmp_path, make_heif, exif_orientation, container,
                                                         options):
    name = "p.avif" if options.get("avif") else "p.heic"
    path = heif_with_preview(tmp_path / name, make_heif, exif_orientation, container, **options)
    preview = Image.open(io.BytesIO(lib.preview_bytes(str(path))))
    shown = lib.open_oriented(str(path)).convert("RGB")
    assert mean_difference(preview, shown.resize(preview.size)) < 12
    assert (preview.width > preview.height) == (shown.width > shown.height)


@pytest.mark.parametrize("kind", ["no EXIF", "no IFD1", "truncated", "not a picture"])
def test_preview_bytes_of_a_heif_is_none_without_a_readable_preview(lib, tmp_path, make_heif, kind):
    path = tmp_path / "p.heic"
    if kind == "no EXIF":
        make_heif(path, picture_of((64, 48)), orientation=6)
    elif kind == "no IFD1":
        heif_with_preview(path, make_heif, 6, 6, preview=False)
    else:
        data = heif_with_preview(path, make_heif, 6, 6).read_bytes()
        path.write_bytes(data[:len(data) // 3] if kind == "truncated" else data[:24] + bytes(200))
    before = path.read_bytes()
    assert lib.preview_bytes(str(path)) is None
    assert path.read_bytes() == before


@pytest.mark.parametrize("share", [i / 16 for i in range(16)])
def test_preview_bytes_survives_a_damaged_heif_meta_box(lib, tmp_path, make_heif, share):
    path = heif_with_preview(tmp_path / "p.heic", make_heif, 6, 6, thumbnail=32)
    data = bytearray(path.read_bytes())
    start = data.index(b"meta") - 4
    end = start + struct.unpack(">I", data[start:start + 4])[0]
    at = start + 8 + int(share * (end - start - 8))
    data[at:at + 3] = b"\xff\x00\xff"
    path.write_bytes(bytes(data))
    preview = lib.preview_bytes(str(path))
    assert preview is None or Image.open(io.BytesIO(preview)).size in ((30, 40), (40, 30))


def test_preview_bytes_takes_a_path_like_the_others(lib, tmp_path, monkeypatch, make_photo):
    monkeypatch.chdir(tmp_path)
    make_photo(tmp_path / "p.jpg", (64, 48), 6)
    assert lib.preview_bytes("p.jpg") == lib.preview_bytes(tmp_path / "p.jpg") is not None
    (tmp_path / "album.jpg").mkdir()
    (tmp_path / "notes.txt").write_text("x")
    for missing in ("gone.jpg", "album.jpg", "notes.txt"):
        with pytest.raises(FileNotFoundError) as caught:
            lib.preview_bytes(missing)
        assert caught.value.args == (str(tmp_path / missing),)


# ---- a replaced global is always used ----

class Recording:
    """Stands in for a module global: every attribute read is recorded and passed on."""

    def __init__(self, wrapped, seen):
        self._wrapped, self._seen = wrapped, seen

    def __getattr__(self, name):
        self._seen.append(name)
        return getattr(self._wrapped, name)

    def __call__(self, *args, **kwargs):
        self._seen.append("()")
        return self._wrapped(*args, **kwargs)


class RecordingDict(dict):
    def __getitem__(self, key):
        self.seen.append(key)
        return super().__getitem__(key)


CALLS = {
    "rotate": (lambda lib, p: lib.rotate_files([str(p)], 90, False) and p.read_bytes(),
               ["Image", "ImageOps", "open_oriented", "_save_image", "SAVE_FORMATS"]),
    "display": (lambda lib, p: lib.display_source(str(p))[0], ["Image", "ImageOps", "open_oriented", "BytesIO"]),
    "thumbnail": (lambda lib, p: lib.thumbnail_bytes(str(p)), ["Image", "ImageOps", "open_oriented", "BytesIO"]),
}


@pytest.mark.parametrize("call, name", [(c, n) for c, (_, names) in CALLS.items() for n in names])
def test_a_replaced_global_sends_the_call_down_the_pillow_steps(lib, tmp_path, home, make_photo, pillow_steps,
                                                                 monkeypatch, call, name):
    codec, pillow = twin(tmp_path, make_photo(tmp_path / "p.jpg", (64, 48), 6))
    seen = []
    original = getattr(lib, name)
    if name == "SAVE_FORMATS":
        replacement = RecordingDict(original)
        replacement.seen = seen
    else:
        replacement = Recording(original, seen)
    with monkeypatch.context() as patch:
        patch.setattr(lib, name, replacement)
        made = CALLS[call][0](lib, codec)
    pillow_steps()
    # the replacement was used, and the result is the Pillow steps' own
    assert seen and made == CALLS[call][0](lib, pillow)


# ---- damaged files ----

@pytest.mark.filterwarnings("ignore::UserWarning")  # Pillow's notes on the damaged block
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.sampled_from(["EXIF block", "anywhere"]),
       st.lists(st.tuples(st.integers(0, 10**6), st.integers(0, 255)), min_size=1, max_size=6))
def test_damaged_files_never_crash(lib, tmp_path, home, make_photo, where, damage):
    path = make_photo(tmp_path / "p.jpg", (64, 48), 6)
    data = bytearray(path.read_bytes())
    start = data.index(b"Exif\0\0") + 6 if where == "EXIF block" else 2
    span = 400 if where == "EXIF block" else len(data) - 2
    for at, value in damage:
        data[start + at % span] = value
    path.write_bytes(bytes(data))
    preview = lib.preview_bytes(str(path))
    assert preview is None or Image.open(io.BytesIO(preview)).size[0] > 0
    for call in (lambda: lib.display_source(str(path)), lambda: lib.thumbnail_bytes(str(path)),
                 lambda: lib.rotate_files([str(path)], 90, False)):
        try:
            call()
        except SystemError:
            raise
        except Exception:
            pass  # Pillow's own complaints about the damage, as before
    # whatever happened, nothing half-written: the file is as damaged or as whole as it was
    after = path.read_bytes()
    if after != bytes(data):
        with Image.open(path) as image:
            image.load()


def test_the_codec_routes_keep_no_references(lib, tmp_path, home, make_photo):
    path = make_photo(tmp_path / "p.jpg", (64, 48), 6)
    text = str(path)

    def work():
        lib.preview_bytes(text)
        lib.display_source(text)
        shutil.rmtree(home / ".quorvane", ignore_errors=True)
        lib.thumbnail_bytes(text)
        lib.rotate_files([text], 180, False)

    assert_keeps_references([text, lib.Image, lib.BytesIO, lib.open_oriented, lib.ImageOps], work, 5)
