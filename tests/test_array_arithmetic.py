"""Array arithmetic: broadcasting against position pairs, the scalar forms, operand rules and signed
zeros, bit for bit."""
import math
import operator

import pytest

import kestrum
from support import PanicException, bits
from helpers_array import arange, broadcast_pairs, flat

A = kestrum.Array

OPS = [operator.add, operator.sub, operator.mul, operator.truediv]


# Shapes covering equal shapes, long contiguous runs (row broadcast, scalar-like operands,
# outer products) and short runs that go through the pair-by-pair walk.
SHAPE_PAIRS = [
    ([2, 3], [2, 3]),
    ([2, 3], [3]),
    ([3, 1], [1, 4]),
    ([], [2, 2]),
    ([2, 2], []),
    ([], []),
    ([0], [1]),
    ([3, 0], [3, 1]),
    ([4, 1, 2], [3, 1]),
    ([5, 16], [16]),
    ([16], [5, 16]),
    ([5, 1], [5, 16]),
    ([5, 16], [5, 1]),
    ([3, 2, 16], [2, 1]),
    ([3, 1, 16], [1, 4, 16]),
    ([2, 1, 3, 1], [1, 4, 1, 5]),
    ([1, 1, 9], [7, 1, 1]),
    ([10, 1], [10]),
    ([1], [9, 9]),
]


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("sa, sb", SHAPE_PAIRS)
def test_broadcast_matches_position_pairs(op, sa, sb):
    a, b = arange(sa, 1.0, 0.75), arange(sb, -3.5, 1.25)
    shape, pairs = broadcast_pairs(sa, sb)
    out = op(a, b)
    fa, fb = flat(a), flat(b)
    assert out.shape == shape
    assert bits(out) == bits([op(fa[i], fb[j]) for i, j in pairs])
    assert flat(a) == fa and flat(b) == fb  # operands unchanged


@pytest.mark.parametrize("sa, sb", [([2], [3]), ([2, 3], [3, 2]), ([4, 3], [4]), ([2, 0], [3])])
@pytest.mark.parametrize("op", OPS)
def test_incompatible_shapes_panic(op, sa, sb):
    a, b = arange(sa), arange(sb)
    with pytest.raises(PanicException, match="^Shapes are not broadcast-compatible$"):
        op(a, b)
    with pytest.raises(PanicException):
        op(b, a)


def test_panic_is_not_an_exception():
    with pytest.raises(BaseException) as info:
        try:
            A([2], [1, 2]) + A([3], [1, 2, 3])
        except Exception:  # must not catch it
            pytest.fail("PanicException derives from Exception")
    assert type(info.value) is PanicException


def test_scalar_forms_and_operand_order():
    a = A([3], [1.0, 2.0, 4.0])
    assert flat(a - 1) == [0.0, 1.0, 3.0]
    assert flat(1 - a) == [0.0, -1.0, -3.0]
    assert flat(2 / a) == [2.0, 1.0, 0.5]
    assert flat(a / 2) == [0.5, 1.0, 2.0]
    assert flat(a + True) == [2.0, 3.0, 5.0]
    assert flat(a * 3) == [3.0, 6.0, 12.0]
    assert flat(3 * a) == [3.0, 6.0, 12.0]
    assert flat(0.5 + a) == [1.5, 2.5, 4.5]


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("s", [0.0, -0.0, 2.5, -3.0, math.inf, math.nan])
def test_scalar_forms_elementwise(op, s):
    vals = [0.0, -0.0, 1.5, -2.0, math.inf, -math.inf, math.nan, 1e308]
    a = A([2, 4], vals)
    right, left = op(a, s), op(s, a)
    assert right.shape == left.shape == [2, 4]
    assert bits(right) == bits([op(x, s) if not (op is operator.truediv and s == 0) else ieee_div(x, s) for x in vals])
    assert bits(left) == bits([op(s, x) if not (op is operator.truediv and x == 0) else ieee_div(s, x) for x in vals])


def ieee_div(x, y):
    if math.isnan(x) or math.isnan(y):
        return math.nan
    if x == 0:
        return math.nan
    return math.copysign(math.inf, x) * math.copysign(1.0, y)


def test_division_by_zero_gives_infinities_and_nan():
    a = A([3], [1.0, -1.0, 0.0])
    out = flat(a / 0)
    assert out[:2] == [math.inf, -math.inf] and math.isnan(out[2])
    out = flat(a / A([3], [0.0, -0.0, 0.0]))
    assert out[:2] == [math.inf, math.inf] and math.isnan(out[2])


class Floaty:
    def __float__(self):
        return 2.0


class Indexy:
    def __index__(self):
        return 3


