"""orvane: data access whose result handling runs on native accelerators."""

from importlib.metadata import version

__version__ = version("orvane")
