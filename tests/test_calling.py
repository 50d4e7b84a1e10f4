import concurrent.futures
import copy
import ctypes
import functools
import inspect
import multiprocessing
import pathlib
import pickle
import pydoc
import shutil

import pytest

from conftest import FUNCTIONS, MODULE

DOCSTRINGS = {
    "display_source": (
        "Return the file itself when the pixels are already upright.\n\n"
        "    Re-encoding every JPEG is what makes a folder feel slow. Orientation\n"
        "    other than 1 still goes through Pillow.\n    "
    ),
}

NO_ARGS = [row for row in FUNCTIONS if not row[1]]
WITH_ARGS = [row for row in FUNCTIONS if row[1]]


def ids(rows):
    return [row[0] for row in rows]


def bound(lib, name):
    assert hasattr(lib, name), f"{name} is not bound"
    return getattr(lib, name)


def call_with_dict(func, args, kwargs):
    # The tp_call route, keywords as a dict, as the interpreter's own helpers do.
    api = ctypes.pythonapi.PyObject_Call
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return api(func, tuple(args), kwargs)


def vectorcall(func, args, kwnames, kwvalues):
    # Python refuses non-str keyword names before any call; the C API hands
    # them to the function, so this is the only way to reach its own check.
    argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    try:
        api = ctypes.pythonapi.PyObject_Vectorcall
        api.restype = ctypes.py_object
        api.argtypes = argtypes
    except AttributeError:
        # 3.10 only has it inline: call the object's own entry, which follows its header.
        entry = ctypes.c_void_p.from_address(id(func) + ctypes.sizeof(ctypes.c_ssize_t) * 2).value
        api = ctypes.PYFUNCTYPE(ctypes.py_object, *argtypes)(entry)
    stack = (ctypes.py_object * (len(args) + len(kwvalues) + 1))(*args, *kwvalues)
    return api(func, stack, len(args), tuple(kwnames) or None)


def non_str_keyword_messages(func, args):
    messages = []
    for call in (lambda: vectorcall(func, args, [1], [None]),
                 lambda: call_with_dict(func, args, {1: None})):
        with pytest.raises(TypeError) as info:
            call()
        messages.append(str(info.value))
    return messages


def arity(name, params, defaults, given, too_many):
    count = len(params)
    if not defaults:
        word = "exactly"
    elif too_many:
        word = "at most"
    else:
        word, count = "at least", count - len(defaults)
    plural = "" if count == 1 else "s"
    return f"{name}() takes {word} {count} positional argument{plural} ({given} given)"


def raises(func, message, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("name, params, ret, defaults", WITH_ARGS, ids=ids(WITH_ARGS))
def test_binding_errors(lib, name, params, ret, defaults):
    f = bound(lib, name)
    n = len(params)
    names = [p for p, _ in params]
    required = n - len(defaults or ())
    too_many = arity(name, params, defaults, n + 1, True)
    # The positional count is checked before any keyword is looked at.
    raises(f, too_many, *[None] * (n + 1))
    raises(f, too_many, *[None] * (n + 1), bogus=1)
    raises(f, arity(name, params, defaults, required - 1, False), *[None] * (required - 1))
    for i in range(required):
        missing = arity(name, params, defaults, i, False)
        others = {p: None for p in names if p != names[i]}
        raises(f, missing, **others)
        # A missing parameter is reported before a stray keyword.
        raises(f, missing, **others, bogus=1)
        later = {p: None for p in names[i + 1:]}
        raises(f, missing, *[None] * i, **later)
    full = [None] * n
    raises(f, f"{name}() got an unexpected keyword argument 'bogus'", *full, bogus=1)
    raises(f, f"{name}() got multiple values for keyword argument '{names[0]}'",
           *full, **{names[0]: None})
    # Keywords are judged in the order they were passed.
    raises(f, f"{name}() got an unexpected keyword argument 'zz'",
           *full, **{"zz": 1, names[-1]: None})
    raises(f, f"{name}() got multiple values for keyword argument '{names[-1]}'",
           *full, **{names[-1]: None, "zz": 1})
    raises(functools.partial(f, *full), too_many, None)
    named, through_dict = non_str_keyword_messages(f, full)
    assert named == f"{name}() keywords must be strings"
    # A dict may be refused by the interpreter before the function runs.
    assert through_dict in (named, "keywords must be strings")
    with pytest.raises(TypeError) as info:
        vectorcall(f, (), [1], [None])
    assert str(info.value) == arity(name, params, defaults, 0, False)
    with pytest.raises(TypeError) as info:
        call_with_dict(f, full, {"bogus": None})
    assert str(info.value) == f"{name}() got an unexpected keyword argument 'bogus'"


@pytest.mark.parametrize("name", ids(NO_ARGS))
def test_no_argument_functions_refuse_arguments(lib, name):
    f = bound(lib, name)
    raises(f, f"{name}() takes no arguments (1 given)", 1)
    raises(f, f"{name}() takes no arguments (2 given)", 1, 2, x=3)
    raises(f, f"{name}() takes no keyword arguments", x=3)
    named, through_dict = non_str_keyword_messages(f, ())
    assert named == f"{name}() takes no keyword arguments"
    assert through_dict in (named, "keywords must be strings")


@pytest.mark.parametrize("name, params, ret, defaults", FUNCTIONS, ids=ids(FUNCTIONS))
def test_function_metadata(lib, name, params, ret, defaults):
    f = bound(lib, name)
    assert f.__name__ == name
    assert f.__qualname__ == name
    assert f.__module__ == MODULE
    assert f.__doc__ == DOCSTRINGS.get(name)
    annotations = dict(params, **{"return": ret})
    assert f.__annotations__ == annotations
    assert list(f.__annotations__) == list(annotations)
    assert f.__defaults__ == defaults


@pytest.mark.parametrize("name, params, ret, defaults", FUNCTIONS, ids=ids(FUNCTIONS))
def test_signature_and_help(lib, name, params, ret, defaults):
    f = bound(lib, name)
    defaults = defaults or ()
    first_default = len(params) - len(defaults)
    expected = inspect.Signature(
        [inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation=a,
                           default=defaults[i - first_default] if i >= first_default
                           else inspect.Parameter.empty)
         for i, (p, a) in enumerate(params)],
        return_annotation=ret)
    assert inspect.signature(f) == expected
    assert f"{name}{expected}" in pydoc.render_doc(f, renderer=pydoc.plaintext)


