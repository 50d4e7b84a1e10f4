"""File and camera information as people read it, the same on the command line and in the page.

The library reports camera values as the text the image holds ("0.00625", "24.0", "Canon");
here they become "1/160 s", "24 mm" and a camera name that says its make once.
"""

from __future__ import annotations

import datetime
import re
from typing import Any


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


def number(text: Any) -> float | None:
    """The first number in a camera value: "0.00625", "1/160", "(100, 0)" or "24.0"; None if none."""
    found = re.search(r"-?\d+(?:\.\d+)?(?:\s*/\s*\d+(?:\.\d+)?)?", str(text))
    if not found:
        return None
    top, _, bottom = found.group().partition("/")
    try:
        return float(top) / float(bottom) if bottom else float(top)
    except ZeroDivisionError:
        return None


def plain(value: float, places: int = 1) -> str:
    """A number without needless decimals: 24.0 -> "24", 2.80 -> "2.8"."""
    return f"{round(value, places):.{places}f}".rstrip("0").rstrip(".")


def camera_name(make: str | None, model: str | None) -> str | None:
    """Make and model, the make said once ("Canon" + "Canon EOS 40D" is "Canon EOS 40D")."""
    make, model = (make or "").strip(" \0"), (model or "").strip(" \0")
    if not make or not model:
        return model or make or None
    # "NIKON CORPORATION" + "NIKON D750": the make's first word already opens the model.
    if model.lower().startswith((make.lower(), make.split()[0].lower() + " ")):
        return model
    return f"{make} {model}"


def exposure(text: Any) -> str | None:
    """An exposure time as photographers say it: "1/160 s" below a second, "2.5 s" above."""
    seconds = number(text)
    if seconds is None or seconds <= 0:
        return None
    if round(1 / seconds) >= 2:
        return f"1/{round(1 / seconds)} s"
    return f"{plain(seconds)} s"


def taken(text: Any) -> str:
    """An EXIF date ("2008:05:30 15:56:01") as a date ("2008-05-30 15:56:01")."""
    day, _, time = str(text).strip().partition(" ")
    return f"{day.replace(':', '-')} {time}".strip()


def position(latitude: Any, longitude: Any) -> str | None:
    """Coordinates in degrees with their hemispheres: "52.37600° N, 4.90410° E"."""
    lat, lon = number(latitude), number(longitude)
    if lat is None or lon is None:
        return None
    return f"{abs(lat):.5f}° {'N' if lat >= 0 else 'S'}, {abs(lon):.5f}° {'E' if lon >= 0 else 'W'}"


def camera_fields(exif: dict[str, str]) -> list[tuple[str, str]]:
    """The camera values of an information record's "exif", formatted, as (label, text) in panel order."""
    iso, focal, fnumber = number(exif.get("iso", "")), number(exif.get("focal", "")), number(exif.get("fnumber", ""))
    stamp = exif.get("taken") or exif.get("datetime")
    rows = [
        ("Date taken", taken(stamp) if stamp else None),
        ("Camera", camera_name(exif.get("make"), exif.get("model"))),
        ("Lens", (exif.get("lens") or "").strip(" \0") or None),
        ("Aperture", f"f/{plain(fnumber)}" if fnumber else None),
        ("Exposure", exposure(exif["exposure"]) if "exposure" in exif else None),
        ("ISO", f"{iso:.0f}" if iso is not None else None),
        ("Focal length", f"{plain(focal)} mm" if focal else None),
        ("Position", position(exif.get("latitude"), exif.get("longitude"))),
    ]
    return [(label, text) for label, text in rows if text]


def describe(info: dict[str, Any]) -> list[tuple[str, str]]:
    """A whole information record as (label, text) rows: camera values, then the file's own."""
    modified = datetime.datetime.fromtimestamp(info["mtime"]).strftime("%Y-%m-%d %H:%M:%S")
    return camera_fields(info.get("exif") or {}) + [
        ("File size", f"{human_size(info['size'])} ({info['size']:,} bytes)"),
        ("Dimensions", f"{info['width']} x {info['height']} pixels"),
        ("Modified", modified),
    ]
