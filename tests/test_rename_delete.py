"""Renaming one file, rename patterns, and deleting image files."""

import datetime as dt
import os
import pathlib
import sys

import pytest

import quorvane_image_viewer.library as lib


def snapshot(folder):
    return sorted((p.name, p.read_bytes() if p.is_file() else None) for p in folder.iterdir())


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "photo.jpg").write_bytes(b"photo")
    (tmp_path / "other.jpg").write_bytes(b"other")
    (tmp_path / "sub").mkdir()
    return tmp_path


@pytest.fixture
def frozen(monkeypatch):
    class Frozen(dt.datetime):
        calls = 0

        @classmethod
        def now(cls, tz=None):
            cls.calls += 1
            return cls(2026, 3, 7, 12, 30)

    monkeypatch.setattr(lib, "datetime", Frozen)
    return Frozen


# ---- rename_file ----


@pytest.mark.parametrize(
    "new_name, result",
    [("holiday", "holiday"), ("sub/new.jpg", "new.jpg"), ("../new.jpg", "new.jpg"), ("~", "~"),
     ("trail/", "trail"), ("\udcff.jpg", "\udcff.jpg"), ("x" * 200 + ".jpg", "x" * 200 + ".jpg")],
)
def test_rename_keeps_the_folder_and_uses_the_name_as_given(folder, new_name, result):
    assert lib.rename_file(str(folder / "photo.jpg"), new_name) == str(folder / result)
    assert (folder / result).read_bytes() == b"photo"
    assert not (folder / "photo.jpg").exists()
    assert not (folder / "sub").joinpath("new.jpg").exists()


def test_rename_to_its_own_name_changes_nothing(folder):
    before = snapshot(folder)
    assert lib.rename_file(folder / "photo.jpg", "photo.jpg") == str(folder / "photo.jpg")
    assert snapshot(folder) == before


@pytest.mark.parametrize("taken", ["other.jpg", "sub"])
def test_rename_onto_a_taken_name_raises_and_keeps_both(folder, taken):
    before = snapshot(folder)
    with pytest.raises(FileExistsError) as info:
        lib.rename_file(str(folder / "photo.jpg"), taken)
    assert str(info.value) == str(folder / taken) and info.value.args == (str(folder / taken),)
    assert snapshot(folder) == before


@pytest.mark.parametrize("new_name", ["", ".", "..", "/", "a/..", "./"])
def test_rename_bad_names(folder, new_name):
    before = snapshot(folder)
    with pytest.raises(ValueError, match="^bad name$"):
        lib.rename_file(str(folder / "photo.jpg"), new_name)
    assert snapshot(folder) == before


@pytest.mark.parametrize(
    "new_name, error", [(None, TypeError), (b"x.jpg", TypeError), (7, TypeError), ("a\0b.jpg", ValueError)]
)
def test_rename_unusable_names_change_nothing(folder, new_name, error):
    before = snapshot(folder)
    with pytest.raises(error):
        lib.rename_file(str(folder / "photo.jpg"), new_name)
    assert snapshot(folder) == before


def test_rename_checks_run_missing_then_name_then_taken(folder):
    # a missing file wins over a bad name, a bad name over a taken one
    for path in [folder / "missing.jpg", folder / "sub"]:
        with pytest.raises(FileNotFoundError) as info:
            lib.rename_file(str(path), "..")
        assert info.value.args == (str(path),)
    with pytest.raises(ValueError):
        lib.rename_file(str(folder / "photo.jpg"), "other.jpg/..")


def test_rename_through_a_link_renames_the_target(folder):
    (folder / "sub" / "link.jpg").symlink_to(folder / "photo.jpg")
    assert lib.rename_file(str(folder / "sub" / "link.jpg"), "moved.jpg") == str(folder / "moved.jpg")
    assert (folder / "moved.jpg").read_bytes() == b"photo"
    assert (folder / "sub" / "link.jpg").is_symlink()


