"""Sphinx configuration of orvane's documentation site (make docs)."""

from importlib.metadata import version as installed_version

from orvane import flavours

# The compiled modules themselves, imported before autodoc looks for them:
# autodoc would otherwise load their .pyi stubs in their place, whose
# functions return None, and the examples run in the same process would
# read those.
flavours.compiled()

project = "orvane"
author = "the orvane developers"
copyright = "2026, the orvane developers"
# The installed package's version: pyproject.toml is its one source.
release = installed_version("orvane")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinx.ext.viewcode",
    "myst_parser",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
root_doc = "index"

html_theme = "furo"
html_title = f"orvane {release}"
html_static_path: list[str] = []

# `name` in the docstrings reads as code.
default_role = "literal"

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "show-inheritance": True}

# Every example on the site runs in `make doctest`; these names are there
# without an import in each one.
doctest_global_setup = """
import datetime
import decimal
import sqlite3
from orvane.results import Numeric, Result
"""
