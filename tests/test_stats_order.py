"""Median and quantiles: exactly the element of the stable sorted copy at each rank, interpolation,
empty arrays and errors."""
import math

import pytest

from kestrum import Array, stats
import stats_reference as ref
from support import PanicException
from stats_reference import NAN, same, same_value

PROBS = [0.0, -0.0, 1e-300, 0.1, 0.25, 0.3, 0.5, 0.7, 0.75, 0.999, 1.0]


def arr(xs):
    return Array([len(xs)], xs)


def check_all(xs):
    a = arr(xs)
    exp_median = ref.median(xs)
    assert same_value(stats.median(a), exp_median) and same_value(a.median(), exp_median)
    s = ref.sorted_copy(xs)
    for q in PROBS:
        expected = ref.quantile_sorted(s, q)
        assert same_value(stats.quantile(a, q), expected), q
        assert same_value(a.quantile(q), expected), q
    many = stats.quantile(a, Array([len(PROBS)], PROBS))
    assert many.shape == [len(PROBS)]
    for got, q in zip(ref.elements(many), PROBS):
        assert same_value(got, ref.quantile_sorted(s, q)), q


# Small sizes take the partition path, sizes from 8192 up the sampling path.
@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 10, 101, 1000, 8191, 8192, 9001, 30000])
@pytest.mark.parametrize("kind", ["plain", "zeros", "ties"])
def test_order_statistics_match_sorted_copy(n, kind):
    check_all(ref.mixed_data(n, seed=7 * n + len(kind), zeros=0.4 if kind == "zeros" else 0.0, ties=kind == "ties"))


