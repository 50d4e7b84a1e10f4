"""Ordering a listing's rows, the starting folder, and creating folders."""

import os
import pathlib
import sys

import pytest

import quorvane_image_viewer.library as lib


def row(name, size=0, mtime=0):
    return {"name": name, "path": "/x/" + name, "mtime": mtime, "size": size, "kind": "image"}


def names(rows):
    return [r["name"] for r in rows]


@pytest.fixture
def home(tmp_path, monkeypatch):
    folder = tmp_path / "home"
    folder.mkdir()
    monkeypatch.setenv("HOME", str(folder))
    return folder


# ---- sort_files ----

SAMPLE = [row("b.png", 10, 300), row("A.jpg", 10, 100), row("c.GIF", 5, 200), row("README", 10, 100)]


@pytest.mark.parametrize(
    "key, ascending",
    [
        ("name", ["A.jpg", "b.png", "c.GIF", "README"]),
        ("size", ["c.GIF", "b.png", "A.jpg", "README"]),
        ("date", ["A.jpg", "README", "c.GIF", "b.png"]),
        ("type", ["README", "c.GIF", "A.jpg", "b.png"]),
        # the table is matched exactly; anything else is the name order
        ("Size", ["A.jpg", "b.png", "c.GIF", "README"]),
        ("", ["A.jpg", "b.png", "c.GIF", "README"]),
        (None, ["A.jpg", "b.png", "c.GIF", "README"]),
        (10, ["A.jpg", "b.png", "c.GIF", "README"]),
    ],
)
def test_orders_and_descending_is_the_mirror(key, ascending):
    files = list(SAMPLE)
    assert names(lib.sort_files(files, key, False)) == ascending
    # ties come out reversed too: an in-place reverse of the ascending result
    assert names(lib.sort_files(files, key, True)) == ascending[::-1]
    assert files == SAMPLE


def test_ties_keep_input_order_and_mirror():
    rows = [row("P", 10), row("Q", 10), row("R", 5)]
    assert names(lib.sort_files(rows, "size", 0)) == ["R", "P", "Q"]
    assert names(lib.sort_files(rows, "size", "yes")) == ["Q", "P", "R"]
    typed = [row("x.PNG"), row("y.jpg"), row("z.png"), row("README")]
    assert names(lib.sort_files(typed, "type", [])) == ["README", "y.jpg", "x.PNG", "z.png"]


def test_result_is_a_new_list_of_the_same_rows():
    files = [row("b"), row("a")]
    ordered = lib.sort_files(files, "name", False)
    assert ordered is not files and names(files) == ["b", "a"]
    assert ordered[0] is files[1] and ordered[1] is files[0]
    ordered[0]["size"] = 99
    assert files[1]["size"] == 99


def test_any_iterable_and_empty():
    assert lib.sort_files([], "name", True) == []
    assert names(lib.sort_files((r for r in [row("b"), row("a")]), "name", False)) == ["a", "b"]


def test_keys_are_not_converted():
    rows = [row("a", size=2.5), row("b", size=True), row("c", size=-1)]
    assert names(lib.sort_files(rows, "size", False)) == ["c", "b", "a"]


def test_type_order_uses_path_at_call_time(monkeypatch):
    class Reversed(type(pathlib.Path())):
        @property
        def suffix(self):
            return self.name[::-1]

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
def test_bad_rows_raise(rows, key, error):
    with pytest.raises(error):
        lib.sort_files(rows, key, False)


def test_no_leaked_references():
    files = [row("b", 2), row("a", 1)]
    counts = [sys.getrefcount(r) for r in files] + [sys.getrefcount(files)]
    for key in ["name", "size", "date", "type"] * 500:
        lib.sort_files(files, key, True)
        with pytest.raises(KeyError):
            lib.sort_files([{}, {}], key, False)
    assert [sys.getrefcount(r) for r in files] + [sys.getrefcount(files)] == counts


# ---- home_folder ----


def test_home_folder_prefers_pictures(home):
    assert lib.home_folder() == str(home)
    (home / "Pictures").write_text("not a folder")
    assert lib.home_folder() == str(home)
    (home / "Pictures").unlink()
    (home / "Pictures").mkdir()
    assert lib.home_folder() == str(home / "Pictures")


def test_home_folder_takes_a_link_and_stays_unresolved(home, tmp_path):
    target = tmp_path / "elsewhere"
    target.mkdir()
    (home / "Pictures").symlink_to(target)
    assert lib.home_folder() == str(home / "Pictures")


# ---- make_folder ----


@pytest.mark.parametrize(
    "name, created",
    [("Trips", "Trips"), ("a/b", "b"), ("Trips/", "Trips"), ("a/.", "a"), ("../x", "x"), (".hidden", ".hidden"),
     ("~", "~"), ("\udcff\udcfe", "\udcff\udcfe")],
)
def test_make_folder_uses_the_last_component(tmp_path, name, created):
    result = lib.make_folder(str(tmp_path), name)
    assert result == str(tmp_path / created)
    assert sorted(os.listdir(tmp_path)) == [created]
    assert (tmp_path / created).is_dir()


@pytest.mark.parametrize("name", ["", ".", "/", "./", "//.//"])
def test_make_folder_refuses_empty_names_before_anything(tmp_path, name):
    with pytest.raises(ValueError, match="^bad name$"):
        lib.make_folder(str(tmp_path / "missing"), name)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "name, error", [(None, TypeError), (b"x", TypeError), (3, TypeError), ("a\0b", ValueError)]
)
def test_make_folder_bad_names_change_nothing(tmp_path, name, error):
    with pytest.raises(error):
        lib.make_folder(str(tmp_path), name)
    assert list(tmp_path.iterdir()) == []


def test_make_folder_conflicts_and_missing_parent(tmp_path):
    lib.make_folder(tmp_path, "Trips")
    with pytest.raises(FileExistsError):
        lib.make_folder(str(tmp_path), "Trips")
    (tmp_path / "file").write_text("")
    with pytest.raises(FileExistsError):
        lib.make_folder(str(tmp_path), "file")
    with pytest.raises(FileExistsError):
        lib.make_folder(str(tmp_path), "..")
    with pytest.raises(FileNotFoundError):
        lib.make_folder(str(tmp_path / "no" / "such"), "x")
    assert not (tmp_path / "no").exists()


def test_make_folder_expands_a_tilde_parent(home, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    assert lib.make_folder("~", "Trips") == str(home.resolve() / "Trips")
    assert lib.make_folder("", "here") == str(tmp_path.resolve() / "here")
    assert (home / "Trips").is_dir()
