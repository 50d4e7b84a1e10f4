import os
from pathlib import Path

import pytest

from conftest import BadPath, Text


def row(path, kind):
    st = os.stat(path)
    return {"name": os.path.basename(path), "path": str(path),
            "mtime": int(st.st_mtime), "size": st.st_size, "kind": kind}


def touch(path, data=b"x"):
    Path(path).write_bytes(data)
    return path


@pytest.fixture
def sample(tmp_path, make_image):
    root = tmp_path / "album"
    make_image(root / "a.JPG", fmt="JPEG", orientation=6)
    make_image(root / "b.png")
    touch(root / "notes.txt", b"notes")
    touch(root / ".hidden.png")
    touch(root / ".jpg")
    (root / "Photos").mkdir()
    (root / ".trash").mkdir()
    return root


def names(rows):
    return [r["name"] for r in rows]


def in_dir_order(root, wanted):
    return [n for n in os.listdir(root) if n in wanted]


def test_listing_record(lib, sample):
    listing = lib.list_dir(str(sample))
    assert list(listing) == ["path", "parent", "folders", "files"]
    assert listing["path"] == str(sample)
    assert listing["parent"] == str(sample.parent)
    assert listing["folders"] == [row(sample / "Photos", "dir")]
    files = in_dir_order(sample, {"a.JPG", "b.png"})
    assert listing["files"] == [row(sample / n, "image") for n in files]
    for r in listing["folders"] + listing["files"]:
        assert list(r) == ["name", "path", "mtime", "size", "kind"]
        assert type(r["mtime"]) is int and type(r["size"]) is int


@pytest.mark.parametrize("show_hidden, folders, files", [
    *[(v, [".trash", "Photos"], [".hidden.png", "a.JPG", "b.png"]) for v in (True, 1, "yes")],
    *[(v, ["Photos"], ["a.JPG", "b.png"]) for v in (False, 0, "", None, [])],
])
def test_hidden_entries(lib, sample, show_hidden, folders, files):
    listing = lib.list_dir(str(sample), show_hidden)
    assert names(listing["folders"]) == folders
    assert sorted(names(listing["files"])) == files


def test_folders_sorted_by_lower_case_name(lib, tmp_path):
    # "_" sits between upper and lower case letters; "ß" lower-cases to itself.
    wanted = ["beta", "Zed", "_x", "apple", "B2", "Straße", "STRASSE", "holiday.jpeg"]
    for n in wanted:
        (tmp_path / n).mkdir()
    listing = lib.list_dir(str(tmp_path))
    assert names(listing["folders"]) == sorted(in_dir_order(tmp_path, wanted), key=str.lower)
    assert names(listing["folders"])[:3] == ["_x", "apple", "B2"]
    assert listing["files"] == []


@pytest.mark.parametrize("created", [["Alpha", "alpha", "beta"], ["alpha", "beta", "Alpha"]])
def test_folders_equal_in_lower_case_keep_directory_order(lib, tmp_path, created):
    for n in created:
        (tmp_path / n).mkdir()
    yielded = [n for n in os.listdir(tmp_path) if n.lower() == "alpha"]
    assert names(lib.list_dir(str(tmp_path))["folders"]) == [*yielded, "beta"]


def test_files_in_directory_order(lib, tmp_path):
    wanted = [f"{c}{i}.png" for i in range(12) for c in "zAm"]
    for n in wanted:
        touch(tmp_path / n)
    assert names(lib.list_dir(str(tmp_path))["files"]) == in_dir_order(tmp_path, wanted)


def test_symbolic_links(lib, tmp_path, make_image):
    target = tmp_path / "target"
    root = tmp_path / "root"
    (target / "inner").mkdir(parents=True)
    make_image(target / "real.png", size=(30, 20))
    touch(target / "real.txt", b"text")
    root.mkdir()
    (root / "gone.jpg").symlink_to(tmp_path / "missing.jpg")
    (root / "loop.jpg").symlink_to(root / "loop.jpg")
    (root / "linkdir").symlink_to(target / "inner")
    (root / "pic.jpg").symlink_to(target / "real.png")
    (root / "alias.webp").symlink_to(target / "real.txt")
    (root / "notes.txt").symlink_to(target / "real.png")
    os.mkfifo(root / "pipe.jpg")  # neither folder nor regular file
    listing = lib.list_dir(str(root), True)
    assert listing["folders"] == [row(root / "linkdir", "dir")]
    assert listing["folders"][0]["size"] == os.stat(target / "inner").st_size
    files = in_dir_order(root, {"pic.jpg", "alias.webp"})
    assert listing["files"] == [row(root / n, "image") for n in files]


