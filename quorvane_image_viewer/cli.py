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
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any, TextIO

from quorvane_image_viewer import __version__, fields, plan
from quorvane_image_viewer.fields import human_size
from quorvane_image_viewer.plan import BACKUP_FOLDER, BACKUP_FOLDER_MEANING, CONFLICT_POLICIES, SORT_KEYS

DEGREES = (90, -90, 180, 270)
# Images the module reads but cannot write back in their own format: turning one fails.
UNWRITABLE_SUFFIXES = {".avif", ".heic", ".heif", ".ico", ".pbm", ".pgm", ".ppm"}


class Failure(Exception):
    """A problem the user can act on: reported as one line, exit status 1."""


class Skip(Exception):
    """A file left alone on purpose; its text says why."""


def library() -> ModuleType:
    return plan.library()


# ---------------------------------------------------------------- formatting


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
    for label, value in fields.describe(info):
        print(f"  {label + ':':<14} {value}", file=out)


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
# What a recursive walk leaves out, as every command's help says it.
WALK_RULE = f"(hidden folders and '{BACKUP_FOLDER}' left out, links to folders not followed)"


def walk(folder: Path, recursive: bool, hidden: bool = False) -> Iterator[tuple[Path, dict[str, Any] | Exception]]:
    """The listing of `folder` and, when `recursive`, of each folder below it, depth first by name.

    Hidden folders, the backup folders of rotation and links to folders are not entered. A folder
    that cannot be listed comes with its exception instead of a listing.
    """
    try:
        listing = library().list_dir(str(folder), hidden)
    except Exception as exc:
        yield folder, exc
        return
    yield folder, listing
    if not recursive:
        return
    for row in listing["folders"]:
        below = Path(row["path"])
        if row["name"].startswith(".") or row["name"] == BACKUP_FOLDER or below.is_symlink():
            continue
        yield from walk(below, recursive, hidden)


