"""Sphinx configuration of orvane's documentation site (make docs)."""

import doctest
from importlib.metadata import version as installed_version

from sphinx.application import Sphinx

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
html_static_path = ["_static"]
html_css_files = ["orvane.css"]

# `name` in the docstrings reads as code.
default_role = "literal"

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "show-inheritance": True}
# Defaults as written in the source: key_style=KEY_OBJECTS_AND_INTEGERS, not 3.
autodoc_preserve_defaults = True

# Every example on the site runs in `make doctest` exactly as it is shown:
# no hidden set-up, and the output, tracebacks included, compared in full.
doctest_default_flags = doctest.DONT_ACCEPT_TRUE_FOR_1


def drop_modules_without_source(app: Sphinx) -> list[tuple[str, dict[str, object], str]]:
    """The compiled modules have no Python source: viewcode would still list
    them on its index, with links to pages it never writes."""
    modules = getattr(app.env, "_viewcode_modules", {})
    for name in [name for name, entry in modules.items() if not entry]:
        del modules[name]
    return []


def setup(app: Sphinx) -> None:
    # Before viewcode's own handler (priority 500), which writes the index.
    app.connect("html-collect-pages", drop_modules_without_source, priority=400)
