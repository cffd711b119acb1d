"""Regression tests for defects the reliability runs found, one per fix."""
import kestrum

HUGE = 2**61  # as many rows as no storage could hold; with zero columns the array is empty


def test_column_stack_of_zero_width_inputs_does_not_walk_their_rows():
    e = kestrum.Array([HUGE, 0], [])
    out = kestrum.column_stack([e, e])
    assert out.shape == [HUGE, 0] and len(out) == 0


def test_tolist_of_very_many_dimensions_does_not_exhaust_the_stack():
    nested = kestrum.zeros([1] * 200_000).tolist()
    depth = 0
    while isinstance(nested, list):
        nested, depth = nested[0], depth + 1
    assert depth == 200_000 and nested == 0.0


def test_tolist_of_a_dimension_beyond_the_list_size_limit_is_a_memory_error():
    import pytest

    for shape in ([2**63, 0], [HUGE, 0]):
        with pytest.raises(MemoryError):
            kestrum.Array(shape, []).tolist()
    # Empty sub-blocks are never read, so a far offset cannot fail a read either.
    with pytest.raises(MemoryError):
        kestrum.Array([HUGE, 0], []).to_pylist_recursive(0, HUGE)
    assert kestrum.Array([3, 0], []).to_pylist_recursive(0, 100) == [[], [], []]


def test_qr_of_an_empty_wide_matrix_allocates_nothing_for_its_columns():
    from kestrum import linalg

    q, r = linalg.qr(kestrum.Array([0, HUGE], []))
    assert q.shape == [0, 0] and r.shape == [0, HUGE]


def test_transpose_of_an_empty_matrix_does_not_walk_its_long_side():
    from kestrum import linalg

    for shape in ([HUGE, 0], [0, HUGE]):
        out = linalg.transpose(kestrum.Array(shape, []))
        assert out.shape == shape[::-1]
