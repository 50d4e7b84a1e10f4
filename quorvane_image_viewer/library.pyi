"""Folder listing and image edits. Paths stay on this machine.

Types for the native module. The record and literal types below exist for type
checkers only: import them under ``if typing.TYPE_CHECKING:``.

Paths: single-path parameters take a ``str`` or any ``os.PathLike[str]``; a leading
``~`` is expanded and the path resolved. The batch functions take a list or tuple of
``str`` (a lone ``str`` would be walked character by character, and ``Path``
elements are refused with ``TypeError``). Batch functions skip, silently, every
element that is not an existing image file, and stop at the first error: files done
before it stay done.
"""

import os
from collections.abc import Iterable
from pathlib import Path, PurePath
from typing import IO, Literal, TypedDict

from PIL import Image as _PILImage

# A path: text, or any path-like object with a text form.
StrPath = str | os.PathLike[str]

# The paths of a batch: a list or tuple of ``str``, never a lone ``str``.
PathList = list[str] | tuple[str, ...]

# Orders of :func:`sort_files`: case-insensitive name, bytes, modification time, suffix.
SortKey = Literal["name", "size", "date", "type"]

# The size rules (``basis``) of :func:`resize_files`.
SizeRule = Literal["percent", "resolution", "long", "short", "width", "height"]

# Turns of :func:`rotate_files`, in degrees clockwise.
Degrees = Literal[90, -90, 180, 270]

# The formats the module writes, as keys of :data:`SAVE_FORMATS`.
FormatKey = Literal["bmp", "gif", "jpg", "png", "tif", "webp"]

# Target formats of :func:`convert_files`; letter case does not matter.
ConvertFormat = FormatKey | Literal["BMP", "GIF", "JPG", "PNG", "TIF", "WEBP"]

# What an edit does when its output name is taken: a numbered name (a_1.jpg), raise
# ``FileExistsError``, or write over the file.
OnConflict = Literal["rename", "skip", "overwrite"]

# Media types of files the viewer can show as stored.
MediaType = Literal["image/jpeg", "image/png", "image/webp", "image/gif", "image/bmp"]

class ListingRow(TypedDict):
    """One entry of a folder listing."""

    # The entry's own name, suffix included.
    name: str
    # The resolved folder joined with the name (a link keeps its own name).
    path: str
    # Modification time, whole seconds since the epoch.
    mtime: int
    # Size in bytes (for a folder: the folder entry's own size).
    size: int
    kind: Literal["dir", "image"]

class Listing(TypedDict):
    """One level of a folder: its sub-folders by name, its image files in directory order."""

    path: str
    # The parent folder, or None for the file-system root.
    parent: str | None
    folders: list[ListingRow]
    files: list[ListingRow]

class ExifFields(TypedDict, total=False):
    """Camera fields, each present only when the file has it, as text."""

    make: str
    model: str
    # As the camera wrote it: "YYYY:MM:DD HH:MM:SS".
    datetime: str
    # Exposure time in seconds, as a decimal ("0.008" for 1/125 s).
    exposure: str
    iso: str
    # Focal length in millimetres ("35.0").
    focal: str
    # When the photo was taken, as the camera wrote it: "YYYY:MM:DD HH:MM:SS".
    taken: str
    # The aperture's f-number ("2.8").
    fnumber: str
    lens: str
    # Where it was taken, in decimal degrees with six decimals, negative south and west.
    latitude: str
    longitude: str

class FileInfo(TypedDict):
    """What the viewer's side panel shows about one image."""

    path: str
    name: str
    # Bytes.
    size: int
    # Whole seconds since the epoch.
    mtime: int
    # Pixels, as displayed (upright).
    width: int
    # Pixels, as displayed (upright).
    height: int
    # The format Pillow reports ("JPEG", "PNG", ...; "HEIF" or "AVIF" for photos those hold), or None.
    format: str | None
    exif: ExifFields

# The lower-case suffixes, dot included, that make a file an image (".jpg", ".png", ...).
IMAGE_SUFFIXES: set[str]

# Format key to Pillow encoder name: "bmp", "gif", "jpg", "png", "tif", "webp".
SAVE_FORMATS: dict[FormatKey, str]

