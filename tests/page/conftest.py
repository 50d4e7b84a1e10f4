import threading

import pytest
from pagekit import Served


@pytest.fixture
def served(lib, home, tmp_path):
    from quorvane_image_viewer.page.samples import write_samples
    from quorvane_image_viewer.page.server import make_server

    folder = write_samples(tmp_path / "pictures")
    # Things that lie outside the served folder, and links inside it that lead there.
    outside = tmp_path / "outside.jpg"
    outside.write_bytes((folder / "lake.jpg").read_bytes())
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "elsewhere" / "a.jpg").write_bytes(outside.read_bytes())
    (folder / "link-out.jpg").symlink_to(outside)
    (folder / "dir-out").symlink_to(tmp_path / "elsewhere")
    server = make_server(folder, 0)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        yield Served(server, folder, outside)
    finally:
        server.shutdown()
        server.server_close()
        thread.join(5)

