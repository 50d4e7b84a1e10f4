"""python -m quorvane_image_viewer.page [FOLDER] [--port N] [--open]: serve the viewer's page."""

import argparse
import sys

from quorvane_image_viewer.page import server


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m quorvane_image_viewer.page",
                                     description="Show a folder's images in your browser, served on this machine only.")
    server.add_arguments(parser)
    return server.run(parser.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
