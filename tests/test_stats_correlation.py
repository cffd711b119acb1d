"""Pearson and Spearman correlation against plain-Python references, NaN-laden data and errors."""
import pytest

from kestrum import Array, stats
import stats_reference as ref
from support import PanicException
from stats_reference import NAN, same


def arr(xs):
    return Array([len(xs)], xs)


def assert_panic_eq(call, text, left, right):
    msg = f"assertion `left == right` failed: {text}\n  left: {left}\n right: {right}"
    with pytest.raises(PanicException) as info:
        call()
    assert str(info.value) == msg


@pytest.mark.parametrize("n", [0, 1, 2, 3, 10, 255, 256, 257, 3000])
@pytest.mark.parametrize("kind", ["plain", "zeros", "ties"])
def test_pearson_and_spearman_match_reference(n, kind):
    x = ref.mixed_data(n, seed=n, zeros=0.3 if kind == "zeros" else 0.0, ties=kind == "ties")
    y = ref.mixed_data(n, seed=n + 1, ties=kind == "ties")
    # Correlated data so the coefficients are not near zero.
    y = [a + 0.5 * b for a, b in zip(x, y)]
    assert same(stats.pearson(arr(x), arr(y)), ref.pearson(x, y))
    assert same(stats.spearman(arr(x), arr(y)), ref.spearman(x, y))
    assert same(stats.spearman(arr(x), arr(x)), ref.spearman(x, x))


@pytest.mark.parametrize(
    "x, expected",
    [
        ([10, 20, 20, 30], [1, 2.5, 2.5, 4]),
        ([3, 1, 2], [3, 1, 2]),
        ([5, 5, 5], [2, 2, 2]),
        ([0.0, -0.0, 1.0, -0.0], [2, 2, 4, 2]),
        ([2.0, NAN, 1.0, NAN, 2.0], [2.5, 4, 1, 5, 2.5]),
        ([float("inf"), float("-inf"), 1.0, float("inf")], [3.5, 1, 2, 3.5]),
        ([5e-324, -5e-324, 0.0, 1.7976931348623157e308], [3, 1, 2, 4]),
    ],
)
def test_ranks_through_spearman(x, expected):
    # The ranks are not exposed; a wrong rank of x changes spearman(x, expected) in its last bits.
    assert ref.ranks(x) == [float(v) for v in expected]
    assert same(stats.spearman(arr(x), arr(expected)), ref.pearson(ref.ranks(x), ref.ranks(expected)))


@pytest.mark.parametrize("n", [1, 2, 50, 255, 256, 1000, 5000])
@pytest.mark.parametrize("nans", [0.01, 0.3, 1.0])
def test_nan_laden_data_is_safe(n, nans):
    x = ref.mixed_data(n, seed=n, zeros=0.2, nans=nans)
    y = ref.mixed_data(n, seed=n + 5, nans=nans / 2, ties=True)
    assert same(stats.spearman(arr(x), arr(y)), ref.spearman(x, y))
    p = stats.pearson(arr(x), arr(y))
    assert isinstance(p, float) and (p != p or same(p, ref.pearson(x, y)))


def test_known_values():
    assert stats.pearson(arr([]), arr([])) == 0.0
    assert stats.spearman(arr([]), arr([])) == 0.0
    assert stats.pearson(arr([3.0]), arr([1.0])) == 0.0
    assert stats.pearson(arr([2, 2, 2]), arr([1, 5, 3])) == 0.0
    assert stats.pearson(arr([1, 5, 3]), arr([2, 2, 2])) == 0.0
    assert stats.pearson(arr([1, 2, 3]), arr([2, 4, 6])) == pytest.approx(1.0)
    assert stats.pearson(arr([1, 2, 3]), arr([3, 2, 1])) == pytest.approx(-1.0)
    assert stats.spearman(arr([1, 2, 3, 4]), arr([1, 4, 9, 16])) == pytest.approx(1.0)
    a = arr([1.0, 3.0, 2.0])
    assert stats.pearson(a, a) == pytest.approx(1.0)  # both arguments borrow the same array
    assert stats.pearson(arr([1.0, NAN]), arr([1.0, 2.0])) != stats.pearson(arr([1.0, NAN]), arr([1.0, 2.0]))


def test_pearson_check_order():
    # Sizes first, then a's dimensions, then b's.
    assert_panic_eq(lambda: stats.pearson(Array([2, 3], [0] * 6), arr([1, 2, 3, 4])),
                    "Arrays must have same length", 6, 4)
    assert_panic_eq(lambda: stats.pearson(Array([2, 2], [0] * 4), arr([1, 2, 3, 4])), "Array must be 1d", 2, 1)
    assert_panic_eq(lambda: stats.pearson(arr([1, 2, 3, 4]), Array([2, 2], [0] * 4)), "Array must be 1d", 2, 1)
    assert_panic_eq(lambda: stats.pearson(Array([], [1.0]), arr([1.0])), "Array must be 1d", 0, 1)
    assert_panic_eq(lambda: stats.pearson(arr([1.0, 2.0]), arr([1.0])), "Arrays must have same length", 2, 1)


