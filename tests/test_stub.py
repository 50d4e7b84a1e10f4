"""The type stub: strict mypy accepts real use, reports planted mistakes, and matches the module."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import ROOT

MYPY = "/usr/bin/mypy"
SCRIPTS = Path(__file__).parent / "stub_check"
GOOD = SCRIPTS / "uses_every_function.py"
PLANTED = SCRIPTS / "planted_mistakes.py"
# Debian's Pillow has no type information; a user's mypy treats it the same way.
CONFIG = "[mypy]\n[mypy-PIL.*]\nignore_missing_imports = True\n"

pytestmark = pytest.mark.skipif(not os.access(MYPY, os.X_OK), reason="Debian's mypy is not installed")


def mypy_interpreter():
    with open(MYPY, encoding="utf-8") as f:
        return shutil.which(f.readline()[2:].strip().split()[0])


@pytest.fixture(scope="module")
def config(tmp_path_factory):
    path = tmp_path_factory.mktemp("mypy") / "mypy.ini"
    path.write_text(CONFIG)
    return path


@pytest.fixture(scope="module")
def reports(config):
    """mypy --strict over both scripts in one run: {script name: [(line, code)]}."""
    proc = subprocess.run(
        [MYPY, "--strict", "--python-version", "3.10", "--cache-dir", os.devnull,
         "--config-file", str(config), str(GOOD), str(PLANTED)],
        env={**os.environ, "MYPYPATH": str(ROOT)}, capture_output=True, text=True, timeout=300)
    found = {}
    for line in proc.stdout.splitlines():
        hit = re.match(r"(.+?):(\d+): error: .*\[([\w-]+)\]$", line)
        if hit:
            found.setdefault(Path(hit[1]).name, []).append((int(hit[2]), hit[3]))
        else:
            assert ": error:" not in line, line
    return found


def test_real_use_passes_strict_checking(reports):
    assert reports.get(GOOD.name, []) == []


def test_every_planted_mistake_is_reported(reports):
    planted = [(n, hit[1]) for n, line in enumerate(PLANTED.read_text().splitlines(), 1)
               if (hit := re.search(r"# mistake: ([\w-]+)$", line))]
    assert len(planted) >= 5
    assert reports.get(PLANTED.name, []) == planted


def test_real_use_runs(lib, home, tmp_path, make_image):
    # What the stub accepts the module accepts: the checked script runs as written.
    make_image(tmp_path / "a.jpg", size=(40, 30))
    proc = subprocess.run([sys.executable, str(GOOD), str(tmp_path)], capture_output=True, text=True,
                          env={**os.environ, "HOME": str(home), "PYTHONPATH": str(ROOT)}, timeout=60)
    assert proc.returncode == 0, proc.stderr


def test_stub_matches_the_module(lib, config, tmp_path):
    # stubtest imports the module into mypy's own interpreter: only meaningful when that is ours.
    if os.path.realpath(mypy_interpreter()) != os.path.realpath(sys.executable):
        pytest.skip("mypy runs on another interpreter than these tests")
    allow = tmp_path / "allow.txt"
    # Record and literal types exist for type checkers only; __test__ is the doctest hook.
    allow.write_text("quorvane_image_viewer\\.library\\.[A-Z][a-z]\\w*\nquorvane_image_viewer\\.library\\.__test__\n")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quorvane_image_viewer.library",
         "--mypy-config-file", str(config), "--allowlist", str(allow)],
        env={**os.environ, "MYPYPATH": str(ROOT), "PYTHONPATH": str(ROOT)}, cwd=tmp_path,
        capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
