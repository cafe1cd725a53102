"""The compiled libraries export only their entry points and need only libc."""

import shutil
import subprocess

import pytest

EXPORTS = {
    "frozkern": {"PyInit_frozkern", "ImmutableDict_length"},
    "rowkern": {"PyInit_rowkern"},
    "convkern": {"PyInit_convkern"},
}


def _tool(name):
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} is not installed")
    return path


@pytest.mark.parametrize("module", sorted(EXPORTS))
def test_exported_symbols(native_library, module):
    out = subprocess.run([_tool("nm"), "-D", "--defined-only", native_library(module)], capture_output=True, text=True, check=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.split() and line.split()[1] in "TDBRVWuiG"}
    assert names == EXPORTS[module]


@pytest.mark.parametrize("module", sorted(EXPORTS))
def test_needed_libraries(native_library, module):
    out = subprocess.run([_tool("readelf"), "-d", native_library(module)], capture_output=True, text=True, check=True).stdout
    needed = {line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line}
    if any(name.startswith(("libasan", "libubsan")) for name in needed):
        pytest.skip("a sanitizer build links the sanitizer runtimes")
    assert needed <= {"libc.so.6"}


@pytest.mark.parametrize("field", ["Summary", "Author", "Keywords", "License-Expression", "Requires-Python"])
def test_installed_metadata_has(field):
    from importlib.metadata import metadata

    assert metadata("orvane").get(field), f"{field} is missing from the installed metadata"
