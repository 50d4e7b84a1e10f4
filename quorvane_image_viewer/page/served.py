"""The folder being served: every path the page names is checked here, and the library is called from here.

The page names files and folders by their path relative to the served folder (with "/" between
parts); nothing it sends may reach a file outside that folder, by "..", by an absolute path or
through a symbolic link.
"""

import os
import secrets
import stat
import time
from pathlib import Path, PurePosixPath

from PIL import Image

from quorvane_image_viewer import library, trash

SORT_KEYS = ("name", "size", "date", "taken", "type")
DATE_TAKEN, DATE_TIME, EXIF_IFD, GPS_IFD = 36867, 306, 0x8769, 0x8825
UPRIGHT_TURNED = (5, 6, 7, 8)  # orientations that swap width and height
ROW_KEYS = {"size": lambda row: row["size"], "date": lambda row: row["mtime"],
            "type": lambda row: PurePosixPath(row["name"]).suffix.lower()}
CONFLICT_POLICIES = ("rename", "overwrite", "skip")


class Refused(Exception):
    """A request the server turns down, with the HTTP status and the message the page shows."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


def _not_found(rel):
    return Refused(404, f"not found: {rel}")


def _texts(value, what):
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise Refused(400, f"{what} must be a list of texts")
    return value


def order_renames(moves, taken):
    """Orders renames within one folder so that no step lands on a name still in use.

    `moves` maps old names to new ones; `taken(name)` tells whether a name is in use on disk.
    A file whose new name another file of the batch still holds waits for that file to move; when the
    waits go round in a circle, one file of the circle is parked under a free hidden name first.
    Returns the (old, new) steps in order; names that stay the same make no step.
    """
    pending = {old: new for old, new in moves.items() if old != new}
    reserved = set(moves) | set(moves.values())
    steps = []
    while pending:
        ready = [old for old, new in pending.items() if new not in pending]
        if not ready:
            old = next(iter(pending))
            parked, n = f".{old}.renaming", 1
            while parked in reserved or taken(parked):
                parked, n = f".{old}.renaming{n}", n + 1
            reserved.add(parked)
            steps.append((old, parked))
            pending[parked] = pending.pop(old)
            continue
        for old in ready:
            steps.append((old, pending.pop(old)))
    return steps


def _upright_size(path):
    with Image.open(path) as image:
        width, height = image.size
        turned = image.getexif().get(0x0112) in UPRIGHT_TURNED
    return (height, width) if turned else (width, height)


def _shrinks(path, basis, value, width, height):
    """Whether the size rule makes the image smaller on some side and larger on none."""
    try:
        w, h = _upright_size(path)
    except Exception:  # noqa: BLE001 - the library reports an unreadable image itself
        return True
    try:
        v = float(value) if basis != "resolution" else 0.0
        new = {"percent": lambda: (w * v / 100, h * v / 100),
               "resolution": lambda: (int(width or 1), int(height or 1)),
               "long": lambda: (w * v / max(w, h), h * v / max(w, h)),
               "short": lambda: (w * v / min(w, h), h * v / min(w, h)),
               "width": lambda: (v, h * v / w),
               "height": lambda: (w * v / h, v)}[basis]()
    except (KeyError, TypeError, ValueError):
        return True  # the library refuses a bad rule with its own message
    new = tuple(max(round(side), 1) for side in new)
    return new != (w, h) and new[0] <= w and new[1] <= h


def _number(value):
    try:
        return float(value)
    except (TypeError, ValueError, ZeroDivisionError):
        return None


def _degrees(parts, side):
    """Decimal degrees from the camera's (degrees, minutes, seconds) and N/S/E/W, or None."""
    try:
        value = sum(float(part) / 60 ** n for n, part in enumerate(parts))
    except (TypeError, ValueError, ZeroDivisionError):
        return None
    return -value if str(side).upper().startswith(("S", "W")) else value