@pytest.mark.parametrize("n", [2, 3, 17, 8192, 20000])
def test_signed_zero_ties_keep_storage_order(n):
    # Ranks around the middle are all zeros: which sign sits at each rank depends on storage order.
    xs = [-1.0] * (n // 4) + [1.0] * (n // 4)
    xs += [(-0.0 if (i * 7919) % 3 else 0.0) for i in range(n - len(xs))]
    xs = xs[::-1] if n % 2 else xs
    check_all(xs)
    check_all(list(reversed(xs)))


@pytest.mark.parametrize("n", [1, 2, 3, 5, 64, 1000, 8191, 8192, 10000, 30001])
@pytest.mark.parametrize("nans", [0.001, 0.2, 0.5, 1.0])
def test_nan_laden_data_is_safe_and_sorts_nans_last(n, nans):
    check_all(ref.mixed_data(n, seed=n + int(nans * 1000), zeros=0.2, nans=nans))


@pytest.mark.parametrize("n", [7, 10000])
def test_extreme_values(n):
    base = [math.inf, -math.inf, 0.0, -0.0, 5e-324, -5e-324, 1.7976931348623157e308]
    check_all([base[(i * 5) % 7] * (1 + (i % 3 == 0)) for i in range(n)])


@pytest.mark.parametrize("n", [5, 40, 8192, 20000])
def test_nan_ranks_hold_nans_in_storage_order(n):
    xs = ref.mixed_data(n, seed=3, zeros=0.1, nans=0.3)
    s = ref.sorted_copy(xs)
    numbers = sum(1 for x in xs if x == x)
    a = arr(xs)
    for rank in sorted({0, numbers - 1, numbers, (numbers + n) // 2, n - 1}):
        if n == 1 or rank < 0:
            continue
        q = rank / (n - 1)
        if q * (n - 1) == rank:  # lands exactly on the rank: no interpolation
            assert same(a.quantile(q), s[rank]), rank
    if n % 2:
        assert same(a.median(), s[n // 2])


def test_known_values():
    assert stats.median(arr([3, 1, 2])) == 2.0
    assert stats.median(arr([4, 1, 3, 2])) == 2.5
    assert stats.quantile(arr([1, 2, 3, 4]), 0.25) == 1.75
    a = arr([5.0, -2.0, 9.0])
    assert a.quantile(0) == -2.0 and a.quantile(1) == 9.0
    one = arr([4.5])
    assert all(one.quantile(q) == 4.5 for q in PROBS)
    assert Array([], [4.5]).median() == 4.5
    assert stats.median(Array([2, 3], [6, 5, 4, 3, 2, 1])) == 3.5
    assert stats.quantile(arr([1, 2, 3, 4]), 1) == 4.0  # an int probability is accepted


def test_interpolation_form():
    # frac*hi + (1-frac)*lo differs in the last bit from lo + frac*(hi-lo) here.
    xs = [0.1, 0.7]
    q = 0.3
    expected = 0.3 * 0.7 + (1.0 - 0.3) * 0.1
    assert expected != 0.1 + 0.3 * (0.7 - 0.1)
    assert same(stats.quantile(arr(xs), q), expected)


def test_empty_arrays():
    e = Array([0], [])
    assert math.isnan(stats.median(e)) and math.isnan(e.quantile(0.5))
    r = stats.quantile(Array([2, 0], []), Array([3], [0.0, 0.5, 1.0]))
    assert r.shape == [3] and all(math.isnan(v) for v in ref.elements(r))
    assert stats.quantile(arr([1.0]), Array([0], [])).shape == [0]


@pytest.mark.parametrize("q", [1.5, -0.1, NAN, math.inf, -math.inf, 1.0000000000000002])
@pytest.mark.parametrize("data", [[1.0, 2.0], []])
def test_probability_out_of_range_panics_before_empty_check(q, data):
    a = arr(data)
    with pytest.raises(PanicException, match=r"^Quantile must be between 0 and 1$"):
        stats.quantile(a, q)
    with pytest.raises(PanicException, match=r"^Quantile must be between 0 and 1$"):
        a.quantile(q)
    with pytest.raises(PanicException, match=r"^Quantile must be between 0 and 1$"):
        a.quantile(Array([3], [0.5, q, 0.2]))


def test_probability_array_shape_is_ignored():
    a = arr([1, 2, 3, 4, 5])
    r = stats.quantile(a, Array([2, 2], [0.0, 0.5, 1.0, 0.25]))
    assert r.shape == [4] and ref.elements(r) == [1.0, 3.0, 5.0, 2.0]
    r = a.quantile(Array([], [0.5]))
    assert r.shape == [1] and ref.elements(r) == [3.0]
    assert ref.elements(a.quantile(Array([3], [0.5, 0.5, 0.0]))) == [3.0, 3.0, 1.0]


def test_argument_errors():
    a = arr([1.0, 2.0])
    with pytest.raises(TypeError, match=r"^argument 'q': failed to extract enum ArrayOrScalar"):
        stats.quantile(a, [0.5])
    with pytest.raises(TypeError, match=r"^argument 'q': failed to extract enum ArrayOrScalar"):
        a.quantile("0.5")
    with pytest.raises(TypeError, match=r"^argument 'a': 'list' object cannot be cast as 'Array'$"):
        stats.quantile([1.0, 2.0], 0.5)
    with pytest.raises(TypeError, match=r"^quantile\(\) missing 1 required positional argument: 'q'$"):
        stats.quantile(a)
    with pytest.raises(TypeError, match=r"^Array\.quantile\(\) missing 1 required positional argument: 'q'$"):
        a.quantile()
    assert stats.quantile(a=a, q=0.5) == 1.5 and a.quantile(q=1) == 2.0


def test_quantile_of_an_array_by_itself():
    a = arr([0.0, 0.5, 1.0])
    assert ref.elements(stats.quantile(a, a)) == [0.0, 0.5, 1.0]


FEW_PROBS = [[0.5], [0.0, 1.0], [0.05, 0.25, 0.5, 0.75, 0.95], [0.3, 0.3000001, 0.9999, 1e-6], [0.5, 0.25]]


@pytest.mark.parametrize(
    "n, kind",
    [(n, k) for n in (8192, 40000) for k in ("plain", "zeros", "ties", "nans")] + [(250000, "zeros")],
)
def test_few_probabilities_on_large_arrays(n, kind):
    # Few probabilities on large arrays take the sampling path (large bands are sampled again).
    xs = ref.mixed_data(n, seed=n + len(kind), zeros=0.45 if kind == "zeros" else 0.05,
                        nans=0.02 if kind == "nans" else 0.0, ties=kind == "ties")
    a = arr(xs)
    s = ref.sorted_copy(xs)
    assert same_value(a.median(), ref.median(xs))
    for probs in FEW_PROBS:
        got = ref.elements(a.quantile(Array([len(probs)], probs)))
        for g, q in zip(got, probs):
            assert same_value(g, ref.quantile_sorted(s, q)), q
        assert same_value(a.quantile(probs[0]), ref.quantile_sorted(s, probs[0]))


@pytest.mark.parametrize("value", [0.0, -0.0, 2.5, math.inf])
def test_constant_large_array(value):
    xs = [value] * 20000
    xs[123] = -value if value == 0.0 else value
    a = arr(xs)
    s = ref.sorted_copy(xs)
    for q in (0.0, 0.0061, 0.00615, 0.5, 1.0):
        assert same_value(a.quantile(q), ref.quantile_sorted(s, q)), q
