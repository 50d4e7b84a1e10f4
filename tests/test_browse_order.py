"""Ordering a listing's rows, the starting folder, and creating folders."""

import os
import pathlib

import pytest

from conftest import assert_keeps_references


def row(name, size=0, mtime=0):
    return {"name": name, "path": "/x/" + name, "mtime": mtime, "size": size, "kind": "image"}


def names(rows):
    return [r["name"] for r in rows]


SAMPLE = [row("b.png", 10, 300), row("A.jpg", 10, 100), row("c.GIF", 5, 200), row("README", 10, 100)]
BY_NAME = ["A.jpg", "b.png", "c.GIF", "README"]


@pytest.mark.parametrize(
    "key, ascending",
    [
        ("name", BY_NAME),
        ("size", ["c.GIF", "b.png", "A.jpg", "README"]),
        ("date", ["A.jpg", "README", "c.GIF", "b.png"]),
        # empty suffix first; no name order within one suffix
        ("type", ["README", "c.GIF", "A.jpg", "b.png"]),
        # matched exactly, so anything else is the name order
        ("Size", BY_NAME), ("", BY_NAME), (None, BY_NAME), (10, BY_NAME),
    ],
)
def test_orders_and_descending_is_the_mirror(lib, key, ascending):
    files = list(SAMPLE)
    assert names(lib.sort_files(files, key, False)) == ascending
    # ties come out mirrored too: a reverse of the ascending result, not reverse=True
    assert names(lib.sort_files(iter(files), key, "yes")) == ascending[::-1]
    assert files == SAMPLE and lib.sort_files([], key, True) == []


def test_result_is_a_new_list_of_the_very_rows(lib):
    files = [row("b"), row("a")]
    ordered = lib.sort_files(files, "name", False)
    assert ordered is not files and names(files) == ["b", "a"]
    assert ordered[0] is files[1] and ordered[1] is files[0]


def test_type_order_finds_path_at_call_time(lib, monkeypatch):
    class Reversed(type(pathlib.Path())):
        suffix = property(lambda self: self.name[::-1])

    monkeypatch.setattr(lib, "Path", Reversed)
    assert names(lib.sort_files([row("ab"), row("ba")], "type", False)) == ["ba", "ab"]


@pytest.mark.parametrize(
    "rows, key, error",
    [
        ([{"name": "a"}, {"name": "b"}], "size", KeyError),
        ([{"size": 1}, {"size": 2}], "name", KeyError),
        ([row("a", size=None), row("b", size=1)], "size", TypeError),
        ([row("a"), {"name": 3}], "name", AttributeError),
        ([row("a"), {"name": b"b.png"}], "type", TypeError),
        ([row("a"), 7], "date", TypeError),
        (None, "name", TypeError),
    ],
)
def test_bad_rows_raise_without_leaking(lib, rows, key, error):
    def fail():
        with pytest.raises(error):
            lib.sort_files(rows, key, False)

    assert_keeps_references([rows], fail, 200)


def test_home_folder_prefers_a_pictures_folder(lib, home, tmp_path):
    assert lib.home_folder() == str(home)
    (home / "Pictures").write_text("a file")
    assert lib.home_folder() == str(home)
    (home / "Pictures").unlink()
    (tmp_path / "elsewhere").mkdir()
    (home / "Pictures").symlink_to(tmp_path / "elsewhere")
    assert lib.home_folder() == str(home / "Pictures")


@pytest.mark.parametrize(
    "name, created",
    [("Trips", "Trips"), ("a/b", "b"), ("Trips/", "Trips"), ("a/.", "a"), ("../x", "x"), (".hidden", ".hidden"),
     ("~", "~"), ("\udcff\udcfe", "\udcff\udcfe")],
)
def test_make_folder_uses_the_last_component(lib, tmp_path, name, created):
    assert lib.make_folder(str(tmp_path), name) == str(tmp_path / created)
    assert os.listdir(tmp_path) == [created] and (tmp_path / created).is_dir()


@pytest.mark.parametrize(
    "name, error",
    [("", ValueError), (".", ValueError), ("/", ValueError), ("//.//", ValueError),
     (None, TypeError), (b"x", TypeError), ("a\0b", ValueError)],
)
def test_make_folder_bad_names_change_nothing(lib, tmp_path, name, error):
    with pytest.raises(error) as info:
        lib.make_folder(str(tmp_path), name)
    assert error is TypeError or str(info.value) in ("bad name", "embedded null byte")
    assert list(tmp_path.iterdir()) == []


def test_make_folder_conflicts_missing_parent_and_tilde(lib, tmp_path, home):
    lib.make_folder(tmp_path, "Trips")
    (tmp_path / "file").write_text("")
    for taken in ["Trips", "file", ".."]:
        with pytest.raises(FileExistsError):
            lib.make_folder(str(tmp_path), taken)
    with pytest.raises(FileNotFoundError):
        lib.make_folder(str(tmp_path / "no" / "such"), "x")
    assert not (tmp_path / "no").exists()
    assert lib.make_folder("~", "Trips") == str(home.resolve() / "Trips")


from hypothesis import given, settings, strategies as st

# Keys of every shape the native sort treats apart: small and huge ints, bools,
# floats, ASCII and non-ASCII names, names with NUL bytes and shared prefixes.
_names = st.one_of(st.text(alphabet="aAbB_.0", max_size=12), st.text(max_size=10),
                   st.sampled_from(["img_0001.jpg", "IMG_0001.JPG", "img_000", "a\x00", "a", "é.png"]))
_numbers = st.one_of(st.integers(-3, 3), st.integers(-2**70, 2**70), st.booleans(),
                     st.floats(allow_nan=False, width=32))


def reference(files, key, descending):
    if key == "size":
        ordered = sorted(files, key=lambda r: r["size"])
    elif key == "date":
        ordered = sorted(files, key=lambda r: r["mtime"])
    elif key == "type":
        ordered = sorted(files, key=lambda r: pathlib.Path(r["name"]).suffix.lower())
    else:
        ordered = sorted(files, key=lambda r: r["name"].lower())
    if descending:
        ordered.reverse()
    return ordered


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(_names, _numbers, _numbers), max_size=40),
       st.sampled_from(["name", "size", "date", "type"]), st.booleans())
def test_same_rows_in_the_same_order_as_sorted(lib, specs, key, descending):
    files = [row(n, s, m) for n, s, m in specs]
    ordered = lib.sort_files(files, key, descending)
    assert [id(r) for r in ordered] == [id(r) for r in reference(files, key, descending)]


class Flipped(dict):
    """A row whose reads differ from what it stores: the order follows the reads."""

    def __getitem__(self, key):
        value = dict.__getitem__(self, key)
        return -value if isinstance(value, int) else value[::-1]


@pytest.mark.parametrize("key", ["name", "size", "date"])
@pytest.mark.parametrize("at", [0, 1, 2])
def test_rows_are_read_as_sorted_reads_them(lib, key, at):
    files = [row("a.png", 1, 1), row("b.png", 2, 2), row("C.png", 3, 3)]
    files[at] = Flipped(files[at])
    assert [id(r) for r in lib.sort_files(files, key, False)] == [id(r) for r in reference(files, key, False)]