def _camera(path):
    """The camera's fields the side panel shows, as plain values (numbers as numbers), None when absent.

    Cameras write most of them in the Exif sub-directory, some tools in the main one; both are read.
    """
    try:
        with Image.open(path) as image:
            main = image.getexif()
            sub, gps = main.get_ifd(EXIF_IFD), main.get_ifd(GPS_IFD)
    except Exception:  # noqa: BLE001 - no readable camera data
        return {}

    def tag(number):
        value = sub.get(number, main.get(number))
        return str(value).strip("\x00 ") or None if isinstance(value, str) else value

    iso = tag(34855)
    return {
        "taken": tag(DATE_TAKEN) or tag(DATE_TIME),
        "make": tag(271),
        "model": tag(272),
        "lens": tag(0xA434),
        "aperture": _number(tag(33437)),
        "exposure": _number(tag(33434)),
        "iso": int(iso[0] if isinstance(iso, tuple) else iso) if iso else None,
        "focal": _number(tag(37386)),
        "latitude": _degrees(gps.get(2), gps.get(1)) if gps.get(2) else None,
        "longitude": _degrees(gps.get(4), gps.get(3)) if gps.get(4) else None,
    }


def _stamp(seconds):
    return time.strftime("%Y:%m:%d %H:%M:%S", time.localtime(seconds))


def _date_taken(path):
    try:
        with Image.open(path) as image:
            exif = image.getexif()
            value = exif.get_ifd(EXIF_IFD).get(DATE_TAKEN) or exif.get(DATE_TIME)
    except Exception:  # noqa: BLE001 - a file without readable camera data has no date taken
        return None
    return (str(value).strip("\x00 ") or None) if value else None