def is_image(path: PurePath) -> bool:
    """Whether the name's last suffix, in any case, is an image suffix.

    Looks at the name only (a folder named a.jpg counts); never touches the disk.
    A plain ``str`` has no suffix and raises ``AttributeError``.
    """

def open_oriented(path: StrPath | IO[bytes]) -> _PILImage.Image:
    """The image opened with Pillow and turned upright by its EXIF orientation.

    Use it in a ``with`` block, which closes it. Raises ``FileNotFoundError`` (its text
    the resolved path) when a path names anything but a regular file (a FIFO, socket or
    device is never opened), and what Pillow raises for an unreadable or undecodable file.
    """

def list_dir(folder: StrPath, show_hidden: bool = False) -> Listing:
    """One level of ``folder``: sub-folders in case-insensitive name order, then image files.

    Names beginning with "." are left out unless ``show_hidden``; other files are never
    listed; entries that cannot be stat-ed are skipped. Raises ``FileNotFoundError``
    (its text the resolved path) when ``folder`` is not a folder; ``PermissionError``
    when it cannot be read.
    """

def sort_files(files: Iterable[ListingRow], key: SortKey, descending: bool) -> list[ListingRow]:
    """A new list of the same rows, ordered by ``key``; ``files`` is not changed.

    "name" compares names without regard to case, "size" bytes, "date" modification
    times, "type" the lower-cased suffix. The sort is stable; descending is the exact
    reverse of ascending. Raises ``KeyError`` for a row without the key's field.
    """

def file_info(path: StrPath) -> FileInfo:
    """The record of one image: path, name, size in bytes, modification time in whole
    seconds, upright width and height in pixels, format and camera fields.

    Raises ``FileNotFoundError`` (its text the resolved path) when ``path`` is not an
    existing image file, and Pillow's error when the file cannot be read as an image.
    """

def thumb_cache_dir() -> Path:
    """The thumbnail cache folder, ~/.quorvane/image_viewer/thumbs, made if missing."""

def thumbnail_bytes(path: StrPath, long_edge: int = 256) -> bytes:
    """A small upright JPEG of the image, from the cache or made and cached now.

    ``long_edge`` is in pixels, clamped to 32..1024; images are never enlarged. An
    edited file (new time or size) gets a new entry. Raises ``FileNotFoundError``
    (its text the resolved path) when ``path`` is not an existing image file, and
    Pillow's error for an image it cannot decode.
    """

def display_source(path: StrPath) -> tuple[Path, MediaType] | tuple[bytes, Literal["image/jpeg"]]:
    """What to show for ``path`` at full size.

    The resolved file itself and its media type when the viewer can show it as stored
    and it is upright; otherwise the bytes of an upright JPEG made in memory and
    "image/jpeg" (for a sideways JPEG, its own pixels rearranged without loss where the
    size allows). Raises ``FileNotFoundError`` (its text the resolved path) when
    ``path`` is not an existing image file, and Pillow's error for a bad image.
    """

def _media_type(suffix: str) -> str:
    """Internal: the media type of a lower-cased suffix, "application/octet-stream" if unknown."""

def _destination(path: Path, folder: str | None, suffix: str | None, on_conflict: str) -> Path:
    """Internal: the output path of an edit of the resolved ``path``; makes the output folder.

    Raises ``FileExistsError`` under "skip" when the name is taken.
    """

def rotate_files(paths: PathList, degrees: Degrees, keep_original: bool) -> list[str]:
    """Turns each image in place, clockwise by ``degrees`` (-90 is counter-clockwise),
    written back in its own format. A JPEG turns without loss (its compressed blocks
    rearranged, every marker kept, the EXIF orientation set to 1) when its width and height
    allow it; otherwise, like other formats, it is re-encoded (JPEG at quality 90).

    With ``keep_original`` the unturned file is first copied into a "ZEL originals"
    folder beside it (a.jpg, then a_1.jpg, ...). Returns the resolved paths turned.
    Raises ``ValueError`` for any other angle, before anything is touched;
    ``FileExistsError`` (naming it) when that folder is a link or not a folder, before
    the file is touched; ``TypeError`` for an element that is not a ``str``;
    ``KeyError`` for a format the module cannot write (.heic, .avif, .ico, ...), before
    anything is written for that file; Pillow's error for a bad image.
    """

