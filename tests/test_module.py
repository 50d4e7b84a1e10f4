import builtins
import datetime
import hashlib
import io
import pathlib
import shutil
import subprocess

import pytest
from PIL import Image, ImageOps

from conftest import FUNCTIONS, MODULE, SUFFIXES, built_module_path

FORMATS = [("bmp", "BMP"), ("gif", "GIF"), ("jpg", "JPEG"), ("png", "PNG"),
           ("tif", "TIFF"), ("webp", "WEBP")]


def test_module_identity(lib):
    assert lib.__name__ == MODULE
    assert lib.__doc__ == "Folder listing and image edits. Paths stay on this machine."
    assert lib.__package__ == "quorvane_image_viewer"
    assert lib.__file__ == lib.__spec__.origin == built_module_path()
    assert lib.__loader__ is lib.__spec__.loader
    assert not hasattr(lib, "__path__")


def test_namespace(lib):
    public = [k for k in vars(lib) if not (k.startswith("__") and k != "__test__")]
    # the complete module: the twenty functions and preview_bytes, in table order
    functions = [row[0] for row in FUNCTIONS]
    assert len(functions) == 21
    assert public == ["hashlib", "shutil", "datetime", "BytesIO", "Path", "Image",
                      "ImageOps", "IMAGE_SUFFIXES", "SAVE_FORMATS", *functions, "__test__"]
    assert lib.hashlib is hashlib and lib.shutil is shutil
    assert lib.datetime is datetime.datetime
    assert lib.BytesIO is io.BytesIO and lib.Path is pathlib.Path
    assert lib.Image is Image and lib.ImageOps is ImageOps
    assert type(lib.IMAGE_SUFFIXES) is set and lib.IMAGE_SUFFIXES == SUFFIXES
    assert type(lib.SAVE_FORMATS) is dict and list(lib.SAVE_FORMATS.items()) == FORMATS
    assert lib.__test__ == {} and type(lib.__test__) is dict
    assert vars(lib)["__builtins__"] is builtins


def test_only_the_init_symbol_is_exported(lib):
    if shutil.which("nm") is None:
        pytest.skip("nm not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", built_module_path()],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_library"]


def test_import_again_gives_same_module(lib, run_python):
    result = run_python(
        "import sys, importlib\n"
        f"first = importlib.import_module('{MODULE}')\n"
        f"del sys.modules['{MODULE}']\n"
        f"second = importlib.import_module('{MODULE}')\n"
        "assert second is first, (first, second)\n"
        "assert second.list_dir is first.list_dir\n")
    assert result.returncode == 0, result.stderr


def test_second_module_object_is_refused(lib, run_python):
    result = run_python(
        "import importlib.util, sys\n"
        f"spec = importlib.util.find_spec('{MODULE}')\n"
        "one = importlib.util.module_from_spec(spec)\n"
        "two = importlib.util.module_from_spec(spec)\n"
        "assert one is not two\n"
        "spec.loader.exec_module(one)\n"
        "spec.loader.exec_module(one)\n"  # the same object again is fine
        f"assert sys.modules['{MODULE}'] is one\n"
        "assert importlib.util.module_from_spec(spec) is one\n"
        "try:\n"
        "    spec.loader.exec_module(two)\n"
        "except RuntimeError as e:\n"
        "    print(e)\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("Module 'library' has already been imported. "
                             "Re-initialisation is not supported.\n")


@pytest.mark.parametrize("broken", [False, True])
def test_import_fails_without_pillow(lib, run_python, tmp_path, broken):
    if broken:
        # A Pillow that is present but fails to import must fail the same way.
        (tmp_path / "PIL").mkdir()
        (tmp_path / "PIL" / "__init__.py").write_text("raise ImportError('broken')\n")
        block = f"sys.path.insert(0, {str(tmp_path)!r})"
    else:
        block = "sys.modules['PIL'] = None"
    result = run_python(
        "import sys, traceback\n"
        f"{block}\n"
        "try:\n"
        f"    import {MODULE}\n"
        "except ImportError:\n"
        "    traceback.print_exc(file=sys.stdout)\n"
        f"    assert '{MODULE}' not in sys.modules\n"
        "else:\n"
        "    raise SystemExit('imported without Pillow')\n")
    assert result.returncode == 0, result.stderr + result.stdout
    assert "init quorvane_image_viewer.library" in result.stdout


def test_no_version_warning(lib, run_python):
    result = run_python(f"import {MODULE}", "-W", "error::RuntimeWarning")
    assert result.returncode == 0, result.stderr


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "a.jpg").write_bytes(b"x")
    (tmp_path / "notes.txt").write_bytes(b"x")
    return tmp_path


def file_names(listing):
    return sorted(row["name"] for row in listing["files"])


@pytest.mark.parametrize("name, value, expected", [
    ("is_image", lambda path: True, ["a.jpg", "notes.txt"]),
    ("is_image", lambda path: path.suffix == ".txt", ["notes.txt"]),
    ("IMAGE_SUFFIXES", {".txt"}, ["notes.txt"]),
    ("IMAGE_SUFFIXES", set(), []),
])
def test_globals_are_looked_up_at_call_time(lib, folder, monkeypatch, name, value, expected):
    monkeypatch.setitem(vars(lib), name, value)
    assert file_names(lib.list_dir(str(folder))) == expected


def test_rebound_path_is_used(lib, folder, monkeypatch):
    seen = []

    def spy(*args):
        seen.append(args)
        return pathlib.Path(*args)

    monkeypatch.setitem(vars(lib), "Path", spy)
    lib.list_dir(str(folder))
    assert seen == [(str(folder),)]


def test_rebound_save_formats_is_used(lib, monkeypatch):
    monkeypatch.setitem(vars(lib), "SAVE_FORMATS", {"avif": "AVIF"})
    assert lib._fmt_key(".avif") == "avif"
    assert lib._fmt_key(".png") == "jpg"


@pytest.mark.parametrize("name, call", [
    ("Path", lambda lib, d: lib.list_dir(d)),
    ("is_image", lambda lib, d: lib.list_dir(d)),
    ("IMAGE_SUFFIXES", lambda lib, d: lib.list_dir(d)),
    ("IMAGE_SUFFIXES", lambda lib, d: lib.is_image(pathlib.Path("a.jpg"))),
    ("SAVE_FORMATS", lambda lib, d: lib._fmt_key(".png")),
])
def test_deleted_global_raises_name_error(lib, folder, monkeypatch, name, call):
    monkeypatch.delitem(vars(lib), name)
    with pytest.raises(NameError) as info:
        call(lib, str(folder))
    assert str(info.value) == f"name '{name}' is not defined"