def test_rename_relative_and_tilde_paths(folder, monkeypatch):
    monkeypatch.chdir(folder)
    assert lib.rename_file("photo.jpg", "a.jpg") == str(folder.resolve() / "a.jpg")
    monkeypatch.setenv("HOME", str(folder))
    assert lib.rename_file("~/a.jpg", "b.jpg") == str(folder.resolve() / "b.jpg")


# ---- apply_rename_pattern ----


def test_worked_example(monkeypatch):
    december = type("December", (dt.datetime,), {"now": classmethod(lambda cls: cls(2026, 12, 7, 9))})
    monkeypatch.setattr(lib, "datetime", december)
    pattern = "[%YYYY]-[%MM]-[%DD]_[%P]_[%N]_###"
    result = lib.apply_rename_pattern("DSC_0042.JPG", pattern, 7, "Harbour", None)
    assert result == "2026-12-07_Harbour_DSC_0042_007.JPG"


@pytest.mark.parametrize(
    "name, pattern, index, folder, shot, expected",
    [
        ("a.jpg", "holiday", 1, "f", None, "holiday.jpg"),
        ("a.JPG", "[%N]", 1, "f", None, "a.JPG"),
        ("README", "x", 1, "f", None, "x"),
        ("a.tar.gz", "[%N]", 1, "f", None, "a.tar.gz"),
        (".hidden", "[%N]-", 1, "f", None, ".hidden-"),
        ("photos/x.png", "[%N]", 1, "f", None, "x.png"),
        ("a.jpg", "[%YYYY][%MM][%DD]", 1, "f", None, "20260307.jpg"),
        ("a.jpg", "[%MM]/[%MM]", 1, "f", None, "03/03.jpg"),
        ("a.jpg", "x#y#", 5, "f", None, "xy.jpg"),
        ("a.jpg", "[%P]_##", 5, "Trip #2", None, "Trip 2_.jpg"),
        ("a.jpg", "#", 123, "f", None, "123.jpg"),
        ("a.jpg", "###", -3, "f", None, "-03.jpg"),
        ("a.jpg", "n##", True, "f", None, "n01.jpg"),
        ("a.jpg", "[%PD]|[%P]", 1, "f", None, "|f.jpg"),
        ("a.jpg", "[%PD]", 1, "f", "", ".jpg"),
        ("a.jpg", "[%PD]", 1, "f", "2026:01:01 [%N]", "2026:01:01 [%N].jpg"),
        ("[%PD].jpg", "[%N]", 1, "f", None, ".jpg"),
        ("[%YYYY].jpg", "[%N]", 1, "f", None, "[%YYYY].jpg"),
        ("a#.jpg", "[%N]#", 4, "f", None, "a04.jpg"),
        ("a#.jpg", "[%N]x#", 4, "f", None, "ax.jpg"),
        ("a.jpg", "", 1, "f", None, ".jpg"),
    ],
)
def test_token_table(frozen, name, pattern, index, folder, shot, expected):
    assert lib.apply_rename_pattern(name, pattern, index, folder, shot) == expected
    assert frozen.calls == 1


def test_year_is_at_least_four_digits(monkeypatch):
    early = type("Early", (dt.datetime,), {"now": classmethod(lambda cls: cls(987, 1, 2))})
    monkeypatch.setattr(lib, "datetime", early)
    assert lib.apply_rename_pattern("a", "[%YYYY]-[%MM]-[%DD]", 0, "", None) == "0987-01-02"


@pytest.mark.parametrize(
    "pattern, error, text",
    [
        (None, AttributeError, "'NoneType' object has no attribute 'replace'"),
        (type("Text", (str,), {})("[%N]"), TypeError, "Expected str, got Text"),
        (b"[%N]", TypeError, "Expected str, got bytes"),
        (5, TypeError, "Expected str, got int"),
    ],
)
def test_pattern_must_be_exactly_str(frozen, pattern, error, text):
    with pytest.raises(error) as info:
        lib.apply_rename_pattern("a.jpg", pattern, 1, "f", None)
    assert str(info.value) == text


