"""The wheel a user builds offline installs a working module outside the tree.

Set QUORVANE_SKIP_PACKAGING=1 to skip (it compiles the module once more).
"""

import json
import os
import re
import subprocess
import sys
import sysconfig
import textwrap
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
VERSION = re.search(r'^__version__ = "(.+)"$',
                    (REPO / "quorvane_image_viewer" / "__init__.py").read_text(), re.M)[1]
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")

pytestmark = [
    pytest.mark.packaging,
    pytest.mark.skipif(
        os.environ.get("QUORVANE_SKIP_PACKAGING", "") not in ("", "0"),
        reason="QUORVANE_SKIP_PACKAGING is set",
    ),
]


def _env():
    env = dict(os.environ)
    # Nothing may come from an index, and nothing from the tree via the path.
    for name in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "PYTHONSTARTUP"):
        env.pop(name, None)
    env.update(
        PIP_NO_INDEX="1",
        PIP_DISABLE_PIP_VERSION_CHECK="1",
        PIP_NO_CACHE_DIR="1",
        PYTHONNOUSERSITE="1",
    )
    return env


def _run(cmd, cwd):
    proc = subprocess.run(
        [str(c) for c in cmd], cwd=cwd, env=_env(), capture_output=True, text=True
    )
    assert proc.returncode == 0, (
        f"{cmd} failed ({proc.returncode})\n"
        f"--- stdout\n{proc.stdout[-4000:]}\n--- stderr\n{proc.stderr[-4000:]}"
    )
    return proc.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheelhouse")
    _run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
         "-w", out, "."],
        cwd=REPO,
    )
    wheels = sorted(out.glob("quorvane_image_viewer-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.fixture(scope="module")
def venv_python(wheel, tmp_path_factory):
    venv = tmp_path_factory.mktemp("venv")
    _run([sys.executable, "-m", "venv", "--system-site-packages", venv], cwd=venv)
    py = venv / "bin" / "python"
    if sys.prefix != sys.base_prefix:
        # This interpreter is itself a venv: --system-site-packages reaches only
        # the base install, so hand on our own site folders (Pillow lives there).
        purelib = _run([py, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                       cwd=venv).strip()
        import site

        Path(purelib, "_parent_site.pth").write_text(
            "".join(p + "\n" for p in site.getsitepackages())
        )
    # --ignore-installed: a copy installed system-wide must not satisfy this.
    _run([py, "-m", "pip", "install", "--no-index", "--no-deps", "--ignore-installed",
          wheel], cwd=venv)
    return venv, py


@pytest.mark.parametrize(
    "what, predicate, expected",
    [
        ("package __init__", lambda n: n == "quorvane_image_viewer/__init__.py", 1),
        ("package __main__", lambda n: n == "quorvane_image_viewer/__main__.py", 1),
        ("the page's server", lambda n: n == "quorvane_image_viewer/page/server.py", 1),
        ("the page's static files", lambda n: n.startswith("quorvane_image_viewer/page/static/")
         and n.endswith((".html", ".css", ".js", ".svg")), 6),
        ("command line", lambda n: n == "quorvane_image_viewer/cli.py", 1),
        ("type stub", lambda n: n == "quorvane_image_viewer/library.pyi", 1),
        ("typed marker", lambda n: n == "quorvane_image_viewer/py.typed", 1),
        ("module for this interpreter",
         lambda n: n == f"quorvane_image_viewer/library{EXT_SUFFIX}", 1),
        ("any native module", lambda n: n.endswith(".so"), 1),
        ("C++ sources or headers", lambda n: n.endswith((".cpp", ".hpp")), 0),
        ("files from the build tree", lambda n: n.startswith(("build/", "tests/")), 0),
    ],
)
def test_wheel_contents(wheel, what, predicate, expected):
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
    assert sum(map(predicate, names)) == expected, (what, names)


PROBE = textwrap.dedent(
    """
    import json, sys
    import quorvane_image_viewer
    import quorvane_image_viewer.library as m
    print(json.dumps({
        "package": quorvane_image_viewer.__file__,
        "module": m.__file__,
        "listing": m.list_dir(sys.argv[1]),
    }))
    """
)


def test_installed_module_runs_outside_the_tree(venv_python, tmp_path):
    venv, py = venv_python
    folder = tmp_path / "pictures"
    (folder / "Photos").mkdir(parents=True)
    for name in ("a.JPG", "b.png", "notes.txt", ".hidden.png"):
        (folder / name).write_bytes(b"")
    elsewhere = tmp_path / "cwd"
    elsewhere.mkdir()

    out = json.loads(_run([py, "-c", PROBE, folder], cwd=elsewhere))

    for key in ("package", "module"):
        where = Path(out[key]).resolve()
        assert where.is_relative_to(venv.resolve()), (key, where)
        assert not where.is_relative_to(REPO), (key, where)
    listing = out["listing"]
    assert list(listing) == ["path", "parent", "folders", "files"]
    assert listing["path"] == str(folder.resolve())
    assert [row["name"] for row in listing["folders"]] == ["Photos"]
    assert sorted(row["name"] for row in listing["files"]) == ["a.JPG", "b.png"]


def test_installed_page_serves_its_own_files(venv_python, tmp_path):
    venv, py = venv_python
    probe = ("import json; from quorvane_image_viewer.page import server; "
             "s = server.make_server('.', 0); s.server_close(); "
             "print(json.dumps([server.__file__, sorted(s.static)]))")
    where, names = json.loads(_run([py, "-c", probe], cwd=tmp_path))
    assert Path(where).resolve().is_relative_to(venv.resolve())
    assert names == ["app.js", "grid.js", "icon.svg", "index.html", "style.css", "viewer.js"]


def test_wheel_metadata(wheel):
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        info = next(n.rsplit("/", 1)[0] for n in names if n.endswith(".dist-info/METADATA"))
        metadata = zf.read(f"{info}/METADATA").decode()
        entry_points = zf.read(f"{info}/entry_points.txt").decode()
    fields = [tuple(line.split(": ", 1)) for line in metadata.splitlines() if ": " in line]
    assert ("Version", VERSION) in fields
    assert [value for key, value in fields if key == "Requires-Dist"] == ["Pillow"]
    assert "[console_scripts]\nquorvane-viewer = quorvane_image_viewer.cli:main" in entry_points
    assert wheel.name.startswith(f"quorvane_image_viewer-{VERSION}-")


def test_installed_command_stub_and_dependency(venv_python, tmp_path):
    venv, py = venv_python
    package = Path(_run([py, "-c", "import quorvane_image_viewer as q; print(q.__file__)"],
                        cwd=tmp_path).strip()).parent
    assert (package / "library.pyi").is_file() and (package / "py.typed").is_file()
    assert _run([py, "-c", "import quorvane_image_viewer as q; print(q.__version__)"], cwd=tmp_path).strip() == VERSION

    command = venv / "bin" / "quorvane-viewer"
    assert _run([command, "--version"], cwd=tmp_path).split() == ["quorvane-viewer", VERSION]
    (tmp_path / "pics").mkdir()
    listing = json.loads(_run([command, "list", tmp_path / "pics", "--json"], cwd=tmp_path))
    assert listing["files"] == [] and listing["path"] == str((tmp_path / "pics").resolve())


def test_dependency_met_offline(venv_python, wheel):
    # Offline, the declared dependency is met by the Pillow the environment already sees.
    venv, py = venv_python
    out = _run([py, "-m", "pip", "install", "--no-index", wheel], cwd=venv)
    assert re.search(r"Requirement already satisfied: Pillow", out, re.I), out


@pytest.mark.skipif(not os.access("/usr/bin/mypy", os.X_OK), reason="Debian's mypy is not installed")
def test_type_checkers_find_the_installed_stub(venv_python, tmp_path):
    venv, py = venv_python
    script = tmp_path / "check.py"
    script.write_text("import quorvane_image_viewer.library as m\n"
                      "names: list[str] = m.delete_files(['a.jpg'])\n"
                      "m.rotate_files(['a.jpg'], 45, False)\n")
    proc = subprocess.run(["/usr/bin/mypy", "--strict", "--cache-dir", os.devnull,
                           "--python-executable", str(py), str(script)],
                          cwd=tmp_path, env=_env(), capture_output=True, text=True)
    # Found through py.typed: the stub is used (one planted error) and nothing is missing.
    assert "missing library stubs" not in proc.stdout, proc.stdout
    assert re.findall(r"error: .*\[(\S+)\]", proc.stdout) == ["arg-type"], proc.stdout


def test_build_without_libheif_names_the_package(tmp_path):
    # pkg-config that searches an empty folder finds no libheif: the build stops before compiling.
    env = {**_env(), "PKG_CONFIG_LIBDIR": str(tmp_path), "PKG_CONFIG_PATH": ""}
    proc = subprocess.run([sys.executable, "setup.py", "build_ext", "--build-lib", str(tmp_path / "lib"),
                           "--build-temp", str(tmp_path / "temp")], cwd=REPO, env=env, capture_output=True,
                          text=True)
    assert proc.returncode != 0 and "libheif-dev" in proc.stderr, proc.stderr
    assert not (tmp_path / "lib").exists()
