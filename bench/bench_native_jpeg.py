"""The JPEG codec's routes against the same steps in plain Python and against the decoder's
floor, side by side in one run.

- rotate_files 90 degrees on a 12-megapixel JPEG: a lossless transform against decode, turn
  and re-encode; four quarter turns must give back every pixel; the share of the photos that
  turned exactly (a 4000 by 3000 4:2:0 photo cannot turn a quarter exactly: 3000 is not a
  multiple of 16);
- display_source of an orientation-6 photo;
- a thumbnail miss against the floor: TurboJPEG alone decoding the same file at the same
  scale (the smallest halving whose long side covers twice the edge), called from this
  process; the floor at 1/8 scale is printed too; the miss's mean absolute difference from
  a Lanczos thumbnail of the full decode;
- two threads against one, thumbnail misses;
- preview_bytes per photo;
- `thumbs --jobs 2` over many camera JPEGs with an empty cache, against (count x floor / 2).

The photos (camera-like 12-megapixel JPEGs: noise from fine to coarse, orientation 6, an EXIF
block with an embedded preview) are made on the first run under build/bench-native.

Run with `make bench`, or from the repository root:
    PYTHONPATH=. /usr/bin/python3 bench/bench_native_jpeg.py [--photos N]
"""

import argparse
import ctypes
import ctypes.util
import io
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "tests"))

from PIL import Image, ImageChops, ImageOps, ImageStat  # noqa: E402

import quorvane_image_viewer.library as lib  # noqa: E402
from conftest import exif_block  # noqa: E402

DATA = ROOT / "build" / "bench-native"
DATA_VERSION = "1"
# A phone's 12 megapixels (sides multiples of 16) and a camera's (3000 is not).
SIZES = [(4032, 3024), (4032, 3024), (4032, 3024), (4000, 3000)]
NOISE = [8, 16, 24, 16]
EDGE = 256
ROUNDS = 5


# ---- the same steps in plain Python ----

def py_rotate(path, degrees):
    with ImageOps.exif_transpose(Image.open(path)) as image:
        image.rotate(-degrees, expand=True).save(path, format="JPEG", quality=90)


def py_display_source(path):
    with Image.open(path) as image:
        orientation = image.getexif().get(274, 1)
    if orientation in (0, 1):
        return Path(path), "image/jpeg"
    with ImageOps.exif_transpose(Image.open(path)) as image:
        buf = io.BytesIO()
        image.convert("RGB").save(buf, format="JPEG", quality=90)
        return buf.getvalue(), "image/jpeg"


# ---- the decoder alone ----

