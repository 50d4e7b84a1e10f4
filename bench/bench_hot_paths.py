"""The paths a viewer waits on, against the same steps written in plain Python.

Times, side by side in one run: a thumbnail miss and a cache hit, file_info,
display_source of an orientation-6 photo, and list_dir of 5,000 entries; then the
speed-up of two threads making thumbnails, the peak memory of one thumbnail miss,
and, when vipsthumbnail is installed, a miss against it over the same photos.

The sample data (12-megapixel camera JPEGs, a folder of 5,000 entries) is made on
the first run under build/bench-data and reused afterwards.

Run with `make bench`, or from the repository root:
    PYTHONPATH=. /usr/bin/python3 bench/bench_hot_paths.py
"""

import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from io import BytesIO
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from PIL import Image, ImageChops, ImageOps  # noqa: E402

import quorvane_image_viewer.library as lib  # noqa: E402

DATA = ROOT / "build" / "bench-data"
DATA_VERSION = "3"
PHOTO_SIZE = (4000, 3000)
# Sensor-like noise from fine to coarse: files of about 1.5 to 5.5 MB, the range a
# 12-megapixel camera writes. Decoding the compressed data itself, which no reduced
# decode avoids, grows with the file, so the thumbnail miss is timed per file size.
NOISE = (6, 10, 14, 18, 22, 26)
PHOTOS = len(NOISE)
TURNED = {1, 4}  # photos stored sideways, with orientation 6
LISTING_ENTRIES = 5000
ROUNDS = 3

IMAGE_SUFFIXES = set(lib.IMAGE_SUFFIXES)


# ---- the same steps in plain Python ----

def py_is_image(path):
    return path.suffix.lower() in IMAGE_SUFFIXES


def py_open_oriented(path):
    image = Image.open(path)
    return ImageOps.exif_transpose(image)


def py_list_dir(folder, show_hidden=False):
    root = Path(folder).expanduser().resolve()
    if not root.is_dir():
        raise FileNotFoundError(str(root))
    folders, files = [], []
    for entry in root.iterdir():
        name = entry.name
        if not show_hidden and name.startswith("."):
            continue
        try:
            stat = entry.stat()
        except OSError:
            continue
        row = {"name": name, "path": str(entry), "mtime": int(stat.st_mtime), "size": stat.st_size}
        if entry.is_dir():
            row["kind"] = "dir"
            folders.append(row)
        elif entry.is_file() and py_is_image(entry):
            row["kind"] = "image"
            files.append(row)
    folders.sort(key=lambda r: r["name"].lower())
    parent = root.parent
    return {"path": str(root), "parent": None if parent == root else str(parent), "folders": folders, "files": files}


def py_thumb_cache_dir():
    folder = Path.home() / ".quorvane" / "image_viewer" / "thumbs"
    folder.mkdir(parents=True, exist_ok=True)
    return folder


def py_thumbnail_bytes(path, long_edge=256):
    target = Path(path).expanduser().resolve()
    if not target.is_file() or not py_is_image(target):
        raise FileNotFoundError(str(target))
    long_edge = max(32, min(int(long_edge), 1024))
    stat = target.stat()
    text = f"{target}:{stat.st_mtime_ns}:{stat.st_size}:{long_edge}"
    key = hashlib.sha1(text.encode("utf-8", "surrogateescape")).hexdigest()
    cached = py_thumb_cache_dir() / (key + ".jpg")
    if cached.is_file():
        return cached.read_bytes()
    with py_open_oriented(target) as image:
        image = image.convert("RGBA" if image.mode in ("P", "LA") else "RGB")
        image.thumbnail((long_edge, long_edge))
        if image.mode != "RGB":
            image = image.convert("RGB")
        buf = BytesIO()
        image.save(buf, format="JPEG", quality=80)
        data = buf.getvalue()
    cached.write_bytes(data)
    return data


def py_file_info(path):
    target = Path(path).expanduser().resolve()
    if not target.is_file() or not py_is_image(target):
        raise FileNotFoundError(str(target))
    stat = target.stat()
    info = {"path": str(target), "name": target.name, "size": stat.st_size, "mtime": int(stat.st_mtime),
            "width": None, "height": None, "format": None, "exif": {}}
    labels = {271: "make", 272: "model", 306: "datetime", 33434: "exposure", 34855: "iso", 37386: "focal"}
    with py_open_oriented(target) as image:
        info["width"], info["height"] = image.size
        info["format"] = image.format
        raw = image.getexif()
        for tag, label in labels.items():
            value = raw.get(tag)
            if value is not None:
                info["exif"][label] = str(value)
    return info


def py_display_source(path):
    target = Path(path).expanduser().resolve()
    if not target.is_file() or not py_is_image(target):
        raise FileNotFoundError(str(target))
    media = lib._media_type(target.suffix.lower())
    if media != "application/octet-stream":
        with Image.open(target) as image:
            orientation = image.getexif().get(274, 1)
        if orientation == 0 or orientation == 1:
            return target, media
    with py_open_oriented(target) as image:
        buf = BytesIO()
        image.convert("RGB").save(buf, format="JPEG", quality=90)
        return buf.getvalue(), "image/jpeg"


