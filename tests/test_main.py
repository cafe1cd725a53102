"""The version, and what the main job says about its own run."""

import pathlib
import subprocess
import sys
import tomllib

import orvane

PYPROJECT = pathlib.Path(__file__).parent.parent / "pyproject.toml"


def orvane_main(*args, block_compiled=False):
    # A None entry in sys.modules makes the import of that module fail, as
    # when the compiled modules were never built.
    prelude = "import sys; sys.modules['orvane.rowkern'] = None; " if block_compiled else ""
    code = prelude + "from orvane.__main__ import main; raise SystemExit(main(sys.argv[1:]))"
    return subprocess.run([sys.executable, "-c", "import sys; " + code, *args], capture_output=True, text=True)


def test_version_comes_from_the_project_file():
    declared = tomllib.loads(PYPROJECT.read_text())["project"]["version"]
    assert orvane.__version__ == declared
    done = orvane_main("--version")
    assert (done.returncode, done.stdout) == (0, f"orvane {declared}\n")


def test_rows_beyond_the_bound_are_one_line_and_status_2():
    done = orvane_main("bench", "--rows", str(10**21))
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and "--rows must be at least 1 and at most 1,000,000" in done.stderr


def test_the_table_names_the_flavours_and_why_pure_ran_alone():
    both = orvane_main("bench", "--rows", "50", "--repeat", "1", "--quiet")
    assert both.returncode == 0, both.stderr
    assert "flavours: compiled (best of 1 runs), then pure (a single run)" in both.stdout
    assert "pure, 1 run" in both.stdout
    alone = orvane_main("bench", "--rows", "50", "--quiet", block_compiled=True)
    assert alone.returncode == 0, alone.stderr
    assert "flavour: pure only (a single run), because the compiled modules do not import" in alone.stdout
    assert "compiled rows/s" not in alone.stdout and "fetch with types" in alone.stdout
