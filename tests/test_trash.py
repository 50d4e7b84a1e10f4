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
    path = home / "data"
    monkeypatch.setenv("XDG_DATA_HOME", str(path))
    return path


def photo(folder, name, content=b"pixels"):
    path = folder / name
    path.write_bytes(content)
    os.utime(path, ns=(1_000_000_123, 2_000_000_456))
    return path


def info_path(info_file):
    lines = dict(line.split("=", 1) for line in Path(info_file).read_text().splitlines()[1:])
    return unquote(lines["Path"]), lines["DeletionDate"]


def test_trash_then_undo_restores_bytes_and_times(tmp_path, data_home):
    first = photo(tmp_path, "a b%.jpg", b"one")
    (tmp_path / "sub").mkdir()
    second = photo(tmp_path / "sub", "a b%.jpg", b"two")
    entries = [trash.move_to_trash(first), trash.move_to_trash(second)]

    files, info = data_home / "Trash" / "files", data_home / "Trash" / "info"
    assert sorted(os.listdir(files)) == ["a b% 1.jpg", "a b%.jpg"]
    assert sorted(os.listdir(info)) == ["a b% 1.jpg.trashinfo", "a b%.jpg.trashinfo"]
    for entry, source, content in zip(entries, (first, second), (b"one", b"two")):
        assert not source.exists()
        assert entry["original"] == str(source)
        assert Path(entry["trashed"]).parent == files and Path(entry["trashed"]).read_bytes() == content
        assert Path(entry["info"]).read_text().startswith("[Trash Info]\n")
        assert info_path(entry["info"])[0] == str(source)

    for entry, source, content in zip(entries, (first, second), (b"one", b"two")):
        before = os.stat(entry["trashed"])
        assert trash.restore(entry) == str(source)
        after = source.stat()
        assert (after.st_atime_ns, after.st_mtime_ns) == (before.st_atime_ns, 2_000_000_456)
        assert source.read_bytes() == content
    assert os.listdir(files) == [] and os.listdir(info) == []


def test_undo_never_overwrites_and_knows_a_vanished_file(tmp_path, data_home):
    entry = trash.move_to_trash(photo(tmp_path, "x.png", b"old"))
    photo(tmp_path, "x.png", b"newcomer")
    with pytest.raises(FileExistsError) as taken:
        trash.restore(entry)
    assert taken.value.filename == str(tmp_path / "x.png")
    assert (tmp_path / "x.png").read_bytes() == b"newcomer"
    assert Path(entry["trashed"]).read_bytes() == b"old" and Path(entry["info"]).exists()

    os.unlink(entry["trashed"])
    with pytest.raises(FileNotFoundError):
        trash.restore(entry)
    with pytest.raises(FileNotFoundError):
        trash.move_to_trash(tmp_path / "missing.png")


@pytest.fixture
def other_volume():
    """A folder on another file system than the temporary home, or a skip."""
    if not os.path.isdir("/dev/shm"):
        pytest.skip("no /dev/shm")
    with tempfile.TemporaryDirectory(dir="/dev/shm") as folder:
        if os.stat(folder).st_dev == os.stat(tempfile.gettempdir()).st_dev:
            pytest.skip("/dev/shm is on the same file system")
        yield Path(folder)


def test_another_volume_uses_its_own_trash_and_never_copies(tmp_path, data_home, other_volume, monkeypatch):
    # The folder stands for the volume's top, so nothing is made at the real one's.
    monkeypatch.setattr(trash, "find_mount_point", lambda path: os.fsencode(other_volume))
    source = photo(other_volume, "far.jpg")
    entry = trash.move_to_trash(source)
    volume_trash = other_volume / f".Trash-{os.getuid()}"
    assert Path(entry["trashed"]) == volume_trash / "files" / "far.jpg"
    assert info_path(entry["info"])[0] == "far.jpg"  # relative to the volume's top
    assert not (data_home / "Trash").exists()
    assert trash.restore(entry) == str(source) and source.read_bytes() == b"pixels"

    # A trash that is not on the file's own file system is refused, not filled by copying.
    monkeypatch.setattr(trash, "find_ext_volume_trash", lambda top: os.fsencode(tmp_path))
    with pytest.raises(OSError) as refused:
        trash.move_to_trash(source)
    assert refused.value.errno == errno.EXDEV
    assert source.read_bytes() == b"pixels" and not (tmp_path / "files").exists()
