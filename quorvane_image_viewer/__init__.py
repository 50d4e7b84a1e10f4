"""The local back end of a desktop image viewer; its native module is `library`."""

__version__ = "0.1.0"
