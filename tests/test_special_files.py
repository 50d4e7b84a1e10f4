"""A FIFO, a socket or a device named like an image: every public function answers at once."""

import os
import subprocess
import sys

import pytest
from conftest import ROOT

# Each call, with `path` naming the special file in `folder`; what it returns or raises is printed.
CALLS = ["open_oriented(path)", "open_oriented(pathlib.Path(path))", "display_source(path)", "thumbnail_bytes(path)",
         "file_info(path)", "rename_file(path, 'b.jpg')", "convert_files([path], 'png', 90, None, 'rename', True)",
         "rotate_files([path], 90, True)", "resize_files([path], 'percent', 50, None, None, None, 'rename')",
         "delete_files([path])", "sort_files(lib.list_dir(folder)['files'], 'size', False)",
         "_destination(pathlib.Path(path), None, '.png', 'rename')",
         "_save_image(Image.new('RGB', (4, 4)), path, 'jpg', 90)"]

CHILD = """
import os, pathlib, socket, sys
from PIL import Image
import quorvane_image_viewer.library as lib
folder, kind, call = sys.argv[1:]
path = folder + "/photo.jpg"
if kind == "fifo":
    os.mkfifo(path)
elif kind == "socket":
    socket.socket(socket.AF_UNIX).bind(path)
else:
    os.symlink("/dev/zero", path)
try:
    print(repr(eval("lib." + call)))
except Exception as error:
    print(type(error).__name__, error)
"""


@pytest.mark.parametrize("kind", ["fifo", "socket", "device"])
@pytest.mark.parametrize("call", CALLS)
def test_special_files_never_block(lib, home, tmp_path, call, kind):
    try:
        child = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path), kind, call], capture_output=True,
                               text=True, timeout=20, env=dict(os.environ, PYTHONPATH=str(ROOT)))
    except subprocess.TimeoutExpired:
        pytest.fail(f"{call} blocked on a {kind}")
    answer = child.stdout.strip()
    if call.startswith(("open", "display", "thumb", "file_info", "rename")):
        # the path after resolving: a link is named by what it leads to
        assert answer == f"FileNotFoundError {'/dev/zero' if kind == 'device' else tmp_path / 'photo.jpg'}"
    elif "_files(" in call:
        assert answer == "[]"
    else:
        assert child.returncode == 0 and "Error" not in answer, child.stderr + answer
