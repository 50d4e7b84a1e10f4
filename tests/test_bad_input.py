"""Every function meets any argument with an ordinary exception: never a crash, a
SystemError, or a change outside the folder it was pointed at."""

import os
import pathlib

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import FUNCTIONS as SIGNATURES, BadPath, Text


class BadBool:
    def __bool__(self):
        raise ArithmeticError("no truth value")

    def __eq__(self, other):
        raise ArithmeticError("no equality")

    __hash__ = object.__hash__


ODD_VALUES = [
    None, 0, -1, 2**80, 1.5, float("nan"), True, b"photo.jpg", bytearray(b"x"), "", ".", "..", "~",
    "photo.jpg", "a/b.png", "nul\x00.jpg", os.fsdecode(b"caf\xe9.jpg"), "\ud800.png", "x" * 5000 + ".jpg",
    Text("photo.jpg"), pathlib.Path("photo.jpg"), BadPath(), BadBool(), [], ["photo.jpg"], ("photo.jpg", None),
    {"name": "a.jpg"}, [{"name": "a.jpg", "size": None, "mtime": 0}], iter(["photo.jpg"]), object(),
]

# (name, number of parameters) of every function
FUNCTIONS = [(name, len(params)) for name, params, _, _ in SIGNATURES]


@pytest.fixture
def sandbox(tmp_path, monkeypatch, home):
    """A working folder holding a real image and a text file, with a private home."""
    from PIL import Image

    monkeypatch.chdir(tmp_path)
    Image.new("RGB", (12, 9), (10, 20, 30)).save(tmp_path / "photo.jpg")
    (tmp_path / "a").mkdir()
    Image.new("P", (5, 4)).save(tmp_path / "a" / "b.png")
    (tmp_path / "notes.txt").write_text("text")
    return tmp_path


def call_quietly(func, args):
    try:
        func(*args)
    except SystemError:
        raise
    except Exception:
        pass  # any ordinary exception is the right answer to some of these


@settings(max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.sampled_from(FUNCTIONS), st.data())
def test_any_arguments_give_an_ordinary_exception(lib, sandbox, function, data):
    name, arity = function
    args = [data.draw(st.sampled_from(ODD_VALUES)) for _ in range(arity)]
    call_quietly(getattr(lib, name), args)
    # nothing escapes the sandbox: the real home and the repository stay untouched
    assert not (pathlib.Path(__file__).parent / "photo.jpg").exists()


def test_every_function_is_tried(lib):
    bound = {name for name in vars(lib) if isinstance(getattr(lib, name), type(lib.is_image))}
    assert bound == {name for name, _ in FUNCTIONS} and len(bound) == 21