def test_call_forms_agree(lib):
    media = bound(lib, "_media_type")
    forms = [
        lambda: media(".jpg"),
        lambda: media(suffix=".jpg"),
        lambda: media(**{"suffix": ".jpg"}),
        lambda: functools.partial(media, ".jpg")(),
        lambda: functools.partial(media, suffix=".jpg")(),
        lambda: type(media).__call__(media, suffix=".jpg"),
        lambda: call_with_dict(media, (), {"suffix": ".jpg"}),
        lambda: call_with_dict(media, (".jpg",), {}),
        lambda: vectorcall(media, (), ["suffix"], [".jpg"]),
        lambda: vectorcall(media, (".jpg",), [], []),
    ]
    assert [form() for form in forms] == ["image/jpeg"] * len(forms)


def test_list_dir_default_and_keywords(lib, tmp_path):
    (tmp_path / "a.png").write_bytes(b"x")
    (tmp_path / ".b.png").write_bytes(b"x")
    hidden = lib.list_dir(tmp_path, True)
    shown = lib.list_dir(tmp_path, False)
    assert len(hidden["files"]) == 2 and len(shown["files"]) == 1
    d = str(tmp_path)
    assert lib.list_dir(d) == shown
    assert lib.list_dir(folder=d) == shown
    assert lib.list_dir(show_hidden=True, folder=d) == hidden
    assert lib.list_dir(**{"folder": d, "show_hidden": 1}) == hidden
    assert functools.partial(lib.list_dir, show_hidden=True)(d) == hidden
    assert call_with_dict(lib.list_dir, (d,), {"show_hidden": True}) == hidden


@pytest.mark.parametrize("name, args", [
    ("_fmt_key", (".JPEG",)),
    ("is_image", (pathlib.Path("a.PNG"),)),
    ("sort_files", ([{"name": "b"}, {"name": "A"}], "name", True)),
    ("resize_files", ([], "percent", 50, None, None, None, "rename")),
])
def test_dict_calls_bind_like_vectorcalls(lib, name, args):
    f = bound(lib, name)
    params = list(inspect.signature(f).parameters)
    expected = f(*args)
    for split in range(len(args) + 1):
        kwargs = dict(zip(params[split:], args[split:]))
        assert call_with_dict(f, args[:split], kwargs) == expected
        assert type(f).__call__(f, *args[:split], **kwargs) == expected


def test_function_type_names_its_module(lib):
    kind = type(lib.is_image)
    # a text, as tools that describe modules expect of any type
    assert type(kind.__module__) is str and kind.__module__ == MODULE
    assert kind.__name__ == "function"
    assert lib.is_image.__module__ == MODULE
    with pytest.raises(AttributeError):
        lib.is_image.__module__ = "elsewhere"
    assert lib.is_image.__module__ == MODULE and vars(lib.is_image) == {}
    # only the module makes functions: an empty one would have no body to call
    with pytest.raises(TypeError, match="cannot create"):
        kind()


@pytest.mark.parametrize("name", ids(FUNCTIONS))
def test_functions_pickle_by_reference(lib, name):
    f = bound(lib, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_process_pool_maps_a_module_function(lib, make_image, tmp_path, home):
    paths = [str(make_image(tmp_path / f"{i}.png", size=(40 + i, 30))) for i in range(3)]
    # spawn: each worker imports the module afresh and finds the function by name
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        thumbnails = list(pool.map(lib.thumbnail_bytes, paths))
    cache = home / ".quorvane"
    assert cache.is_dir()  # the workers wrote the thumbnails
    shutil.rmtree(cache)
    assert thumbnails == [lib.thumbnail_bytes(p) for p in paths]
