"""Batch edits: output placement, encoding, conversion, rotation, resizing."""

import errno
import os
from io import BytesIO
from pathlib import Path

import pytest
from PIL import Image

from conftest import BadPath, Text, assert_keeps_references, snapshot


AS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0


def png(path, size=(400, 300), mode="RGB", color=None):
    Image.new(mode, size, color).save(path, format="PNG")
    return Path(path)


def quadrants(path, fmt="PNG"):
    image = Image.new("RGB", (400, 300), "white")
    image.paste("red", (0, 0, 200, 150))
    image.paste("lime", (200, 0, 400, 150))
    image.paste("blue", (0, 150, 200, 300))
    image.save(path, format=fmt)
    return Path(path)


def corners(path):
    with Image.open(path) as image:
        w, h = image.size
        rgb = image.convert("RGB")
        return image.size, [rgb.getpixel(p) for p in ((5, 5), (w - 6, 5), (5, h - 6), (w - 6, h - 6))]


def encoded(image, fmt, **options):
    buf = BytesIO()
    image.save(buf, format=fmt, **options)
    return buf.getvalue()


# ---- output placement --------------------------------------------------------


@pytest.mark.parametrize("present, policy, want", [
    ([], "skip", "a.jpg"),
    (["a.jpg"], "overwrite", "a.jpg"),
    (["a.jpg"], "rename", "a_1.jpg"),
    (["a.jpg", "a_1.jpg"], "rename", "a_2.jpg"),
    (["a.jpg", "a_2.jpg"], "rename", "a_1.jpg"),  # gaps are filled first
    (["a.jpg"], "SKIP", "a_1.jpg"),
    (["a.jpg"], "Overwrite", "a_1.jpg"),
    (["a.jpg"], None, "a_1.jpg"),
    (["a.jpg"], "", "a_1.jpg"),
])
def test_destination_policies(lib, tmp_path, present, policy, want):
    source = png(tmp_path / "a.png")
    for taken in present:
        (tmp_path / taken).write_bytes(b"x")
    assert lib._destination(source, None, ".jpg", policy) == tmp_path / want


def test_destination_skip_names_the_taken_path(lib, tmp_path):
    (tmp_path / "a.jpg").write_bytes(b"x")
    with pytest.raises(FileExistsError) as caught:
        lib._destination(png(tmp_path / "a.png"), None, ".jpg", "skip")
    assert str(caught.value) == str(tmp_path / "a.jpg")


def test_destination_same_file_and_numbered_names(lib, tmp_path):
    source = png(tmp_path / "a.png")
    roundabout = f"{tmp_path}/../{tmp_path.name}"
    for policy in ("skip", "overwrite", "rename"):
        for folder, suffix in ((None, None), (None, ".png"), ("", ".png"), (roundabout, None)):
            assert lib._destination(source, folder, suffix, policy) == source
    assert lib._destination(source, None, "", "skip") == tmp_path / "a"
    (tmp_path / "a").write_bytes(b"x")
    assert lib._destination(source, None, "", "rename") == tmp_path / "a_1"
    out = tmp_path / "out"
    for taken, want in (("scan.old.png", "scan.old_1.png"), ("README", "README_1"), (".hidden", ".hidden_1")):
        lib._destination(tmp_path / taken, str(out), None, "rename").write_bytes(b"x")
        assert lib._destination(tmp_path / taken, str(out), None, "rename") == out / want


