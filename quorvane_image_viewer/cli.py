"""The command line: browse, inspect and edit the images of a folder from a shell.

Every edit is made one file per call into the module, so that a batch shows
progress, goes on past a file that fails, and ends with a summary.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import sys
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any, TextIO

from quorvane_image_viewer import __version__

SORT_KEYS = ("name", "size", "date", "type")
FORMATS = ("bmp", "gif", "jpg", "png", "tif", "webp")
DEGREES = (90, -90, 180, 270)
POLICIES = ("rename", "skip", "overwrite")
# The folder rotation keeps backups in, beside each turned file.
BACKUP_FOLDER = "ZEL originals"
# Images the module reads but cannot write back in their own format: turning one fails.
UNWRITABLE_SUFFIXES = {".avif", ".heic", ".heif", ".ico", ".pbm", ".pgm", ".ppm"}


class Failure(Exception):
    """A problem the user can act on: reported as one line, exit status 1."""


class Skip(Exception):
    """A file left alone on purpose; its text says why."""


def library() -> ModuleType:
    # Imported on first use so that --help and --version work without the native module.
    from quorvane_image_viewer import library as lib

    return lib


# ---------------------------------------------------------------- formatting


def human_size(size: int) -> str:
    """Sizes in binary units with one decimal, plain bytes below 1 KiB."""
    if size < 1024:
        return f"{size} B"
    value = float(size)
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        value /= 1024
        if value < 1024 or unit == "TiB":
            break
    return f"{value:.1f} {unit}"


def counted(n: int, noun: str) -> str:
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"


def local_time(mtime: float, seconds: bool = False) -> str:
    shape = "%Y-%m-%d %H:%M:%S" if seconds else "%Y-%m-%d %H:%M"
    return datetime.datetime.fromtimestamp(mtime).strftime(shape)


def print_listing(listing: dict[str, Any], out: TextIO | None = None) -> None:
    """Prints a listing as a table: folders first, then image files, in the order given."""
    out = out or sys.stdout
    folders, files = listing["folders"], listing["files"]
    rows = [(row["name"] + "/", "-", row["mtime"]) for row in folders]
    rows += [(row["name"], human_size(row["size"]), row["mtime"]) for row in files]
    name_width = max([len(name) for name, _, _ in rows] + [len("NAME")])
    size_width = max([len(size) for _, size, _ in rows] + [len("SIZE")])
    print(listing["path"], file=out)
    print(f"  {'NAME':<{name_width}}  {'SIZE':>{size_width}}  MODIFIED", file=out)
    for name, size, mtime in rows:
        print(f"  {name:<{name_width}}  {size:>{size_width}}  {local_time(mtime)}", file=out)
    total = human_size(sum(row["size"] for row in files))
    print(f"{counted(len(folders), 'folder')}, {counted(len(files), 'image')}, {total}", file=out)


def print_info(info: dict[str, Any], out: TextIO) -> None:
    print(info["path"], file=out)
    fields = [
        ("size", f"{human_size(info['size'])} ({info['size']} bytes)"),
        ("modified", local_time(info["mtime"], seconds=True)),
        ("pixels", f"{info['width']} x {info['height']}"),
        ("format", info["format"] or "-"),
    ]
    fields += list(info["exif"].items())
    for label, value in fields:
        print(f"  {label:<9} {value}", file=out)


def reason(exc: BaseException) -> str:
    """The one-line account of why a call failed, without the exception machinery."""
    from PIL import UnidentifiedImageError

    if isinstance(exc, UnidentifiedImageError):
        return "not a readable image"
    if isinstance(exc, OSError) and exc.strerror:
        if exc.filename is not None:
            return f"{exc.strerror}: {exc.filename}"
        return exc.strerror
    # The module's own path errors carry only the path.
    if isinstance(exc, FileExistsError) and exc.args:
        return f"{exc.args[0]} already exists"
    if isinstance(exc, FileNotFoundError) and exc.args:
        return f"{exc.args[0]}: no such file"
    text = str(exc.args[0]) if isinstance(exc, KeyError) and exc.args else str(exc)
    return text or type(exc).__name__


# ---------------------------------------------------------------- inputs


def image_problem(path: Path) -> str | None:
    """Why a path named on the command line cannot be edited as an image, or None."""
    if not path.exists():
        return "no such file or folder"
    if path.is_dir():
        return "is a folder"
    if not path.is_file():
        return "not a regular file"
    if not library().is_image(path):
        return "not an image file"
    return None


def folder_problem(path: Path) -> str | None:
    if not path.exists():
        return "no such folder"
    if not path.is_dir():
        return "not a folder"
    return None


LINK_IN_FOLDER = "a link: edits would reach the file it points to, so name that file instead"


def collect(given: Iterable[str], follow_links: bool = False) -> tuple[
        list[Path], list[tuple[str, str]], list[tuple[str, str]]]:
    """The image files the arguments stand for (a folder for its images, by name), each once.

    Returns the resolved images, (argument, reason) for every argument that is neither, and
    (path, reason) for the links in folders, which are left out unless `follow_links`.
    """
    lib = library()
    images: list[Path] = []
    seen: set[Path] = set()
    problems: list[tuple[str, str]] = []
    links: list[tuple[str, str]] = []

    def add(path: Path) -> None:
        if path not in seen:
            seen.add(path)
            images.append(path)

    for text in given:
        path = Path(text).expanduser()
        if path.is_dir():
            try:
                rows = lib.sort_files(lib.list_dir(str(path))["files"], "name", False)
            except Exception as exc:
                problems.append((text, reason(exc)))
                continue
            for row in rows:
                entry = Path(row["path"])
                if not follow_links and entry.is_symlink():
                    links.append((row["path"], LINK_IN_FOLDER))
                else:
                    add(entry.resolve())
            continue
        problem = image_problem(path)
        if problem:
            problems.append((text, problem))
        else:
            add(path.resolve())
    return images, problems, links


def planned_destination(source: Path, folder: str | None, suffix: str | None, on_conflict: str,
                        claimed: set[Path], removed: set[Path]) -> Path:
    """Where an edit of `source` would write, without creating anything; Skip when "skip" would refuse.

    The same naming as the module's, but it also counts outputs claimed and sources
    removed earlier in the same dry run.
    """
    parent = Path(folder).expanduser().resolve() if folder else source.parent
    name = source.stem + (suffix if suffix is not None else source.suffix)
    dest = parent / name

    def taken(path: Path) -> bool:
        return path in claimed or (path not in removed and os.path.lexists(path))

    if dest.resolve() == source.resolve() or not taken(dest):
        return dest
    if on_conflict == "skip":
        raise Skip(f"{dest} already exists")
    if on_conflict == "overwrite":
        return dest
    stem, ext = Path(name).stem, Path(name).suffix
    n = 1
    while taken(parent / f"{stem}_{n}{ext}"):
        n += 1
    return parent / f"{stem}_{n}{ext}"


def schedule_renames(moves: Sequence[tuple[str, str]], present: Iterable[str]) -> tuple[
        list[tuple[str, str]], list[tuple[str, str]], list[tuple[str, str]]]:
    """Orders renames inside one folder so that no file takes a name another file still holds.

    `moves` are (old name, new name); `present` every name in the folder now. Returns the
    moves in a safe order, (old, reason) for those left alone, and (old, reason) for those
    that cannot be made.
    """
    names = set(present)
    claimants: dict[str, int] = {}
    for _, new in moves:
        claimants[new] = claimants.get(new, 0) + 1
    skipped = [(old, "already has that name") for old, new in moves if old == new and claimants[new] == 1]
    # A name meant for several files goes to none of them: which one got it would be chance.
    failed = [(old, f"the pattern gives {new} to {claimants[new]} files")
              for old, new in moves if claimants[new] > 1]
    pending = [(old, new) for old, new in moves if old != new and claimants[new] == 1]
    ordered: list[tuple[str, str]] = []
    # A name held by a file that moves later frees up once it has moved: go round until stuck.
    progress = True
    while pending and progress:
        progress = False
        waiting = []
        for old, new in pending:
            if new in names:
                waiting.append((old, new))
                continue
            names.discard(old)
            names.add(new)
            ordered.append((old, new))
            progress = True
        pending = waiting
    sources = {old for old, _ in pending}
    for old, new in pending:
        if new in sources:
            failed.append((old, f"{new} is held by another file of the batch that cannot move first"))
        else:
            failed.append((old, f"{new} already exists"))
    return ordered, skipped, failed


# ---------------------------------------------------------------- batches


class Progress:
    """A tqdm bar on standard error when it is a terminal and tqdm is installed; else nothing."""

    def __init__(self, total: int, desc: str) -> None:
        self.bar: Any = None
        if total and sys.stderr.isatty():
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, desc=desc, unit="file", file=sys.stderr, leave=False)

    def write(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stdout)
        else:
            print(line, flush=True)

    def step(self) -> None:
        if self.bar is not None:
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


@dataclass
class Tally:
    verb: str
    dry_run: bool = False
    done: int = 0
    skipped: list[tuple[str, str]] = field(default_factory=list)
    failed: list[tuple[str, str]] = field(default_factory=list)

    def report(self, interrupted: bool = False) -> int:
        """Prints the summary on standard error; the exit status is 0 only when nothing failed."""
        done = f"{self.done} to do" if self.dry_run else f"{self.done} done"
        title = f"{self.verb} (dry run)" if self.dry_run else self.verb
        tail = ", interrupted" if interrupted else ""
        print(f"{title}: {done}, {len(self.skipped)} skipped, {len(self.failed)} failed{tail}",
              file=sys.stderr)
        for path, why in self.skipped:
            print(f"skipped: {path}: {why}", file=sys.stderr)
        for path, why in self.failed:
            print(f"error: {path}: {why}", file=sys.stderr)
        return 1 if self.failed else 0


def run_batch(tally: Tally, items: Sequence[Any], work: Callable[[Any], str | None],
              label: Callable[[Any], str] = str) -> int:
    """Calls `work` on each item in turn; a line it returns is printed, Skip and errors are tallied."""
    bar = Progress(0 if tally.dry_run else len(items), tally.verb)
    try:
        for item in items:
            try:
                line = work(item)
            except Skip as skip:
                tally.skipped.append((label(item), str(skip)))
            except Exception as exc:
                tally.failed.append((label(item), reason(exc)))
            else:
                tally.done += 1
                if line:
                    bar.write(line)
            bar.step()
    except KeyboardInterrupt:
        bar.close()
        tally.report(interrupted=True)
        raise
    bar.close()
    return tally.report()


def start_tally(verb: str, args: argparse.Namespace, follow_links: bool = False) -> tuple[Tally, list[Path]]:
    images, problems, links = collect(args.paths, follow_links)
    tally = Tally(verb, dry_run=args.dry_run, skipped=links, failed=problems)
    return tally, images


def write_one(source: Path, on_conflict: str, call: Callable[[], list[str]]) -> str:
    """Makes a one-file batch call that writes a new file; its line, or Skip when it wrote none."""
    try:
        written = call()
    except FileExistsError as exc:
        # Under "skip" the module refuses a taken output name with an error carrying only the path.
        if on_conflict == "skip" and exc.strerror is None:
            raise Skip(f"{exc.args[0]} already exists") from None
        raise
    if not written:
        raise Skip("no longer an image file")
    return f"{source} -> {written[0]}"


# ---------------------------------------------------------------- commands


def cmd_list(args: argparse.Namespace) -> int:
    lib = library()
    folder = Path(args.folder).expanduser()
    problem = folder_problem(folder)
    if problem:
        raise Failure(f"{args.folder}: {problem}")
    listing = lib.list_dir(str(folder), args.hidden)
    for part in ("folders", "files"):
        listing[part] = lib.sort_files(listing[part], args.sort, args.desc)
    if args.json:
        print(json.dumps(listing, indent=2, ensure_ascii=False))
    else:
        print_listing(listing)
    return 0


def cmd_info(args: argparse.Namespace) -> int:
    lib = library()
    records = []
    failed = 0
    for text in args.files:
        path = Path(text).expanduser()
        problem = image_problem(path)
        try:
            if problem:
                raise Failure(problem)
            records.append(lib.file_info(str(path)))
        except Exception as exc:
            failed += 1
            print(f"error: {text}: {exc if isinstance(exc, Failure) else reason(exc)}", file=sys.stderr)
    if args.json:
        print(json.dumps(records, indent=2, ensure_ascii=False))
    else:
        for n, record in enumerate(records):
            if n:
                print()
            print_info(record, sys.stdout)
    return 1 if failed else 0


def cmd_thumbs(args: argparse.Namespace) -> int:
    lib = library()
    # Thumbnails only read, so a link in a folder is as good as its file.
    tally, images = start_tally("thumbs", args, follow_links=True)
    if args.dry_run:
        return run_batch(tally, images, lambda path: f"would cache a {args.edge}-pixel thumbnail of {path}")
    bar = Progress(len(images), "thumbs")
    pool = ThreadPoolExecutor(max_workers=args.jobs)
    try:
        futures = {pool.submit(lib.thumbnail_bytes, str(path), args.edge): path for path in images}
        for future in as_completed(futures):
            exc = future.exception()
            if exc is None:
                tally.done += 1
            else:
                tally.failed.append((str(futures[future]), reason(exc)))
            bar.step()
    except KeyboardInterrupt:
        pool.shutdown(wait=True, cancel_futures=True)
        bar.close()
        tally.report(interrupted=True)
        raise
    pool.shutdown()
    bar.close()
    # Threads finish in any order; report failures in the order the files were given.
    order = {str(path): n for n, path in enumerate(images)}
    tally.failed.sort(key=lambda failure: order.get(failure[0], -1))
    status = tally.report()
    if tally.done:
        print(f"thumbnails are cached in {lib.thumb_cache_dir()}", file=sys.stderr)
    return status


def cmd_convert(args: argparse.Namespace) -> int:
    lib = library()
    tally, images = start_tally("convert", args)
    suffix = "." + args.to
    claimed: set[Path] = set()
    removed: set[Path] = set()

    def preview(source: Path) -> str:
        dest = planned_destination(source, args.out, suffix, args.on_conflict, claimed, removed)
        claimed.add(dest)
        if dest == source:
            return f"would re-encode {source} in place"
        if args.delete_source:
            removed.add(source)
            return f"would convert {source} -> {dest} and remove {source}"
        return f"would convert {source} -> {dest}"

    def apply(source: Path) -> str:
        return write_one(source, args.on_conflict, lambda: lib.convert_files(
            [str(source)], args.to, args.quality, args.out, args.on_conflict, args.delete_source))

    return run_batch(tally, images, preview if args.dry_run else apply)


def cmd_rotate(args: argparse.Namespace) -> int:
    lib = library()
    tally, images = start_tally("rotate", args)
    turn = {90: "a quarter turn clockwise", -90: "a quarter turn counter-clockwise",
            180: "a half turn", 270: "a quarter turn counter-clockwise"}[args.degrees]
    claimed: set[Path] = set()

    def writable(source: Path) -> None:
        if source.suffix.lower() in UNWRITABLE_SUFFIXES:
            raise Failure(f"cannot write {source.suffix} files; convert it first")

    def preview(source: Path) -> str:
        writable(source)
        line = f"would turn {source} {turn}"
        if args.keep_original:
            backup = planned_destination(source, str(source.parent / BACKUP_FOLDER), None, "rename",
                                         claimed, set())
            claimed.add(backup)
            line += f", original kept as {backup}"
        return line

    def apply(source: Path) -> str:
        writable(source)
        if not lib.rotate_files([str(source)], args.degrees, args.keep_original):
            raise Skip("no longer an image file")
        return f"{source}: turned {turn}"

    return run_batch(tally, images, preview if args.dry_run else apply)


def cmd_resize(args: argparse.Namespace) -> int:
    lib = library()
    tally, images = start_tally("resize", args)
    basis, value = args.rule
    width, height = value if basis == "resolution" else (None, None)
    amount = 0.0 if basis == "resolution" else float(value)
    claimed: set[Path] = set()

    def preview(source: Path) -> str:
        dest = planned_destination(source, args.out, None, args.on_conflict, claimed, set())
        claimed.add(dest)
        if dest == source:
            return f"would resize {source} in place"
        return f"would resize {source} -> {dest}"

    def apply(source: Path) -> str:
        return write_one(source, args.on_conflict, lambda: lib.resize_files(
            [str(source)], basis, amount, width, height, args.out, args.on_conflict))

    return run_batch(tally, images, preview if args.dry_run else apply)


def shot_date(lib: ModuleType, path: str) -> str | None:
    """The day a photo was taken, from its camera data, as YYYY-MM-DD (or None)."""
    # When it was taken; the last-modified stamp only for cameras that write no other.
    exif = lib.file_info(path)["exif"]
    stamp = exif.get("taken") or exif.get("datetime")
    if not stamp:
        return None
    day = str(stamp).split(" ")[0].replace(":", "-")
    return day or None


def cmd_rename(args: argparse.Namespace) -> int:
    lib = library()
    folder = Path(args.folder).expanduser()
    problem = folder_problem(folder)
    if problem:
        raise Failure(f"{args.folder}: {problem}")
    folder = folder.resolve()
    rows = lib.sort_files(lib.list_dir(str(folder))["files"], args.sort, args.desc)
    tally = Tally("rename", dry_run=args.dry_run)
    moves = []
    for row in rows:
        if Path(row["path"]).is_symlink():
            tally.skipped.append((row["path"], LINK_IN_FOLDER))
            continue
        try:
            shot = shot_date(lib, row["path"]) if "[%PD]" in args.pattern else None
            number = args.start + len(moves)
            new = lib.apply_rename_pattern(row["name"], args.pattern, number, folder.name, shot)
        except Exception as exc:
            tally.failed.append((row["path"], reason(exc)))
            continue
        if new in ("", ".", "..") or "/" in new:
            tally.failed.append((row["path"], f"the pattern gives the unusable name {new!r}"))
            continue
        moves.append((row["name"], new))
    ordered, skipped, failed = schedule_renames(moves, os.listdir(folder))
    tally.skipped += [(str(folder / old), why) for old, why in skipped]
    tally.failed += [(str(folder / old), why) for old, why in failed]

    def preview(move: tuple[str, str]) -> str:
        return f"would rename {folder / move[0]} -> {move[1]}"

    def apply(move: tuple[str, str]) -> str:
        return f"{folder / move[0]} -> {lib.rename_file(str(folder / move[0]), move[1])}"

    return run_batch(tally, ordered, preview if args.dry_run else apply,
                     label=lambda move: str(folder / move[0]))


def confirm(question: str) -> bool:
    print(question, end=" ", file=sys.stderr, flush=True)
    try:
        answer = sys.stdin.readline()
    except KeyboardInterrupt:
        return False
    return answer.strip().lower() in ("y", "yes")


def cmd_delete(args: argparse.Namespace) -> int:
    lib = library()
    tally, images = start_tally("delete", args)
    if images and not args.dry_run and not args.yes:
        if not sys.stdin.isatty():
            raise Failure("not deleting without --yes: standard input is not a terminal")
        shown = [str(path) for path in images[:10]]
        if len(images) > 10:
            shown.append(f"... and {len(images) - 10} more")
        print("\n".join(shown), file=sys.stderr)
        if not confirm(f"Delete {counted(len(images), 'image')} for good? [y/N]"):
            print("nothing deleted", file=sys.stderr)
            return 1

    def preview(source: Path) -> str:
        return f"would delete {source}"

    def apply(source: Path) -> str:
        if not lib.delete_files([str(source)]):
            raise Skip("no longer an image file")
        return f"deleted {source}"

    return run_batch(tally, images, preview if args.dry_run else apply)


def cmd_demo(args: argparse.Namespace) -> int:
    from quorvane_image_viewer.demo import demo

    return demo(keep=args.keep)


# ---------------------------------------------------------------- parser


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def bounded_int(low: int, high: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        value = positive_int(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}: {text!r}")
        return value

    return parse


def percent(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be above 0: {text!r}")
    return value


def resolution(text: str) -> tuple[int, int]:
    width, sep, height = text.lower().partition("x")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT, like 640x480: {text!r}")
    return positive_int(width), positive_int(height)


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


class Formatter(argparse.RawDescriptionHelpFormatter):
    """Keeps the examples' line breaks."""