@pytest.mark.parametrize(
    "name, index, folder, shot, error",
    [
        (None, 1, "f", None, TypeError),
        ("a.jpg", 1, None, None, TypeError),
        ("a.jpg", 1, "f", 3, TypeError),
        ("a.jpg", 1.5, "f", None, ValueError),
        ("a.jpg", "1", "f", None, ValueError),
        ("a.jpg", None, "f", None, TypeError),
    ],
)
def test_unusable_arguments(frozen, name, index, folder, shot, error):
    with pytest.raises(error):
        lib.apply_rename_pattern(name, "x#", index, folder, shot)
    # without a "#" the index is never looked at
    if name is not None and folder is not None and shot is None:
        assert lib.apply_rename_pattern(name, "x", index, folder, shot) == "x.jpg"


# ---- delete_files ----


@pytest.fixture
def images(tmp_path):
    for n in ["a.jpg", "b.PNG", "notes.txt", "c"]:
        (tmp_path / n).write_bytes(n.encode())
    (tmp_path / "holiday.jpg").mkdir()
    return tmp_path


def test_delete_only_existing_image_files_in_order(images):
    paths = [str(images / n) for n in ["b.PNG", "notes.txt", "holiday.jpg", "missing.jpg", "a.jpg", "b.PNG", "c"]]
    assert lib.delete_files(paths) == [str(images / "b.PNG"), str(images / "a.jpg")]
    assert sorted(os.listdir(images)) == ["c", "holiday.jpg", "notes.txt"]


def test_delete_through_a_link_removes_the_target(images):
    (images / "link.jpg").symlink_to(images / "a.jpg")
    (images / "text.jpg").symlink_to(images / "notes.txt")
    assert lib.delete_files([str(images / "text.jpg"), str(images / "link.jpg")]) == [str(images / "a.jpg")]
    assert (images / "link.jpg").is_symlink() and not (images / "link.jpg").exists()
    assert (images / "notes.txt").exists()


def test_delete_any_iterable(images, monkeypatch):
    monkeypatch.chdir(images)
    assert lib.delete_files(p for p in ["a.jpg"]) == [str(images.resolve() / "a.jpg")]
    assert lib.delete_files(("b.PNG",)) == [str(images.resolve() / "b.PNG")]
    # a single str is walked character by character: one-letter names are never images
    assert lib.delete_files("c.jpg") == []
    assert lib.delete_files([]) == []


def test_delete_tilde(images, monkeypatch):
    monkeypatch.setenv("HOME", str(images))
    assert lib.delete_files(["~/a.jpg"]) == [str(images.resolve() / "a.jpg")]


@pytest.mark.parametrize(
    "bad, error, text",
    [
        (pathlib.Path("/nowhere.jpg"), TypeError, "Expected str, got PosixPath"),
        (b"b.PNG", TypeError, "Expected str, got bytes"),
        (type("Text", (str,), {})("b.PNG"), TypeError, "Expected str, got Text"),
        (None, TypeError, None),
        ("x\0.jpg", ValueError, None),
    ],
)
def test_delete_bad_element_stops_after_earlier_ones(images, bad, error, text):
    with pytest.raises(error) as info:
        lib.delete_files([str(images / "a.jpg"), bad, str(images / "b.PNG")])
    if text:
        assert str(info.value) == text
    assert not (images / "a.jpg").exists()
    assert (images / "b.PNG").exists()


def test_no_leaked_references(images, frozen):
    name, pattern, folder = "DSC_1.JPG", "[%P]_[%N]_##", "Trip"
    paths = [str(images / "notes.txt")]
    before = [sys.getrefcount(o) for o in (name, pattern, folder, paths)]
    for _ in range(2000):
        lib.apply_rename_pattern(name, pattern, 3, folder, None)
        lib.delete_files(paths)
        with pytest.raises(TypeError):
            lib.delete_files([b"x"])
        with pytest.raises(ValueError):
            lib.rename_file(paths[0], "..")
    assert [sys.getrefcount(o) for o in (name, pattern, folder, paths)] == before
