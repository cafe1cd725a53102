"""The fuzz targets' seeds and everything a fuzzing run found, replayed
through the targets' own checks on this build: the compiled flavour must
still agree with the pure one (and with the standard library where a
target says so) on each input."""

import importlib
import pathlib
import sys

import pytest

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"
CASES = sorted((path.parent.name, path) for path in (FUZZ / "corpus").glob("*/*"))


@pytest.fixture(scope="module")
def targets():
    sys.path.insert(0, str(FUZZ))
    try:
        yield lambda name: importlib.import_module(name)
    finally:
        sys.path.remove(str(FUZZ))


def test_every_target_has_seeds():
    assert {target for target, _ in CASES} >= {path.stem for path in FUZZ.glob("*.py")} - {"differential", "main"}


@pytest.mark.parametrize("target, path", CASES, ids=[f"{target}/{path.name}" for target, path in CASES])
def test_corpus_input_agrees(targets, target, path):
    targets(target).check(path.read_bytes())