class Floor:
    """TurboJPEG decoding a file to RGB at a given scale, through its C interface."""

    def __init__(self):
        self.tj = ctypes.CDLL(ctypes.util.find_library("turbojpeg") or "libturbojpeg.so.0")
        self.tj.tjInitDecompress.restype = ctypes.c_void_p
        self.tj.tjDecompressHeader3.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_ulong] + \
            [ctypes.POINTER(ctypes.c_int)] * 4
        self.tj.tjDecompress2.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_void_p,
                                          ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int]
        self.tj.tjDestroy.argtypes = [ctypes.c_void_p]

    def size(self, data):
        handle = self.tj.tjInitDecompress()
        w, h, s, c = (ctypes.c_int() for _ in range(4))
        self.tj.tjDecompressHeader3(handle, data, len(data), w, h, s, c)
        self.tj.tjDestroy(handle)
        return w.value, h.value

    def decode(self, data, denominator):
        """Reads the file and decodes it at 1/denominator, as a thumbnail miss must."""
        handle = self.tj.tjInitDecompress()
        width, height = self.size(data)
        w, h = -(-width // denominator), -(-height // denominator)
        out = ctypes.create_string_buffer(w * h * 3)
        if self.tj.tjDecompress2(handle, data, len(data), out, w, 0, h, 0, 0) != 0:
            raise RuntimeError("decode failed")
        self.tj.tjDestroy(handle)


def route_denominator(size, edge):
    """The scale the module's thumbnail route decodes at: the smallest halving whose long side
    covers twice the edge."""
    long_side = max(size)
    for denominator in (8, 4, 2):
        if -(-long_side // denominator) >= 2 * edge:
            return denominator
    return 1


# ---- sample data ----

def make_photo(path, size, noise_level, orientation):
    width, height = size
    ramp = Image.linear_gradient("L").resize(size)
    ring = Image.radial_gradient("L").resize(size)
    channels = []
    for i, base in enumerate((ramp, ring, ramp.transpose(Image.Transpose.ROTATE_180))):
        noise = Image.effect_noise(size, noise_level)
        channels.append(ImageChops.add(base, noise, scale=2.0, offset=i * 20))
    picture = Image.merge("RGB", channels)
    small = picture.resize((160, 120))
    buf = io.BytesIO()
    small.save(buf, format="JPEG", quality=85)
    exif = exif_block(orientation, size, buf.getvalue(), make=b"Bnch")
    picture.save(path, quality=92, exif=exif)


def sample_data():
    marker = DATA / "complete"
    if marker.exists() and marker.read_text() == DATA_VERSION:
        return
    shutil.rmtree(DATA, ignore_errors=True)
    DATA.mkdir(parents=True)
    print(f"making sample photos under {DATA} (once) ...", flush=True)
    for i, (size, noise) in enumerate(zip(SIZES, NOISE)):
        make_photo(DATA / f"photo_{i}.jpg", size, noise, 6)
    marker.write_text(DATA_VERSION)


def photos():
    return [DATA / f"photo_{i}.jpg" for i in range(len(SIZES))]


# ---- timing ----

def clear_cache():
    shutil.rmtree(Path.home() / ".quorvane", ignore_errors=True)


def median_of(run, rounds=ROUNDS):
    return statistics.median(run() for _ in range(rounds))


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def report(label, native, baseline, baseline_name, target):
    print(f"{label:<40} {native * 1e3:9.2f} ms  {baseline_name} {baseline * 1e3:9.2f} ms"
          f"  ratio {native / baseline:6.3f}   target {target}")


def pixels(path):
    with Image.open(path) as image:
        return image.convert("RGB").tobytes()


def rotation(work):
    """rotate_files against the plain steps on copies of the same photo; returns the share of
    the photos that turned exactly."""
    exact = 0
    for photo in photos():
        copy = work / photo.name
        shutil.copy(photo, copy)
        lib.rotate_files([str(copy)], 90, False)
        with Image.open(copy) as image:
            # an exact turn keeps the EXIF block with its embedded preview; a re-encoding
            # writes a new block without one
            exact += b"\xff\xd8" in image.info["exif"][6:]
    photo = photos()[0]
    native_copy, plain_copy = work / "native.jpg", work / "plain.jpg"
    times = {"native": [], "plain": []}
    for _ in range(ROUNDS):
        shutil.copy(photo, native_copy)
        shutil.copy(photo, plain_copy)
        times["native"].append(timed(lambda: lib.rotate_files([str(native_copy)], 90, False)))
        times["plain"].append(timed(lambda: py_rotate(plain_copy, 90)))
    report("rotate_files 90, 12 MP", statistics.median(times["native"]), statistics.median(times["plain"]),
           "plain", "<= 0.25")
    # four quarter turns of an upright photo give back every stored pixel
    shutil.copy(photo, native_copy)
    lib.rotate_files([str(native_copy)], 180, False)  # stands it upright
    before = pixels(native_copy)
    for _ in range(4):
        lib.rotate_files([str(native_copy)], 90, False)
    print(f"{'four quarter turns give back every pixel':<40} {pixels(native_copy) == before}")
    print(f"{'photos that turned exactly':<40} {exact} of {len(photos())}")


def display():
    photo = str(photos()[0])
    native = median_of(lambda: timed(lambda: lib.display_source(photo)))
    plain = median_of(lambda: timed(lambda: py_display_source(photo)))
    report("display_source, orientation 6, 12 MP", native, plain, "plain", "<= 0.25")
    data, _ = lib.display_source(photo)
    with Image.open(io.BytesIO(data)) as made, Image.open(photo) as stored:
        kept = made.convert("RGB").tobytes() == stored.convert("RGB").transpose(Image.Transpose.ROTATE_270).tobytes()
        same = max(ImageStat.Stat(ImageChops.difference(
            made.convert("RGB"), ImageOps.exif_transpose(stored).convert("RGB"))).mean)
    print(f"{'  stored pixels, decoded: mean difference':<40} {same:.3f} levels (bit-exact: {kept})")


def thumbnails(floor):
    misses, floors, eighths, differences = [], [], [], []
    for photo in photos():
        data = photo.read_bytes()
        denominator = route_denominator(floor.size(data), EDGE)
        for _ in range(ROUNDS):
            clear_cache()
            misses.append(timed(lambda: lib.thumbnail_bytes(str(photo), EDGE)))
            floors.append(timed(lambda: floor.decode(photo.read_bytes(), denominator)))
            eighths.append(timed(lambda: floor.decode(photo.read_bytes(), 8)))
        clear_cache()
        with Image.open(io.BytesIO(lib.thumbnail_bytes(str(photo), EDGE))) as made, Image.open(photo) as full:
            reference = ImageOps.exif_transpose(full).convert("RGB")
            reference.thumbnail((EDGE, EDGE), Image.Resampling.LANCZOS, reducing_gap=None)
            differences.append(max(ImageStat.Stat(ImageChops.difference(made.convert("RGB"), reference)).mean))
    miss, at_scale, eighth = statistics.median(misses), statistics.median(floors), statistics.median(eighths)
    print(f"{'decoder floor at the route scale':<40} {at_scale * 1e3:9.2f} ms (1/{denominator});"
          f" at 1/8: {eighth * 1e3:.2f} ms")
    report("thumbnail miss, 12 MP", miss, at_scale, "floor", "<= 1.1")
    print(f"{'  mean difference from Lanczos, worst':<40} {max(differences):.2f} levels   target <= 2")
    return at_scale


def threads(work, floor):
    # links: each name is its own cache entry, so every call is a miss
    tasks = []
    for i in range(12):
        link = work / f"IMG_{i:02d}.jpg"
        os.link(photos()[i % len(photos())], link)
        tasks.append(str(link))

    def run(workers, each):
        clear_cache()
        chunks = [tasks[i::workers] for i in range(workers)]
        pool = [threading.Thread(target=lambda c=c: [each(t) for t in c]) for c in chunks]
        start = time.perf_counter()
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        return time.perf_counter() - start

    def miss(path):
        lib.thumbnail_bytes(path, EDGE)

    def decode(path):
        floor.decode(Path(path).read_bytes(), 4)

    one, two = median_of(lambda: run(1, miss)), median_of(lambda: run(2, miss))
    # what the machine gives two threads: the decoder alone, which holds no lock
    floor_one, floor_two = median_of(lambda: run(1, decode)), median_of(lambda: run(2, decode))
    print(f"{'two threads vs one, thumbnail misses':<40} {one / two:6.2f}x   target >= 1.9"
          f"   (the decoder alone: {floor_one / floor_two:.2f}x)")


def previews():
    paths = [str(p) for p in photos()]
    number = 200
    start = time.perf_counter()
    for _ in range(number):
        for p in paths:
            lib.preview_bytes(p)
    each = (time.perf_counter() - start) / (number * len(paths))
    print(f"{'preview_bytes per photo':<40} {each * 1e3:9.3f} ms   target <= 1 ms")


def thumbs_command(count, floor_time):
    with tempfile.TemporaryDirectory(dir=DATA) as folder:
        folder = Path(folder)
        for i in range(count):
            # links: each name is its own cache entry, the bytes stay in memory
            os.link(photos()[i % 3], folder / f"IMG_{i:05d}.jpg")
        home = folder / "home"
        home.mkdir()
        env = dict(os.environ, HOME=str(home), PYTHONPATH=str(ROOT))
        start = time.perf_counter()
        subprocess.run([sys.executable, "-m", "quorvane_image_viewer", "thumbs", str(folder), "--jobs", "2"],
                       env=env, check=True, capture_output=True)
        took = time.perf_counter() - start
    bound = count * floor_time / 2
    print(f"{f'{count} camera JPEGs, cold, thumbs --jobs 2':<40} {took:9.2f} s   (count x floor / 2: "
          f"{bound:.2f} s)  ratio {took / bound:5.2f}   target <= 1.15")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--photos", type=int, default=1000, help="files for the thumbs command (default 1000)")
    args = parser.parse_args()
    sample_data()
    floor = Floor()
    with tempfile.TemporaryDirectory() as home:
        os.environ["HOME"] = home
        with tempfile.TemporaryDirectory(dir=DATA) as work:
            rotation(Path(work))
        display()
        floor_time = thumbnails(floor)
        with tempfile.TemporaryDirectory(dir=DATA) as work:
            threads(Path(work), floor)
        previews()
        thumbs_command(args.photos, floor_time)


if __name__ == "__main__":
    main()
