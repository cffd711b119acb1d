"""Element-wise math: the C-library functions bit for bit, special values, abs, sign and clip."""
import math

import pytest

import kestrum
from helpers_array import flat
from support import bits

A = kestrum.Array

VALUES = [0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 2.0, -3.75, 1e-300, 1e300, 710.0, -745.5, math.pi, 1e22,
          math.inf, -math.inf, math.nan]


def py_or_nan(f, x):
    try:
        return f(x)
    except (ValueError, OverflowError):
        return None  # Python raises where C returns a special value


@pytest.mark.parametrize(
    "method, f",
    [
        ("exp", math.exp), ("log", math.log), ("sin", math.sin), ("cos", math.cos), ("tan", math.tan),
        ("arcsin", math.asin), ("arccos", math.acos), ("arctan", math.atan), ("sqrt", math.sqrt),
    ],
)
def test_transcendentals_match_c_library_bit_for_bit(method, f):
    a = A([len(VALUES)], VALUES)
    out = flat(getattr(a, method)())
    for x, y in zip(VALUES, out):
        expected = py_or_nan(f, x)
        if expected is not None:
            assert bits([y]) == bits([expected]), (method, x)


def test_special_values():
    assert bits(A([3], [4, -1, -0.0]).sqrt()) == bits([2.0, math.nan, -0.0])
    assert bits(A([4], [1, 0, -1, math.inf]).log()) == bits([0.0, -math.inf, math.nan, math.inf])
    assert bits(A([2], [2, -2]).arcsin()) == bits([math.nan, math.nan])
    assert bits(A([1], [1.5]).arccos()) == bits([math.nan])
    assert bits(A([2], [-1000, 1000]).exp()) == bits([0.0, math.inf])
    assert bits(A([1], [math.inf]).sin()) == bits([math.nan])


def test_abs_and_sign():
    assert bits(A([4], [-0.0, -math.inf, -1.5, 2.0]).abs()) == bits([0.0, math.inf, 1.5, 2.0])
    assert math.isnan(flat(A([1], [-math.nan]).abs())[0])
    assert bits(A([6], [-2, -0.0, 0.0, 3, math.nan, -math.inf]).sign()) == bits([-1.0, 0.0, 0.0, 1.0, 0.0, -1.0])


@pytest.mark.parametrize(
    "lo, hi, data, expected",
    [
        (0, 1, [-1, 0.5, 2, math.nan], [0.0, 0.5, 1.0, math.nan]),
        (5, 1, [3, 5, 7], [5.0, 1.0, 1.0]),
        (math.nan, 1, [-3, 3], [-3.0, 1.0]),
        (-1, math.nan, [-3, 3], [-1.0, 3.0]),
        (math.nan, math.nan, [-3, math.inf], [-3.0, math.inf]),
        (0.0, 0.0, [-0.0, 0.0, -1.0], [-0.0, 0.0, 0.0]),
        (-0.0, 1, [0.0, -0.0], [0.0, -0.0]),
        (-math.inf, math.inf, [1e308, -1e308], [1e308, -1e308]),
    ],
)
def test_clip(lo, hi, data, expected):
    a = A([len(data)], data)
    assert bits(a.clip(lo, hi)) == bits(expected)
    assert bits(a.clip(min=lo, max=hi)) == bits(expected)


def test_clip_long_array_matches_rule():
    data = [((i * 37) % 101 - 50) / 7.0 for i in range(1000)] + [math.nan, -0.0]
    lo, hi = -3.0, 2.5
    expected = [lo if lo > x else (hi if x > hi else x) for x in data]
    assert bits(A([len(data)], data).clip(lo, hi)) == bits(expected)


def test_clip_argument_errors():
    a = A([1], [1.0])
    with pytest.raises(TypeError, match="^argument 'min': "):
        a.clip("x", 1)
    with pytest.raises(TypeError, match="^argument 'max': "):
        a.clip(0, None)
    with pytest.raises(TypeError, match=r"^Array.clip\(\) missing 1 required positional argument: 'max'$"):
        a.clip(0)


METHODS = ["abs", "sign", "sqrt", "exp", "log", "sin", "cos", "tan", "arcsin", "arccos", "arctan"]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("shape", [[0], [2, 0], [], [2, 3]])
def test_shape_kept_and_receiver_unchanged(method, shape):
    n = 1
    for d in shape:
        n *= d
    data = [0.25 * (i + 1) for i in range(n)]
    a = A(shape, data)
    out = getattr(a, method)()
    assert out is not a and out.shape == shape and len(out) == n
    assert flat(a) == data


@pytest.mark.parametrize("method", METHODS)
def test_methods_take_no_arguments(method):
    with pytest.raises(TypeError, match=rf"^Array.{method}\(\) takes 0 positional arguments but 1 was given$"):
        getattr(A([1], [1.0]), method)(1)