@pytest.mark.parametrize("number, value", [(Floaty(), 2.0), (Indexy(), 3.0), (False, 0.0), (10**400 // 10**399, 10.0)])
def test_numbers_by_float_rule(number, value):
    a = A([2], [1.0, 2.0])
    assert flat(a + number) == [1.0 + value, 2.0 + value]
    assert flat(number - a) == [value - 1.0, value - 2.0]


@pytest.mark.parametrize(
    "expr",
    [
        lambda a: a + [1, 2],
        lambda a: [1, 2] + a,
        lambda a: a + "x",
        lambda a: "x" * a,
        lambda a: a - None,
        lambda a: None / a,
        lambda a: a * (1.0,),
        lambda a: a + 10**400,
        lambda a: a @ 2,
        lambda a: [[1.0]] @ a,
        lambda a: +a,
        lambda a: a ** 2,
        lambda a: a // 2,
        lambda a: a % 2,
        lambda a: abs(a),
    ],
)
def test_unsupported_operands_raise_type_error(expr):
    a = A([2], [1.0, 2.0])
    with pytest.raises(TypeError) as info:
        expr(a)
    assert "argument" not in str(info.value)  # the interpreter's own message


@pytest.mark.parametrize("exc", [ZeroDivisionError, RuntimeError, KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("expr, unsupported", [(lambda a, x: a + x, TypeError), (lambda a, x: x / a, TypeError),
                                               (lambda a, x: a[x], ValueError)])
def test_operand_hook_errors(expr, unsupported, exc):
    """An ordinary error of the operand's conversion means 'unsupported'; an interrupt, exit or
    exhausted memory is never discarded."""
    class Operand:
        def __float__(self):
            raise exc("hook")

        __index__ = __float__

    ordinary = exc in (ZeroDivisionError, RuntimeError)
    with pytest.raises(unsupported if ordinary else exc) as info:
        expr(A([2], [1.0, 2.0]), Operand())
    assert (str(info.value) == "hook") != ordinary


def test_reflected_operand_defers_to_other_type():
    class Other:
        def __radd__(self, other):
            return "radd"

        def __rsub__(self, other):
            return "rsub"

    a = A([1], [1.0])
    assert a + Other() == "radd"
    assert a - Other() == "rsub"


def test_negation_inverts_sign_bit():
    a = A([4], [0.0, -1.5, -0.0, math.inf])
    n = -a
    assert repr(-A([2], [0.0, -1.5])) == "Array(shape=[2], data=[-0.0, 1.5])"
    assert bits(n) == bits([-0.0, 1.5, 0.0, -math.inf])
    assert math.isnan(flat(-A([1], [math.nan]))[0])
    assert (-A([2, 0], [])).shape == [2, 0]
    assert flat(-A([], [3.0])) == [-3.0] and (-A([], [3.0])).shape == []


def test_empty_and_zero_dimensional():
    e = A([0], [])
    assert (e + e).shape == [0] and len(e + e) == 0
    assert (e + 1.0).shape == [0]
    z = A([], [2.0])
    r = z + arange([2, 2])
    assert r.shape == [2, 2] and flat(r) == [3.0, 4.0, 5.0, 6.0]
    assert (z * z).shape == [] and flat(z * z) == [4.0]


def test_inplace_operator_rebinds_to_new_array():
    a = A([2], [1.0, 2.0])
    keep = a
    a += A([2], [1.0, 1.0])
    assert a is not keep
    assert flat(keep) == [1.0, 2.0] and flat(a) == [2.0, 3.0]


def test_same_array_on_both_sides():
    a = A([3], [1.0, 2.0, 3.0])
    assert flat(a * a) == [1.0, 4.0, 9.0]
    assert flat(a - a) == [0.0, 0.0, 0.0]


def test_large_row_broadcast_matches_reference():
    rows, cols = 37, 129
    m = arange([rows, cols], 0.1, 0.37)
    row = arange([cols], -5.0, 0.013)
    col = arange([rows, 1], 2.0, -0.5)
    fm, fr, fc = flat(m), flat(row), flat(col)
    assert bits(m + row) == bits([fm[i] + fr[i % cols] for i in range(rows * cols)])
    assert bits(row / m) == bits([fr[i % cols] / fm[i] for i in range(rows * cols)])
    assert bits(m - col) == bits([fm[i] - fc[i // cols] for i in range(rows * cols)])


def test_operand_conversion_cannot_write_the_array_being_read():
    a = A([2], [1.0, 2.0])

    class Writes:
        def __float__(self):
            a[0] = 99.0
            return 1.0

    # The write fails inside the conversion, which makes the operand unsupported.
    with pytest.raises(TypeError):
        a + Writes()
    with pytest.raises(TypeError):
        Writes() - a
    assert flat(a) == [1.0, 2.0]

    class Computes:
        def __float__(self):
            return float(len(a + a))

    b = A([1], [0.0])
    b[0] = Computes()  # reading other arrays during an assignment is fine
    assert flat(b) == [2.0]