def test_spearman_check_order():
    # a's dimensions, then b's, then the lengths.
    assert_panic_eq(lambda: stats.spearman(Array([2, 3], [0] * 6), arr([1, 2])), "Array must be 1d", 2, 1)
    assert_panic_eq(lambda: stats.spearman(arr([1, 2]), Array([1, 1, 1], [0])), "Array must be 1d", 3, 1)
    assert_panic_eq(lambda: stats.spearman(arr([1, 2, 3]), arr([1, 2])), "Arrays must have same length", 3, 2)
    assert_panic_eq(lambda: stats.spearman(Array([0, 2], []), arr([])), "Array must be 1d", 2, 1)


def test_panic_is_not_an_exception():
    with pytest.raises(BaseException) as info:
        try:
            stats.pearson(arr([1.0]), arr([]))
        except Exception:  # must not catch it
            pytest.fail("caught by except Exception")
    assert isinstance(info.value, PanicException)
    assert PanicException.__name__ == "PanicException" and not issubclass(PanicException, Exception)


@pytest.mark.parametrize("name", ["pearson", "spearman"])
def test_argument_errors(name):
    f = getattr(stats, name)
    a = arr([1.0, 2.0])
    with pytest.raises(TypeError, match=r"^argument 'a': 'list' object cannot be cast as 'Array'$"):
        f([1, 2], [3, 4])
    with pytest.raises(TypeError, match=r"^argument 'b': 'list' object cannot be cast as 'Array'$"):
        f(a, [3, 4])
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing 1 required positional argument: 'b'$"):
        f(a)
    assert f(b=a, a=a) == pytest.approx(1.0)


@pytest.mark.parametrize("n", [300, 5000])
def test_ranks_of_values_one_ulp_apart(n):
    # Values that differ only in their lowest bits, shuffled and repeated: ordering them needs
    # every bit of the value.
    import random

    rng = random.Random(n)
    base = [sign * (1.0 + k * 2.0**-52) for k in range(n // 6) for sign in (1.0, -1.0)]
    x = [rng.choice(base) for _ in range(n)]
    y = [rng.random() for _ in range(n)]
    assert same(stats.spearman(arr(x), arr(y)), ref.spearman(x, y))
    assert same(stats.spearman(arr(x), arr(x)), ref.spearman(x, x))


@pytest.mark.parametrize(
    "x, y, expected",
    [
        # constant by value although the rounded mean differs from the value
        ([0.667, 0.667, 0.667], [0.123, 0.456, 0.789], 0.0),
        ([0.123, 0.456, 0.789], [0.1] * 3, 0.0),
        ([float("inf")] * 2, [1.0, 2.0], 0.0),
        # squares overflow / underflow: computed on rescaled data
        ([2.3e200, 4.5e200, 6.7e200, 8e200], [1.2e199, 5.5e200, 3.3e201, 1.0e200], 0.351312332103289),
        ([1.5e308, -1.7e308, 1.6e308], [1.0, -1.0, 1.0], 0.9996451593714057),
        ([0.004434375, 0.004756007, 0.003911996, 0.0038005, 0.003409971],
         [2.48e-188, 7.41e-181, 4.09e-208, 2.08e-223, 2.66e-245], 0.7272930540750450),
        ([5e-324, 0.0, 1e-323], [1.0, 2.0, 3.0], 0.5),
    ],
)
def test_pearson_edges(x, y, expected):
    assert stats.pearson(arr(x), arr(y)) == pytest.approx(expected, rel=1e-13, abs=0.0)
    assert stats.pearson(arr(y), arr(x)) == pytest.approx(expected, rel=1e-13, abs=0.0)


@pytest.mark.parametrize("n", [3, 17, 101])
@pytest.mark.parametrize("scale", [1.0, 2.0**-600, 2.0**600])
def test_correlation_stays_within_one_and_scale_free(n, scale):
    r = [float(k) for k in range(n)]
    s = [v * scale for v in r]
    for c in (stats.pearson(arr(r), arr(r)), stats.spearman(arr(r), arr(r)), -stats.pearson(arr(s), arr([-v for v in r]))):
        assert 1.0 - 1e-15 < c <= 1.0
    y = [(k * 7919) % n for k in range(n)]
    # a power-of-two scale changes no bit, however far it takes the squares
    assert same(stats.pearson(arr(s), arr([float(v) for v in y])), stats.pearson(arr(r), arr([float(v) for v in y])))
