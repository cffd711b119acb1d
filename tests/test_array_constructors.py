"""Constructors: zeros, ones, full, eye, diag and column_stack, their shapes, values and failures."""
import math

import pytest

import kestrum
from support import PanicException, bits
from helpers_array import flat

A = kestrum.Array


def both(name):
    """The module function and the static method of the same name."""
    return [getattr(kestrum, name), getattr(A, name)]


@pytest.mark.parametrize("zeros", both("zeros"))
def test_zeros(zeros):
    z = zeros([2, 3])
    assert z.shape == [2, 3] and bits(z) == bits([0.0] * 6)
    assert zeros([]).shape == [] and flat(zeros([])) == [0.0]
    assert zeros([0, 5]).shape == [0, 5] and len(zeros([0, 5])) == 0
    assert zeros(range(2)).shape == [0, 1]


@pytest.mark.parametrize("ones", both("ones"))
def test_ones(ones):
    assert flat(ones((2, 2))) == [1.0] * 4
    o = ones(())
    assert o.shape == [] and flat(o) == [1.0]


@pytest.mark.parametrize("full", both("full"))
def test_full_keeps_bits(full):
    assert bits(full([2], -0.0)) == bits([-0.0, -0.0])
    assert all(math.isnan(x) for x in full([2], math.nan))
    assert flat(full(shape=[3], fill_value=2)) == [2.0] * 3
    with pytest.raises(TypeError, match="^argument 'fill_value': "):
        full([2], "x")


@pytest.mark.parametrize("fn", both("zeros") + both("ones"))
@pytest.mark.parametrize(
    "shape, exc, msg",
    [
        (3, TypeError, "^argument 'shape': 'int' object cannot be cast as 'Sequence'$"),
        ("ab", TypeError, "^argument 'shape': Can't extract `str` to `Vec`$"),
        ([1.5], TypeError, "^argument 'shape': "),
        ([-1], OverflowError, None),
        ({1: 2}, TypeError, "^argument 'shape': 'dict' object cannot be cast as 'Sequence'$"),
    ],
)
def test_shape_conversion_failures(fn, shape, exc, msg):
    with pytest.raises(exc, match=msg):
        fn(shape)


@pytest.mark.parametrize("fn", both("zeros") + both("ones") + both("full"))
def test_impossible_shapes(fn):
    extra = (1.0,) if fn.__name__ == "full" else ()
    # Storage larger than the address space: the allocation itself fails.
    with pytest.raises(PanicException, match="^capacity overflow$"):
        fn([2**62], *extra)
    # An element count beyond 64 bits is refused before any allocation.
    with pytest.raises(ValueError, match="too large"):
        fn([2**40, 2**40], *extra)


def matrix(a):
    rows, cols = a.shape
    v = flat(a)
    return [v[r * cols:(r + 1) * cols] for r in range(rows)]


@pytest.mark.parametrize("eye", both("eye"))
@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((2, 3), {"k": 1}, [[0, 1, 0], [0, 0, 1]]),
        ((3,), {"k": -1}, [[0, 0, 0], [1, 0, 0], [0, 1, 0]]),
        ((3,), {"k": 3}, [[0] * 3] * 3),
        ((3,), {"k": -3}, [[0] * 3] * 3),
        ((4, 2), {}, [[1, 0], [0, 1], [0, 0], [0, 0]]),
        ((2,), {"m": None, "k": None}, [[1, 0], [0, 1]]),
        ((2, 4, 2), {}, [[0, 0, 1, 0], [0, 0, 0, 1]]),
        ((2,), {"k": -(2**63)}, [[0, 0], [0, 0]]),
        ((2,), {"k": 2**63 - 1}, [[0, 0], [0, 0]]),
    ],
)
def test_eye(eye, args, kwargs, expected):
    assert matrix(eye(*args, **kwargs)) == expected


@pytest.mark.parametrize("eye", both("eye"))
def test_eye_edge_and_errors(eye):
    assert eye(0).shape == [0, 0]
    assert eye(0, 3).shape == [0, 3]
    with pytest.raises(OverflowError):
        eye(-1)
    with pytest.raises(OverflowError):
        eye(2, -1)
    with pytest.raises(TypeError, match="^argument 'n': "):
        eye(2.0)
    with pytest.raises(TypeError, match="^argument 'k': "):
        eye(2, k=1.0)
    with pytest.raises(TypeError, match="^argument 'm': "):
        eye(2, "3")


