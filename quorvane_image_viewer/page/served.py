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

from quorvane_image_viewer import fields, library, plan, trash
from quorvane_image_viewer.plan import CONFLICT_POLICIES, RenamePlan, RenameStopped

SORT_KEYS = (*plan.SORT_KEYS, "taken")
DATE_TAKEN, DATE_TIME, EXIF_IFD, GPS_IFD = 36867, 306, 0x8769, 0x8825
UPRIGHT_TURNED = (5, 6, 7, 8)  # orientations that swap width and height
CAMERA_TAGS = {"taken": DATE_TAKEN, "datetime": DATE_TIME, "make": 271, "model": 272, "lens": 0xA434,
               "fnumber": 33437, "exposure": 33434, "iso": 34855, "focal": 37386}
ROW_KEYS = {"size": lambda row: row["size"], "date": lambda row: row["mtime"],
            "type": lambda row: PurePosixPath(row["name"]).suffix.lower()}


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


def _upright_size(path):
    with Image.open(path) as image:
        width, height = image.size
        turned = image.getexif().get(0x0112) in UPRIGHT_TURNED
    return (height, width) if turned else (width, height)


def _left_alone(path, basis, value, width, height):
    """Whether resizing `path` by the rule would make no side smaller (only-shrink leaves it as it was)."""
    try:
        w, h = _upright_size(path)
        return plan.small_enough(w, h, basis, float(value or 0), (int(width or 1), int(height or 1)))
    except Exception:  # noqa: BLE001 - the library reports an unreadable image or a bad rule itself
        return False


def _degrees(parts, side):
    """Decimal degrees from the camera's (degrees, minutes, seconds) and N/S/E/W, or None."""
    try:
        value = sum(float(part) / 60 ** n for n, part in enumerate(parts))
    except (TypeError, ValueError, ZeroDivisionError):
        return None
    return -value if str(side).upper().startswith(("S", "W")) else value


def _camera(path):
    """Camera values the library's record may lack, as text under its "exif" names; absent ones left out.

    Cameras write most of them in the Exif sub-directory, some tools in the main one; both are read.
    """
    try:
        with Image.open(path) as image:
            main = image.getexif()
            sub, gps = main.get_ifd(EXIF_IFD), main.get_ifd(GPS_IFD)
    except Exception:  # noqa: BLE001 - no readable camera data
        return {}
    values = {label: sub.get(tag, main.get(tag)) for label, tag in CAMERA_TAGS.items()}
    if gps.get(2) and gps.get(4):
        values["latitude"], values["longitude"] = _degrees(gps[2], gps.get(1)), _degrees(gps[4], gps.get(3))
    return {label: str(value).strip("\x00 ") for label, value in values.items()
            if value is not None and str(value).strip("\x00 ")}


def _stamp(seconds):
    return time.strftime("%Y:%m:%d %H:%M:%S", time.localtime(seconds))


def _date_taken(path):
    """When the photo was taken as the camera wrote it ("YYYY:MM:DD HH:MM:SS"), or None."""
    camera = _camera(path)
    return camera.get("taken") or camera.get("datetime")


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
            # The side panel's rows, formatted as the command line's info prints them.
            "fields": fields.describe({**info, "exif": {**_camera(info["path"]), **info["exif"]}}),
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
            left = [path for path in files if _left_alone(path, basis, value, width, height)]
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

    def _rename_plan(self, paths, pattern):
        files = self._files(paths)
        if not isinstance(pattern, str):
            raise Refused(400, "the pattern must be a text")
        try:
            return RenamePlan(files, pattern)
        except ValueError as error:
            raise Refused(400, str(error)) from None

    def rename_preview(self, paths, pattern):
        """The new name of each file, in the order given, each with the problem that blocks it, if any."""
        return [{"path": rel, "old": row.old, "new": row.new, "problem": row.problem}
                for rel, row in zip(paths, self._rename_plan(paths, pattern).rows)]

    def rename(self, paths, pattern):
        """Renames all the files or, when any is blocked or a step fails, none."""
        plan = self._rename_plan(paths, pattern)
        if plan.blocked:
            row = plan.blocked[0]
            raise Refused(409, f"{row.old} -> {row.new}: {row.problem}")
        try:
            plan.perform()
        except RenameStopped as stop:
            raise Refused(500, f"renaming {stop.old} failed: {self.tidy(stop.error) or type(stop.error).__name__}; "
                               f"{stop.outcome(stop.undone)}") from stop
        return [self.rel(plan.folder / row.new) for row in plan.rows]
