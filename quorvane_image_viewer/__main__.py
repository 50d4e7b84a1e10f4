"""python -m quorvane_image_viewer: the command line (see quorvane_image_viewer.cli)."""

import sys

from quorvane_image_viewer.cli import main

if __name__ == "__main__":
    sys.exit(main())
