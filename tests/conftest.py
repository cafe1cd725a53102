import gc
import sys

import pytest

DEBUG_BUILD = hasattr(sys, "gettotalrefcount")


def pytest_addoption(parser):
    parser.addoption(
        "--iso-texts",
        type=int,
        default=10_000 if DEBUG_BUILD else 100_000,
        help="texts per ISO parser in the seeded comparison with the C library",
    )
    # Under AddressSanitizer's runtime with PYTHONMALLOC=malloc the debug
    # interpreter's reference total drifts on some paths even for code built
    # without sanitizers, so that run leaves the counting to the plain one.
    parser.addoption("--no-refcount-checks", action="store_true", help="skip the reference-count leak checks")


def _run(operation, calls):
    for _ in range(calls):
        try:
            operation()
        except Exception:
            pass


@pytest.fixture
def assert_no_leak(request):
    """Calls an operation (failing or not) many times on a debug interpreter
    and fails when the total reference count keeps growing."""
    if not DEBUG_BUILD:
        pytest.skip("reference counting checks need a debug interpreter")
    if request.config.getoption("--no-refcount-checks"):
        pytest.skip("reference counting checks are off for this run")

    def check(operation, *, calls=200, rounds=4):
        _run(operation, calls * 2)  # warm caches, interned names, free lists
        # The objects the suite holds by now (garbage too: it stays as it is
        # until the end) are left out of the collections, which then walk only
        # what the operation made: on a debug build the walks of the whole heap
        # were most of the suite's time.
        gc.freeze()
        try:
            growth = []
            before = sys.gettotalrefcount()
            for _ in range(rounds):
                _run(operation, calls)
                gc.collect()
                after = sys.gettotalrefcount()
                growth.append(after - before)
                before = after
        finally:
            gc.unfreeze()
        # One leaked reference per call shows as +calls in every round; caches
        # that are still filling grow less and less.
        assert min(growth[-3:]) < calls / 10, f"references grew by {growth} per {calls} calls"

    return check


@pytest.fixture
def native_library():
    """Path of a compiled module's shared library."""
    import importlib

    return lambda name: importlib.import_module(f"orvane.{name}").__file__
