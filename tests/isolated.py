"""Runs a snippet in a fresh interpreter: for code whose failure would be a
crash that takes the whole test run down with it."""

import subprocess
import sys
import textwrap


def run_isolated(code, *, timeout=300):
    """The snippet's standard output; fails the test when the interpreter
    ended by a signal or with a non-zero status."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-3000:]}"
    return done.stdout
