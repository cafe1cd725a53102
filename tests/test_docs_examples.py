"""The site's examples run as they are shown: no set-up hidden from the
reader, and doctest compares their output in full."""

import pathlib
import re

import pytest

DOCS = pathlib.Path(__file__).parent.parent / "docs"


def pages():
    if not DOCS.is_dir():
        pytest.skip("the docs are not in this tree")
    return sorted(DOCS.glob("*.rst")) + sorted(DOCS.glob("*.md")) + sorted((DOCS / "api").glob("*.rst"))


def test_no_page_hides_a_set_up():
    hidden = [page.name for page in pages() if re.search(r"^\.\. test(setup|cleanup)::", page.read_text(), re.M)]
    assert hidden == []


def test_the_doctests_compare_everything_they_show():
    conf = (DOCS / "conf.py").read_text()
    assert "doctest_global_setup" not in conf
    flags = re.search(r"^doctest_default_flags = (.*)$", conf, re.M).group(1)
    assert "ELLIPSIS" not in flags and "IGNORE_EXCEPTION_DETAIL" not in flags