def collect(given: Iterable[str], follow_links: bool = False, recursive: bool = False) -> tuple[
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
            for folder, listing in walk(path, recursive):
                if isinstance(listing, Exception):
                    problems.append((text if folder == path else str(folder), reason(listing)))
                    continue
                for row in lib.sort_files(listing["files"], "name", False):
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
    """Where an edit of `source` would write, counting this dry run's earlier outputs; Skip under "skip"."""
    try:
        return plan.destination(source, folder, suffix, on_conflict, claimed, removed)
    except plan.Taken as taken:
        raise Skip(f"{taken} already exists") from None


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
    images, problems, links = collect(args.paths, follow_links, args.recursive)
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
    listings: list[dict[str, Any]] = []
    failed = 0
    for below, listing in walk(folder, args.recursive, args.hidden):
        if isinstance(listing, Exception):
            if below == folder:
                raise listing
            failed += 1
            print(f"error: {below}: {reason(listing)}", file=sys.stderr)
            continue
        for part in ("folders", "files"):
            listing[part] = lib.sort_files(listing[part], args.sort, args.desc)
        if not args.json:
            if listings:
                print()
            print_listing(listing)
        listings.append(listing)
    if args.json:
        print(json.dumps(listings if args.recursive else listings[0], indent=2, ensure_ascii=False))
    elif any(row["name"] == BACKUP_FOLDER for listing in listings for row in listing["folders"]):
        print(f"\nnote: {BACKUP_FOLDER_MEANING}, made by rotate --keep-original")
    return 1 if failed else 0


def cmd_info(args: argparse.Namespace) -> int:
    lib = library()
    records = []
    failed = 0
    targets = [(text, Path(text).expanduser()) for text in args.files]
    if args.recursive:
        # Folders stand for their images, and those of the folders below them.
        images, problems, _ = collect(args.files, follow_links=True, recursive=True)
        targets = [(str(path), path) for path in images]
        for text, why in problems:
            failed += 1
            print(f"error: {text}: {why}", file=sys.stderr)
    for text, path in targets:
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

    status = run_batch(tally, images, preview if args.dry_run else apply)
    if args.keep_original and tally.done:
        print(f"note: {BACKUP_FOLDER_MEANING}, as it was before", file=sys.stderr)
    return status


def cmd_resize(args: argparse.Namespace) -> int:
    lib = library()
    tally, images = start_tally("resize", args)
    basis, value = args.rule
    width, height = value if basis == "resolution" else (None, None)
    amount = 0.0 if basis == "resolution" else float(value)
    claimed: set[Path] = set()

    def shrinks(source: Path) -> None:
        if args.enlarge:
            return
        info = lib.file_info(str(source))
        if plan.small_enough(info["width"], info["height"], basis, amount, (width, height) if width else None):
            raise Skip(f"already {info['width']} x {info['height']}, small enough: left as it was")

    def preview(source: Path) -> str:
        shrinks(source)
        dest = planned_destination(source, args.out, None, args.on_conflict, claimed, set())
        claimed.add(dest)
        if dest == source:
            return f"would resize {source} in place"
        return f"would resize {source} -> {dest}"

    def apply(source: Path) -> str:
        shrinks(source)
        return write_one(source, args.on_conflict, lambda: lib.resize_files(
            [str(source)], basis, amount, width, height, args.out, args.on_conflict))

    return run_batch(tally, images, preview if args.dry_run else apply)


def cmd_rename(args: argparse.Namespace) -> int:
    lib = library()
    folder = Path(args.folder).expanduser()
    problem = folder_problem(folder)
    if problem:
        raise Failure(f"{args.folder}: {problem}")
    folder = folder.resolve()
    rows = lib.sort_files(lib.list_dir(str(folder))["files"], args.sort, args.desc)
    tally = Tally("rename", dry_run=args.dry_run)
    files = []
    for row in rows:
        if Path(row["path"]).is_symlink():
            tally.skipped.append((row["path"], LINK_IN_FOLDER))
        else:
            files.append(row["path"])
    renames = plan.RenamePlan(files, args.pattern, args.start)
    for row in renames.rows:
        if row.problem:
            tally.failed.append((f"{row.path} -> {row.new}", row.problem))
        elif not row.moves:
            tally.skipped.append((row.path, "already has that name"))
    moves = renames.moves
    if args.dry_run:
        for row in moves:
            print(f"would rename {row.path} -> {row.new}")
        tally.done = len(moves)
        return tally.report()
    try:
        written = renames.perform()
    except plan.RenameStopped as stop:
        tally.failed.append((str(folder / stop.old), f"{reason(stop.error)}; {stop.outcome(stop.undone)}"))
    else:
        for row, new in zip(moves, written):
            print(f"{row.path} -> {new}")
        tally.done = len(moves)
    return tally.report()


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
    where = "for good" if args.permanent else "to the trash"
    if images and not args.dry_run and not args.yes:
        if not sys.stdin.isatty():
            raise Failure("not deleting without --yes: standard input is not a terminal")
        shown = [str(path) for path in images[:10]]
        if len(images) > 10:
            shown.append(f"... and {len(images) - 10} more")
        print("\n".join(shown), file=sys.stderr)
        if not confirm(f"Delete {counted(len(images), 'image')} {where}? [y/N]"):
            print("nothing deleted", file=sys.stderr)
            return 1

    def preview(source: Path) -> str:
        return f"would delete {source} for good" if args.permanent else f"would move {source} to the trash"

    def apply(source: Path) -> str:
        if args.permanent:
            if not lib.delete_files([str(source)]):
                raise Skip("no longer an image file")
            return f"deleted {source}"
        if not (source.is_file() and lib.is_image(source)):
            raise Skip("no longer an image file")
        from quorvane_image_viewer import trash

        return f"moved {source} to the trash: {trash.move_to_trash(source)['trashed']}"

    status = run_batch(tally, images, preview if args.dry_run else apply)
    if tally.done and not args.permanent and not args.dry_run:
        print("the desktop's trash can puts them back", file=sys.stderr)
    return status


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
    parser.add_argument("-r", "--recursive", action="store_true",
                        help=f"with folders, also the images of the folders below them {WALK_RULE}")


def add_dry_run(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-n", "--dry-run", action="store_true",
                        help="print what would happen and change nothing on disk")


def add_placement(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--out", metavar="DIR", default=None,
                        help="folder for the new files (made if missing); default: beside each source")
    parser.add_argument("--on-conflict", choices=CONFLICT_POLICIES, default=CONFLICT_POLICIES[0],
                        help="when the output name is taken: a numbered name (default), "
                             "leave the file alone, or write over it")


PATTERN_HELP = "pattern tokens:\n" + "".join(f"  {token:<9} {meaning}\n" for token, meaning in plan.RENAME_TOKENS) + \
    "  the file's own suffix is always kept.\n"


def format_help() -> str:
    try:
        return "target format: " + ", ".join(plan.formats())
    except ImportError:  # help still works without the native module
        return "target format, by its usual suffix"


def output_format(text: str) -> str:
    # Checked against the library's own list, read only when the option is given.
    key = text.lower()
    if key not in plan.formats():
        raise argparse.ArgumentTypeError(
            f"invalid choice: {text!r} (choose from {', '.join(map(repr, plan.formats()))})")
    return key


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
    p.add_argument("-r", "--recursive", action="store_true",
                   help=f"also list the folders below, depth first {WALK_RULE}")
    p.add_argument("--json", action="store_true", help="print the listing as JSON (a list of them with --recursive)")

    p = add_command(commands, "info", "show the file and camera information of images",
                    "  %(prog)s ~/Pictures/harbour.jpg\n  %(prog)s *.jpg --json", cmd_info)
    p.add_argument("files", nargs="+", metavar="FILE", help="image files (folders too, with --recursive)")
    p.add_argument("-r", "--recursive", action="store_true",
                   help=f"folders stand for their images and those of the folders below them {WALK_RULE}")
    p.add_argument("--json", action="store_true", help="print the records, with their raw values, as a JSON list")

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
    p.add_argument("--to", required=True, type=output_format, metavar="FORMAT",
                   help=format_help())
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
                   help=f"copy each file first into a '{BACKUP_FOLDER}' folder beside it, "
                        "which keeps the originals as they were")
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
    p.add_argument("--enlarge", action="store_true",
                   help="also enlarge images smaller than the rule asks (default: only shrink; "
                        "images small enough are left as they were)")
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

    p = add_command(commands, "delete", "move image files to the desktop's trash, or remove them for good",
                    "  %(prog)s ~/Pictures/Trip/blurry.jpg\n  %(prog)s ~/Pictures/Rejects --yes --permanent",
                    cmd_delete)
    add_paths(p, "delete")
    p.add_argument("--permanent", action="store_true",
                   help="remove the files for good instead of moving them to the trash")
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
