import ctypes

import pytest


def test_harness_flags_a_reference_kept_per_call(assert_no_leak):
    kept = object()

    def leak_one():
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(kept))

    with pytest.raises(AssertionError, match="references grew"):
        assert_no_leak(leak_one)
    # Give the references back: the warm-up and all four rounds ran.
    for _ in range(200 * 2 + 200 * 4):
        ctypes.pythonapi.Py_DecRef(ctypes.py_object(kept))


def test_harness_accepts_a_failing_operation_that_keeps_nothing(assert_no_leak):
    assert_no_leak(lambda: {}["missing"])