@pytest.mark.parametrize("ns, expected", [
    (1_700_000_000_500_000_000, 1_700_000_000),
    (1_700_000_000_999_000_000, 1_700_000_000),
    (4_000_000_000_250_000_000, 4_000_000_000),
    (-1_500_000_000, -1),  # toward zero, not down
    (0, 0),
])
def test_mtime_is_truncated(lib, tmp_path, ns, expected):
    p = touch(tmp_path / "a.png", b"12345")
    d = tmp_path / "sub"
    d.mkdir()
    for path in (p, d):
        os.utime(path, ns=(ns, ns))
    listing = lib.list_dir(str(tmp_path))
    assert listing["files"][0]["mtime"] == expected
    assert listing["folders"][0]["mtime"] == expected
    assert listing["files"][0]["size"] == 5


def test_file_system_root(lib):
    listing = lib.list_dir("/")
    assert listing["path"] == "/" and listing["parent"] is None


@pytest.mark.parametrize("arg, sub", [("~", ""), ("~/pics", "pics"), ("~/pics/../pics/", "pics")])
def test_tilde_is_the_home_folder(lib, home, arg, sub):
    touch(home / "top.png")
    (home / "pics").mkdir()
    touch(home / "pics" / "in.png")
    expected = (home / sub).resolve()
    listing = lib.list_dir(arg)
    assert listing["path"] == str(expected)
    assert listing["files"] == [row(p, "image") for p in expected.glob("*.png")]


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def test_relative_and_linked_folders_are_resolved(lib, tmp_path, monkeypatch):
    real = tmp_path / "real"
    (real / "sub").mkdir(parents=True)
    touch(real / "a.gif")
    (tmp_path / "via").symlink_to(real)
    monkeypatch.chdir(tmp_path / "via")
    for arg in ["", ".", "sub/..", str(tmp_path / "via"), Path("../via"), real,
                Text(real), PathLike(str(real))]:
        listing = lib.list_dir(arg)
        assert listing["path"] == str(real), arg
        assert listing["files"] == [row(real / "a.gif", "image")], arg


def test_empty_folder(lib, tmp_path):
    assert lib.list_dir(str(tmp_path)) == {
        "path": str(tmp_path), "parent": str(tmp_path.parent), "folders": [], "files": []}


@pytest.mark.parametrize("make", [
    lambda t: t / "missing",
    lambda t: t / "missing" / "deeper",
    lambda t: touch(t / "photo.jpg"),
    lambda t: touch(t / "photo.jpg") / "inside",
    lambda t: (t / "dangling").symlink_to(t / "nowhere") or t / "dangling",
])
def test_not_a_folder(lib, tmp_path, make):
    arg = str(make(tmp_path))
    with pytest.raises(FileNotFoundError) as info:
        lib.list_dir(arg)
    assert info.value.args == (str(Path(arg).resolve()),)


def test_undecodable_and_wide_names(lib, tmp_path):
    root = os.fsencode(tmp_path)
    for raw in (b"\xff.jpg", "\U0001f5bc.png".encode()):
        os.close(os.open(root + b"/" + raw, os.O_CREAT | os.O_WRONLY))
    os.mkdir(root + b"/dir\xfe")
    listing = lib.list_dir(str(tmp_path))
    assert names(listing["folders"]) == ["dir\udcfe"]
    files = in_dir_order(tmp_path, {"\udcff.jpg", "\U0001f5bc.png"})
    assert listing["files"] == [row(tmp_path / n, "image") for n in files]
    assert lib.list_dir(os.fsdecode(root + b"/dir\xfe"))["path"] == str(tmp_path / "dir\udcfe")


def pathlib_outcome(value):
    """What pathlib itself raises for the value, as list_dir must."""
    try:
        root = Path(value).expanduser().resolve()
        if not root.is_dir():
            raise FileNotFoundError(str(root))
    except Exception as e:
        return type(e), str(e)
    return None


@pytest.mark.parametrize("value", [
    None, 42, 4.5, b"bytes", ["/tmp"], BadPath(), PathLike(b"/tmp"),
    "a\0b", "/tmp/" + "x" * 300, "/tmp/" + "/".join(["y" * 200] * 30),
    "~no_such_user_here", "loop",
], ids=lambda v: repr(v)[:24])
def test_bad_folders_raise_what_pathlib_raises(lib, home, monkeypatch, value):
    monkeypatch.chdir(home)
    os.symlink("loop", "loop")
    expected = pathlib_outcome(value)
    assert expected is not None
    with pytest.raises(Exception) as info:
        lib.list_dir(value)
    assert (type(info.value), str(info.value)) == expected


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any folder")
def test_unreadable_folder_propagates(lib, tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir(mode=0)
    try:
        with pytest.raises(PermissionError):
            lib.list_dir(str(locked))
    finally:
        locked.chmod(0o755)
