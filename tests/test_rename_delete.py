"""Renaming one file, rename patterns, and deleting image files."""

import datetime as dt
import os
import pathlib

import pytest

from conftest import assert_keeps_references


def snapshot(folder):
    return sorted((p.name, p.read_bytes() if p.is_file() else None) for p in folder.iterdir())


def clock(*when, calls=None):
    class Frozen(dt.datetime):
        @classmethod
        def now(cls, tz=None):
            if calls is not None:
                calls.append(when)
            return cls(*when)

    return Frozen


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "photo.jpg").write_bytes(b"photo")
    (tmp_path / "other.jpg").write_bytes(b"other")
    (tmp_path / "sub").mkdir()
    return tmp_path


@pytest.mark.parametrize(
    "new_name, result",
    [("holiday", "holiday"), ("sub/new.jpg", "new.jpg"), ("../new.jpg", "new.jpg"), ("~", "~"),
     ("photo.jpg", "photo.jpg"), ("\udcff.jpg", "\udcff.jpg")],
)
def test_rename_stays_in_its_folder(lib, folder, new_name, result):
    assert lib.rename_file(str(folder / "photo.jpg"), new_name) == str(folder / result)
    assert (folder / result).read_bytes() == b"photo"
    assert sorted(os.listdir(folder)) == sorted(["other.jpg", "sub", result])


@pytest.mark.parametrize(
    "path, new_name, error, text",
    [
        # a missing file is reported before a bad name, a bad name before a taken one
        ("missing.jpg", "..", FileNotFoundError, "{}/missing.jpg"),
        ("sub", "x", FileNotFoundError, "{}/sub"),
        ("photo.jpg", "other.jpg/..", ValueError, "bad name"),
        *[("photo.jpg", bad, ValueError, "bad name") for bad in ["", ".", "..", "/", "a/..", "./"]],
        ("photo.jpg", "other.jpg", FileExistsError, "{}/other.jpg"),
        ("photo.jpg", "sub", FileExistsError, "{}/sub"),
        ("photo.jpg", None, TypeError, None),
        ("photo.jpg", b"x.jpg", TypeError, None),
        ("photo.jpg", "a\0b.jpg", ValueError, "embedded null byte"),
    ],
)
def test_rename_refusals_change_nothing(lib, folder, path, new_name, error, text):
    before = snapshot(folder)
    with pytest.raises(error) as info:
        lib.rename_file(str(folder / path), new_name)
    if text:
        assert str(info.value) == text.format(folder)
    assert snapshot(folder) == before


def test_rename_through_a_link_renames_the_target(lib, folder, monkeypatch):
    (folder / "sub" / "link.jpg").symlink_to(folder / "photo.jpg")
    assert lib.rename_file(str(folder / "sub" / "link.jpg"), "moved.jpg") == str(folder / "moved.jpg")
    assert (folder / "moved.jpg").read_bytes() == b"photo" and (folder / "sub" / "link.jpg").is_symlink()
    monkeypatch.setenv("HOME", str(folder))
    assert lib.rename_file("~/moved.jpg", "b.jpg") == str(folder.resolve() / "b.jpg")


def test_worked_example(lib, monkeypatch):
    monkeypatch.setattr(lib, "datetime", clock(2026, 12, 7, 9))
    result = lib.apply_rename_pattern("DSC_0042.JPG", "[%YYYY]-[%MM]-[%DD]_[%P]_[%N]_###", 7, "Harbour", None)
    assert result == "2026-12-07_Harbour_DSC_0042_007.JPG"


