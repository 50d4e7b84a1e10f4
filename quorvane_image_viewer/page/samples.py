"""Generated pictures to try the viewer on: several formats, a sub-folder, a photo stored sideways.

    python -m quorvane_image_viewer.page.samples FOLDER
"""

import os
import sys
import time
from pathlib import Path

from PIL import Image, ImageDraw

ORIENTATION = 0x0112
# Camera fields the information panel shows; written where the library reads them.
CAMERA = {271: "Demo Camera Co", 272: "Model D1", 306: "2026:12:07 10:30:00",
          33434: 0.008, 34855: 200, 37386: 35.0}
# One photo carries what a real camera writes in its Exif and GPS directories too: a model that repeats
# the make, the lens, the aperture and where it was taken.
EXIF_IFD, GPS_IFD = 0x8769, 0x8825
MORE_CAMERA = {"lake.jpg": {271: "Demo", 272: "Demo D2 Mark II",
                            EXIF_IFD: {33437: 5.6, 0xA434: "Demo 24-70 mm f/2.8"},
                            GPS_IFD: {1: "N", 2: (52.0, 22.0, 33.6), 3: "E", 4: (4.0, 54.0, 14.76)}}}

# name: (size, sky top, sky bottom, ground, sun or None, stored sideways)
SCENES = {
    "harbour.jpg": ((480, 320), (40, 90, 160), (170, 205, 235), (30, 70, 120), (380, 80), True),
    "lake.jpg": ((480, 320), (90, 140, 200), (210, 225, 240), (60, 110, 90), (100, 70), False),
    "meadow.png": ((400, 300), (110, 170, 230), (220, 235, 250), (80, 150, 60), (300, 60), False),
    "sunset.webp": ((480, 270), (70, 40, 110), (250, 150, 70), (50, 30, 40), (240, 190), False),
    "night.gif": ((320, 320), (5, 10, 40), (30, 40, 90), (15, 20, 30), None, False),
    "scan.tif": ((300, 400), (235, 232, 225), (235, 232, 225), (210, 205, 195), None, False),
    "Dunes.BMP": ((480, 300), (120, 180, 230), (240, 220, 190), (215, 170, 100), (400, 60), False),
    "Trips/mountain.jpg": ((480, 320), (100, 150, 210), (230, 235, 245), (90, 90, 110), (80, 60), False),
    "Trips/forest.png": ((320, 400), (150, 190, 220), (220, 235, 230), (30, 90, 40), None, False),
    ".hidden.png": ((200, 200), (90, 90, 90), (160, 160, 160), (60, 60, 60), None, False),
}


def _scene(size, top, bottom, ground, sun):
    width, height = size
    image = Image.new("RGB", size)
    draw = ImageDraw.Draw(image)
    horizon = height * 2 // 3
    for y in range(horizon):
        t = y / max(horizon - 1, 1)
        draw.line([(0, y), (width, y)], fill=tuple(round(a + (b - a) * t) for a, b in zip(top, bottom)))
    if sun:
        x, y = sun
        draw.ellipse([x - 28, y - 28, x + 28, y + 28], fill=(255, 225, 120))
    hill = [(0, horizon)] + [(x, horizon - 30 - (x * 37 % 50)) for x in range(0, width + 40, 40)] + [(width, height),
                                                                                                       (0, height)]
    draw.polygon(hill, fill=tuple(max(c - 25, 0) for c in ground))
    draw.rectangle([0, horizon + 10, width, height], fill=ground)
    return image


def write_samples(root):
    """Writes the sample pictures under `root` (created if needed) and returns it as a Path."""
    root = Path(root)
    now = time.time()
    for age, (name, (size, top, bottom, ground, sun, sideways)) in enumerate(SCENES.items()):
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        image = _scene(size, top, bottom, ground, sun)
        exif = Image.Exif()
        for tag, value in {**CAMERA, **MORE_CAMERA.get(name, {})}.items():
            exif[tag] = value
        if sideways:
            # Stored a quarter turn back, as a camera held upright writes it; the tag turns it upright.
            image = image.transpose(Image.Transpose.ROTATE_90)
            exif[ORIENTATION] = 6
        if path.suffix.lower() == ".gif":
            image = image.convert("P")
        options = {"exif": exif} if path.suffix.lower() in (".jpg", ".png", ".webp") else {}
        image.save(path, **options)
        os.utime(path, (now - age * 86400, now - age * 86400))
    (root / "notes.txt").write_text("not an image\n")
    return root


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: python -m quorvane_image_viewer.page.samples FOLDER")
    print(write_samples(sys.argv[1]))
