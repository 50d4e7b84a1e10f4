"""Every file the module writes: complete or absent, never through a link, no debris."""

import errno
import hashlib
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
from PIL import Image

from conftest import ROOT, snapshot

AS_ROOT = os.geteuid() == 0
BACKUPS = "ZEL originals"


def noise(size, seed=1):
    return Image.frombytes("RGB", size, random.Random(seed).randbytes(size[0] * size[1] * 3))


def decodes(path):
    with Image.open(path) as image:
        image.load()
    return True


def debris(folder):
    return [p for p in Path(folder).rglob(".qv-*")]


def entry_name(source, edge=256):
    target = Path(source).resolve()
    st = target.stat()
    return hashlib.sha1(f"{target}:{st.st_mtime_ns}:{st.st_size}:{edge}".encode()).hexdigest() + ".jpg"


# Each writer's caller: (what it writes to, given the folder and source) and how to run it.
def cache_entry(folder, source):
    return folder / "home" / ".quorvane" / "image_viewer" / "thumbs" / entry_name(source)


CALLERS = {
    "thumbnail": (cache_entry, lambda lib, folder, source: lib.thumbnail_bytes(str(source))),
    "save_image": (lambda folder, source: folder / "out.png",
                   lambda lib, folder, source: lib._save_image(Image.open(source), folder / "out.png", "png", 90)),
    "convert": (lambda folder, source: folder / "a.jpg",
                lambda lib, folder, source: lib.convert_files([str(source)], "jpg", 80, None, "overwrite", False)),
    "resize": (lambda folder, source: folder / "out" / "a.png",
               lambda lib, folder, source: lib.resize_files([str(source)], "percent", 50, None, None,
                                                       str(folder / "out"), "overwrite")),
    "rotate": (lambda folder, source: source, lambda lib, folder, source: lib.rotate_files([str(source)], 90, False)),
    "rotate_backup": (lambda folder, source: folder / BACKUPS / "a.png",
                      lambda lib, folder, source: lib.rotate_files([str(source)], 90, True)),
}


@pytest.fixture
def work(tmp_path, monkeypatch):
    folder = tmp_path / "work"
    (folder / "home").mkdir(parents=True)
    monkeypatch.setenv("HOME", str(folder / "home"))
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret.txt").write_text("the user's shell start-up file\n")
    return folder, outside


def prepare(folder, caller, size=(64, 48)):
    source = folder / "a.png"
    noise(size).save(source)
    target = CALLERS[caller][0](folder, source)
    target.parent.mkdir(parents=True, exist_ok=True)
    return source, target


@pytest.mark.parametrize("caller", [c for c in CALLERS if c != "rotate"])
@pytest.mark.parametrize("link", ["dangling", "outside_file"])
def test_links_at_output_names_are_replaced_not_followed(lib, work, caller, link):
    folder, outside = work
    source, target = prepare(folder, caller)
    original = source.read_bytes()
    pointee = outside / ("missing.png" if link == "dangling" else "secret.txt")
    target.symlink_to(pointee)
    before = snapshot(outside)
    CALLERS[caller][1](lib, folder, source)
    assert snapshot(outside) == before, "nothing outside the folder is created or changed"
    if caller == "rotate_backup" and link == "outside_file":
        # the name is taken, so the backup takes the next free one; the link stays a link
        assert target.is_symlink()
        assert (target.parent / "a_1.png").read_bytes() == original
    else:
        assert not target.is_symlink() and decodes(target)
        if caller == "rotate_backup":
            assert target.read_bytes() == original
    assert debris(folder) == []


@pytest.mark.parametrize("caller", CALLERS)
def test_target_that_is_a_folder(lib, work, caller):
    folder, _ = work
    source, target = prepare(folder, caller)
    if caller == "rotate":
        pytest.skip("a rotated file is its own source")
    target.mkdir()
    original = source.read_bytes()
    if caller == "rotate_backup":
        lib.rotate_files([str(source)], 90, True)  # the folder is taken: the backup goes to a_1.png
        assert (target.parent / "a_1.png").read_bytes() == original
    else:
        with pytest.raises(IsADirectoryError) as caught:
            CALLERS[caller][1](lib, folder, source)
        assert caught.value.filename == str(target)
        assert source.read_bytes() == original
    assert target.is_dir() and debris(folder) == []


def test_cache_hit_reads_only_regular_files(lib, work):
    folder, outside = work
    source, entry = prepare(folder, "thumbnail")
    fresh = lib.thumbnail_bytes(str(source))
    for planted in ("link", "fifo"):
        entry.unlink()
        if planted == "link":
            entry.symlink_to(outside / "secret.txt")
        else:
            os.mkfifo(entry)
        assert lib.thumbnail_bytes(str(source)) == fresh  # a miss: no hang, no foreign bytes
        assert entry.is_file() and not entry.is_symlink() and entry.read_bytes() == fresh
    assert (outside / "secret.txt").read_text().startswith("the user's")


# ---- a small file system: full disks and read-only folders --------------------------------


@pytest.fixture
def small_fs(tmp_path, monkeypatch):
    if not AS_ROOT:
        pytest.skip("mounting a small file system needs root")
    mount = tmp_path / "small"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    (mount / "home").mkdir()
    monkeypatch.setenv("HOME", str(mount / "home"))
    yield mount
    subprocess.run(["umount", "-l", str(mount)], check=True)