@pytest.mark.parametrize(
    "name, pattern, index, folder, shot, expected",
    [
        ("a.jpg", "holiday", 1, "f", None, "holiday.jpg"),
        ("README", "[%N]", 1, "f", None, "README"),
        ("a.tar.gz", "[%N]", 1, "f", None, "a.tar.gz"),
        (".hidden", "[%N]-", 1, "f", None, ".hidden-"),
        ("photos/x.PNG", "[%N]", 1, "f", None, "x.PNG"),
        ("a.jpg", "[%YYYY][%MM][%DD]", 1, "f", None, "09870307.jpg"),
        ("a.jpg", "x#y#", 5, "f", None, "xy.jpg"),
        ("a.jpg", "[%P]_##", 5, "Trip #2", None, "Trip 2_.jpg"),
        ("a#.jpg", "[%N]#", 4, "f", None, "a04.jpg"),
        ("a.jpg", "#", 123, "f", None, "123.jpg"),
        ("a.jpg", "###", -3, "f", None, "-03.jpg"),
        ("a.jpg", "n##", True, "f", None, "n01.jpg"),
        ("a.jpg", "[%PD]|[%P]", 1, "f", "", "|f.jpg"),
        ("a.jpg", "[%PD]", 1, "f", "12:01 [%N]", "12:01 [%N].jpg"),
        ("[%PD].jpg", "[%N]", 1, "f", None, ".jpg"),
        ("[%YYYY].jpg", "[%N]", 1, "f", None, "[%YYYY].jpg"),
        # without a "#" the index is never looked at
        ("a.jpg", "x", 1.5, "f", None, "x.jpg"),
    ],
)
def test_token_table(lib, monkeypatch, name, pattern, index, folder, shot, expected):
    calls = []
    monkeypatch.setattr(lib, "datetime", clock(987, 3, 7, calls=calls))
    assert lib.apply_rename_pattern(name, pattern, index, folder, shot) == expected
    assert len(calls) == 1


@pytest.mark.parametrize(
    "name, pattern, index, folder, shot, error, text",
    [
        ("a", None, 1, "f", None, AttributeError, "'NoneType' object has no attribute 'replace'"),
        ("a", type("Text", (str,), {})("x"), 1, "f", None, TypeError, "Expected str, got Text"),
        ("a", b"x", 1, "f", None, TypeError, "Expected str, got bytes"),
        (None, "x", 1, "f", None, TypeError, None),
        ("a", "x", 1, None, None, TypeError, None),
        ("a", "x", 1, "f", 3, TypeError, None),
        ("a", "x#", 1.5, "f", None, ValueError, None),
        ("a", "x#", None, "f", None, TypeError, None),
    ],
)
def test_pattern_refusals(lib, name, pattern, index, folder, shot, error, text):
    with pytest.raises(error) as info:
        lib.apply_rename_pattern(name, pattern, index, folder, shot)
    assert text is None or str(info.value) == text


@pytest.fixture
def images(tmp_path):
    for n in ["a.jpg", "b.PNG", "notes.txt", "c"]:
        (tmp_path / n).write_bytes(n.encode())
    (tmp_path / "holiday.jpg").mkdir()
    return tmp_path


def test_delete_only_existing_image_files_once_in_order(lib, images):
    paths = [images / n for n in ["b.PNG", "notes.txt", "holiday.jpg", "missing.jpg", "a.jpg", "b.PNG", "c"]]
    assert lib.delete_files(str(p) for p in paths) == [str(images / "b.PNG"), str(images / "a.jpg")]
    assert sorted(os.listdir(images)) == ["c", "holiday.jpg", "notes.txt"]


def test_delete_through_links_and_tilde(lib, images, monkeypatch):
    (images / "link.jpg").symlink_to(images / "a.jpg")
    (images / "text.jpg").symlink_to(images / "notes.txt")
    monkeypatch.setenv("HOME", str(images))
    monkeypatch.chdir(images)
    assert lib.delete_files(("~/text.jpg", "link.jpg")) == [str(images / "a.jpg")]
    assert (images / "link.jpg").is_symlink() and (images / "notes.txt").exists()


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
def test_delete_bad_element_ends_the_call_after_earlier_ones(lib, images, bad, error, text):
    with pytest.raises(error) as info:
        lib.delete_files([str(images / "a.jpg"), bad, str(images / "b.PNG")])
    assert text is None or str(info.value) == text
    assert not (images / "a.jpg").exists() and (images / "b.PNG").exists()


def test_no_leaked_references(lib, images, monkeypatch):
    monkeypatch.setattr(lib, "datetime", clock(2026, 1, 2))
    args = ("DSC_1.JPG", "[%P]_[%N]_##", "Trip", [str(images / "notes.txt")], [b"x"])

    def work():
        lib.apply_rename_pattern(args[0], args[1], 3, args[2], None)
        lib.delete_files(args[3])
        with pytest.raises(TypeError):
            lib.delete_files(args[4])
        with pytest.raises(ValueError):
            lib.rename_file(args[3][0], "..")

    assert_keeps_references(args, work, 2000)
