"""Command-line front end: browse a folder, or run the demo on generated sample images.

    python -m quorvane_image_viewer list [FOLDER] [--hidden]
    python -m quorvane_image_viewer demo [--keep]
"""

import argparse
import datetime
import os
import shutil
import sys
import tempfile
from pathlib import Path

from PIL import Image

from quorvane_image_viewer import library


def _when(mtime):
    return datetime.datetime.fromtimestamp(mtime).strftime("%Y-%m-%d %H:%M")


def print_listing(listing, out=sys.stdout):
    """Prints a listing as a table: folders first, then image files."""
    rows = listing["folders"] + listing["files"]
    width = max([len(r["name"]) for r in rows] + [4])
    print(f"{listing['path']}  (parent: {listing['parent']})", file=out)
    print(f"  {'kind':<6} {'name':<{width}} {'size':>10}  modified", file=out)
    for row in rows:
        print(f"  {row['kind']:<6} {row['name']:<{width}} {row['size']:>10}  {_when(row['mtime'])}", file=out)
    print(f"  {len(listing['folders'])} folders, {len(listing['files'])} images", file=out)


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


def demo(keep=False):
    base = Path(tempfile.mkdtemp(prefix="quorvane-demo-"))
    try:
        folder = make_sample_folder(base / "samples")
        print("== Listing (hidden entries left out)")
        print_listing(library.list_dir(str(folder)))
        print()
        print("== Listing with hidden entries")
        print_listing(library.list_dir(str(folder), show_hidden=True))
    finally:
        if keep:
            print(f"\nsample folder kept at {base}")
        else:
            shutil.rmtree(base, ignore_errors=True)
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m quorvane_image_viewer")
    commands = parser.add_subparsers(dest="command", required=True)
    listing = commands.add_parser("list", help="list a folder's sub-folders and images")
    listing.add_argument("folder", nargs="?", default=os.curdir)
    listing.add_argument("--hidden", action="store_true", help="show entries whose name begins with a dot")
    run_demo = commands.add_parser("demo", help="run the demo on generated sample images")
    run_demo.add_argument("--keep", action="store_true", help="keep the sample folder afterwards")
    args = parser.parse_args(argv)
    if args.command == "list":
        print_listing(library.list_dir(args.folder, args.hidden))
        return 0
    return demo(keep=args.keep)


if __name__ == "__main__":
    sys.exit(main())
