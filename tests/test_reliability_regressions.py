"""Regression tests for defects the reliability runs found, one per fix."""
import kestrum

HUGE = 2**61  # as many rows as no storage could hold; with zero columns the array is empty


def test_column_stack_of_zero_width_inputs_does_not_walk_their_rows():
    e = kestrum.Array([HUGE, 0], [])
    out = kestrum.column_stack([e, e])
    assert out.shape == [HUGE, 0] and len(out) == 0