def fill(mount, leave):
    """Takes all free space but `leave` bytes."""
    filler = mount / "filler"
    filler.unlink(missing_ok=True)
    st = os.statvfs(mount)
    free = st.f_bavail * st.f_frsize
    with open(filler, "wb") as f:
        try:
            f.write(b"\0" * max(0, free - leave))
        except OSError:
            pass


@pytest.mark.parametrize("caller", CALLERS)
def test_full_disk_never_leaves_a_truncated_file(lib, small_fs, caller):
    source, target = prepare(small_fs, caller, (160, 120))  # about 57 KB: many pages to fill
    failures = 0
    for leave in range(0, 120_000, 12_000):
        original = source.read_bytes()
        before = target.read_bytes() if target.is_file() else None
        fill(small_fs, leave)
        try:
            CALLERS[caller][1](lib, small_fs, source)
        except OSError as error:
            failures += 1
            assert error.errno == errno.ENOSPC
            assert ".qv-" not in str(error.filename)
            assert source.read_bytes() == original
            after = target.read_bytes() if target.is_file() else None
            # a backup made before the turn failed is complete, so it may stay
            assert after == before or (caller == "rotate_backup" and after == original)
        else:
            assert decodes(target)
        assert debris(small_fs) == []
        backups = small_fs / BACKUPS
        for backup in backups.iterdir() if backups.is_dir() else ():
            assert decodes(backup), "a backup is complete or absent"
        (small_fs / "filler").unlink()
    assert failures > 0


def test_read_only_folder_reports_read_only(lib, small_fs):
    source, _ = prepare(small_fs, "convert")
    original = snapshot(small_fs)
    subprocess.run(["mount", "-o", "remount,ro", str(small_fs)], check=True)
    try:
        for caller in ("convert", "rotate", "save_image", "rotate_backup"):
            with pytest.raises(OSError) as caught:
                CALLERS[caller][1](lib, small_fs, source)
            assert caught.value.errno == errno.EROFS and caught.value.strerror == "Read-only file system"
    finally:
        subprocess.run(["mount", "-o", "remount,rw", str(small_fs)], check=True)
    assert snapshot(small_fs) == original


# ---- killed writes ----------------------------------------------------------------------------

KILLED_WRITER = """
import sys
from PIL import Image
import quorvane_image_viewer.library as lib
folder, job = sys.argv[1], sys.argv[2]
images = [Image.new("RGB", (2000, 1500), colour) for colour in ("red", "blue")]
print("ready", flush=True)
for turn in range(10**6):
    if job == "save":
        lib._save_image(images[turn % 2], folder + "/photo.bmp", "bmp", 90)
    else:
        lib.rotate_files([folder + "/photo.bmp"], 180, True)
"""


@pytest.mark.parametrize("job", ["save", "rotate_backup"])
def test_killed_writes_leave_complete_files_and_no_debris(tmp_path, job):
    Image.new("RGB", (2000, 1500), "green").save(tmp_path / "photo.bmp")
    rng = random.Random(7)
    for _ in range(12):
        child = subprocess.Popen([sys.executable, "-c", KILLED_WRITER, str(tmp_path), job],
                                 stdout=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=str(ROOT)))
        assert child.stdout.readline() == b"ready\n"
        time.sleep(rng.uniform(0.0, 0.25))
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        with Image.open(tmp_path / "photo.bmp") as image:
            image.load()
            assert image.size == (2000, 1500) and len(set(image.getdata())) == 1
        assert debris(tmp_path) == [] and [p.name for p in tmp_path.iterdir() if p.name.endswith(".tmp")] == []
    for backup in (tmp_path / BACKUPS).iterdir() if job == "rotate_backup" else ():
        assert backup.stat().st_size == (tmp_path / "photo.bmp").stat().st_size and decodes(backup)


# ---- threads: TIFF decoding never disturbs another thread's files ---------------------------


def test_tiff_thumbnails_beside_threads_writing_files(lib, tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    tiffs = []
    for i in range(6):
        path = tmp_path / f"t{i}.tif"
        noise((200, 150), seed=i).save(path, compression="tiff_lzw")
        tiffs.append(str(path))
    errors, stop = [], time.monotonic() + 3

    def thumbnails(seed):
        edge = 40 + seed
        while time.monotonic() < stop:
            try:
                for path in tiffs:
                    lib.thumbnail_bytes(path, edge)  # a new edge each round: every call decodes
            except Exception as error:  # noqa: BLE001 - any failure is the finding
                errors.append(error)
            edge += 2

    def files(seed):
        name = tmp_path / f"plain{seed}.bin"
        n = 0
        while time.monotonic() < stop:
            data = f"{seed}:{n}".encode() * 512
            try:
                with open(name, "wb") as f:
                    f.write(data)
                with open(name, "rb") as f:
                    if f.read() != data:
                        errors.append(f"misplaced bytes in {name}")
            except OSError as error:
                errors.append(error)
            n += 1

    threads = [threading.Thread(target=thumbnails, args=(i,)) for i in range(2)]
    threads += [threading.Thread(target=files, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert lib.file_info(tiffs[0])["format"] == "TIFF"
