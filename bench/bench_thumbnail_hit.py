"""Cache-hit cost of thumbnail_bytes against the same steps in plain Python.

Run from the repository root: /usr/bin/python3 bench/bench_thumbnail_hit.py
"""

import hashlib
import os
import sys
import tempfile
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from PIL import Image  # noqa: E402

import quorvane_image_viewer.library as lib  # noqa: E402

IMAGE_SUFFIXES = set(lib.IMAGE_SUFFIXES)


def python_hit(path, long_edge=256):
    target = Path(path).expanduser().resolve()
    if not (target.is_file() and target.suffix.lower() in IMAGE_SUFFIXES):
        raise FileNotFoundError(str(target))
    long_edge = max(32, min(int(long_edge), 1024))
    stat = target.stat()
    text = f"{target}:{stat.st_mtime_ns}:{stat.st_size}:{long_edge}"
    key = hashlib.sha1(text.encode("utf-8", "surrogateescape")).hexdigest()
    folder = Path.home() / ".quorvane" / "image_viewer" / "thumbs"
    folder.mkdir(parents=True, exist_ok=True)
    cached = folder / (key + ".jpg")
    if cached.is_file():
        return cached.read_bytes()
    raise AssertionError("the benchmark expects a cache hit")


def best_per_call(functions, path, number, repeat=9):
    # Alternating the two keeps drift in machine load from favouring either side.
    best = [float("inf")] * len(functions)
    for _ in range(repeat):
        for i, function in enumerate(functions):
            best[i] = min(best[i], timeit.timeit(lambda: function(path), number=number) / number)
    return best


def main():
    with tempfile.TemporaryDirectory() as scratch:
        os.environ["HOME"] = os.path.join(scratch, "home")
        photo = Path(scratch, "photo.jpg")
        Image.new("RGB", (1600, 1200), (90, 140, 200)).save(photo, quality=90)
        made = lib.thumbnail_bytes(str(photo))  # the miss that fills the cache
        assert lib.thumbnail_bytes(str(photo)) == python_hit(str(photo)) == made
        number = 5000
        native, plain = best_per_call([lib.thumbnail_bytes, python_hit], str(photo), number)
    print(f"Python {sys.version.split()[0]}, best of 9 x {number} hits on one cached entry")
    print(f"thumbnail_bytes (native): {native * 1e6:8.2f} us per hit")
    print(f"same steps in Python:     {plain * 1e6:8.2f} us per hit")
    print(f"ratio native / Python:    {native / plain:8.3f}")


if __name__ == "__main__":
    main()