class ServedFolder:
    """The one folder a server shows; its paths relative to it are what the page sees."""

    def __init__(self, folder):
        root = Path(folder).expanduser().resolve()
        if not root.is_dir():
            raise NotADirectoryError(f"not a folder: {root}")
        self.root = root
        self._prefix = str(root).rstrip(os.sep) + os.sep
        self._taken = {}
        self._trashed = {}

    # Paths between the page and the disk

    def resolve(self, rel):
        """The absolute path that `rel` names, or a 404 when it is malformed or leads outside."""
        if not isinstance(rel, str) or "\x00" in rel or rel.startswith("/"):
            raise _not_found(rel)
        parts = PurePosixPath(rel).parts
        if ".." in parts:
            raise _not_found(rel)
        try:
            path = self.root.joinpath(*parts).resolve()
        except (OSError, RuntimeError):  # a loop of symbolic links
            raise _not_found(rel) from None
        if not path.is_relative_to(self.root):
            raise _not_found(rel)
        return path

    def rel(self, path):
        """The page's name for an absolute path under the served folder ("" for the folder itself)."""
        text = Path(path).relative_to(self.root).as_posix()
        return "" if text == "." else text

    def tidy(self, message):
        """An error text with the served folder's absolute prefix taken off the paths it names."""
        return str(message).replace(str(self.root) + os.sep, "").replace(str(self.root), ".")

    def _files(self, rels):
        return [str(self.resolve(rel)) for rel in _texts(rels, "paths")]

    def _rels(self, paths):
        return [self.rel(path) for path in paths]

    def _output_folder(self, rel):
        if rel is None or rel == "":
            return None
        if not isinstance(rel, str):
            raise Refused(400, "the output folder must be a text")
        return str(self.resolve(rel))

    # Browsing and viewing

    def listing(self, rel, sort="name", descending=False, hidden=False):
        if sort not in SORT_KEYS:
            raise Refused(400, f"unknown sort key: {sort}")
        folder = self.resolve(rel)
        try:
            listing = library.list_dir(str(folder), hidden)
        except (FileNotFoundError, NotADirectoryError):
            raise _not_found(rel) from None
        base = self.rel(folder)
        folders = [row for row in map(self._row, listing["folders"]) if row]
        files = self._sorted([row for row in map(self._row, listing["files"]) if row], sort, descending)
        crumbs, walked = [{"name": self.root.name or "/", "path": ""}], []
        for part in PurePosixPath(base).parts:
            walked.append(part)
            crumbs.append({"name": part, "path": "/".join(walked)})
        return {
            "path": base,
            "parent": self.rel(folder.parent) if base else None,
            "crumbs": crumbs,
            "folders": folders,
            "files": files,
            # Whether tiles may show the camera's own preview while their thumbnails are made.
            "previews": hasattr(library, "preview_bytes"),
        }

    def _sorted(self, files, sort, descending):
        """The rows in the library's order for `sort`; rows that tie stay in name order either way."""
        files = library.sort_files(files, "name", False)
        if sort == "name":
            return files[::-1] if descending else files
        if sort == "taken":
            # Photos without a camera date go by their file's date.
            keys = {row["path"]: self.taken(row) or _stamp(row["mtime"]) for row in files}
            return sorted(files, key=lambda row: keys[row["path"]], reverse=descending)
        if not descending:
            return library.sort_files(files, sort, False)  # stable, so ties keep the name order
        # The library mirrors ties when descending; Python's reverse sort keeps them in name order.
        return sorted(files, key=ROW_KEYS[sort], reverse=True)

    def taken(self, row):
        """When the photo was taken, as the camera wrote it ("YYYY:MM:DD HH:MM:SS"), or None."""
        key = (row["path"], row["v"])
        if key not in self._taken:
            self._taken[key] = _date_taken(self.root / row["path"])
        return self._taken[key]

    def _row(self, row):
        """A listing row for the page, or None for an entry the page may not reach."""
        entry = row["path"]
        try:
            status = os.lstat(entry)
            if stat.S_ISLNK(status.st_mode):
                # Only links need resolving: the listed folder itself is already inside.
                if not Path(entry).resolve().is_relative_to(self.root):
                    return None
                status = os.stat(entry)
        except (OSError, RuntimeError):
            return None
        return {
            "name": row["name"],
            # The listing gives resolved paths inside the folder; cutting the prefix is the quick rel().
            "path": entry[len(self._prefix):] if entry.startswith(self._prefix) else self.rel(entry),
            "size": row["size"],
            "mtime": row["mtime"],
            # Part of image addresses, so the browser may keep a thumbnail until its file changes.
            "v": f"{status.st_mtime_ns:x}-{status.st_size:x}",
        }

    def info(self, rel):
        try:
            info = library.file_info(str(self.resolve(rel)))
        except FileNotFoundError:
            raise _not_found(rel) from None
        return {
            "name": info["name"],
            "path": self.rel(info["path"]),
            "size": info["size"],
            "mtime": info["mtime"],
            "width": info["width"],
            "height": info["height"],
            "exif": info["exif"],
            "camera": _camera(info["path"]),
        }

    def thumbnail(self, rel, long_edge=256):
        try:
            return library.thumbnail_bytes(str(self.resolve(rel)), long_edge)
        except FileNotFoundError:
            raise _not_found(rel) from None

    def preview(self, rel):
        """The camera's embedded preview of the image as JPEG bytes, or None when it has none."""
        make = getattr(library, "preview_bytes", None)
        if make is None:
            return None
        try:
            return make(str(self.resolve(rel)))
        except FileNotFoundError:
            raise _not_found(rel) from None

    def display(self, rel):
        """The image to show: (a Path inside the folder, or JPEG bytes) and its media type."""
        try:
            return library.display_source(str(self.resolve(rel)))
        except FileNotFoundError:
            raise _not_found(rel) from None

    # Edits; each returns the page's names of what it wrote or removed

    def rotate(self, paths, degrees):
        # The page always keeps the original: a turned JPEG is encoded anew.
        return self._rels(library.rotate_files(self._files(paths), degrees, True))

    def convert(self, paths, fmt, quality, folder, on_conflict, delete_source):
        self._policy(on_conflict)
        return self._rels(library.convert_files(self._files(paths), fmt, quality, self._output_folder(folder),
                                                on_conflict, bool(delete_source)))

    def resize(self, paths, basis, value, width, height, folder, on_conflict, only_shrink=True):
        """Resizes; with `only_shrink`, images the rule would enlarge are left as they were.

        Returns {"written": page names written, "left": page names of images left alone}.
        """
        self._policy(on_conflict)
        files, left = self._files(paths), []
        if only_shrink:
            left = [path for path in files if not _shrinks(path, basis, value, width, height)]
            files = [path for path in files if path not in left]
        written = library.resize_files(files, basis, value, width, height, self._output_folder(folder),
                                       on_conflict) if files else []
        return {"written": self._rels(written), "left": self._rels(left)}

    def delete(self, paths):
        """Deletes for good, past the trash."""
        return self._rels(library.delete_files(self._files(paths)))

    def trash(self, paths):
        """Moves image files to the desktop trash: {"paths": page names, "undo": a key for restore}."""
        entries = [trash.move_to_trash(path) for path in self._files(paths)
                   if os.path.isfile(path) and library.is_image(Path(path))]
        key = secrets.token_urlsafe(12)
        self._trashed[key] = entries
        return {"paths": [self.rel(entry["original"]) for entry in entries], "undo": key}

    def restore(self, keys):
        """Puts back what the trash calls named by `keys` moved; never over a name taken since.

        Returns {"paths": page names restored, "refused": [{"path", "error"}]}.
        """
        restored, refused = [], []
        for key in _texts(keys, "undo keys"):
            entries = self._trashed.get(key, [])
            for entry in list(entries):
                try:
                    restored.append(self.rel(trash.restore(entry)))
                    entries.remove(entry)
                except FileExistsError:
                    refused.append({"path": self.rel(entry["original"]),
                                    "error": "another file has taken its name since; it stays in the trash"})
                except FileNotFoundError:
                    entries.remove(entry)
                    refused.append({"path": self.rel(entry["original"]), "error": "no longer in the trash"})
            if not entries:
                self._trashed.pop(key, None)
        return {"paths": restored, "refused": refused}

    @staticmethod
    def _policy(on_conflict):
        if on_conflict not in CONFLICT_POLICIES:
            raise Refused(400, f"unknown conflict policy: {on_conflict}")

    # Renaming by pattern

    def shot_day(self, path):
        """The day a photo was taken as YYYY-MM-DD, which [%PD] stands for, or None."""
        stamp = _date_taken(path)
        return stamp.split(" ")[0].replace(":", "-") if stamp else None

    def rename_preview(self, paths, pattern, shot=None):
        """The new name of each file, in the order given, each with the problem that blocks it, if any."""
        files = self._files(paths)
        if not files:
            return []
        folder = Path(files[0]).parent
        if any(Path(path).parent != folder for path in files):
            raise Refused(400, "rename the files of one folder at a time")
        if not isinstance(pattern, str):
            raise Refused(400, "the pattern must be a text")
        olds = [Path(path).name for path in files]
        rows = []
        for index, (rel, old, path) in enumerate(zip(paths, olds, files), 1):
            shot = self.shot_day(path) if "[%PD]" in pattern else None
            # The library keeps only the last part of a new name; show that part.
            new = Path(library.apply_rename_pattern(old, pattern, index, folder.name, shot)).name
            rows.append({"path": rel, "old": old, "new": new, "problem": None})
        news = [row["new"] for row in rows]
        for row in rows:
            if row["new"] in ("", ".", ".."):
                row["problem"] = "not a usable name"
            elif olds.count(row["old"]) > 1:
                row["problem"] = "listed twice"
            elif news.count(row["new"]) > 1:
                row["problem"] = "another file would get the same name"
            elif row["new"] not in olds and os.path.lexists(folder / row["new"]):
                row["problem"] = "a file of this name exists"
        return rows

    def rename(self, paths, pattern, shot=None):
        rows = self.rename_preview(paths, pattern)
        blocked = [row for row in rows if row["problem"]]
        if blocked:
            raise Refused(409, f"{blocked[0]['old']} -> {blocked[0]['new']}: {blocked[0]['problem']}")
        if not rows:
            return []
        folder = self.resolve(rows[0]["path"]).parent
        steps = order_renames({row["old"]: row["new"] for row in rows},
                              lambda name: os.path.lexists(folder / name))
        for done, (old, new) in enumerate(steps):
            try:
                library.rename_file(str(folder / old), new)
            except Exception as error:
                raise Refused(500, f"renaming stopped at {old} after {done} of {len(steps)} steps: "
                                   f"{self.tidy(error) or type(error).__name__}") from error
        return [self.rel(folder / row["new"]) for row in rows]
