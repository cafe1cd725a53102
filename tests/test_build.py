"""The compiled libraries export only their entry points and need only libc."""

import pathlib
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


CHECKOUT = pathlib.Path(__file__).parent.parent


def _script(relative):
    path = CHECKOUT / relative
    if not path.exists():
        pytest.skip(f"{relative} is not in this tree")
    return path


def test_wheels_names_a_missing_interpreter_before_building(tmp_path):
    out = tmp_path / "dist"
    done = subprocess.run(
        ["bash", _script("tools/wheels.sh"), str(tmp_path / "no-tools"), str(out), "", "python3", "python3.99-nowhere"],
        capture_output=True,
        text=True,
        cwd=CHECKOUT,
    )
    assert done.returncode == 1 and not out.exists()
    assert done.stderr == 'wheels: python3.99-nowhere is not on PATH (PYTHONS="python3 python3.99-nowhere"): install it, or leave it out of PYTHONS\n'


def test_ci_outside_its_workplace_says_what_it_needs(tmp_path):
    # A plain clone: .ci/run and nothing beside the checkout.
    clone = tmp_path / "clone"
    (clone / ".ci").mkdir(parents=True)
    shutil.copy(_script(".ci/run"), clone / ".ci" / "run")
    done = subprocess.run(["bash", str(clone / ".ci" / "run")], capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=120)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and "needs ../shared/tools/cpython" in done.stderr
    assert "make test PYTHON=python3.X for each interpreter" in done.stderr