def add_command(commands: Any, name: str, help_text: str, example: str,
                run: Callable[[argparse.Namespace], int]) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        name, help=help_text, description=help_text[0].upper() + help_text[1:] + ".",
        epilog="example:\n" + example, formatter_class=Formatter)
    parser.set_defaults(run=run)
    return parser


def add_paths(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help=f"image files, or folders standing for their images, to {what}")


def add_dry_run(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-n", "--dry-run", action="store_true",
                        help="print what would happen and change nothing on disk")


def add_placement(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--out", metavar="DIR", default=None,
                        help="folder for the new files (made if missing); default: beside each source")
    parser.add_argument("--on-conflict", choices=POLICIES, default="rename",
                        help="when the output name is taken: a numbered name (default), "
                             "leave the file alone, or write over it")


PATTERN_HELP = """\
pattern tokens:
  [%YYYY] [%MM] [%DD]  today's date
  [%P]                 the folder's name
  [%N]                 the file's name without its suffix
  [%PD]                the day the photo was taken (camera data), if known
  ###                  the counter, zero-padded to the number of #
  the file's own suffix is always kept.
"""


def program_name() -> str:
    command = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "quorvane-viewer" if command.startswith("quorvane-viewer") else "python -m quorvane_image_viewer"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=program_name(),
        description="Browse, inspect and edit the images of a folder.",
        epilog="example:\n  %(prog)s list ~/Pictures --sort date --desc\n\n"
               "'%(prog)s COMMAND --help' shows each command's options and an example.",
        formatter_class=Formatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = add_command(commands, "list", "list a folder's sub-folders and images",
                    "  %(prog)s ~/Pictures --sort size --desc\n  %(prog)s . --json", cmd_list)
    p.add_argument("folder", nargs="?", default=os.curdir, metavar="FOLDER",
                   help="the folder to list (default: the current one)")
    p.add_argument("--sort", choices=SORT_KEYS, default="name", help="order of the entries (default: name)")
    p.add_argument("--desc", action="store_true", help="reverse the order")
    p.add_argument("--hidden", action="store_true", help="include entries whose name begins with a dot")
    p.add_argument("--json", action="store_true", help="print the listing as JSON")

    p = add_command(commands, "info", "show the file and camera information of images",
                    "  %(prog)s ~/Pictures/harbour.jpg\n  %(prog)s *.jpg --json", cmd_info)
    p.add_argument("files", nargs="+", metavar="FILE", help="image files")
    p.add_argument("--json", action="store_true", help="print the records as a JSON list")

    p = add_command(commands, "thumbs", "fill the thumbnail cache for images, with worker threads",
                    "  %(prog)s ~/Pictures --edge 256 --jobs 4", cmd_thumbs)
    add_paths(p, "make thumbnails of")
    p.add_argument("--edge", type=bounded_int(32, 1024), default=256, metavar="N",
                   help="long edge of the thumbnails in pixels, 32 to 1024 (default: 256)")
    p.add_argument("--jobs", type=positive_int, default=default_jobs(), metavar="N",
                   help="worker threads (default: one per core)")
    add_dry_run(p)

    p = add_command(commands, "convert", "write copies of images in another format",
                    "  %(prog)s ~/Pictures/Trip --to png --out ~/Pictures/Trip/png\n"
                    "  %(prog)s scan.tif --to jpg --quality 85 --delete-source", cmd_convert)
    add_paths(p, "convert")
    p.add_argument("--to", required=True, type=str.lower, choices=FORMATS, metavar="FORMAT",
                   help="target format: " + ", ".join(FORMATS))
    p.add_argument("--quality", type=bounded_int(1, 100), default=90, metavar="Q",
                   help="encoder quality for formats that have one, 1 to 100 (default: 90)")
    add_placement(p)
    p.add_argument("--delete-source", action="store_true",
                   help="remove each source once its copy is written")
    add_dry_run(p)

    p = add_command(commands, "rotate", "turn images in place by quarter or half turns",
                    "  %(prog)s ~/Pictures/Trip --degrees 90 --keep-original\n"
                    "  %(prog)s sideways.jpg --degrees -90", cmd_rotate)
    add_paths(p, "turn")
    p.add_argument("--degrees", type=int, choices=DEGREES, required=True,
                   help="clockwise turn: 90, 180 or 270; -90 turns counter-clockwise")
    p.add_argument("--keep-original", action="store_true",
                   help=f"copy each file into a '{BACKUP_FOLDER}' folder beside it first")
    add_dry_run(p)

    p = add_command(commands, "resize", "scale images by a size rule",
                    "  %(prog)s ~/Pictures/Trip --long 1600 --out ~/Pictures/Trip/small\n"
                    "  %(prog)s banner.png --resolution 640x200 --on-conflict overwrite", cmd_resize)
    add_paths(p, "resize")
    rules = p.add_mutually_exclusive_group(required=True)
    rules.add_argument("--percent", type=percent, dest="rule", metavar="P",
                       action=RuleAction, help="scale both sides by P percent")
    for side in ("long", "short", "width", "height"):
        rules.add_argument(f"--{side}", type=positive_int, dest="rule", metavar="PX", action=RuleAction,
                           help=f"make the {side} {'edge ' if side in ('long', 'short') else ''}PX pixels, "
                                "keeping the proportions")
    rules.add_argument("--resolution", type=resolution, dest="rule", metavar="WxH", action=RuleAction,
                       help="make the image exactly W by H pixels")
    add_placement(p)
    add_dry_run(p)
    p.epilog = (p.epilog or "") + "\nwithout --out, each resized image replaces its source."

    p = add_command(commands, "rename", "rename a folder's images by a pattern, in listing order",
                    "  %(prog)s ~/Pictures/Trip --pattern '[%%P]_###' --sort date\n"
                    "  (Trip_001.jpg, Trip_002.jpg, ... oldest first)\n\n" + PATTERN_HELP.replace("%", "%%"),
                    cmd_rename)
    p.add_argument("folder", metavar="FOLDER", help="the folder whose images to rename")
    p.add_argument("--pattern", required=True, type=pattern_text, help="the new names' pattern (below)")
    p.add_argument("--start", type=int, default=1, metavar="N", help="first counter value (default: 1)")
    p.add_argument("--sort", choices=SORT_KEYS, default="name", help="listing order (default: name)")
    p.add_argument("--desc", action="store_true", help="reverse the order")
    add_dry_run(p)

    p = add_command(commands, "delete", "remove image files for good",
                    "  %(prog)s ~/Pictures/Trip/blurry.jpg\n  %(prog)s ~/Pictures/Rejects --yes", cmd_delete)
    add_paths(p, "delete")
    p.add_argument("-y", "--yes", action="store_true", help="do not ask for confirmation")
    add_dry_run(p)

    p = add_command(commands, "demo", "run the demo on generated sample images", "  %(prog)s --keep", cmd_demo)
    p.add_argument("--keep", action="store_true", help="keep the sample folder afterwards")

    add_view(commands)
    return parser


class RuleAction(argparse.Action):
    """Stores (rule name, value) so that one destination holds the chosen size rule."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        setattr(namespace, self.dest, (self.option_strings[0].lstrip("-"), values))


def pattern_text(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("the pattern is empty")
    if "/" in text or "\0" in text:
        raise argparse.ArgumentTypeError(f"a name pattern cannot hold '/': {text!r}")
    return text


def add_view(commands: Any) -> None:
    # The local viewer page is optional: the command exists only where its package is installed.
    try:
        from quorvane_image_viewer.page import server
    except ImportError:
        return
    p = commands.add_parser("view", help="open the local viewer page", formatter_class=Formatter)
    server.add_arguments(p)
    if p.epilog is None:
        p.epilog = "example:\n  %(prog)s"
    p.set_defaults(run=server.run)


# ---------------------------------------------------------------- entry


def main(argv: Sequence[str] | None = None) -> int:
    for stream in (sys.stdout, sys.stderr):
        # File names that are not valid text are printed as the bytes they are.
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="surrogateescape" if stream is sys.stdout else "backslashreplace")
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except Failure as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (| head): say nothing more, and keep the exit flush quiet.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as exc:
        print(f"error: {reason(exc)}", file=sys.stderr)
        return 1
