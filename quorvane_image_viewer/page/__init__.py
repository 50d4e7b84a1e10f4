"""The viewer's page: a local web page over the library, served on this machine only.

    python -m quorvane_image_viewer.page [FOLDER] [--port N] [--open]
"""
