"""HEIC, HEIF and AVIF: decoded wherever an image is opened, upright by the container's own turn,
thumbnails from the thumbnail item, file information from the container, edits and bad files."""

import io
import os
import random
import shutil

import pytest
from PIL import Image

from conftest import assert_keeps_references


GREEN, RED, BLUE = (10, 200, 30), (200, 40, 10), (20, 30, 220)


def quadrant_picture(mode="RGB", size=(64, 48)):
    """Red, with a green top-left quarter: its corners tell every turn and mirror apart."""
    image = Image.new("RGB", size, RED)
    image.paste(GREEN, (0, 0, size[0] // 2, size[1] // 2))
    return image.convert(mode)


def near(pixel, colour, slack=24):
    return all(abs(a - b) <= slack for a, b in zip(pixel, colour))


def corners(image):
    w, h = image.size
    return [image.getpixel(xy)[:3] for xy in ((1, 1), (w - 2, 1), (1, h - 2), (w - 2, h - 2))]


def green_corner(image):
    """Which corner is green: 0 top-left, 1 top-right, 2 bottom-left, 3 bottom-right."""
    found = [i for i, pixel in enumerate(corners(image)) if near(pixel, GREEN, 40)]
    assert len(found) == 1, corners(image)
    return found[0]


def camera_exif(orientation=None):
    exif = Image.Exif()
    exif[271] = "Maker"
    if orientation is not None:
        exif[274] = orientation
    exif[0x8769] = {36867: "2024:05:06 07:08:09", 33437: 2.8}
    return exif.tobytes()


def rgb_profile():
    """An ICC-shaped block naming the RGB colour space, enough for the profile rules."""
    data = bytearray(128)
    data[0:4] = (128).to_bytes(4, "big")
    data[12:20] = b"mntrRGB "
    data[36:40] = b"acsp"
    return bytes(data)


def jpeg_of(data):
    with Image.open(io.BytesIO(data)) as image:
        image.load()
        return image


# ---- decoding ----------------------------------------------------------------------------

@pytest.mark.parametrize("name, mode, bits, avif, fmt", [
    ("a.heic", "RGB", 8, False, "HEIF"),
    ("a.heic", "RGBA", 8, False, "HEIF"),
    ("a.heif", "RGB", 10, False, "HEIF"),
    ("a.HEIC", "RGBA", 10, False, "HEIF"),
    ("a.avif", "RGB", 8, True, "AVIF"),
    ("a.avif", "RGBA", 8, True, "AVIF"),
    ("a.avif", "RGB", 10, True, "AVIF"),
])
def test_decoded_as_an_ordinary_pillow_image(lib, tmp_path, make_heif, name, mode, bits, avif, fmt):
    path = make_heif(tmp_path / name, quadrant_picture(mode), avif=avif, bits=bits)
    with lib.open_oriented(path) as image:
        assert (image.mode, image.size, image.format) == (mode, (64, 48), fmt)
        assert green_corner(image) == 0 and near(corners(image)[3], RED)
        if mode == "RGBA":
            assert image.getpixel((1, 1))[3] == 255
    info = lib.file_info(path)
    assert (info["width"], info["height"], info["format"]) == (64, 48, fmt)
    # A .heic or .heif is no format a viewer shows as stored: upright JPEG bytes.
    source, media = lib.display_source(path)
    assert media == "image/jpeg" and jpeg_of(source).size == (64, 48)


def test_alpha_is_kept_and_laid_over_white_for_jpeg(lib, tmp_path, make_heif):
    picture = quadrant_picture("RGBA")
    picture.putalpha(Image.new("L", picture.size, 0))
    path = make_heif(tmp_path / "a.heic", picture)
    with lib.open_oriented(path) as image:
        assert image.getpixel((40, 40))[3] == 0
    assert near(jpeg_of(lib.display_source(path)[0]).getpixel((40, 40)), (255, 255, 255))


def test_premultiplied_colours_are_divided_back(lib, tmp_path, make_heif):
    path = make_heif(tmp_path / "a.heic", Image.new("RGBA", (64, 48), (100, 20, 5, 128)), premultiplied=True)
    with lib.open_oriented(path) as image:
        assert near(image.getpixel((5, 5)), (200, 40, 10, 128), 8)


@pytest.mark.parametrize("stored, orientation, exif_orientation, size, corner", [
    ((64, 48), 1, None, (64, 48), 0),
    ((64, 48), 1, 6, (64, 48), 0),   # the EXIF tag is informational: not applied
    ((64, 48), 6, None, (48, 64), 1),  # irot: a quarter turn clockwise puts the top-left on the top right
    ((64, 48), 6, 6, (48, 64), 1),   # both: turned once
    ((64, 48), 8, 3, (48, 64), 2),
    ((64, 48), 3, None, (64, 48), 3),
    ((64, 48), 2, None, (64, 48), 1),  # imir
    ((63, 47), 6, None, (47, 63), 1),  # an odd size is stored as a cropped grid
])
def test_container_turn_applied_once(lib, tmp_path, home, make_heif, stored, orientation, exif_orientation, size,
                                     corner):
    path = make_heif(tmp_path / "a.heic", quadrant_picture(size=stored), orientation=orientation,
                     exif=camera_exif(exif_orientation))
    with lib.open_oriented(path) as image:
        assert image.size == size and green_corner(image) == corner
        assert 274 not in image.getexif() and image.getexif()[271] == "Maker"
    info = lib.file_info(path)
    assert (info["width"], info["height"]) == size
    shown = jpeg_of(lib.display_source(path)[0])
    assert shown.size == size and green_corner(shown) == corner
    thumb = jpeg_of(lib.thumbnail_bytes(str(path), 32))
    assert max(thumb.size) == 32 and green_corner(thumb) == corner


@pytest.mark.parametrize("name", ["photo.jpg", "photo.png", "photo.avif", "photo.tif"])
def test_recognised_by_content_whatever_the_name(lib, tmp_path, home, make_heif, name):
    path = make_heif(tmp_path / name, quadrant_picture())
    assert lib.file_info(path)["format"] == "HEIF"
    source, media = lib.display_source(path)
    # Never handed to the viewer as a JPEG or PNG it is not.
    assert media == "image/jpeg" and isinstance(source, bytes) and jpeg_of(source).size == (64, 48)
    assert jpeg_of(lib.thumbnail_bytes(str(path), 32)).size == (32, 24)


@pytest.mark.parametrize("avif, major, compatible, fmt", [
    (False, b"mif1", None, "HEIF"),             # generic major brand, HEVC among the compatible
    (True, b"mif1", None, "AVIF"),
    (True, b"msf1", b"mif1miafavif", "AVIF"),
    (False, b"isom", None, "HEIF"),             # an unknown major brand, a HEIF one compatible
    (False, b"isom", b"isommp41mp42", None),    # a video's brands: Pillow's to report
])
def test_recognised_by_the_brands(lib, tmp_path, make_heif, avif, major, compatible, fmt):
    data = bytearray(make_heif(tmp_path / "a.heic", quadrant_picture(), avif=avif).read_bytes())
    data[8:12] = major
    if compatible:
        data[16:28] = compatible
    path = tmp_path / "a.heic"
    path.write_bytes(bytes(data))
    if fmt:
        assert lib.file_info(path)["format"] == fmt
    else:
        with pytest.raises(Image.UnidentifiedImageError) as caught:
            lib.file_info(path)
        assert str(caught.value) == f"cannot identify image file {str(path)!r}"  # Pillow's own words


# ---- thumbnails ---------------------------------------------------------------------------

@pytest.mark.parametrize("edge, colour", [(32, BLUE), (48, BLUE), (64, RED), (256, RED)])
def test_thumbnail_from_the_item_when_it_covers_the_edge(lib, tmp_path, home, make_heif, edge, colour):
    # A thumbnail item drawn from another picture shows which image a thumbnail came from.
    path = make_heif(tmp_path / "a.heic", Image.new("RGB", (128, 96), RED), thumbnail=48,
                     thumbnail_from=Image.new("RGB", (128, 96), BLUE))
    thumb = jpeg_of(lib.thumbnail_bytes(str(path), edge))
    assert thumb.size == (min(edge, 128), min(edge, 128) * 3 // 4)
    assert near(thumb.getpixel((4, 4)), colour)


def test_thumbnail_item_turned_like_the_photo(lib, tmp_path, home, make_heif):
    path = make_heif(tmp_path / "a.heic", quadrant_picture(size=(128, 96)), orientation=6, thumbnail=64)
    thumb = jpeg_of(lib.thumbnail_bytes(str(path), 32))
    assert thumb.size == (24, 32) and green_corner(thumb) == 1


# ---- metadata and edits ------------------------------------------------------------------

def test_exif_and_profile_reach_info_and_converted_files(lib, tmp_path, make_heif):
    profile = rgb_profile()
    path = make_heif(tmp_path / "a.heic", quadrant_picture(), exif=camera_exif(6), icc=profile)
    with lib.open_oriented(path) as image:
        assert image.info["icc_profile"] == profile
        assert image.info["exif"].startswith(b"Exif\0\0")  # as Pillow keeps it, no offset before
    assert lib.file_info(path)["exif"] == {"make": "Maker", "taken": "2024:05:06 07:08:09", "fnumber": "2.8"}
    written = lib.convert_files([str(path)], "jpg", 90, None, "rename", False)
    for fmt in ("png", "webp", "tif"):
        written += lib.convert_files([str(path)], fmt, 90, None, "rename", False)
    for out in written:
        with Image.open(out) as image:
            exif = image.getexif()
            assert image.size == (64, 48) and image.info.get("icc_profile") == profile, out
            assert exif[271] == "Maker" and 274 not in exif, out
    assert lib.file_info(written[0])["exif"]["taken"] == "2024:05:06 07:08:09"
    assert jpeg_of(lib.display_source(path)[0]).info.get("icc_profile") == profile


def test_file_info_reads_the_container_only(lib, tmp_path, make_heif):
    exif = camera_exif(6)
    path = make_heif(tmp_path / "a.heic", quadrant_picture(), orientation=6, exif=exif)
    data = bytearray(path.read_bytes())
    at = data.index(b"mdat") - 4
    end = at + int.from_bytes(data[at:at + 4], "big")
    kept = data.index(exif) - 4  # the EXIF item, with its offset field, shares the data box
    data[at + 8:kept] = bytes(kept - at - 8)  # every coded pixel gone
    data[kept + 4 + len(exif):end] = bytes(end - kept - 4 - len(exif))
    path.write_bytes(bytes(data))
    info = lib.file_info(path)
    assert (info["width"], info["height"], info["format"], info["exif"]["make"]) == (48, 64, "HEIF", "Maker")
    with pytest.raises(OSError, match="a.heic"):
        lib.open_oriented(path)


def test_resize_writes_jpeg_for_a_suffix_without_encoder(lib, tmp_path, make_heif):
    path = make_heif(tmp_path / "a.heic", quadrant_picture(), orientation=6)
    assert lib.resize_files([str(path)], "long", 32, None, None, str(tmp_path / "small"), "rename") == [
        str(tmp_path / "small" / "a.heic")]
    with Image.open(tmp_path / "small" / "a.heic") as image:
        assert image.format == "JPEG" and image.size == (24, 32)


# ---- bad files ---------------------------------------------------------------------------

def open_fds():
    return len(os.listdir("/proc/self/fd"))


CALLS = [
    ("open_oriented", lambda lib, p: lib.open_oriented(p)),
    ("file_info", lambda lib, p: lib.file_info(p)),
    ("display_source", lambda lib, p: lib.display_source(p)),
    ("thumbnail_bytes", lambda lib, p: lib.thumbnail_bytes(str(p))),
    ("convert_files", lambda lib, p: lib.convert_files([str(p)], "png", 90, str(p.parent / "out"), "rename", False)),
]


@pytest.mark.parametrize("call", [c for _, c in CALLS], ids=[n for n, _ in CALLS])
@pytest.mark.parametrize("cut", [16, 200, 0.6])
def test_truncated_files_raise_oserror_naming_the_path(lib, tmp_path, home, make_heif, call, cut):
    data = make_heif(tmp_path / "whole.heic", quadrant_picture(size=(256, 192))).read_bytes()
    path = tmp_path / "cut.heic"
    path.write_bytes(data[:cut if isinstance(cut, int) else int(len(data) * cut)])
    before = open_fds()
    with pytest.raises(OSError, match="cut.heic"):
        call(lib, path)
    assert open_fds() == before


def test_no_leaked_references(lib, tmp_path, home, make_heif):
    good = make_heif(tmp_path / "a.heic", quadrant_picture(), exif=camera_exif(6), icc=rgb_profile(), thumbnail=32)
    (tmp_path / "cut.heic").write_bytes(good.read_bytes()[:300])
    path, cut, edge = str(good), str(tmp_path / "cut.heic"), 32

    def work():
        lib.open_oriented(path).close()
        lib.file_info(path)
        lib.display_source(path)
        shutil.rmtree(home / ".quorvane", ignore_errors=True)  # a miss every round
        lib.thumbnail_bytes(path, edge)
        for call in (lib.open_oriented, lib.file_info, lib.thumbnail_bytes):
            with pytest.raises(OSError):
                call(cut)

    assert_keeps_references((path, cut, edge), work, 50)


@pytest.mark.parametrize("avif", [False, True])
def test_corrupted_files_never_crash(lib, tmp_path, home, make_heif, avif):
    data = make_heif(tmp_path / "whole.heic", quadrant_picture(size=(128, 96)), avif=avif, thumbnail=32).read_bytes()
    rng = random.Random(18)
    path = tmp_path / "bad.heic"
    for _ in range(60):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 8)):
            damaged[rng.randrange(12, len(damaged))] = rng.randrange(256)
        path.write_bytes(bytes(damaged))
        for _, call in CALLS[:4]:
            try:
                result = call(lib, path)
            except OSError as error:
                assert "bad.heic" in str(error)
            else:
                if isinstance(result, Image.Image):
                    result.close()


def test_enormous_sizes_refused_by_pillows_limit_before_decoding(lib, tmp_path, home, make_heif, monkeypatch):
    path = make_heif(tmp_path / "a.heic", quadrant_picture())
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 1000)  # 64 x 48 is over twice the limit
    for call in (lib.open_oriented, lib.file_info):
        with pytest.raises(Image.DecompressionBombError):
            call(path)
    # Containers declaring 20000 x 20000 pixels (over Pillow's limit) and 60000 x 60000 (over
    # libheif's own): refused, nothing allocated for them.
    monkeypatch.undo()
    data = path.read_bytes()
    for side, error in ((20000, Image.DecompressionBombError), (60000, Image.UnidentifiedImageError)):
        huge = bytearray(data)
        for at in [i + 8 for i in range(len(huge)) if huge.startswith(b"ispe", i)]:  # the grid's and its tile's
            huge[at:at + 8] = side.to_bytes(4, "big") * 2
        path.write_bytes(bytes(huge))
        for call in (lib.open_oriented, lib.file_info, lib.thumbnail_bytes):
            with pytest.raises(error):
                call(path)
