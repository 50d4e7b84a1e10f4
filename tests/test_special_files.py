"""A FIFO, a socket or a device named like an image: every public function answers at once."""

import os
import subprocess
import sys

import pytest

# Each call gets the folder and the special file's path; what it returns or raises is printed.
CALLS = {
    "open_oriented": "lib.open_oriented(path)",
    "open_oriented_path": "lib.open_oriented(pathlib.Path(path))",
    "display_source": "lib.display_source(path)",
    "thumbnail_bytes": "lib.thumbnail_bytes(path)",
    "file_info": "lib.file_info(path)",
    "list_dir": "len(lib.list_dir(folder)['files'])",
    "sort_files": "lib.sort_files(lib.list_dir(folder)['files'], 'size', False)",
    "convert_files": "lib.convert_files([path], 'png', 90, None, 'rename', True)",
    "rotate_files": "lib.rotate_files([path], 90, True)",
    "resize_files": "lib.resize_files([path], 'percent', 50, None, None, None, 'overwrite')",
    "rename_file": "lib.rename_file(path, 'renamed.jpg')",
    "delete_files": "lib.delete_files([path])",
    "_destination": "lib._destination(pathlib.Path(path), None, '.png', 'rename')",
    "_save_image": "lib._save_image(Image.new('RGB', (4, 4)), folder + '/out.png', 'png', 90)",
}

CHILD = """
import os, pathlib, socket, sys
from PIL import Image
import quorvane_image_viewer.library as lib
folder, kind = sys.argv[1], sys.argv[2]
path = folder + "/photo.jpg"
if kind == "fifo":
    os.mkfifo(path)
elif kind == "socket":
    server = socket.socket(socket.AF_UNIX)
    server.bind(path)
    server.listen()
else:
    os.symlink("/dev/zero", path)
if sys.argv[3] == "_save_image":
    os.mkfifo(folder + "/out.png")
try:
    print(repr(CALL))
except Exception as error:
    print(type(error).__name__, error)
"""


@pytest.mark.parametrize("kind", ["fifo", "socket", "device"])
@pytest.mark.parametrize("function", CALLS)
def test_special_files_never_block(lib, home, tmp_path, function, kind):
    folder = tmp_path / "pics"
    folder.mkdir()
    code = CHILD.replace("CALL", CALLS[function])
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        child = subprocess.run([sys.executable, "-c", code, str(folder), kind, function], capture_output=True,
                               text=True, timeout=20, env=dict(os.environ, PYTHONPATH=root, HOME=str(home)))
    except subprocess.TimeoutExpired:
        pytest.fail(f"{function} blocked on a {kind}")
    assert child.returncode == 0, child.stderr
    answer = child.stdout.strip()
    if function.startswith(("open_oriented", "display_source", "thumbnail_bytes", "file_info", "rename_file")):
        # the path after resolving: a link is named by what it leads to
        assert answer == f"FileNotFoundError {'/dev/zero' if kind == 'device' else folder / 'photo.jpg'}"
    elif function.endswith("_files"):
        assert answer == "[]"
    else:
        assert "Error" not in answer, answer
