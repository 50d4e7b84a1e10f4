"""The desktop trash: files go where the desktop's own trash can finds them, and can come back.

A file is moved, never copied, into a trash folder on its own file system: the home trash when it
lives there, else the trash at the top of its volume. Each trashed file has an info file beside it
that names where it was and when it left, as every desktop's trash can reads them.
"""

from __future__ import annotations

import errno
import os
from pathlib import Path

# The freedesktop layout's pieces: finding a volume's top and its trash, and the info text.
from send2trash.plat_other import check_create, find_ext_volume_trash, find_mount_point, info_for

INFO_SUFFIX = ".trashinfo"


def home_trash() -> Path:
    """The user's own trash folder; the data home comes from the environment at each call."""
    data = os.environ.get("XDG_DATA_HOME", "")
    # A relative data home is not valid and is ignored, as every desktop does.
    base = Path(data) if os.path.isabs(data) else Path.home() / ".local" / "share"
    return base / "Trash"


def _device(path: Path) -> int:
    """The device of `path`, or of its nearest existing folder when it does not exist yet."""
    while True:
        try:
            return os.lstat(path).st_dev
        except FileNotFoundError:
            if path.parent == path:
                raise
            path = path.parent


def _trash_for(source: Path, device: int) -> tuple[Path, Path | None]:
    """The trash folder on `source`'s own file system, and the top folder its info paths are relative to."""
    home = home_trash()
    if _device(home) == device:
        return home, None
    top = os.fsencode(find_mount_point(os.fsencode(source.parent)))
    trash = Path(os.fsdecode(find_ext_volume_trash(top)))
    if os.lstat(trash).st_dev != device:
        raise OSError(errno.EXDEV, "no trash on the file's own file system", str(source))
    return trash, Path(os.fsdecode(top))


def _reserve(trash: Path, name: str, info_text: str) -> tuple[Path, Path]:
    """Claims a free name in the trash by creating its info file exclusively; returns both paths."""
    files, info = trash / "files", trash / "info"
    check_create(os.fsencode(files))
    check_create(os.fsencode(info))
    stem, ext = os.path.splitext(name)
    n = 0
    while True:
        candidate = name if n == 0 else f"{stem} {n}{ext}"
        n += 1
        trashed, info_file = files / candidate, info / (candidate + INFO_SUFFIX)
        if os.path.lexists(trashed):
            continue
        try:
            fd = os.open(info_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        except FileExistsError:
            continue
        try:
            os.write(fd, info_text.encode())
        except BaseException:
            os.close(fd)
            info_file.unlink()
            raise
        os.close(fd)
        return trashed, info_file


def move_to_trash(path: str | os.PathLike[str]) -> dict[str, str]:
    """Moves one file (a link itself, not what it points to) into the trash.

    Returns {"original", "trashed", "info"}: where the file was, the file inside the trash's
    files/ folder, and its .trashinfo file. Raises OSError (EXDEV) rather than copy across devices.
    """
    given = Path(os.path.abspath(os.path.expanduser(os.fspath(path))))
    source = given.parent.resolve() / given.name
    device = os.lstat(source).st_dev  # FileNotFoundError for a missing file
    trash, top = _trash_for(source, device)
    text = info_for(os.fsencode(source), None if top is None else os.fsencode(top))
    trashed, info_file = _reserve(trash, source.name, text)
    try:
        os.rename(source, trashed)
    except BaseException:
        info_file.unlink()
        raise
    return {"original": str(source), "trashed": str(trashed), "info": str(info_file)}


def restore(entry: dict[str, str]) -> str:
    """Puts a trashed file back where it was and removes its info file; returns its path.

    Never writes over a file that took the name since (FileExistsError naming the path);
    FileNotFoundError when the trashed file is gone. Missing folders on the way are made again.
    """
    original, trashed = Path(entry["original"]), Path(entry["trashed"])
    if not os.path.lexists(trashed):
        raise FileNotFoundError(errno.ENOENT, "no longer in the trash", str(trashed))
    if os.path.lexists(original):
        raise FileExistsError(errno.EEXIST, "a file has taken its name", str(original))
    original.parent.mkdir(parents=True, exist_ok=True)
    try:
        # A hard link cannot land on a name taken meanwhile, where a rename would write over it.
        os.link(trashed, original, follow_symlinks=False)
    except FileExistsError:
        raise FileExistsError(errno.EEXIST, "a file has taken its name", str(original)) from None
    except OSError:
        # File systems without hard links: the check above is the best that can be done.
        os.rename(trashed, original)
    else:
        os.unlink(trashed)
    Path(entry["info"]).unlink(missing_ok=True)
    return str(original)
