"""Calls every public function of the module the way the type stub allows; run, it works on a folder.

    python uses_every_function.py FOLDER   (FOLDER holds an image a.jpg)
"""

from __future__ import annotations

import sys
from pathlib import Path
from typing import TYPE_CHECKING

import quorvane_image_viewer.library as m

if TYPE_CHECKING:
    from quorvane_image_viewer.library import FileInfo, Listing, ListingRow


def main(folder: str) -> None:
    root = Path(folder)
    assert m.is_image(root / "a.jpg")
    assert ".jpg" in m.IMAGE_SUFFIXES
    formats = sorted(m.SAVE_FORMATS)

    listing: Listing = m.list_dir(folder, show_hidden=False)
    rows: list[ListingRow] = m.sort_files(listing["files"], "date", True)
    first: str = rows[0]["path"]
    assert rows[0]["kind"] == "image" and listing["parent"] is not None

    info: FileInfo = m.file_info(root / "a.jpg")
    exposure: str | None = info["exif"].get("exposure")
    taken: str | None = info["exif"].get("taken")
    position = (info["exif"].get("latitude"), info["exif"].get("longitude"))
    assert info["width"] > 0 and exposure is None and taken is None and position == (None, None)

    with m.open_oriented(first) as image:
        assert image.size[0] > 0

    cache: Path = m.thumb_cache_dir()
    thumb: bytes = m.thumbnail_bytes(first, long_edge=64)
    source, media = m.display_source(root / "a.jpg")
    assert cache.is_dir() and thumb and isinstance(source, Path) and media == "image/jpeg"

    pngs: list[str] = m.convert_files([first], "png", 90, str(root / "png"), "rename", False)
    webps = m.convert_files((first,), "WEBP", 80, None, "skip", delete_source=False)
    turned: list[str] = m.rotate_files(pngs, -90, keep_original=True)
    small = m.resize_files(webps, "long", 16.5, None, None, str(root / "small"), "overwrite")
    exact = m.resize_files(small, "resolution", 0, 8, 6, None, "rename")

    new_name: str = m.apply_rename_pattern(Path(turned[0]).name, "[%P]_###", 1, root.name, None)
    renamed: str = m.rename_file(turned[0], new_name)
    made: str = m.make_folder(root, "Later")
    start: str = m.home_folder()
    removed: list[str] = m.delete_files([renamed, *exact])
    assert formats[0] == "bmp" and made and start and len(removed) == 2


if __name__ == "__main__":
    main(sys.argv[1])
