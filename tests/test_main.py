"""The version, and what the main job says about its own run."""

import contextlib
import json
import pathlib
import re
import socket
import sqlite3
import subprocess
import sys
import tomllib

import pytest

import orvane

PYPROJECT = pathlib.Path(__file__).parent.parent / "pyproject.toml"


def orvane_main(*args, block_compiled=False, block=()):
    # A None entry in sys.modules makes the import of that module fail, as
    # when the compiled modules were never built.
    blocked = [*block, *(["orvane.rowkern"] if block_compiled else [])]
    prelude = "".join(f"sys.modules[{name!r}] = None; " for name in blocked)
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
    assert "flavours: compiled (best of 1 run), then pure (a single run)" in both.stdout
    assert "pure, 1 run" in both.stdout
    alone = orvane_main("bench", "--rows", "50", "--quiet", block_compiled=True)
    assert alone.returncode == 0, alone.stderr
    assert "flavour: pure only (a single run), because the compiled modules do not import" in alone.stdout
    assert "compiled rows/s" not in alone.stdout and "fetch with types" in alone.stdout


@pytest.mark.parametrize(
    "args, first_line",
    [
        (["frobnicate"], "orvane: unrecognized command: frobnicate"),
        (["--verbose", "bench"], "orvane: unrecognized option: --verbose"),
        (["--version", "now"], "orvane: --version takes no arguments: now"),
    ],
)
def test_a_word_not_understood_is_named_before_the_usage(args, first_line):
    done = orvane_main(*args)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.splitlines()[0] == first_line and done.stderr.splitlines()[1].startswith("usage: ")


@pytest.mark.parametrize("args", [["--help"], ["bench", "--help"]])
def test_help_opens_with_what_orvane_is(args):
    done = orvane_main(*args)
    assert done.returncode == 0
    assert done.stdout.splitlines()[0].startswith("orvane: the results of DB-API 2.0 queries as rows")


@pytest.mark.parametrize("written, rows", [("1,000", 1000), ("1000", 1000), ("1_000", 1000), ("12,345", 12345)])
def test_rows_as_the_help_writes_them(written, rows):
    done = orvane_main("bench", "--rows", written, "--repeat", "1", "--json", "--quiet")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["rows"] == rows


@pytest.mark.parametrize("written", ["1,00", "1,0000", ",100", "1.000", "ten"])
def test_rows_in_another_form_are_a_usage_error(written):
    done = orvane_main("bench", "--rows", written)
    assert done.returncode == 2 and f"invalid count value: '{written}'" in done.stderr


def test_a_run_too_small_to_measure_says_so(tmp_path):
    path = tmp_path / "one.sqlite"
    with contextlib.closing(sqlite3.connect(path)) as connection, connection:
        connection.execute("create table t (a integer)")
        connection.execute("insert into t values (1)")
    done = orvane_main("bench", "--db", str(path), "--sql", "select a from t", "--repeat", "1", "--quiet")
    assert done.returncode == 0, done.stderr
    assert "1 row x 1 column (" in done.stdout and "1 rows" not in done.stdout
    assert "warning: 1 row is too few to measure" in done.stdout
    figures = json.loads(orvane_main("bench", "--db", str(path), "--sql", "select a from t", "--repeat", "1", "--quiet", "--json").stdout)
    assert "too few to measure" in figures["warning"]


@pytest.mark.parametrize("block_compiled", [False, True], ids=["both flavours", "pure alone"])
def test_the_table_explains_itself_and_ends_with_the_cost_of_a_typed_fetch(block_compiled):
    done = orvane_main("bench", "--rows", "2000", "--repeat", "1", "--quiet", block_compiled=block_compiled)
    assert done.returncode == 0, done.stderr
    assert "warning" not in done.stdout
    assert "÷ fetchall: a fetching path's time over the driver's own fetchall()" in done.stdout and "lower is better" in done.stdout
    assert "that cell is blank" in done.stdout and "rows/s: on a fetch" in done.stdout and "pure: " in done.stdout
    last = done.stdout.splitlines()[-1]
    flavour = "pure" if block_compiled else "compiled"
    assert re.fullmatch(
        rf"In short: a typed fetch \({flavour}\) takes (as long as|\d+% longer than|\d+% less time than|[\d.]+ times as long as)"
        r" the driver's own fetchall\(\)\.",
        last,
    ), last
    columns_line = next(line for line in done.stdout.splitlines() if line.startswith("columns(...) fetch"))
    assert re.search(r"\d\.\d\d$", columns_line)


def test_the_psycopg_hint_says_what_installs_it():
    done = orvane_main("bench", "--dsn", "host=127.0.0.1", block=["psycopg"])
    assert done.returncode == 1
    assert done.stderr == "orvane bench: --dsn needs the psycopg driver: pip install psycopg, or pip install '.[drivers]' in a checkout of orvane\n"


def test_a_refused_dsn_is_one_line_and_status_1():
    pytest.importorskip("psycopg")
    with socket.socket() as probe:  # a port that nothing listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    done = orvane_main("bench", "--dsn", f"host=127.0.0.1 port={port} connect_timeout=5")
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("orvane bench: OperationalError: ") and "refused" in done.stderr


def test_the_drivers_extra_holds_every_driver_the_readme_uses():
    extras = tomllib.loads(PYPROJECT.read_text())["project"]["optional-dependencies"]
    names = {re.split(r"[\[<>=]", requirement)[0] for requirement in extras["drivers"]}
    assert names == {"apsw", "duckdb", "psycopg", "aiosqlite"}