@pytest.mark.parametrize("diag", both("diag"))
@pytest.mark.parametrize(
    "v, k, expected",
    [
        ([1, 2], None, [[1, 0], [0, 2]]),
        ([1, 2], 1, [[0, 1, 0], [0, 0, 2], [0, 0, 0]]),
        ([1, 2], -1, [[0, 0, 0], [1, 0, 0], [0, 2, 0]]),
        ([], 2, [[0, 0], [0, 0]]),
        ((3.5,), 0, [[3.5]]),
    ],
)
def test_diag(diag, v, k, expected):
    assert matrix(diag(v, k)) == expected
    assert matrix(diag(A([len(v)], list(v)), k=k)) == expected


@pytest.mark.parametrize("diag", both("diag"))
def test_diag_failures(diag):
    assert diag([]).shape == [0, 0]
    with pytest.raises(PanicException) as info:
        diag(A([2, 2], [1, 2, 3, 4]))
    assert str(info.value) == "assertion `left == right` failed: Input must be 1D\n  left: 2\n right: 1"
    with pytest.raises(PanicException, match="left: 0\n right: 1$"):
        diag(A([], [1.0]))
    with pytest.raises(TypeError, match=r"^argument 'v': failed to extract enum VecOrArray \('Array \| Vec'\)"):
        diag(5.0)
    with pytest.raises(TypeError, match="^argument 'k': "):
        diag([1.0], k="1")


def test_column_stack():
    a = A([2], [1, 2])
    b = A([2, 2], [3, 4, 5, 6])
    out = kestrum.column_stack([a, b])
    assert out.shape == [2, 3] and matrix(out) == [[1, 3, 4], [2, 5, 6]]
    assert matrix(kestrum.column_stack((b, a, a))) == [[3, 4, 1, 1], [5, 6, 2, 2]]
    x = A([3], [1, 2, 3])
    assert kestrum.column_stack([x]).shape == [3, 1]
    copy = kestrum.column_stack([b])
    assert copy is not b and matrix(copy) == matrix(b)
    assert kestrum.column_stack([A([0], []), A([0, 4], [])]).shape == [0, 5]
    assert not hasattr(A, "column_stack")


def test_column_stack_failures():
    with pytest.raises(ValueError, match="^Need at least one array$"):
        kestrum.column_stack([])
    with pytest.raises(PanicException) as info:
        kestrum.column_stack([A([3], [1, 2, 3]), A([2], [1, 2])])
    assert str(info.value) == (
        "assertion `left == right` failed: All arrays must have the same number of rows\n  left: 2\n right: 3")
    # Every input is checked for its number of dimensions before any row count.
    with pytest.raises(PanicException, match="^column_stack only supports 1D and 2D arrays$"):
        kestrum.column_stack([A([2, 1], [1, 2]), A([3, 1, 1], [1, 2, 3])])
    with pytest.raises(PanicException, match="^column_stack only supports 1D and 2D arrays$"):
        kestrum.column_stack([A([], [1.0])])
    with pytest.raises(TypeError, match="^argument 'arrays': 'list' object cannot be cast as 'Array'$"):
        kestrum.column_stack([A([1], [1.0]), [1.0]])
    with pytest.raises(TypeError, match="^argument 'arrays': Can't extract `str` to `Vec`$"):
        kestrum.column_stack("ab")
    with pytest.raises(PanicException, match="^capacity overflow$"):
        kestrum.column_stack([A([0, 2**63], []), A([0, 2**63], [])])


@pytest.mark.parametrize(
    "call, msg",
    [
        (lambda: kestrum.zeros(), "zeros() missing 1 required positional argument: 'shape'"),
        (lambda: A.zeros(), "Array.zeros() missing 1 required positional argument: 'shape'"),
        (lambda: kestrum.full([1]), "full() missing 1 required positional argument: 'fill_value'"),
        (lambda: A.eye(1, 2, 3, 4), "Array.eye() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: kestrum.diag([1], q=1), "diag() got an unexpected keyword argument 'q'"),
        (lambda: kestrum.column_stack([], arrays=[]), "column_stack() got multiple values for argument 'arrays'"),
    ],
)
def test_binding_messages(call, msg):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == msg


def test_results_are_independent_arrays():
    a = kestrum.zeros([2])
    b = kestrum.zeros([2])
    a[0] = 5.0
    assert flat(b) == [0.0, 0.0]
