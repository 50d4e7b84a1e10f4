"""The desktop trash on a private home: what lands in files/ and info/, and undo."""

import errno
import os
import tempfile
from pathlib import Path
from urllib.parse import unquote

import pytest

from quorvane_image_viewer import trash


@pytest.fixture
def data_home(home, monkeypatch):
    monkeypatch.setenv("XDG_DATA_HOME", str(home / "data"))
    return home / "data"


def photo(path, content=b"pixels"):
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(content)
    os.utime(path, ns=(1_000_000_123, 2_000_000_456))
    return path


def info_path(entry):
    return unquote(Path(entry["info"]).read_text().split("\nPath=")[1].split("\n")[0])


def test_trash_then_undo_restores_bytes_and_times(tmp_path, data_home):
    sources = [photo(tmp_path / "a b%.jpg", b"one"), photo(tmp_path / "sub" / "a b%.jpg", b"two")]
    entries = [trash.move_to_trash(source) for source in sources]
    files, info = data_home / "Trash" / "files", data_home / "Trash" / "info"
    assert sorted(os.listdir(files)) == ["a b% 1.jpg", "a b%.jpg"]  # the second gets a free name
    assert sorted(os.listdir(info)) == ["a b% 1.jpg.trashinfo", "a b%.jpg.trashinfo"]
    for entry, source in zip(entries, sources):
        assert not source.exists() and entry["original"] == str(source) and info_path(entry) == str(source)
        before = os.stat(entry["trashed"])
        assert trash.restore(entry) == str(source)
        after = source.stat()
        assert (after.st_atime_ns, after.st_mtime_ns) == (before.st_atime_ns, 2_000_000_456)
    assert [source.read_bytes() for source in sources] == [b"one", b"two"]
    assert os.listdir(files) == os.listdir(info) == []


def test_undo_never_overwrites_and_knows_a_vanished_file(tmp_path, data_home):
    entry = trash.move_to_trash(photo(tmp_path / "x.png", b"old"))
    photo(tmp_path / "x.png", b"newcomer")
    with pytest.raises(FileExistsError) as taken:
        trash.restore(entry)
    assert taken.value.filename == str(tmp_path / "x.png") and (tmp_path / "x.png").read_bytes() == b"newcomer"
    assert Path(entry["trashed"]).read_bytes() == b"old" and Path(entry["info"]).exists()
    os.unlink(entry["trashed"])
    with pytest.raises(FileNotFoundError):
        trash.restore(entry)


def test_another_volume_uses_its_own_trash_and_never_copies(tmp_path, data_home, monkeypatch):
    if not os.path.isdir("/dev/shm") or os.stat("/dev/shm").st_dev == os.stat(tmp_path).st_dev:
        pytest.skip("no second file system at /dev/shm")
    with tempfile.TemporaryDirectory(dir="/dev/shm") as volume:
        # The folder stands for the volume's top, so nothing is made at the real one's.
        monkeypatch.setattr(trash, "find_mount_point", lambda path: os.fsencode(volume))
        source = photo(Path(volume) / "far.jpg")
        entry = trash.move_to_trash(source)
        assert entry["trashed"] == f"{volume}/.Trash-{os.getuid()}/files/far.jpg"
        assert info_path(entry) == "far.jpg" and not (data_home / "Trash").exists()
        assert trash.restore(entry) == str(source)

        monkeypatch.setattr(trash, "find_ext_volume_trash", lambda top: os.fsencode(tmp_path))
        with pytest.raises(OSError) as refused:
            trash.move_to_trash(source)
        assert refused.value.errno == errno.EXDEV and source.read_bytes() == b"pixels"
        assert not (tmp_path / "files").exists()