# ---- sample data ----

def make_photo(path, seed, noise_level, orientation):
    width, height = PHOTO_SIZE
    ramp = Image.linear_gradient("L").resize((width, height))
    ring = Image.radial_gradient("L").resize((width, height))
    channels = []
    for i, base in enumerate((ramp, ring, ramp.transpose(Image.Transpose.ROTATE_180))):
        noise = Image.effect_noise((width, height), noise_level)
        channels.append(ImageChops.add(base, noise, scale=2.0, offset=i * 20))
    exif = Image.Exif()
    exif[271], exif[272], exif[306] = "Bench", f"Camera {seed}", "2024:05:06 07:08:09"
    exif[274] = orientation
    Image.merge("RGB", channels).save(path, quality=92, exif=exif.tobytes())


def make_listing(folder):
    folder.mkdir(parents=True)
    # What a camera folder holds: mostly photos, some sidecars, sub-folders, hidden
    # files and links. list_dir never opens a file, so the photos can be empty.
    for i in range(LISTING_ENTRIES):
        kind = i % 25
        if kind < 19:
            (folder / f"IMG_{i:05d}.{('jpg', 'JPG', 'png', 'webp')[i % 4]}").touch()
        elif kind < 22:
            (folder / f"IMG_{i:05d}.xmp").touch()
        elif kind == 22:
            (folder / f"album {i:05d}").mkdir()
        elif kind == 23:
            (folder / f".hidden_{i:05d}.jpg").touch()
        else:
            (folder / f"link_{i:05d}.jpg").symlink_to(f"IMG_{i - 1:05d}.jpg" if i % 2 else "missing.jpg")


def sample_data():
    marker = DATA / "complete"
    if marker.exists() and marker.read_text() == DATA_VERSION:
        return
    shutil.rmtree(DATA, ignore_errors=True)
    (DATA / "photos").mkdir(parents=True)
    print(f"making sample data under {DATA} (once) ...", flush=True)
    for i in range(PHOTOS):
        make_photo(DATA / "photos" / f"photo_{i}.jpg", i, NOISE[i], 6 if i in TURNED else 1)
    make_listing(DATA / "listing")
    marker.write_text(DATA_VERSION)


def photos():
    return [str(DATA / "photos" / f"photo_{i}.jpg") for i in range(PHOTOS)]


# ---- timing ----

def clear_cache():
    shutil.rmtree(Path.home() / ".quorvane", ignore_errors=True)


def timed(call, *args):
    start = time.perf_counter()
    call(*args)
    return time.perf_counter() - start


def side_by_side(pairs, rounds):
    """Median time per call of each function, alternating them so load drifts affect both alike."""
    times = {name: [] for name, _ in pairs}
    for _ in range(rounds):
        for name, call in pairs:
            times[name].append(call())
    return {name: statistics.median(values) for name, values in times.items()}


def per_call(function, args, number):
    def run():
        start = time.perf_counter()
        for _ in range(number):
            function(*args)
        return (time.perf_counter() - start) / number
    return run


def report(label, native, plain, target):
    print(f"{label:<32} {native * 1e3:10.3f} ms {plain * 1e3:10.3f} ms {native / plain:8.3f}   {target}")


def thumbnail_misses(edge):
    """Median time of a miss per photo, module and plain Python alternated."""
    module = {photo: [] for photo in photos()}
    python = {photo: [] for photo in photos()}
    for _ in range(ROUNDS):
        for photo in photos():
            clear_cache()
            module[photo].append(timed(lib.thumbnail_bytes, photo, edge))
            clear_cache()
            python[photo].append(timed(py_thumbnail_bytes, photo, edge))
    return ({photo: statistics.median(times) for photo, times in module.items()},
            {photo: statistics.median(times) for photo, times in python.items()})


def thumbnail_task(task):
    return len(lib.thumbnail_bytes(*task))


def batch_time(pool_type, workers, tasks):
    clear_cache()
    with pool_type(max_workers=workers) as pool:
        list(pool.map(len, [b""] * workers))  # workers are up before the clock starts
        start = time.perf_counter()
        list(pool.map(thumbnail_task, tasks))
        return time.perf_counter() - start


def speed_ups(tasks, rounds=3):
    """Two workers against one, as threads and, for the machine's own ceiling, as processes."""
    times = {}
    for _ in range(rounds):
        for pool_type in (ThreadPoolExecutor, ProcessPoolExecutor):
            for workers in (1, 2):
                times.setdefault((pool_type, workers), []).append(batch_time(pool_type, workers, tasks))
    median = {key: statistics.median(values) for key, values in times.items()}
    return {pool_type: (median[(pool_type, 1)], median[(pool_type, 2)])
            for pool_type in (ThreadPoolExecutor, ProcessPoolExecutor)}