def _save_image(image: _PILImage.Image, dest: Path, fmt_key: str, quality: int) -> None:
    """Internal: writes ``image`` to ``dest`` with the encoder of ``fmt_key`` ("jpeg" as "jpg").

    EXIF the encoder rejects is left out, with a ``UserWarning`` naming ``dest``.
    """

def resize_files(paths: PathList, basis: SizeRule, value: float, width: int | None,
                 height: int | None, folder: str | None, on_conflict: OnConflict) -> list[str]:
    """Scales each image by a size rule and writes it in its own format.

    ``basis`` "percent": both sides by ``value`` percent; "long", "short", "width",
    "height": that side to ``value`` pixels, keeping the proportions; "resolution":
    exactly ``width`` by ``height`` pixels (``value`` unused). Sides are rounded and at
    least 1 pixel; images may be enlarged. The output goes into ``folder`` (made if
    missing) or, when it is None or empty, replaces the source. Returns the paths
    written. Raises ``ValueError("unknown basis")`` at the first image for any other
    rule; ``ValueError`` naming the size when the output would have more pixels than
    ``PIL.Image.MAX_IMAGE_PIXELS``, before anything is made; ``FileExistsError`` under
    "skip" when an output name is taken; ``TypeError`` for an element that is not a
    ``str``; Pillow's error for a bad image.
    """

def _fmt_key(suffix: str) -> FormatKey:
    """Internal: the format key a suffix is written with ("jpg" for those without their own)."""

def convert_files(paths: PathList, fmt: ConvertFormat, quality: int, folder: str | None,
                  on_conflict: OnConflict, delete_source: bool) -> list[str]:
    """Writes an upright copy of each image in format ``fmt``, named with its suffix.

    ``quality`` (1..100, clamped) is for formats that have one. The copy goes into
    ``folder`` (made if missing) or beside its source. With ``delete_source`` each
    source is removed once its copy is written (never when the copy replaced it).
    Returns the paths written. Raises ``ValueError("unsupported format")`` before
    anything is touched; ``FileExistsError`` under "skip" when an output name is
    taken; ``TypeError`` for an element that is not a ``str``; Pillow's error for a
    bad image.
    """

def rename_file(path: StrPath, new_name: StrPath) -> str:
    """Gives the file a new name in its own folder and returns the new path.

    Only the last component of ``new_name`` is used, suffix and all. Raises
    ``FileNotFoundError`` when ``path`` is not an existing file, ``ValueError("bad
    name")`` for an empty name, "." or "..", and ``FileExistsError`` (its text the new
    path) when another entry has the name.
    """

def apply_rename_pattern(name: StrPath, pattern: str, index: int, folder: str, shot: str | None) -> str:
    """The new name for ``name`` under ``pattern``; nothing on disk is touched.

    Tokens: [%YYYY] [%MM] [%DD] today's date, [%P] ``folder``, [%N] the name's stem,
    [%PD] ``shot`` (or nothing), one run of "#" the zero-padded ``index``. The suffix
    of ``name`` is appended unchanged.
    """

def delete_files(paths: PathList) -> list[str]:
    """Removes each existing image file for good (no trash) and returns the resolved
    paths removed. Anything else is passed over. Raises ``TypeError`` for an element
    that is not a ``str``, and the ``OSError`` of a removal that fails.
    """

def make_folder(parent: StrPath, name: StrPath) -> str:
    """Creates the folder ``name`` (its last component) in the existing ``parent`` and
    returns its path. Raises ``ValueError("bad name")`` for an empty name,
    ``FileExistsError`` when the name is taken, ``FileNotFoundError`` when ``parent``
    is missing.
    """

def home_folder() -> str:
    """The folder to start browsing in: ~/Pictures when it is a folder, else the home folder."""

def preview_bytes(path: StrPath) -> bytes | None:
    """The small JPEG preview a camera embeds in the EXIF block (IFD1) of a JPEG, TIFF,
    HEIF/HEIC or AVIF file, turned upright by the file's orientation (a HEIF's by its
    container's turn, which its picture is shown with, whatever its EXIF Orientation says);
    None when it has none or it cannot be read. Never decodes the picture itself: a
    placeholder to show at once while the real
    thumbnail is made. Raises ``FileNotFoundError`` (its text the resolved path) when
    ``path`` is not an existing image file.
    """
