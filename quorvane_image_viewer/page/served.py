"""The folder being served: every path the page names is checked here, and the library is called from here.

The page names files and folders by their path relative to the served folder (with "/" between
parts); nothing it sends may reach a file outside that folder, by "..", by an absolute path or
through a symbolic link.
"""

import os
import stat
from pathlib import Path, PurePosixPath

from quorvane_image_viewer import fields, library
from quorvane_image_viewer.plan import CONFLICT_POLICIES, SORT_KEYS, RenamePlan, RenameStopped


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


class ServedFolder:
    """The one folder a server shows; its paths relative to it are what the page sees."""

    def __init__(self, folder):
        root = Path(folder).expanduser().resolve()
        if not root.is_dir():
            raise NotADirectoryError(f"not a folder: {root}")
        self.root = root

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
        files = [row for row in map(self._row, library.sort_files(listing["files"], sort, descending)) if row]
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
        }

    def _row(self, row):
        """A listing row for the page, or None for an entry the page may not reach."""
        entry = Path(row["path"])
        try:
            status = entry.lstat()
            if stat.S_ISLNK(status.st_mode):
                # Only links need resolving: the listed folder itself is already inside.
                if not entry.resolve().is_relative_to(self.root):
                    return None
                status = entry.stat()
        except (OSError, RuntimeError):
            return None
        return {
            "name": row["name"],
            "path": self.rel(entry),
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
            "fields": fields.describe(info),
        }

    def thumbnail(self, rel, long_edge=256):
        try:
            return library.thumbnail_bytes(str(self.resolve(rel)), long_edge)
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

    def resize(self, paths, basis, value, width, height, folder, on_conflict):
        self._policy(on_conflict)
        return self._rels(library.resize_files(self._files(paths), basis, value, width, height,
                                               self._output_folder(folder), on_conflict))

    def delete(self, paths):
        return self._rels(library.delete_files(self._files(paths)))

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