# The peak resident size of this process alone (ru_maxrss would count the parent's
# memory from before the exec), in kB.
PEAK_SCRIPT = textwrap.dedent("""
    import os, sys, tempfile
    sys.path.insert(0, {root!r})
    os.environ["HOME"] = tempfile.mkdtemp()
    sys.path.insert(0, {bench!r})
    import bench_hot_paths as bench
    from PIL import Image
    def peak():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
    Image.new("RGB", (64, 48)).save(os.environ["HOME"] + "/warm.jpg")
    function = bench.lib.thumbnail_bytes if {native} else bench.py_thumbnail_bytes
    function(os.environ["HOME"] + "/warm.jpg")
    before = peak()
    function({photo!r})
    print(peak() - before)
""")


def peak_memory_mb(native, photo):
    script = PEAK_SCRIPT.format(root=str(ROOT), bench=str(ROOT / "bench"), native=native, photo=photo)
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True).stdout
    return int(out.split()[-1]) / 1024


def vips_per_photo(files):
    with tempfile.TemporaryDirectory() as out:
        start = time.perf_counter()
        subprocess.run(["vipsthumbnail", "-s", "256", "-o", os.path.join(out, "%s.jpg[Q=80]"), *files],
                       check=True)
        return (time.perf_counter() - start) / len(files)


def main():
    sample_data()
    scratch = tempfile.mkdtemp()
    os.environ["HOME"] = os.path.join(scratch, "home")
    try:
        run()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def run():
    files = photos()
    turned = files[min(TURNED)]
    listing = str(DATA / "listing")

    # Both sides give the same answers before either is timed.
    assert lib.list_dir(listing) == py_list_dir(listing)
    for photo in files:
        info = lib.file_info(photo)
        assert info == py_file_info(photo) | {"format": "JPEG"}, (info, py_file_info(photo))
    clear_cache()

    size = statistics.mean(os.path.getsize(photo) for photo in files) / 1e6
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}; "
          f"{PHOTOS} JPEGs of {PHOTO_SIZE[0]}x{PHOTO_SIZE[1]}, {size:.1f} MB on average "
          f"({len(TURNED)} with orientation 6); medians of calls alternated side by side")
    print(f"{'workload':<32} {'module':>13} {'plain Python':>13} {'ratio':>8}   target")

    native, plain = thumbnail_misses(256)
    miss = statistics.mean(native.values())
    report("thumbnail miss, 12 MP JPEG", statistics.median(native.values()), statistics.median(plain.values()),
           "<= 0.25")
    for photo in files:
        print(f"  {Path(photo).name}, {os.path.getsize(photo) / 1e6:.1f} MB: {native[photo] * 1e3:.0f} ms against "
              f"{plain[photo] * 1e3:.0f} ms, ratio {native[photo] / plain[photo]:.2f}")

    for photo in files:
        lib.thumbnail_bytes(photo)
    hits = side_by_side([("module", per_call(lib.thumbnail_bytes, (files[0],), 500)),
                         ("python", per_call(py_thumbnail_bytes, (files[0],), 500))], 9)
    report("thumbnail cache hit", hits["module"], hits["python"], "<= 0.5")

    infos = side_by_side([("module", per_call(lib.file_info, (files[0],), 5)),
                          ("python", per_call(py_file_info, (files[0],), 1))], 2 * ROUNDS)
    report("file_info, 12 MP JPEG", infos["module"], infos["python"], "<= 0.02")

    shown = side_by_side([("module", per_call(lib.display_source, (turned,), 1)),
                          ("python", per_call(py_display_source, (turned,), 1))], 2 * ROUNDS)
    report("display_source, orientation 6", shown["module"], shown["python"], "no slower than before")

    listed = side_by_side([("module", per_call(lib.list_dir, (listing,), 3)),
                           ("python", per_call(py_list_dir, (listing,), 3))], 9)
    report(f"list_dir, {LISTING_ENTRIES} entries", listed["module"], listed["python"], "<= 0.3")

    tasks = [(photo, edge) for edge in (256, 200) for photo in files]
    measured = speed_ups(tasks)
    one, two = measured[ThreadPoolExecutor]
    print(f"thumbnails, batch of {len(tasks)} misses: one thread {one:.2f} s, two threads {two:.2f} s, "
          f"speed-up {one / two:.2f} (target >= 1.7)")
    one, two = measured[ProcessPoolExecutor]
    print(f"  the same with processes (no shared interpreter lock; the machine's ceiling now): "
          f"speed-up {one / two:.2f}")

    print(f"peak memory of one thumbnail miss: module {peak_memory_mb(True, files[0]):.1f} MB, "
          f"plain Python {peak_memory_mb(False, files[0]):.1f} MB")

    if shutil.which("vipsthumbnail"):
        vips = statistics.median(vips_per_photo(files) for _ in range(ROUNDS))
        print(f"thumbnail miss against vipsthumbnail (one process, same photos, mean per photo): module "
              f"{miss * 1e3:.1f} ms, vipsthumbnail {vips * 1e3:.1f} ms, ratio {miss / vips:.2f} (target < 1)")
    else:
        print("vipsthumbnail not installed: no comparison with it")


if __name__ == "__main__":
    main()
