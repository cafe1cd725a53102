"""Runs one fuzz target under atheris, with orvane's Python code
instrumented for coverage (the compiled modules are instrumented by their
build):

    python fuzz/main.py TARGET [libFuzzer options] [CORPUS ...]

TARGET names a module of this folder (iso_text, decimal_text, ...)."""

import importlib
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

with atheris.instrument_imports(include=["orvane"]):
    target = importlib.import_module(sys.argv.pop(1))
atheris.Setup(sys.argv, target.check)
atheris.Fuzz()
