"""What the command line and the page decide before they call the library, decided once.

The choices both offer (sort keys, conflict policies, output formats, rename tokens), the name of
the folder rotation keeps originals in, where an edit will write, and how a batch of renames in
one folder is ordered, carried out and undone.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Collection, Sequence
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any

SORT_KEYS = ("name", "size", "date", "type")
# The first is the default: a taken name gets a numbered one.
CONFLICT_POLICIES = ("rename", "skip", "overwrite")
# Where rotation copies each file before turning it, beside the file.
BACKUP_FOLDER = "ZEL originals"
BACKUP_FOLDER_MEANING = f'"{BACKUP_FOLDER}" is the folder beside each turned file that keeps its original'
RENAME_TOKENS = (
    ("[%YYYY]", "this year"),
    ("[%MM]", "this month, two digits"),
    ("[%DD]", "today's day of the month, two digits"),
    ("[%P]", "the folder's name"),
    ("[%N]", "the file's name without its suffix"),
    ("[%PD]", "the day the photo was taken (YYYY-MM-DD, from its camera data), or nothing"),
    ("###", "the counter, zero-padded to the number of #"),
)


def library() -> ModuleType:
    # Imported on first use so that --help and --version work without the native module.
    from quorvane_image_viewer import library as lib

    return lib


def formats() -> list[str]:
    """The output formats, as the library writes them."""
    return list(library().SAVE_FORMATS)


def choices() -> dict[str, Any]:
    """The lists both front ends offer, for the page to build its menus from."""
    return {
        "sort_keys": list(SORT_KEYS),
        "conflict_policies": list(CONFLICT_POLICIES),
        "formats": formats(),
        "backup_folder": BACKUP_FOLDER,
        "rename_tokens": [{"token": token, "meaning": meaning} for token, meaning in RENAME_TOKENS],
    }


# ---------------------------------------------------------------- where edits write


class Taken(Exception):
    """Under the "skip" policy, the output name is taken; its text is the path."""


def is_taken(path: Path, source: Path | None = None) -> bool:
    """The library's own rule: an entry that leads to something, other than the source itself.

    A dangling link leads nowhere, so it counts as free and is replaced.
    """
    return path.exists() and (source is None or path.resolve() != source.resolve())


def destination(source: Path, folder: str | None, suffix: str | None, on_conflict: str,
                claimed: Collection[Path] = (), removed: Collection[Path] = ()) -> Path:
    """Where an edit of `source` will write, creating nothing; Taken when "skip" would refuse.

    Names the library's way, also counting outputs `claimed` and sources `removed` earlier
    in the same batch.
    """
    parent = Path(folder).expanduser().resolve() if folder else source.parent
    name = source.stem + (suffix if suffix is not None else source.suffix)
    dest = parent / name

    def taken(path: Path) -> bool:
        return path in claimed or (path not in removed and is_taken(path))

    if dest.resolve() == source.resolve() or not taken(dest):
        return dest
    if on_conflict == "skip":
        raise Taken(str(dest))
    if on_conflict == "overwrite":
        return dest
    stem, ext = Path(name).stem, Path(name).suffix
    n = 1
    while taken(parent / f"{stem}_{n}{ext}"):
        n += 1
    return parent / f"{stem}_{n}{ext}"


def small_enough(width: int, height: int, basis: str, value: float,
                 size: tuple[int, int] | None = None) -> bool:
    """Whether a size rule would make no side of a `width` x `height` image smaller.

    Resizing only shrinks unless asked: such an image is left as it was.
    """
    if basis == "resolution" and size is not None:
        return size[0] >= width and size[1] >= height
    edge = {"percent": 100, "long": max(width, height), "short": min(width, height),
            "width": width, "height": height}.get(basis)
    return edge is not None and value >= edge


# ---------------------------------------------------------------- renames


def shot_day(path: str) -> str | None:
    """The day a photo was taken, from its camera data, as YYYY-MM-DD; None when unknown."""
    try:
        exif = library().file_info(path)["exif"]
    except Exception:  # noqa: BLE001 - an unreadable image has no known day; its name says so
        return None
    stamp = exif.get("taken") or exif.get("datetime")
    day = str(stamp or "").strip().split(" ")[0].replace(":", "-")
    return day or None


@dataclass
class Rename:
    """One file of a rename batch: its name now, the name the pattern gives, and what blocks it."""

    path: str
    old: str
    new: str
    problem: str | None = None

    @property
    def moves(self) -> bool:
        return self.problem is None and self.old != self.new


class RenameStopped(Exception):
    """A step failed; the steps before it were undone (`undone`) or could not all be."""

    def __init__(self, old: str, new: str, error: BaseException, undone: bool) -> None:
        super().__init__(f"renaming {old} to {new} failed: {error}; {self.outcome(undone)}")
        self.old, self.new, self.error, self.undone = old, new, error, undone

    @staticmethod
    def outcome(undone: bool) -> str:
        return "every file keeps its old name" if undone else "some files could not get their old names back"


class RenamePlan:
    """Renames files of one folder by a pattern, in the order given (the counter follows it).

    Each file's problem, if any, is set before anything moves; the others are ordered so that
    no step lands on a name still in use: chains go from the end, and a circle of names (a swap)
    goes through a free hidden name in the same folder.
    """

    def __init__(self, paths: Sequence[str | Path], pattern: str, start: int = 1) -> None:
        lib = library()
        files = [Path(path) for path in paths]
        folders = {file.parent for file in files}
        if len(folders) > 1:
            raise ValueError("rename the files of one folder at a time")
        self.folder = folders.pop() if folders else Path()
        shots: dict[Path, str | None] = {}
        self.rows: list[Rename] = []
        for index, file in enumerate(files, start):
            if "[%PD]" in pattern and file not in shots:
                shots[file] = shot_day(str(file))
            new = lib.apply_rename_pattern(file.name, pattern, index, self.folder.name, shots.get(file))
            self.rows.append(Rename(str(file), file.name, new))
        self._check()
        self.steps = self._order()

    @property
    def moves(self) -> list[Rename]:
        return [row for row in self.rows if row.moves]

    @property
    def blocked(self) -> list[Rename]:
        return [row for row in self.rows if row.problem]

    def _check(self) -> None:
        olds = [row.old for row in self.rows]
        news = [row.new for row in self.rows]
        for row in self.rows:
            if row.new in ("", ".", "..") or "/" in row.new or "\0" in row.new:
                row.problem = "not a usable name"
            elif olds.count(row.old) > 1:
                row.problem = "listed twice"
            elif news.count(row.new) > 1:
                row.problem = "another file would get the same name"
        # A name held by a file that stays (blocked, unchanged or outside the batch) stays taken;
        # each newly blocked file can block another, so go round until nothing changes.
        changed = True
        while changed:
            leaving = {row.old for row in self.moves}
            changed = False
            for row in self.moves:
                if row.new not in leaving and is_taken(self.folder / row.new, Path(row.path)):
                    row.problem = "a file of this name exists"
                    changed = True

    def _order(self) -> list[tuple[str, str]]:
        pending = {row.old: row.new for row in self.moves}
        reserved = {row.old for row in self.rows} | {row.new for row in self.rows}
        steps = []
        while pending:
            ready = [old for old, new in pending.items() if new not in pending]
            if not ready:
                # Only circles are left: park one of them under a name nobody holds.
                old = next(iter(pending))
                parked, n = f".{old}.renaming", 1
                while parked in reserved or os.path.lexists(self.folder / parked):
                    parked, n = f".{old}.renaming{n}", n + 1
                reserved.add(parked)
                steps.append((old, parked))
                pending[parked] = pending.pop(old)
                continue
            for old in ready:
                steps.append((old, pending.pop(old)))
        return steps

    def perform(self, rename: Callable[[str, str], str] | None = None) -> list[str]:
        """Carries out the steps; on a failure undoes those done and raises RenameStopped.

        Returns the new path of every file that moved, in the order given.
        """
        rename = rename or library().rename_file
        done: list[tuple[str, str]] = []
        for old, new in self.steps:
            try:
                rename(str(self.folder / old), new)
            except BaseException as error:
                # Half a batch (or a file left under a hidden name) is worse than none: put back what moved.
                undone = True
                for back_old, back_new in reversed(done):
                    try:
                        rename(str(self.folder / back_new), back_old)
                    except Exception:  # noqa: BLE001 - go on putting back the others
                        undone = False
                if not isinstance(error, Exception):
                    raise
                raise RenameStopped(old, new, error, undone) from error
            done.append((old, new))
        return [str(self.folder / row.new) for row in self.moves]