def test_destination_creates_folders_under_home(lib, tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    (tmp_path / "home").mkdir()
    dest = lib._destination(tmp_path / "a.png", "~/out/sub", None, "rename")
    assert dest == (tmp_path / "home/out/sub/a.png").resolve() and dest.parent.is_dir()


# ---- encoding ------------------------------------------------------------------


@pytest.mark.parametrize("key, quality, written", [
    ("jpg", 0, 1), ("jpg", -5, 1), ("jpeg", 1, 1), ("jpg", 85, 85), ("jpeg", 100, 100), ("jpg", 150, 100),
])
def test_save_image_jpeg_quality(lib, tmp_path, key, quality, written):
    image = Image.linear_gradient("L").convert("RGB")
    lib._save_image(image, tmp_path / "x.jpeg", key, quality)
    assert (tmp_path / "x.jpeg").read_bytes() == encoded(image, "JPEG", quality=written)


def test_save_image_webp_takes_quality(lib, tmp_path):
    image = Image.linear_gradient("L").convert("RGB")
    lib._save_image(image, tmp_path / "x.webp", "webp", 10)
    assert (tmp_path / "x.webp").read_bytes() == encoded(image, "WEBP", quality=10)


@pytest.mark.parametrize("mode, key, stored", [
    ("RGBA", "png", "RGBA"), ("RGBA", "jpg", "RGB"), ("L", "jpeg", "RGB"), ("L", "png", "L"),
    ("P", "gif", "P"), ("P", "jpg", "RGB"),
])
def test_save_image_modes(lib, tmp_path, mode, key, stored):
    image = Image.open(quadrants(tmp_path / "q.png")).convert(mode)
    lib._save_image(image, tmp_path / "x", key, 90)
    assert image.mode == mode  # the caller's image is not converted
    with Image.open(tmp_path / "x") as back:
        assert back.mode == stored


@pytest.mark.parametrize("key, quality", [("JPG", 90), ("tiff", 90), ("", 90), (".jpg", 90), ("jfif", 90),
                                          ("jpg", None), ("jpg", "90")])
def test_save_image_refusals_touch_nothing(lib, tmp_path, key, quality):
    with pytest.raises(KeyError if quality == 90 else TypeError) as caught:
        lib._save_image(Image.new("RGB", (8, 8)), tmp_path / "x.jpg", key, quality)
    assert os.listdir(tmp_path) == []
    if quality == 90:
        assert caught.value.args == (key,)


def test_failed_encoding_keeps_existing_file(lib, tmp_path):
    (tmp_path / "x.bmp").write_bytes(b"the user's photo")
    with pytest.raises(OSError, match="cannot write mode LA"):
        lib._save_image(Image.new("LA", (8, 8)), tmp_path / "x.bmp", "bmp", 90)
    assert (tmp_path / "x.bmp").read_bytes() == b"the user's photo"
    assert os.listdir(tmp_path) == ["x.bmp"]


def test_failure_mid_write_keeps_file_and_leaves_nothing(lib, tmp_path):
    (tmp_path / "x.png").write_bytes(b"the user's photo")
    seen = []

    class HalfWriter:
        mode = "RGB"

        def save(self, fp, format):
            fp.write(b"half a picture")
            seen.extend(set(os.listdir(tmp_path)) - {"x.png"})
            raise OSError(errno.ENOSPC, "No space left on device")

    with pytest.raises(OSError, match="No space"):
        lib._save_image(HalfWriter(), tmp_path / "x.png", "png", 90)
    assert (tmp_path / "x.png").read_bytes() == b"the user's photo"
    assert os.listdir(tmp_path) == ["x.png"]
    assert seen == []  # the encoder writes into memory; nothing shows in the folder meanwhile


@pytest.mark.parametrize("umask", [0o022, 0o077])
def test_permission_bits(lib, tmp_path, umask):
    old = os.umask(umask)
    try:
        (tmp_path / "kept.png").write_bytes(b"x")
        os.chmod(tmp_path / "kept.png", 0o604)
        lib._save_image(Image.new("RGB", (8, 8)), tmp_path / "kept.png", "png", 90)
        lib._save_image(Image.new("RGB", (8, 8)), tmp_path / "new.png", "png", 90)
    finally:
        os.umask(old)
    assert os.stat(tmp_path / "kept.png").st_mode & 0o7777 == 0o604
    assert os.stat(tmp_path / "new.png").st_mode & 0o7777 == 0o666 & ~umask


@pytest.mark.skipif(AS_ROOT, reason="root writes anywhere")
def test_write_protected_file_stays_as_it_was(lib, tmp_path):
    (tmp_path / "x.png").write_bytes(b"x")
    os.chmod(tmp_path / "x.png", 0o444)
    with pytest.raises(PermissionError):
        lib._save_image(Image.new("RGB", (8, 8)), tmp_path / "x.png", "png", 90)
    assert (tmp_path / "x.png").read_bytes() == b"x"


def test_linked_target_is_replaced_not_followed(lib, tmp_path):
    (tmp_path / "real.png").write_bytes(b"x")
    (tmp_path / "link.png").symlink_to(tmp_path / "real.png")
    lib._save_image(Image.new("RGB", (8, 8)), tmp_path / "link.png", "png", 90)
    assert not (tmp_path / "link.png").is_symlink()
    assert Image.open(tmp_path / "link.png").size == (8, 8)
    assert (tmp_path / "real.png").read_bytes() == b"x"


# ---- conversion -------------------------------------------------------------------


def test_convert_names_and_policies(lib, tmp_path):
    source = str(png(tmp_path / "a.png"))
    assert lib.convert_files([source], "JPG", 90, None, "rename", False) == [str(tmp_path / "a.jpg")]
    assert lib.convert_files([source], "jpg", 90, None, "rename", False) == [str(tmp_path / "a_1.jpg")]
    assert lib.convert_files([source], "jpg", 90, None, "overwrite", False) == [str(tmp_path / "a.jpg")]
    with pytest.raises(FileExistsError, match="a.jpg"):
        lib.convert_files([source], "jpg", 90, None, "skip", False)
    for refused in ("jpeg", "tiff", ".png", " png"):
        with pytest.raises(ValueError, match="unsupported format"):
            lib.convert_files([], refused, 90, None, "rename", False)


def test_convert_delete_source(lib, tmp_path):
    a, b, c = png(tmp_path / "a.png"), png(tmp_path / "b.png"), png(tmp_path / "C.PNG")
    got = lib.convert_files([str(a), str(b), str(c), str(a)], "png", 90, None, "rename", True)
    assert got == [str(a), str(b), str(tmp_path / "C.png"), str(a)]
    assert sorted(os.listdir(tmp_path)) == ["C.png", "a.png", "b.png"]
    got = lib.convert_files([str(a), str(a)], "jpg", 90, None, "rename", True)
    assert got == [str(tmp_path / "a.jpg")] and not a.exists()


def test_convert_skips_and_type_errors(lib, tmp_path):
    good = str(png(tmp_path / "a.png"))
    (tmp_path / "notes.txt").write_text("x")
    (tmp_path / "album.png").mkdir()
    others = [str(tmp_path / "notes.txt"), str(tmp_path / "missing.png"), str(tmp_path / "album.png")]
    assert lib.convert_files(iter([good, *others]), "gif", 90, str(tmp_path / "o"), "rename", False) \
        == [str(tmp_path / "o/a.gif")]

    for bad, message in ((42, "Expected str, got int"), (Text(good), "got Text"),
                         (Path(good), "got PosixPath"), (b"a.png", "got bytes"), (None, "")):
        with pytest.raises(TypeError, match=message):
            lib.convert_files((good, bad), "bmp", 90, str(tmp_path / "t"), "rename", False)
    assert len(os.listdir(tmp_path / "t")) == 5  # the element before each refusal was converted


LONE_PATH_EDITS = {
    "convert": lambda lib, paths: lib.convert_files(paths, "bmp", 90, None, "rename", True),
    "rotate": lambda lib, paths: lib.rotate_files(paths, 90, True),
    "resize": lambda lib, paths: lib.resize_files(paths, "percent", 50, None, None, None, "overwrite"),
    "delete": lambda lib, paths: lib.delete_files(paths),
}


@pytest.mark.parametrize("edit", LONE_PATH_EDITS)
@pytest.mark.parametrize("lone", ["a.png", b"a.png", Text("a.png")], ids=["str", "bytes", "str subclass"])
def test_a_lone_path_is_refused_before_anything_is_done(lib, tmp_path, monkeypatch, edit, lone):
    monkeypatch.chdir(tmp_path)
    png(tmp_path / "a.png")
    before = snapshot(tmp_path)
    with pytest.raises(TypeError) as refused:
        LONE_PATH_EDITS[edit](lib, lone)
    assert str(refused.value) == f"paths must be a list or tuple of paths, not {type(lone).__name__}"
    assert snapshot(tmp_path) == before


SOURCE_MODES = {"P": ("P", None), "L": ("L", None), "LA": ("LA", None), "RGBA": ("RGBA", (1, 2, 3, 4)),
                "I;16": ("I;16", 40000)}


@pytest.mark.parametrize("fmt", ["bmp", "gif", "jpg", "png", "tif", "webp"])
@pytest.mark.parametrize("kind", SOURCE_MODES)
def test_convert_every_mode_to_every_format(lib, tmp_path, kind, fmt):
    source = png(tmp_path / "s.png", (24, 16), *SOURCE_MODES[kind])
    before = source.read_bytes()
    out = tmp_path / "out"
    out.mkdir()
    (out / f"s.{fmt}").write_bytes(b"older")
    if (kind, fmt) in {("LA", "bmp"), ("I;16", "bmp")}:
        with pytest.raises(OSError, match="cannot write mode"):
            lib.convert_files([str(source)], fmt, 90, str(out), "overwrite", True)
        assert (out / f"s.{fmt}").read_bytes() == b"older"
    else:
        lib.convert_files([str(source)], fmt, 90, str(out), "overwrite", False)
        with Image.open(out / f"s.{fmt}") as written:
            assert written.size == (24, 16) and written.format == lib.SAVE_FORMATS[fmt]
    assert source.read_bytes() == before and os.listdir(out) == [f"s.{fmt}"]


def test_decode_failure_midway_keeps_earlier_results(lib, tmp_path):
    a, broken, c = png(tmp_path / "a.png"), png(tmp_path / "b.png"), png(tmp_path / "c.png")
    broken.write_bytes(broken.read_bytes()[:200])
    damaged = broken.read_bytes()
    for edit in (lambda p: lib.convert_files(p, "jpg", 90, None, "rename", False),
                 lambda p: lib.rotate_files(p, 90, True),
                 lambda p: lib.resize_files(p, "percent", 50, None, None, None, "rename")):
        with pytest.raises(OSError):
            edit([str(a), str(broken), str(c)])
        assert broken.read_bytes() == damaged
    assert Image.open(tmp_path / "a.jpg").size == (400, 300)
    assert Image.open(a).size == (150, 200) and Image.open(c).size == (400, 300)
    assert sorted(os.listdir(tmp_path)) == ["ZEL originals", "a.jpg", "a.png", "b.png", "c.png"]


def test_output_folder_problems(lib, tmp_path):
    source = str(png(tmp_path / "a.png"))
    (tmp_path / "taken").write_bytes(b"x")
    with pytest.raises(FileExistsError):
        lib.convert_files([source], "jpg", 90, str(tmp_path / "taken"), "rename", False)
    if not AS_ROOT:
        (tmp_path / "ro").mkdir(mode=0o555)
        with pytest.raises(PermissionError):
            lib.resize_files([source], "percent", 50, None, None, str(tmp_path / "ro"), "rename")
        assert os.listdir(tmp_path / "ro") == []
    assert Image.open(source).size == (400, 300)


def test_linked_sources_act_on_their_targets(lib, tmp_path):
    (tmp_path / "real").mkdir()
    quadrants(tmp_path / "real/a.png")
    (tmp_path / "l.png").symlink_to(tmp_path / "real/a.png")
    assert lib.convert_files([str(tmp_path / "l.png")], "webp", 90, None, "rename", False) \
        == [str(tmp_path / "real/a.webp")]
    assert lib.rotate_files([str(tmp_path / "l.png")], 90, False) == [str(tmp_path / "real/a.png")]
    assert (tmp_path / "l.png").is_symlink() and Image.open(tmp_path / "l.png").size == (300, 400)


# ---- rotation -------------------------------------------------------------------------

RED, LIME, BLUE, WHITE = (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)


@pytest.mark.parametrize("degrees, size, want", [
    (90, (300, 400), [BLUE, RED, WHITE, LIME]),      # former left edge on top
    (90.0, (300, 400), [BLUE, RED, WHITE, LIME]),
    (-90, (300, 400), [LIME, WHITE, RED, BLUE]),     # former right edge on top
    (270, (300, 400), [LIME, WHITE, RED, BLUE]),
    (180, (400, 300), [WHITE, BLUE, LIME, RED]),
])
def test_rotate_directions(lib, tmp_path, degrees, size, want):
    source = quadrants(tmp_path / "q.png")
    assert lib.rotate_files([str(source)], degrees, False) == [str(source)]
    assert corners(source) == (size, want) and os.listdir(tmp_path) == ["q.png"]


@pytest.mark.parametrize("degrees", [0, 45, 360, "90", None])
def test_rotate_refuses_other_angles(lib, degrees):
    with pytest.raises(ValueError, match="degrees must be 90, -90, 180, or 270"):
        lib.rotate_files([], degrees, True)


def test_rotate_backups(lib, tmp_path):
    source = quadrants(tmp_path / "a.jpg", "JPEG")
    os.utime(source, (1_000_000_000, 1_000_000_000))
    original = source.read_bytes()
    lib.rotate_files([str(source)], 90, True)
    once = source.read_bytes()
    lib.rotate_files([str(source)], 90, True)
    backups = tmp_path / "ZEL originals"
    assert sorted(os.listdir(backups)) == ["a.jpg", "a_1.jpg"]
    assert (backups / "a.jpg").read_bytes() == original and (backups / "a_1.jpg").read_bytes() == once
    assert os.stat(backups / "a.jpg").st_mtime == 1_000_000_000
    assert Image.open(source).format == "JPEG" and Image.open(source).size == (400, 300)


def test_rotate_backup_folder_taken_by_a_file(lib, tmp_path):
    source = quadrants(tmp_path / "a.png")
    (tmp_path / "ZEL originals").write_bytes(b"x")
    with pytest.raises(FileExistsError):
        lib.rotate_files([str(source)], 90, True)
    assert corners(source)[0] == (400, 300)


@pytest.mark.parametrize("suffix, fmt", [(".tiff", "TIFF"), (".TIF", "TIFF"), (".jpe", "JPEG"), (".JFIF", "JPEG"),
                                         (".jpeg", "JPEG"), (".webp", "WEBP"), (".gif", "GIF"), (".BMP", "BMP")])
def test_rotate_writes_each_file_in_its_own_format(lib, tmp_path, suffix, fmt):
    source = quadrants(tmp_path / f"a{suffix}", fmt)
    lib.rotate_files([str(source)], -90, False)
    with Image.open(source) as turned:
        assert turned.format == fmt and turned.size == (300, 400)


@pytest.mark.parametrize("suffix", [".avif", ".heic", ".HEIF", ".ICO", ".ppm", ".pgm", ".pbm"])
def test_rotate_refuses_formats_without_encoder_before_writing(lib, tmp_path, suffix):
    source = quadrants(tmp_path / f"a{suffix}")  # PNG data: readable whatever the name says
    before = source.read_bytes()
    with pytest.raises(KeyError) as caught:
        lib.rotate_files([str(source)], 90, True)
    assert caught.value.args == (suffix.lower()[1:],) and source.read_bytes() == before
    assert sorted(tmp_path.iterdir()) == [source]  # no backup folder, no copy, no debris


@pytest.mark.parametrize("kind", SOURCE_MODES)
def test_rotate_and_resize_keep_mode(lib, tmp_path, kind):
    source = png(tmp_path / "s.png", (24, 16), *SOURCE_MODES[kind])
    mode = Image.open(source).mode
    lib.rotate_files([str(source)], 90, False)
    lib.resize_files([str(source)], "percent", 50, None, None, None, "rename")
    with Image.open(source) as out:
        assert out.size == (8, 12) and out.mode == mode


# ---- resizing ----------------------------------------------------------------------------


@pytest.mark.parametrize("src, basis, value, width, height, want", [
    ((5, 3), "percent", 50, None, None, (2, 2)),
    ((400, 300), "percent", 0, None, None, (1, 1)),
    ((400, 300), "percent", -10, None, None, (1, 1)),
    ((40, 30), "percent", 200, None, None, (80, 60)),
    ((400, 300), "percent", " 50 ", None, None, (200, 150)),
    ((400, 300), "long", 200, None, None, (200, 150)),
    ((400, 300), "long", 800, None, None, (800, 600)),
    ((300, 400), "long", 200, None, None, (150, 200)),
    ((300, 300), "short", 200, None, None, (200, 200)),
    ((400, 300), "short", 150, None, None, (200, 150)),
    ((400, 300), "width", 200, None, None, (200, 150)),
    ((400, 300), "height", "150", None, None, (200, 150)),
    ((400, 300), "resolution", None, 640, None, (640, 1)),
    ((400, 300), "resolution", "ignored", 640.9, "64", (640, 64)),
    ((400, 300), "resolution", None, -5, 0, (1, 1)),
])
def test_resize_rules(lib, tmp_path, src, basis, value, width, height, want):
    source = png(tmp_path / "a.png", src)
    assert lib.resize_files([str(source)], basis, value, width, height, None, "skip") == [str(source)]
    assert Image.open(source).size == want


@pytest.mark.parametrize("basis, value, width, height, limit, refused", [
    ("percent", 1e6, None, None, 89_478_485, "400000 x 400000"),
    ("long", 10**6, None, None, 89_478_485, "1000000 x 1000000"),
    ("resolution", 0, 10**5, 10**5, 89_478_485, "100000 x 100000"),
    ("resolution", 0, 41, 40, 1600, "41 x 40"),  # one column past a lowered limit
    ("resolution", 0, 40, 40, 1600, None),
])
def test_sizes_beyond_the_pixel_limit_are_refused_before_any_work(lib, tmp_path, monkeypatch, basis, value, width,
                                                                   height, limit, refused):
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", limit)
    source = tmp_path / "a.png"
    Image.new("RGB", (40, 40), "red").save(source)
    if refused is None:
        assert lib.resize_files([str(source)], basis, value, width, height, None, "rename") == [str(source)]
        return
    with pytest.raises(ValueError, match=f"^a size of {refused} pixels is more than Image.MAX_IMAGE_PIXELS"):
        lib.resize_files([str(source)], basis, value, width, height, str(tmp_path / "out"), "rename")
    assert os.listdir(tmp_path) == ["a.png"]


def test_resize_basis_checked_at_first_image(lib, tmp_path):
    assert lib.resize_files([str(tmp_path / "missing.png")], "nonsense", 1, None, None, None, "rename") == []
    with pytest.raises(ValueError, match="unknown basis"):
        lib.resize_files([str(png(tmp_path / "a.png"))], "nonsense", 1, None, None, None, "rename")


def test_resize_names_and_formats(lib, tmp_path):
    ppm, jfif = tmp_path / "a.ppm", tmp_path / "b.jfif"
    Image.new("RGB", (40, 30)).save(ppm, format="PPM")
    Image.new("RGB", (40, 30)).save(jfif, format="JPEG")
    got = lib.resize_files([str(ppm), str(jfif), str(ppm)], "width", 20, None, None, None, "rename")
    assert got == [str(ppm), str(jfif), str(ppm)]
    assert [(Image.open(p).format, Image.open(p).size) for p in (ppm, jfif)] == [("JPEG", (20, 15))] * 2
    c = png(tmp_path / "c.png")
    (tmp_path / "o").mkdir()
    (tmp_path / "o/c.png").write_bytes(b"x")
    with pytest.raises(FileExistsError):
        lib.resize_files([str(c)], "width", 10, None, None, str(tmp_path / "o"), "skip")
    assert (tmp_path / "o/c.png").read_bytes() == b"x"


# ---- odd input --------------------------------------------------------------------------


@pytest.mark.parametrize("element", ["a\0.png", "\udcff.png", "x" * 5000 + ".png", "~nobody-here/a.png", ""])
def test_odd_elements_do_not_crash(lib, tmp_path, element, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for edit in (lambda: lib.convert_files([element], "png", 90, None, "rename", False),
                 lambda: lib.rotate_files([element], 90, True),
                 lambda: lib.resize_files([element], "percent", 50, None, None, None, "rename")):
        try:
            assert edit() == []
        except (OSError, ValueError, RuntimeError):
            pass
    with pytest.raises(RuntimeError, match="no path"):
        lib._destination(tmp_path / "a.png", BadPath(), None, "rename")


def test_no_reference_leaks(lib, tmp_path):
    source = png(tmp_path / "a.png", (8, 8))
    paths, folder, policy, fmt, basis = [str(source)], str(tmp_path / "out"), "overwrite", "jpg", "percent"
    watched = [paths, paths[0], folder, policy, fmt, basis, source]

    def work():
        lib.convert_files(paths, fmt, 90, folder, policy, False)
        lib.resize_files(paths, basis, 100, None, None, folder, policy)
        lib.rotate_files(paths, 180, False)
        lib._destination(source, folder, None, policy)
        with pytest.raises(TypeError):
            lib.convert_files([42], fmt, 90, folder, policy, False)
        with pytest.raises(FileExistsError):
            lib.convert_files(paths, fmt, 90, folder, "skip", False)

    assert_keeps_references(watched, work, 200)
