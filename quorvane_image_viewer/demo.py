"""The demo job: every function of the module on generated sample images, in a throw-away folder."""

import io
import os
import shutil
import tempfile
from pathlib import Path

from PIL import Image

from quorvane_image_viewer import library
from quorvane_image_viewer.cli import print_listing


def _exif_with_orientation(orientation):
    exif = Image.Exif()
    exif[0x0112] = orientation
    exif[271] = "Demo Camera Co"
    exif[272] = "Model D1"
    exif[306] = "2026:12:07 10:30:00"
    return exif


def make_sample_folder(root):
    """Writes a few generated images in several formats, plus the things a listing leaves out."""
    root = Path(root)
    (root / "Trips").mkdir(parents=True, exist_ok=True)
    gradient = Image.linear_gradient("L").resize((320, 240))
    photo = Image.merge("RGB", (gradient, gradient.transpose(Image.Transpose.FLIP_LEFT_RIGHT), gradient))
    photo.save(root / "harbour.jpg", quality=90, exif=_exif_with_orientation(6))
    photo.save(root / "upright.jpg", quality=90, exif=_exif_with_orientation(1))
    photo.convert("RGBA").save(root / "logo.png")
    photo.convert("P").save(root / "banner.gif")
    photo.save(root / "scan.tif")
    photo.save(root / "Sunset.BMP")
    photo.save(root / "web.webp")
    photo.save(root / ".hidden.png")
    (root / "notes.txt").write_text("not an image\n")
    return root


def _section(title):
    print(f"\n== {title}")


def _short(path, base):
    return os.path.relpath(path, base)


def demo(keep=False):
    base = Path(tempfile.mkdtemp(prefix="quorvane-demo-"))
    # The thumbnail cache lives under the home folder: keep the demo's inside its own folder.
    os.environ["HOME"] = str(base / "home")
    (base / "home").mkdir()
    try:
        folder = make_sample_folder(base / "samples")
        _section("Listing (hidden entries left out)")
        listing = library.list_dir(str(folder))
        print_listing(listing)
        _section("Listing with hidden entries")
        print_listing(library.list_dir(str(folder), show_hidden=True))

        files = listing["files"]
        for key in ("name", "size", "date", "type"):
            _section(f"Sorted by {key}, then descending")
            print("  " + ", ".join(r["name"] for r in library.sort_files(files, key, False)))
            print("  " + ", ".join(r["name"] for r in library.sort_files(files, key, True)))

        _section("Display sources")
        for row in files:
            source, media = library.display_source(row["path"])
            shown = "the file itself" if isinstance(source, Path) else f"upright JPEG, {len(source)} bytes"
            print(f"  {row['name']:<14} {media:<11} {shown}")

        _section(f"Thumbnails, cached in {_short(library.thumb_cache_dir(), base)}")
        for row in files:
            data = library.thumbnail_bytes(row["path"])
            with Image.open(io.BytesIO(data)) as thumb:
                print(f"  {row['name']:<14} {thumb.size[0]}x{thumb.size[1]}  {len(data)} bytes")
        print(f"  {len(list(library.thumb_cache_dir().iterdir()))} entries in the cache")

        _section("File information for harbour.jpg (stored sideways)")
        for key, value in library.file_info(str(folder / "harbour.jpg")).items():
            print(f"  {key:<7} {value}")

        work = base / "edits"
        work.mkdir()
        copies = [str(shutil.copy2(row["path"], work / row["name"])) for row in files]
        _section("Convert copies to PNG into edits/png")
        for path in library.convert_files(copies, "png", 90, str(work / "png"), "rename", False):
            print(f"  wrote {_short(path, base)}")
        _section("Rotate the JPEG copies a quarter turn, keeping the originals")
        jpegs = [str(p) for p in copies if p.endswith(".jpg")]
        for path in library.rotate_files(jpegs, 90, True):
            with Image.open(path) as turned:
                print(f"  turned {_short(path, base)}: now {turned.size[0]}x{turned.size[1]}")
        for backup in sorted((work / "ZEL originals").iterdir()):
            print(f"  backup {_short(backup, base)}")
        _section("Resize copies to a 120-pixel long edge into edits/small")
        for path in library.resize_files(copies, "long", 120, None, None, str(work / "small"), "rename"):
            with Image.open(path) as small:
                print(f"  wrote {_short(path, base)}: {small.size[0]}x{small.size[1]}")

        _section("Rename pattern preview: [%YYYY]-[%MM]-[%DD]_[%P]_[%N]_###")
        names = [library.apply_rename_pattern(row["name"], "[%YYYY]-[%MM]-[%DD]_[%P]_[%N]_###", i + 1, "Harbour",
                                              None) for i, row in enumerate(library.sort_files(files, "name", False))]
        for row, new_name in zip(library.sort_files(files, "name", False), names):
            print(f"  {row['name']:<14} -> {new_name}")
        _section("Rename one copy, delete another")
        renamed = library.rename_file(str(work / "upright.jpg"), "upright-renamed.jpg")
        print(f"  renamed to {_short(renamed, base)}")
        for path in library.delete_files([str(work / "banner.gif"), str(work / "notes.txt")]):
            print(f"  deleted {_short(path, base)}")
        _section("The edits folder now")
        print_listing(library.list_dir(str(work)))
    finally:
        if keep:
            print(f"\nsample folder kept at {base}")
        else:
            shutil.rmtree(base, ignore_errors=True)
    return 0
