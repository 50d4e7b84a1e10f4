"""Peak memory of a thumbnail of a decompression bomb, against decoding it alone.

A 13000 x 13000 RGBA PNG of a few hundred KB decodes to 645 MiB. Each run is a
fresh interpreter, so its peak resident set size (VmHWM) belongs to that run
alone: "decode" opens and loads the image, the floor any use of it starts from;
"thumbnail" is thumbnail_bytes on a cache miss; "whole image first" lays the
transparency over white at full size and then scales, as thumbnails were made
before. "resize 1e6 %" asks for a million percent of a 40 x 40 image, which
must be refused before any memory is taken.

Run from the repository root: /usr/bin/python3 bench/bench_bomb_thumbnail.py
"""

import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIDE = 13000

CHILD = r"""
import sys, warnings
from PIL import Image
import quorvane_image_viewer.library as L
warnings.simplefilter("ignore", Image.DecompressionBombWarning)
op, bomb, small = sys.argv[1:4]
if op == "decode":
    with Image.open(bomb) as image:
        image.load()
elif op == "thumbnail":
    assert len(L.thumbnail_bytes(bomb)) > 0
elif op == "whole image first":
    with Image.open(bomb) as image:
        canvas = Image.new("RGBA", image.size, "white")
        flat = Image.alpha_composite(canvas, image.convert("RGBA")).convert("RGB")
        del canvas
        flat.thumbnail((256, 256))
elif op == "resize 1e6 %":
    try:
        L.resize_files([small], "percent", 1e6, None, None, None, "rename")
    except ValueError:
        pass
with open("/proc/self/status") as status:
    print(next(line.split()[1] for line in status if line.startswith("VmHWM:")))
"""

MAKE = r"""
import sys
from PIL import Image, ImageDraw
bomb, small, side = sys.argv[1], sys.argv[2], int(sys.argv[3])
image = Image.new("RGBA", (side, side), (0, 0, 0, 0))
ImageDraw.Draw(image).rectangle((side // 4, side // 4, side // 2, side // 2), fill=(200, 30, 30, 255))
image.save(bomb)
Image.new("RGB", (40, 40), "red").save(small)
"""


def peak(op, bomb, small, home):
    started = time.perf_counter()
    child = subprocess.run([sys.executable, "-c", CHILD, op, bomb, small], cwd=ROOT, capture_output=True, text=True,
                           check=True, env=dict(os.environ, HOME=home, PYTHONPATH=ROOT))
    return int(child.stdout.split()[-1]) / 1024, time.perf_counter() - started


def main():
    with tempfile.TemporaryDirectory(prefix="bench-bomb-") as tmp:
        bomb, small = os.path.join(tmp, "bomb.png"), os.path.join(tmp, "small.png")
        subprocess.run([sys.executable, "-c", MAKE, bomb, small, str(SIDE)], check=True)
        decoded = SIDE * SIDE * 4 / 2**20
        print(f"bomb: {SIDE} x {SIDE} RGBA PNG, {os.path.getsize(bomb) / 1024:.0f} KiB on disk, "
              f"{decoded:.0f} MiB decoded")
        # One at a time: together they would need several GiB at once.
        results = {op: peak(op, bomb, small, tmp)
                   for op in ("import only", "decode", "thumbnail", "whole image first", "resize 1e6 %")}
        print(f"{'run':<20}{'VmHWM MiB':>11}{'seconds':>10}")
        for op, (mib, seconds) in results.items():
            print(f"{op:<20}{mib:>11.0f}{seconds:>10.1f}")
        base = results["import only"][0]
        above = {op: results[op][0] - base for op in results}
        print(f"thumbnail: {above['thumbnail'] / above['decode']:.2f} x the decode alone "
              f"({above['whole image first'] / above['decode']:.2f} x with the whole image laid over white first); "
              f"resize 1e6 %: {above['resize 1e6 %']:+.0f} MiB above the bare import")


if __name__ == "__main__":
    main()
