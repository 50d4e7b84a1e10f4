"""Peak memory of the batch edits against batch length.

Converts, rotates and resizes batches of 20 and of 60 twelve-megapixel JPEG
images, each run in a fresh interpreter so that its peak resident set size
(ru_maxrss) belongs to that run alone. Peak memory should stay near one decoded
image and its derived copy, whatever the batch length.

"one image" opens a single source upright and decodes it: the floor that any
edit of one such image starts from.

Run from the repository root: /usr/bin/python3 bench/bench_batch_memory.py
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WIDTH, HEIGHT = 4000, 3000
BATCHES = (20, 60)

CHILD = r"""
import resource, sys
import quorvane_image_viewer.library as L
op, folder, out, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
paths = [f"{folder}/img{i:03d}.jpg" for i in range(count)]
if op == "convert":
    done = L.convert_files(paths, "jpg", 90, out, "rename", False)
elif op == "rotate":
    done = L.rotate_files(paths, 90, False)
elif op == "resize":
    done = L.resize_files(paths, "percent", 50, None, None, out, "rename")
elif op == "one image":
    with L.open_oriented(paths[0]) as image:
        image.load()
    done = paths[:1]
else:
    done = []
assert len(done) == (count if op not in ("one image", "import only") else len(done)), (op, len(done))
with open("/proc/self/status") as status:
    hwm = next(line.split()[1] for line in status if line.startswith("VmHWM:"))
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, hwm)
"""

MAKE = r"""
import os, shutil, sys
from PIL import Image
folder, count, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
red = Image.linear_gradient("L").resize((width, height))
green = red.transpose(Image.Transpose.ROTATE_180)
blue = Image.radial_gradient("L").resize((width, height))
first = os.path.join(folder, "img000.jpg")
Image.merge("RGB", (red, green, blue)).save(first, format="JPEG", quality=90)
for i in range(1, count):
    shutil.copyfile(first, os.path.join(folder, f"img{i:03d}.jpg"))
"""


def make_sources(folder, count):
    """One smooth 12-megapixel JPEG, copied `count` times, made in a child so that this
    process stays small: a child's ru_maxrss starts from its parent's peak."""
    subprocess.run([sys.executable, "-c", MAKE, folder, str(count), str(WIDTH), str(HEIGHT)], check=True)


def run(op, folder, out, count):
    started = time.perf_counter()
    child = subprocess.run([sys.executable, "-c", CHILD, op, folder, out, str(count)], cwd=ROOT,
                           capture_output=True, text=True, check=True)
    maxrss, hwm = child.stdout.split()[-2:]
    return op, count, int(maxrss) / 1024, int(hwm) / 1024, time.perf_counter() - started


def main():
    with tempfile.TemporaryDirectory(prefix="bench-batch-") as tmp:
        started = time.perf_counter()
        sources = os.path.join(tmp, "src")
        os.mkdir(sources)
        make_sources(sources, max(BATCHES))
        jobs = [("import only", sources, "", 1), ("one image", sources, "", 1)]
        for count in BATCHES:
            # rotation turns its files in place, so each rotation batch gets its own copies
            turned = os.path.join(tmp, f"rotate{count}")
            shutil.copytree(sources, turned)
            jobs += [("convert", sources, os.path.join(tmp, f"convert{count}"), count),
                     ("rotate", turned, "", count),
                     ("resize", sources, os.path.join(tmp, f"resize{count}"), count)]
        print(f"sources: {max(BATCHES)} JPEG images of {WIDTH} x {HEIGHT} "
              f"({WIDTH * HEIGHT / 1e6:.0f} MP, {WIDTH * HEIGHT * 3 / 2**20:.0f} MiB decoded as RGB), "
              f"made in {time.perf_counter() - started:.1f} s")
        # longest runs first, one per core: the batches share no files
        ordered = sorted(jobs, key=lambda job: (-job[3], job[0] != "resize"))
        with ThreadPoolExecutor(max_workers=max(1, min(4, os.cpu_count() or 1))) as pool:
            finished = dict(zip(ordered, pool.map(lambda job: run(*job), ordered)))
        results = [finished[job] for job in jobs]
        print(f"{'run':<12}{'images':>8}{'ru_maxrss MiB':>15}{'VmHWM MiB':>11}{'seconds':>10}")
        for op, count, peak, hwm, seconds in results:
            print(f"{op:<12}{count:>8}{peak:>15.0f}{hwm:>11.0f}{seconds:>10.1f}")
        peaks = {(op, count): peak for op, count, peak, _, _ in results}
        base, decoded = peaks[("import only", 1)], WIDTH * HEIGHT * 3 / 2**20
        for op in ("convert", "rotate", "resize"):
            grown = peaks[(op, BATCHES[1])] - peaks[(op, BATCHES[0])]
            above = (peaks[(op, BATCHES[1])] - base) / decoded
            print(f"{op}: {BATCHES[1]} images peak {round(grown) + 0:+d} MiB against {BATCHES[0]} images; "
                  f"{above:.1f} decoded images above the bare import")
        print(f"total {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
